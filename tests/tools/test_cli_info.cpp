// The kavrel command line: one JSON document per command, the data path rule.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct Run {
    std::string out;
    int status;
};

Run runCli(std::vector<std::string> args)
{
    args.insert(args.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(args);
    Run run;
    for (int i = 0; i < 50; ++i) {
        std::string line = child.readLine(std::chrono::seconds(5));
        if (line.empty()) {
            if (!child.running()) break;
            continue;
        }
        run.out += line + "\n";
    }
    run.status = child.stop();
    return run;
}

TEST(CliInfo, ProtocolListsAsJson)
{
    kavreltest::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {{"protocols", "--json"},
         "{\"protocols\":[\"ModbusRS485\",\"DeviceNetCan\",\"VorlaneRS485\",\"CanOpen_QTA\",\"CanOpen_KVX\","
         "\"ModbusTCP\"]}\n"},
        {{"protocols", "--scan", "--json"},
         "{\"protocols\":[\"ModbusRS485\",\"DeviceNetCan\",\"VorlaneRS485\",\"CanOpen_QTA\",\"CanOpen_KVX\"]}\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--data-path", dir.str() + "data"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto run = runCli(args);
        EXPECT_EQ(run.out, c.expected);
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_TRUE(fs::is_directory(dir.path() / "data")) << "the data path is made when missing";
}

TEST(CliInfo, UnusableDataPathIsAClearError)
{
    kavreltest::TempDir dir;
    auto file = dir.write("plainfile", "x");
    auto run = runCli({"--data-path", (file / "sub").string(), "protocols", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("{\"error\":{\"code\":\"0x80004005\",\"text\":\"cannot create the data path", 0), 0u)
        << run.out;
}

} // namespace
