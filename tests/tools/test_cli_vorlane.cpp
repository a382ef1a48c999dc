// kavrel identify | read | write on a Vorlane drive: the CLI opens one end of
// a socat pair as its serial port, a scripted drive answers on the other end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/VorlanePeer.h"

using kavreltest::VorlanePeer;

namespace {

struct CliRun {
    std::string out;
    int status;
};

CliRun runCli(std::vector<std::string> args)
{
    args.insert(args.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(args);
    CliRun run;
    for (int i = 0; i < 50; ++i) {
        std::string line = child.readLine(std::chrono::seconds(10));
        if (line.empty()) {
            if (!child.running())
                break;
            continue;
        }
        run.out += line + "\n";
    }
    run.status = child.wait(std::chrono::seconds(10));
    return run;
}

class CliVorlane : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pair.ok());
        ASSERT_TRUE(drives.ok());
        drives.addDrive(4);
        drives.setParameter(4, 1, 1, (3u << 16) | 7);  // PR307
        drives.setParameter(4, 1, 2, (2u << 16) | 45); // V2045
        drives.setParameter(4, 1, 3, 0x20204B56);      // "  KV"
        drives.setParameter(4, 1, 4, 0x58323020);      // "X20 "
        drives.setParameter(4, 5, 13, 4711);
        drives.setParameter(4, 1, 23, 123456);
    }
    CliRun cli(const std::string& command, std::vector<std::string> extra, const std::string& baud = "19200")
    {
        std::vector<std::string> args{"--data-path", dir.str() + "data", command, "--protocol", "VorlaneRS485",
                                      "--serial",    pair.a(),           "--baud",  baud,       "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runCli(args);
    }
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    VorlanePeer drives{pair.b()};
};

TEST_F(CliVorlane, IdentifiesTheDrive)
{
    const auto run = cli("identify", {"--id", "4"});
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char* field : {"\"id\":4", "\"originalVendorName\":\"Vorlane\"", "\"originalProductCode\":\"KVX20\"",
                              "\"version\":\"PR307V2045\"", "\"motorType\":\"00004711\"",
                              "\"serialNumber\":\"00123456\""})
        EXPECT_NE(run.out.find(field), std::string::npos) << field << " in " << run.out;
    const auto seen = drives.telegrams();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0], "#04\r");
    EXPECT_EQ(seen[1], "090A000100000001\r");
}

TEST_F(CliVorlane, WritesAndReadsAParameterOnTheWire)
{
    auto run = cli("write", {"--id", "4", "--param", "7.2", "--size", "2", "--value", "0x1234"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "{\"id\":4,\"index\":7,\"subindex\":2,\"size\":2,\"value\":4660}\n");
    EXPECT_EQ(drives.parameter(4, 7, 2), 0x1234u);
    const auto written = drives.telegrams();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), "0902000700001234\r");

    drives.setParameter(4, 7, 2, 0xCAFE);
    drives.clearTelegrams();
    run = cli("read", {"--id", "4", "--param", "7.2", "--size", "2"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "{\"id\":4,\"index\":7,\"subindex\":2,\"size\":2,\"value\":51966}\n");
    const auto read = drives.telegrams();
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.front(), "#04\r");
    EXPECT_EQ(read.back(), "0202000700000000\r");
}

TEST_F(CliVorlane, FailuresAreClearErrors)
{
    struct Case {
        const char* name;
        std::string command;
        std::vector<std::string> extra;
        std::string baud;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"no drive at the address", "read", {"--id", "5", "--param", "7.2"}, "19200", "0x80040402"},
        {"baud rate the protocol does not offer", "identify", {"--id", "4"}, "12345", "usage"},
        {"id beyond the line's addresses", "read", {"--id", "40", "--param", "7.2"}, "19200", "usage"},
        {"AUTO finds the drive", "identify", {"--id", "4"}, "AUTO", nullptr},
    };
    for (const auto& c : cases) {
        const auto run = cli(c.command, c.extra, c.baud);
        if (!c.code) {
            EXPECT_EQ(run.status, 0) << c.name << ": " << run.out;
            continue;
        }
        EXPECT_EQ(run.status, std::string(c.code) == "usage" ? 2 : 1) << c.name;
        EXPECT_EQ(run.out.rfind(std::string("{\"error\":{\"code\":\"") + c.code + "\",\"text\":\"", 0), 0u)
            << c.name << ": " << run.out;
    }
    // A port path that does not exist: listed because it was named, but it cannot be opened.
    const auto run = runCli({"--data-path", dir.str() + "data", "identify", "--protocol", "VorlaneRS485", "--serial",
                             dir.str() + "ttyMissing", "--id", "4", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("{\"error\":{\"code\":\"0x80040404\"", 0), 0u) << run.out;
    // A character format the protocol does not offer is refused with the ones it offers.
    const struct {
        const char* protocol;
        const char* offered;
    } formats[] = {{"VorlaneRS485", "(E,7,1)"}, {"ModbusRS485", "(N,8,1 E,8,1 O,8,1 N,8,2)"}};
    for (const auto& f : formats) {
        const auto refused = runCli({"--data-path", dir.str() + "data", "identify", "--protocol", f.protocol,
                                     "--serial", pair.a(), "--format", "N,7,2", "--id", "4", "--json"});
        EXPECT_EQ(refused.status, 2) << f.protocol;
        EXPECT_EQ(refused.out.rfind("{\"error\":{\"code\":\"usage\"", 0), 0u) << refused.out;
        EXPECT_NE(refused.out.find(std::string("--format 'N,7,2' is not offered ") + f.offered), std::string::npos)
            << refused.out;
    }
}

} // namespace
