// kavrel identify | read | write --json against the simulator: exactly the
// documented JSON documents, over Modbus TCP and over Vorlane on a socat pair.
#include <algorithm>
#include <gtest/gtest.h>
#include "test_drive_sim_support.h"

using namespace simtest;

namespace {

struct CliRun {
    std::string out;
    int status;
};

CliRun kavrel(std::vector<std::string> args)
{
    args.insert(args.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(args);
    CliRun run;
    for (int i = 0; i < 20; ++i) {
        std::string line = child.readLine(10s);
        if (line.empty() && !child.running())
            break;
        if (!line.empty())
            run.out += line + "\n";
    }
    run.status = child.wait(10s);
    return run;
}

} // namespace

TEST(DriveSimCli, ModbusTcpJsonDocuments)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-3", "--exception-on", "2.2"});
    ASSERT_TRUE(sim.ready);
    auto cli = [&](std::vector<std::string> command) {
        std::vector<std::string> args{"--data-path", dir.str() + "data"};
        args.insert(args.end(), command.begin(), command.end());
        for (const char* a : {"--protocol", "ModbusTCP", "--host", "127.0.0.1", "--json"})
            args.push_back(a);
        args.push_back("--tcp-port");
        args.push_back(std::to_string(sim.port));
        return kavrel(args);
    };
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string json;
    } table[] = {
        {{"identify", "--id", "2"},
         0,
         R"({"id":2,"vendorName":"Vorlane Drives GmbH","originalVendorName":"VORLANE","productCode":"VDX-2040-A",)"
         R"("originalProductCode":"VDX 2040 A","version":"3.07","motorType":"00004711","serialNumber":"12345602",)"
         R"("familyCode":"VDX-204","deviceDate":"0x20261207"})"},
        {{"read", "--id", "3", "--param", "1.23"}, 0, R"({"id":3,"index":1,"subindex":23,"size":4,"value":12345603})"},
        {{"write", "--id", "1", "--param", "2.0", "--value", "0x1234"}, 0,
         R"({"id":1,"index":2,"subindex":0,"size":4,"value":4660})"},
        {{"read", "--id", "1", "--param", "2.0", "--size", "2"}, 0, R"({"id":1,"index":2,"subindex":0,"size":2,"value":4660})"},
        {{"write", "--id", "1", "--param", "200.5", "--value", "4294967295"}, 0,
         R"({"id":1,"index":200,"subindex":5,"size":4,"value":4294967295})"},
        {{"read", "--id", "1", "--param", "200.5"}, 0, R"({"id":1,"index":200,"subindex":5,"size":4,"value":4294967295})"},
        {{"read", "--id", "1", "--param", "2.2"}, 1,
         R"J({"error":{"code":"0x80040501","text":"Server device failure. (drive error 0x00000004)"}})J"},
        {{"write", "--id", "1", "--param", "1.23", "--value", "1"}, 1,
         R"J({"error":{"code":"0x80040502","text":"Illegal data value: the value is not allowed. (drive error 0x00000003)"}})J"},
    };
    for (const auto& t : table) {
        auto run = cli(t.command);
        EXPECT_EQ(run.status, t.status) << t.command[0] << " " << t.command.back();
        EXPECT_EQ(run.out, t.json + "\n") << t.command[0] << " " << t.command.back();
    }
    // The drive that was written keeps it; the others are untouched.
    EXPECT_EQ(cli({"read", "--id", "2", "--param", "2.0"}).out, R"({"id":2,"index":2,"subindex":0,"size":4,"value":0})" "\n");
}

TEST(DriveSimCli, ModbusTcpFailuresAreOneJsonError)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1"});
    ASSERT_TRUE(sim.ready);
    int nobody = kavreltest::freeTcpPort();
    struct Case {
        std::string port;
        std::string id;
    } table[] = {{std::to_string(nobody), "1"}, {std::to_string(sim.port), "9"}};
    for (const auto& t : table) {
        auto run = kavrel({"--data-path", dir.str() + "data", "identify", "--protocol", "ModbusTCP", "--host",
                           "127.0.0.1", "--tcp-port", t.port, "--id", t.id, "--json"});
        EXPECT_EQ(run.status, 1) << t.port << " " << t.id;
        EXPECT_EQ(run.out.rfind(R"({"error":{"code":"0x8004)", 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    }
}

TEST(DriveSimCli, VorlaneJsonDocuments)
{
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--vorlane-serial", pair.b(), "--ids", "1-3"});
    ASSERT_TRUE(sim.ready);
    auto cli = [&](std::vector<std::string> command) {
        std::vector<std::string> args{"--data-path", dir.str() + "data"};
        args.insert(args.end(), command.begin(), command.end());
        for (std::string a : {"--protocol", "VorlaneRS485", "--baud", "19200", "--json"})
            args.push_back(a);
        args.push_back("--serial");
        args.push_back(pair.a());
        return kavrel(args);
    };
    struct Case {
        std::vector<std::string> command;
        std::string json;
    } table[] = {
        {{"identify", "--id", "3"},
         R"({"id":3,"vendorName":"Vorlane Drives GmbH","originalVendorName":"Vorlane","productCode":"VDX 2040",)"
         R"("originalProductCode":"VDX 2040","version":"PR307V1018","motorType":"00004711","serialNumber":"12345603",)"
         R"("familyCode":"VDX204","deviceDate":"0x56445820"})"},
        {{"write", "--id", "2", "--param", "2.1", "--value", "77"}, R"({"id":2,"index":2,"subindex":1,"size":4,"value":77})"},
        {{"read", "--id", "2", "--param", "2.1"}, R"({"id":2,"index":2,"subindex":1,"size":4,"value":77})"},
        {{"read", "--id", "1", "--param", "2.1"}, R"({"id":1,"index":2,"subindex":1,"size":4,"value":100})"},
    };
    for (const auto& t : table) {
        auto run = cli(t.command);
        EXPECT_EQ(run.status, 0) << t.command[0];
        EXPECT_EQ(run.out, t.json + "\n") << t.command[0];
    }
}
