// The CLI on CANopen through kavrel-canbus: a drive written on python-can's
// socketcand client, and simulated drives of both families over both
// adapter libraries.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/CanBusFixture.h"
#include "support/TestSupport.h"
#include "tools/canopen_peers.h"

using namespace std::chrono_literals;

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
    for (int i = 0; i < 200; ++i) {
        std::string line = child.readLine(15s);
        if (line.empty()) {
            if (!child.running())
                break;
            continue;
        }
        run.out += line + "\n";
    }
    run.status = child.wait(15s);
    return run;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliCanOpen : public ::testing::Test {
protected:
    std::vector<std::string> args(const std::string& command, const std::string& protocol, const std::string& endpoint,
                                  std::vector<std::string> extra)
    {
        std::vector<std::string> all{"--data-path", dir.str() + "data", command, "--protocol", protocol,
                                     "--can", endpoint, "--json"};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    CliRun run(const std::string& command, const std::string& protocol, const std::string& endpoint,
            std::vector<std::string> extra)
    {
        return kavrel(args(command, protocol, endpoint, std::move(extra)));
    }
    kavreltest::TempDir dir;
};

TEST_F(CliCanOpen, PythonCanDriveIsIdentifiedReadAndWritten)
{
    cantest::CanBus bus;
    ASSERT_TRUE(bus.ok());
    cantest::PythonDrive drive(bus.port(), "can0", 9);
    ASSERT_TRUE(drive.ok());
    for (const std::string adapter : {"peak", "ixxat"}) {
        auto r = run("identify", "CanOpen_QTA", bus.endpoint(), {"--adapter", adapter, "--id", "9"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(r.out, "\"originalVendorName\":\"Vorlane GmbH\"")) << r.out;
        EXPECT_TRUE(has(r.out, "\"version\":\"P314V2007\"")) << r.out;
        r = run("write", "CanOpen_QTA", bus.endpoint(), {"--adapter", adapter, "--id", "9", "--param", "2.5",
                                                         "--value", "777"});
        ASSERT_EQ(r.status, 0) << r.out;
        r = run("read", "CanOpen_QTA", bus.endpoint(), {"--adapter", adapter, "--id", "9", "--param", "2.5"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "{\"id\":9,\"index\":2,\"subindex\":5,\"size\":4,\"value\":777}\n");
        // An SDO abort is a failed access with the abort code's text.
        r = run("read", "CanOpen_QTA", bus.endpoint(), {"--adapter", adapter, "--id", "9", "--param", "7.7"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.out, "Object does not exist")) << r.out;
    }
    // The other family does not take this drive.
    auto r = run("identify", "CanOpen_KVX", bus.endpoint(), {"--id", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "0x80040402")) << r.out;
}

// QTA drives 3, 5 and 9 on can0; KVX drives 12 and 40 on can1, all at 125 kbit/s.
class CliCanOpenSim : public CliCanOpen {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.ok());
        qta = std::make_unique<cantest::CanDrives>(bus.endpoint("can0"), "qta", "3,5,9",
                                                   std::vector<std::string>{"--control", control("qta")});
        kvx = std::make_unique<cantest::CanDrives>(bus.endpoint("can1"), "kvx", "12,40",
                                                   std::vector<std::string>{"--control", control("kvx")});
        ASSERT_TRUE(qta->ok() && kvx->ok()) << "kavrel-drive-sim --canopen did not start";
    }
    std::string control(const std::string& name)
    {
        const std::string fifo = dir.str() + name;
        ::mkfifo(fifo.c_str(), 0600);
        return fifo;
    }
    kavreltest::CanBusProcess bus{{"can0=125000", "can1=125000"}};
    std::unique_ptr<cantest::CanDrives> qta, kvx;
};

TEST_F(CliCanOpenSim, BothFamiliesOverBothAdapters)
{
    struct Case {
        const char* protocol;
        const char* bus;
        const char* id;
        const char* adapter;
        std::vector<std::string> identity;
    };
    const Case cases[] = {
        {"CanOpen_QTA", "can0", "3", "peak",
         {"\"originalVendorName\":\"Vorlane GmbH\"", "\"originalProductCode\":\"QTA-2040\"",
          "\"serialNumber\":\"123456792\""}},
        {"CanOpen_QTA", "can0", "9", "ixxat", {"\"serialNumber\":\"123456798\""}},
        {"CanOpen_KVX", "can1", "12", "peak",
         {"\"originalVendorName\":\"Halvorn GmbH\"", "\"originalProductCode\":\"KVX-4400-A01\""}},
        {"CanOpen_KVX", "can1", "40", "ixxat", {"\"originalProductCode\":\"KVX-4400-A01\""}},
    };
    for (const auto& c : cases) {
        const std::string endpoint = bus.endpoint(c.bus);
        const std::vector<std::string> drive{"--adapter", c.adapter, "--id", c.id};
        auto with = [&](std::vector<std::string> extra) {
            extra.insert(extra.begin(), drive.begin(), drive.end());
            return extra;
        };
        auto r = run("identify", c.protocol, endpoint, with({}));
        ASSERT_EQ(r.status, 0) << r.out;
        for (const auto& part : c.identity)
            EXPECT_TRUE(has(r.out, part)) << part << "\n" << r.out;
        r = run("write", c.protocol, endpoint, with({"--param", "2.0", "--value", "0x12345678"}));
        ASSERT_EQ(r.status, 0) << r.out;
        r = run("read", c.protocol, endpoint, with({"--param", "2.0"}));
        EXPECT_TRUE(has(r.out, "\"value\":305419896}")) << r.out;
        // 2.1 is two bytes wide: the drive's reply decides what a write sends.
        r = run("write", c.protocol, endpoint, with({"--param", "2.1", "--value", "0xABCDEF"}));
        ASSERT_EQ(r.status, 0) << r.out;
        r = run("read", c.protocol, endpoint, with({"--param", "2.1", "--size", "2"}));
        EXPECT_TRUE(has(r.out, "\"value\":52719}")) << r.out; // 0xCDEF
    }
}

TEST_F(CliCanOpenSim, ScanOfTheWholeRangeFindsTheDrivesPresent)
{
    const auto r = run("scan", "CanOpen_QTA", bus.endpoint("can0"), {"--range", "1-127"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "{\"event\":\"stepped\",\"id\":127,\"found\":false}")) << r.out;
    EXPECT_TRUE(has(r.out, "{\"event\":\"finished\",\"found\":[3,5,9]}")) << r.out;
}

TEST_F(CliCanOpenSim, GuardReportsTheSilencedDriveOnce)
{
    auto all = args("guard", "CanOpen_KVX", bus.endpoint("can1"),
                    {"--ids", "12,40", "--interval", "300", "--duration", "4"});
    all.erase(std::find(all.begin(), all.end(), "--json"));
    all.insert(all.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(all);
    ASSERT_EQ(child.readLine(20s).rfind("guarding 12, 40", 0), 0u);
    ASSERT_TRUE(kavreltest::sendControl(dir.str() + "kvx", kvx->process(), "silence 40"));
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i) {
        std::string line = child.readLine(15s);
        if (line.empty())
            break;
        lines.push_back(line);
    }
    EXPECT_EQ(child.wait(15s), 0);
    const std::vector<std::string> expected{"id 40: node guard timeout",
                                            "guarding ended: 12 still answering, 1 timed out"};
    EXPECT_EQ(lines, expected);
}

TEST_F(CliCanOpenSim, KvxUploadAndAutoRate)
{
    const std::string out = dir.str() + "upload.bin";
    auto r = run("upload", "CanOpen_KVX", bus.endpoint("can1"), {"--id", "12", "--out", out});
    ASSERT_EQ(r.status, 0) << r.out;
    // 31 words: sixteen reads of 4.12, then the packet that ends the upload.
    EXPECT_TRUE(has(r.out, "\"packets\":17,")) << r.out;
    EXPECT_TRUE(has(r.out, "\"result\":\"0x00000000\"")) << r.out;
    // The QTA family has no upload.
    r = run("upload", "CanOpen_QTA", bus.endpoint("can0"), {"--id", "3", "--out", out});
    EXPECT_EQ(r.status, 1) << r.out;

    // Drive 12 moves to 250 kbit/s: a fixed 125k misses it, AUTO finds it.
    ASSERT_TRUE(kavreltest::sendControl(dir.str() + "kvx", kvx->process(), "bitrate 12 250000"));
    r = run("read", "CanOpen_KVX", bus.endpoint("can1"), {"--baud", "125k", "--id", "12", "--param", "2.0"});
    EXPECT_EQ(r.status, 1) << r.out;
    for (const char* adapter : {"peak", "ixxat"}) {
        r = run("identify", "CanOpen_KVX", bus.endpoint("can1"), {"--adapter", adapter, "--baud", "AUTO", "--id", "12"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has(r.out, "KVX-4400-A01")) << r.out;
    }
}

TEST_F(CliCanOpen, RefusesWhatDoesNotFit)
{
    struct Case {
        std::vector<std::string> args;
        const char* text;
    };
    const Case cases[] = {
        {{"read", "--protocol", "CanOpen_QTA", "--can", "127.0.0.1:1/can0", "--baud", "1M", "--id", "1", "--param",
          "1.1"},
         "--baud '1M' is not offered (125k,250k,500k,AUTO)"},
        {{"read", "--protocol", "CanOpen_QTA", "--serial", "/dev/null", "--id", "1", "--param", "1.1"},
         "takes --can"},
        {{"read", "--protocol", "ModbusTCP", "--can", "127.0.0.1:1/can0", "--id", "1", "--param", "1.1"},
         "--can and --adapter are for CanOpen"},
        {{"read", "--protocol", "CanOpen_KVX", "--can", "127.0.0.1:1/can0", "--id", "1", "--param", "1.1"},
         "0x80040404"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> a{"--data-path", dir.str() + "data"};
        a.insert(a.end(), c.args.begin(), c.args.end());
        a.push_back("--json");
        const auto r = kavrel(a);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(has(r.out, c.text)) << r.out;
    }
}

} // namespace
