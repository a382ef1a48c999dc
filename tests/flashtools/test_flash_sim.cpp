// Firmware downloads end to end: kavrel flash and the flasher objects against
// kavrel-drive-sim over Modbus TCP and over Modbus RTU on a pseudo-terminal,
// with the image the simulated drive kept compared byte for byte by srec_cmp.
// Skipped where the simulator has no flash support.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusInterface.h"
#include "automation/CFlasher.h"
#include "automation/ErrorInfo.h"
#include "automation/InterfaceSettings.h"
#include "flash_test_files.h"
#include "flashtools/FlashData.h"

using namespace Kavrel;
using namespace std::chrono_literals;

namespace {

std::string simPath() { return kavreltest::binDir() + "/kavrel-drive-sim"; }
std::string cliPath() { return kavreltest::binDir() + "/kavrel"; }

bool simulatorFlashes()
{
    static const bool yes = std::filesystem::exists(simPath()) &&
                            flashtest::run(simPath() + " --help 2>&1").find("--flash-dump") != std::string::npos;
    return yes;
}

class Simulator {
public:
    explicit Simulator(std::vector<std::string> args)
    {
        std::vector<std::string> argv{simPath(), "--flash-dump", dump.str()};
        argv.insert(argv.end(), args.begin(), args.end());
        process = std::make_unique<kavreltest::ChildProcess>(argv);
        for (int i = 0; i < 8; ++i) {
            const std::string line = process->readLine(10000ms);
            if (line.rfind("tcp ", 0) == 0)
                port = line.substr(line.rfind(':') + 1);
            if (line == "ready") {
                ready = true;
                break;
            }
            if (line.empty())
                break;
        }
    }
    std::string dumped(const std::string& kind, int id) const { return dump.str() + kind + "-" + std::to_string(id) + ".srec"; }
    kavreltest::TempDir dump;
    bool ready = false;
    std::string port;
    std::unique_ptr<kavreltest::ChildProcess> process;
};

// An image of `bytes` bytes at word 0x100 and a loader speaking `version`.
struct FlashFiles {
    kavreltest::TempDir dir;
    std::string image, loader;
    std::vector<std::uint8_t> data;
    FlashFiles(std::size_t bytes, int version)
    {
        data = flashtest::randomBytes(bytes, 11);
        flashtest::writeBinary(dir, "image.bin", data);
        flashtest::writeBinary(dir, "loader.bin", flashtest::randomBytes(700, 12));
        image = flashtest::makeSrec(dir, "image.s", dir.str() + "image.bin -binary -offset 0x200", "-address-length=3",
                                    "#FILE=image\n#KOMP=3\n#FAPI=DRV12\n");
        loader = flashtest::makeSrec(dir, "loader.s", dir.str() + "loader.bin -binary", "",
                                     "#FLASHPROTOCOLVERSION=" + std::to_string(version) + "\n");
    }
    // The drive's image equals the file; its checksum is the file's sum over the whole area.
    void expectDumpMatches(const std::string& dumped) const
    {
        ASSERT_TRUE(std::filesystem::exists(dumped)) << dumped;
        int status = -1;
        // Word addresses on both sides: read as such, the checksum's four bytes lie at 0x3F7FF4 x 2.
        const std::string out = flashtest::run("srec_cmp " + dumped + " -motorola 2 -crop 0 0x7EFFE8 " + image +
                                               " -motorola 2 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        std::uint32_t sum = 0;
        for (auto b : data) sum += b;
        sum += static_cast<std::uint32_t>(0x3FFEC - data.size()) * 0xFFu;
        const std::string tail = flashtest::run("srec_cat " + dumped +
                                                " -motorola 2 -crop 0x7EFFE8 0x7EFFEC -offset -0x7EFFE8 -o - -binary 2>/dev/null");
        const std::string expected{static_cast<char>(sum >> 8), static_cast<char>(sum), static_cast<char>(sum >> 24),
                                   static_cast<char>(sum >> 16)};
        EXPECT_EQ(tail, expected) << "checksum words at 0x3F7FF4";
    }
};

struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
    bool has(const std::string& text) const
    {
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
};

// kavrel flash with --json; interrupt (SIGINT) once a line holds interruptAt.
CliRun flashWithCli(const std::vector<std::string>& args, const std::string& interruptAt = {})
{
    kavreltest::TempDir data;
    std::vector<std::string> argv{cliPath(), "--data-path", data.str(), "flash", "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    kavreltest::ChildProcess cli(argv);
    CliRun run;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string line = cli.readLine(30000ms);
        if (line.empty()) break;
        run.lines.push_back(line);
        if (!interrupted && !interruptAt.empty() && line.find(interruptAt) != std::string::npos) {
            ::kill(cli.pid(), SIGINT);
            interrupted = true;
        }
    }
    run.status = cli.wait(20000ms);
    return run;
}

std::vector<std::string> tcpArgs(const Simulator& sim, const FlashFiles& files)
{
    return {"--protocol", "ModbusTCP", "--host", "127.0.0.1", "--tcp-port", sim.port, "--id", "1",
            "--file", files.image, "--api", files.loader};
}

class FlashOnSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!simulatorFlashes())
            GTEST_SKIP() << "kavrel-drive-sim without flash support";
    }
};

} // namespace

TEST_F(FlashOnSimulator, CliFlashesOverTcpWithVersion1And2Loaders)
{
    for (int version : {1, 2}) {
        FlashFiles files(9000, version);
        Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "100"});
        ASSERT_TRUE(sim.ready);
        const CliRun run = flashWithCli(tcpArgs(sim, files));
        ASSERT_EQ(run.status, 0) << run.lines.back();
        // The major steps in order, each once (REQUESTED twice), then the end.
        std::vector<int> majors;
        for (const auto& l : run.lines)
            if (l.find("\"reason\":1,") != std::string::npos)
                majors.push_back(std::stoi(l.substr(l.find("\"flashState\":") + 13)));
        EXPECT_EQ(majors, (std::vector<int>{1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
        EXPECT_TRUE(run.has("\"endStateName\":\"RUNNING\""));
        EXPECT_NE(run.lines.back().find("\"event\":\"finished\""), std::string::npos);
        EXPECT_NE(run.lines.back().find("\"bytes\":9004"), std::string::npos) << run.lines.back();
        files.expectDumpMatches(sim.dumped("flash", 1));
    }
}

TEST_F(FlashOnSimulator, CliFlashesOverRtuAtTheFlashRate)
{
    FlashFiles files(6000, 2);
    kavreltest::TempDir links;
    const std::string link = links.str() + "drive";
    Simulator sim({"--serial-pty", link, "--baud", "19200", "--ids", "4", "--erase-ms", "0"});
    ASSERT_TRUE(sim.ready);
    kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", link);
    const CliRun run = flashWithCli({"--protocol", "ModbusRS485", "--serial", link, "--baud", "19200", "--format",
                                     "N,8,1", "--id", "4", "--file", files.image, "--api", files.loader,
                                     "--flash-baud", "38400"});
    ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
    files.expectDumpMatches(sim.dumped("flash", 4));
}

TEST_F(FlashOnSimulator, RefusalAtEachStepGivesTheBusCodeAndText)
{
    FlashFiles files(3000, 1);
    for (const char* step : {"test", "request", "api", "jump", "erase", "data:2", "finish"}) {
        Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "0", "--flash-refuse", step});
        ASSERT_TRUE(sim.ready);
        const CliRun run = flashWithCli(tcpArgs(sim, files));
        EXPECT_EQ(run.status, 1) << step;
        EXPECT_TRUE(run.has("\"event\":\"exception\",\"id\":1,\"code\":\"0x80040F18\"")) << step;
        EXPECT_TRUE(run.has("(bus error 0x")) << step << ": the bus's code is named";
        EXPECT_TRUE(run.has("\"endStateName\":\"STOPPED\"")) << step;
        EXPECT_NE(run.lines.back().find("\"error\""), std::string::npos) << step;
        EXPECT_FALSE(std::filesystem::exists(sim.dumped("flash", 1))) << step;
    }
}

TEST_F(FlashOnSimulator, StuckEraseEndsAtTheTimeOutAndCancelEndsEachPhase)
{
    FlashFiles files(200000, 1); // long enough in its data phase to be interrupted there
    {
        Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-stuck"});
        ASSERT_TRUE(sim.ready);
        auto args = tcpArgs(sim, files);
        args.insert(args.end(), {"--erase-timeout", "1"});
        const auto begun = std::chrono::steady_clock::now();
        const CliRun run = flashWithCli(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.has("erase not finished after 1000 ms")) << run.lines.back();
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 30s);
    }
    // Ctrl-C while erasing and while sending data: cancelled (130), USER_STOPPED.
    for (const char* phase : {"\"flashState\":9,", "\"flashState\":11,"}) {
        Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "1500"});
        ASSERT_TRUE(sim.ready);
        const CliRun run = flashWithCli(tcpArgs(sim, files), phase);
        EXPECT_EQ(run.status, 130) << phase;
        EXPECT_TRUE(run.has("\"endStateName\":\"USER_STOPPED\"")) << phase;
        EXPECT_TRUE(run.has("\"code\":\"0x80044005\"")) << phase;
    }
}

TEST_F(FlashOnSimulator, BadFilesAreRefusedBeforeAnythingIsSent)
{
    FlashFiles files(1000, 1);
    const std::string badImage = files.dir.write("bad.s", "#KOMP=3\nS1070000112233444F\n").string();
    const std::string badLoader = files.dir.write("bad.api", "S10700001122334G4E\n").string();
    Simulator sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "0", "-v"});
    ASSERT_TRUE(sim.ready);
    auto manager = CCommunicationManager::create();
    kavreltest::TempDir settings;
    manager->put_lastSettingsPath(settings.str());
    manager->put_protocolname("ModbusTCP");
    std::shared_ptr<IFieldbusInterface> made;
    ASSERT_EQ(manager->create_emptyFieldbusInterface(made), S_OK);
    auto bus = std::dynamic_pointer_cast<CFieldbusInterface>(made);
    bus->put_dontShowDialog(1);
    ASSERT_EQ(InterfaceSettings::set(*bus, "IpAddress", "127.0.0.1"), S_OK);
    ASSERT_EQ(InterfaceSettings::set(*bus, "EthernetPort", sim.port), S_OK);
    std::shared_ptr<IFieldbusDevice> device;
    ASSERT_EQ(bus->connectDeviceWithId(1, device), S_OK) << lastErrorInfo().description;

    auto flasher = CFlasher::create();
    ASSERT_EQ(flasher->setFlashData(badImage), S_OK) << "opened, not read yet";
    ASSERT_EQ(flasher->setFlashApiData(files.loader), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(flasher->flashDevice(device, 0, 1)), 0x80040F16u);
    ASSERT_EQ(flasher->setFlashData(files.image), S_OK);
    ASSERT_EQ(flasher->setFlashApiData(badLoader), S_OK) << "opened, not read yet";
    EXPECT_EQ(static_cast<std::uint32_t>(flasher->flashDevice(device, 1, 1)), 0x80040F15u);
    std::string text;
    flasher->getErrorText(static_cast<std::int32_t>(0x80040F15u), text);
    EXPECT_NE(text.find("bad.api"), std::string::npos) << text;
    std::shared_ptr<CFlashProgressState> state;
    ASSERT_EQ(flasher->getFlashProgressState(state), S_OK);
    std::int32_t end = -1;
    state->getEndState(end);
    EXPECT_EQ(end, 0) << "the download never started";
    // The same device then flashes on the caller's thread with every event already delivered.
    ASSERT_EQ(flasher->setFlashApiData(files.loader), S_OK);
    ASSERT_EQ(flasher->flashDevice(device, 1, 1), S_OK) << lastErrorInfo().description;
    ASSERT_EQ(flasher->getLastEventFlashState(state), S_OK);
    state->getEndState(end);
    EXPECT_EQ(end, 2);
    files.expectDumpMatches(sim.dumped("flash", 1));
}
