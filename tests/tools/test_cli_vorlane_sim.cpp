// The CLI against kavrel-drive-sim serving Vorlane drives on the far end of a
// socat pair: identify, write, read, and the simulator's fault switches.
#include <gtest/gtest.h>

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
        std::vector<std::string> args{kavreltest::binDir() + "/kavrel-drive-sim", "--vorlane-serial", pair.b(),
                                      "--ids", "1-3,7"};
        args.insert(args.end(), switches.begin(), switches.end());
        sim = std::make_unique<kavreltest::ChildProcess>(args);
        for (int i = 0; i < 10 && !ready; ++i)
            ready = sim->readLine(1s) == "ready";
    }
    SimRun kavrel(const std::string& command, std::vector<std::string> extra)
    {
        std::vector<std::string> args{"--data-path", dir.str() + "data", command, "--protocol", "VorlaneRS485",
                                      "--serial", pair.a(), "--baud", "19200", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runKavrel(args);
    }
    bool ok() const { return ready; }

private:
    kavreltest::TempDir dir;
    kavreltest::SocatPair pair;
    std::unique_ptr<kavreltest::ChildProcess> sim;
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
}

TEST(CliVorlaneSim, FaultyDrivesGiveClearErrors)
{
    const std::vector<std::vector<std::string>> faults = {
        {"--no-cr"}, {"--short-reply", "1"}, {"--wrong-address"}, {"--corrupt-crc", "1"}, {"--delay-ms", "400"},
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
