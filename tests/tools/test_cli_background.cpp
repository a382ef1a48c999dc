// kavrel scan | guard | upload against the simulator over Modbus TCP: the JSON
// lines as they arrive, a drive silenced at run time reported once, the
// uploaded data in its file, and bad flags refused with a code and a text.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/test_drive_sim_support.h"

using namespace simtest;

namespace {

struct CliRun {
    std::vector<std::string> lines;
    int status = -1;
};

std::vector<std::string> tcpFlags(int port)
{
    return {"--protocol", "ModbusTCP", "--host", "127.0.0.1", "--tcp-port", std::to_string(port)};
}

std::vector<std::string> rtuFlags(const std::string& port)
{
    return {"--protocol", "ModbusRS485", "--serial", port, "--baud", "19200", "--format", "N,8,1"};
}

// Runs kavrel with --json; each line is read within its own bounded wait.
CliRun kavrel(const kavreltest::TempDir& dir, const std::vector<std::string>& connection,
              std::vector<std::string> command, const std::function<void(const std::string&)>& onLine = {})
{
    std::vector<std::string> args{kavreltest::binDir() + "/kavrel", "--data-path", dir.str() + "data"};
    args.insert(args.end(), command.begin(), command.end());
    args.insert(args.end(), connection.begin(), connection.end());
    args.push_back("--json");
    kavreltest::ChildProcess child(args);
    CliRun run;
    for (int i = 0; i < 200; ++i) {
        std::string line = child.readLine(10s);
        if (line.empty() && !child.running())
            break;
        if (line.empty())
            continue;
        run.lines.push_back(line);
        if (onLine)
            onLine(line);
    }
    run.status = child.wait(10s);
    return run;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

TEST(CliBackground, ScanPrintsEachIdThenTheFoundOnes)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "2,4"});
    ASSERT_TRUE(sim.ready);
    auto run = kavrel(dir, tcpFlags(sim.port), {"scan", "--range", "1-5"});
    EXPECT_EQ(run.status, 0) << joined(run.lines);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             R"({"event":"stepped","id":1,"found":false})",
                             R"({"event":"stepped","id":2,"found":true})",
                             R"({"event":"stepped","id":3,"found":false})",
                             R"({"event":"stepped","id":4,"found":true})",
                             R"({"event":"stepped","id":5,"found":false})",
                             R"({"event":"finished","found":[2,4]})",
                         }));
}

TEST(CliBackground, GuardOverRtuReportsTheSilencedDriveOnce)
{
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    const std::string fifo = dir.str() + "control";
    Sim sim({"--serial", pair.b(), "--baud", "19200", "--ids", "1-3", "--control", fifo});
    ASSERT_TRUE(sim.ready);
    const int control = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(control, 0);
    // Drive 2 goes silent once guarding runs; nothing is printed before that, so a timer does it.
    std::thread silencer([&] {
        std::this_thread::sleep_for(1500ms);
        const std::string line = "silence 2\n";
        EXPECT_EQ(::write(control, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    });
    auto run = kavrel(dir, rtuFlags(pair.a()), {"guard", "--ids", "1-3", "--interval", "400", "--duration", "4"});
    silencer.join();
    ::close(control);
    EXPECT_EQ(run.status, 0) << joined(run.lines);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             R"({"event":"nodeguard","id":2})",
                             R"({"event":"finished","guarded":[1,3],"timedOut":[2]})",
                         }));
}

TEST(CliBackground, ScanOverRtu)
{
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    ASSERT_TRUE(pair.ok());
    Sim sim({"--serial", pair.b(), "--baud", "19200", "--ids", "3"});
    ASSERT_TRUE(sim.ready);
    auto run = kavrel(dir, rtuFlags(pair.a()), {"scan", "--range", "2-4"});
    EXPECT_EQ(run.status, 0) << joined(run.lines);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             R"({"event":"stepped","id":2,"found":false})",
                             R"({"event":"stepped","id":3,"found":true})",
                             R"({"event":"stepped","id":4,"found":false})",
                             R"({"event":"finished","found":[3]})",
                         }));
}

TEST(CliBackground, UploadWritesTheWholeDataAsBytesOrAsHexText)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1-2"});
    ASSERT_TRUE(sim.ready);
    // The simulator's three blocks, in order.
    const std::string hex = "00112233445566778899AABBCCDDEEFF"
                            "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                            "CAFE";
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    struct Case {
        std::vector<std::string> extra;
        std::string content;
    } cases[] = {{{}, bytes}, {{"--hex"}, hex}};
    for (const auto& c : cases) {
        const std::string out = dir.str() + "upload.bin";
        std::vector<std::string> command{"upload", "--id", "2", "--out", out};
        command.insert(command.end(), c.extra.begin(), c.extra.end());
        auto run = kavrel(dir, tcpFlags(sim.port), command);
        ASSERT_EQ(run.status, 0) << joined(run.lines);
        ASSERT_EQ(run.lines.size(), 1u) << joined(run.lines);
        EXPECT_EQ(kavreltest::readFile(out), c.content);
        EXPECT_NE(run.lines[0].find(R"("bytes":)" + std::to_string(c.content.size())), std::string::npos)
            << run.lines[0];
        EXPECT_NE(run.lines[0].find(R"("result":"0x00000000")"), std::string::npos) << run.lines[0];
    }
}

TEST(CliBackground, ReadingLeavesTheDriveAndAScanRangeGivenIsStored)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "2,4"});
    ASSERT_TRUE(sim.ready);
    // identify and read connect without node guarding: the interval 22.6 stays 0.
    ASSERT_EQ(kavrel(dir, tcpFlags(sim.port), {"identify", "--id", "2"}).status, 0);
    auto read = kavrel(dir, tcpFlags(sim.port), {"read", "--id", "2", "--param", "22.6", "--size", "2"});
    ASSERT_EQ(read.status, 0) << joined(read.lines);
    EXPECT_NE(joined(read.lines).find(R"("value":0})"), std::string::npos) << joined(read.lines);

    ASSERT_EQ(kavrel(dir, tcpFlags(sim.port), {"scan", "--range", "3-4"}).status, 0);
    auto again = kavrel(dir, tcpFlags(sim.port), {"scan"});
    EXPECT_EQ(again.status, 0) << joined(again.lines);
    EXPECT_EQ(again.lines, (std::vector<std::string>{
                               R"({"event":"stepped","id":3,"found":false})",
                               R"({"event":"stepped","id":4,"found":true})",
                               R"({"event":"finished","found":[4]})",
                           }));
}

TEST(CliBackground, BadFlagsAreUsageErrorsAndFailuresCarryTheirCode)
{
    kavreltest::TempDir dir;
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1"});
    ASSERT_TRUE(sim.ready);
    const std::string usage = R"({"error":{"code":"usage","text":")";
    struct Case {
        std::vector<std::string> command;
        int status;
        std::string start, text;
    } cases[] = {
        {{"scan", "--range", "5-x"}, 2, usage, "is not a range of ids"},
        {{"scan", "--range", "0-300"}, 2, usage, "is not a range of ids"},
        {{"scan", "--bogus"}, 2, usage, "--bogus"},
        {{"guard", "--ids", "1", "--interval", "70000"}, 2, usage, "--interval must be"},
        {{"guard", "--ids", "abc"}, 2, usage, "is not a list of ids"},
        {{"guard", "--ids", "1", "--duration", "-1"}, 2, usage, "--duration must be"},
        {{"upload", "--id", "0", "--out", dir.str() + "x"}, 2, usage, "--id must name a drive"},
        {{"upload", "--out", dir.str() + "x"}, 2, usage, "--id is required"},
        {{"read", "--id", "1", "--param", "1.x"}, 2, usage, "--param '1.x'"},
        {{"identify", "--id", "258"}, 2, usage, "id 258 is outside 1-248 for ModbusTCP"},
        {{"upload", "--id", "9", "--out", dir.str() + "x"}, 1, R"({"error":{"code":"0x80040402")", "text"},
    };
    for (const auto& c : cases) {
        auto run = kavrel(dir, tcpFlags(sim.port), c.command);
        EXPECT_EQ(run.status, c.status) << c.command[0] << " " << c.command[1];
        ASSERT_EQ(run.lines.size(), 1u) << joined(run.lines);
        EXPECT_EQ(run.lines[0].rfind(c.start, 0), 0u) << run.lines[0];
        EXPECT_NE(run.lines[0].find(c.text), std::string::npos) << run.lines[0];
    }
    EXPECT_FALSE(std::filesystem::exists(dir.str() + "x")) << "a failed upload left a file";
}
