// The CLI against kavrel-drive-sim serving Vorlane drives on the far end of a
// socat pair: identify, write, read, scan, node guarding, and the simulator's
// fault switches.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

struct SimRun {
    std::string out;
    int status;
};

SimRun runKavrel(std::vector<std::string> args)
{
    args.insert(args.begin(), kavreltest::binDir() + "/kavrel");
    kavreltest::ChildProcess child(args);
    SimRun run;
    for (int i = 0; i < 50; ++i) {
        std::string line = child.readLine(10s);
        if (line.empty()) {
            if (!child.running())
                break;
            continue;
        }
        run.out += line + "\n";
    }
    run.status = child.wait(10s);
    return run;
}

// Drives 1-3 and 7 on the simulator, with extra switches.
class VorlaneSim {
public:
    explicit VorlaneSim(std::vector<std::string> switches = {})
    {
        if (!pair.ok())
            return;
        fifo = dir.str() + "control";
        ::mkfifo(fifo.c_str(), 0600);
        std::vector<std::string> args{kavreltest::binDir() + "/kavrel-drive-sim", "--vorlane-serial", pair.b(),
                                      "--ids", "1-3,7", "--control", fifo};
        args.insert(args.end(), switches.begin(), switches.end());
        sim = std::make_unique<kavreltest::ChildProcess>(args);
        for (int i = 0; i < 10 && !ready; ++i)
            ready = sim->readLine(1s) == "ready";
    }
    std::vector<std::string> args(const std::string& command, std::vector<std::string> extra, bool json = true)
    {
        std::vector<std::string> all{"--data-path", dir.str() + "data", command, "--protocol", "VorlaneRS485",
                                     "--serial", pair.a(), "--baud", "19200"};
        if (json)
            all.push_back("--json");
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    SimRun kavrel(const std::string& command, std::vector<std::string> extra)
    {
        return runKavrel(args(command, std::move(extra)));
    }
    // One run-time command; true once the simulator says it took effect.
    bool control(const std::string& command) { return kavreltest::sendControl(fifo, *sim, command); }
    bool ok() const { return ready; }

private:
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    std::unique_ptr<kavreltest::ChildProcess> sim;
    std::string fifo;
    bool ready = false;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CliVorlaneSim, IdentifyWriteAndReadEachDrive)
{
    VorlaneSim sim;
    ASSERT_TRUE(sim.ok());
    auto run = sim.kavrel("identify", {"--id", "2"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has(run.out, "\"id\":2,")) << run.out;
    EXPECT_TRUE(has(run.out, "\"originalVendorName\":\"Vorlane\"")) << run.out;
    EXPECT_FALSE(has(run.out, "\"originalProductCode\":\"\"")) << run.out;

    run = sim.kavrel("write", {"--id", "3", "--param", "2.5", "--value", "0x12345678"});
    ASSERT_EQ(run.status, 0) << run.out;
    run = sim.kavrel("read", {"--id", "3", "--param", "2.5"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "{\"id\":3,\"index\":2,\"subindex\":5,\"size\":4,\"value\":305419896}\n");
    // The write went to drive 3 only.
    run = sim.kavrel("read", {"--id", "7", "--param", "2.5"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(has(run.out, "305419896")) << run.out;

    run = sim.kavrel("read", {"--id", "5", "--param", "2.5"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("{\"error\":{\"code\":\"0x80040402\"", 0), 0u) << run.out;
    // An id the line cannot address is said to be one, not a drive that did not answer.
    run = sim.kavrel("read", {"--id", "40", "--param", "2.5"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "{\"error\":{\"code\":\"usage\",\"text\":\"id 40 is outside 1-31 for VorlaneRS485\"}}\n");
}

TEST(CliVorlaneSim, ScanOfTheWholeRangeFindsTheDrivesPresent)
{
    VorlaneSim sim;
    ASSERT_TRUE(sim.ok());
    const auto run = sim.kavrel("scan", {"--range", "1-31"});
    ASSERT_EQ(run.status, 0) << run.out;
    std::string expected;
    for (int id = 1; id <= 31; ++id) {
        const bool present = id <= 3 || id == 7;
        expected += "{\"event\":\"stepped\",\"id\":" + std::to_string(id) + ",\"found\":" +
                    (present ? "true" : "false") + "}\n";
    }
    expected += "{\"event\":\"finished\",\"found\":[1,2,3,7]}\n";
    EXPECT_EQ(run.out, expected);

    // The line's addresses end at 31.
    const auto refused = sim.kavrel("scan", {"--range", "30-32"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(has(refused.out, "not a range of ids within 1-31")) << refused.out;
}

TEST(CliVorlaneSim, GuardReportsTheDriveSilencedOnce)
{
    VorlaneSim sim;
    ASSERT_TRUE(sim.ok());
    kavreltest::ChildProcess child(
        [&] {
            auto all = sim.args("guard", {"--ids", "1-3", "--interval", "300", "--duration", "4"}, false);
            all.insert(all.begin(), kavreltest::binDir() + "/kavrel");
            return all;
        }());
    // Silenced only once all three are connected and guarded.
    ASSERT_EQ(child.readLine(10s).rfind("guarding 1, 2, 3", 0), 0u);
    ASSERT_TRUE(sim.control("silence 2"));
    std::vector<std::string> lines;
    for (int i = 0; i < 10; ++i) {
        std::string line = child.readLine(10s);
        if (line.empty())
            break;
        lines.push_back(line);
    }
    EXPECT_EQ(child.wait(10s), 0);
    const std::vector<std::string> expected{"id 2: node guard timeout",
                                            "guarding ended: 1, 3 still answering, 1 timed out"};
    EXPECT_EQ(lines, expected);
}

TEST(CliVorlaneSim, FaultyDrivesGiveClearErrors)
{
    const std::vector<std::vector<std::string>> faults = {
        // Another address in the addressing reply is no fault: any reply ended by CR acknowledges.
        {"--no-cr"}, {"--short-reply", "1"}, {"--corrupt-crc", "1"}, {"--delay-ms", "400"},
    };
    for (const auto& fault : faults) {
        VorlaneSim sim(fault);
        ASSERT_TRUE(sim.ok()) << fault[0];
        const auto start = std::chrono::steady_clock::now();
        const auto run = sim.kavrel("read", {"--id", "1", "--param", "2.5"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << fault[0];
        EXPECT_EQ(run.status, 1) << fault[0] << ": " << run.out;
        // Either the drive is not taken at all, or its parameter read fails.
        EXPECT_TRUE(run.out.rfind("{\"error\":{\"code\":\"0x80040402\",\"text\":\"", 0) == 0 ||
                    run.out.rfind("{\"error\":{\"code\":\"0x80040501\",\"text\":\"", 0) == 0)
            << fault[0] << ": " << run.out;
    }
}

} // namespace
