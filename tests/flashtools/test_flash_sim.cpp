// Firmware downloads end to end: kavrel flash and the flasher objects against
// kavrel-drive-sim over Modbus TCP and over Modbus RTU on a pseudo-terminal,
// with the image the simulated drive kept compared byte for byte by srec_cmp.
#include <gtest/gtest.h>

#include <csignal>

#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusInterface.h"
#include "automation/CFlasher.h"
#include "automation/ErrorInfo.h"
#include "automation/InterfaceSettings.h"
#include "support/SrecFiles.h"
#include "tools/test_drive_sim_support.h"

using namespace Kavrel;
using kavreltest::FlashFiles;
using simtest::Sim;
using namespace std::chrono_literals;

namespace {

// kavrel flash (--json unless text); interrupted (SIGINT) once a line holds interruptAt.
simtest::CliRun flashWithCli(const std::vector<std::string>& args, std::string interruptAt = {}, bool text = false)
{
    kavreltest::TempDir data;
    std::vector<std::string> argv{"--data-path", data.str(), "flash"};
    if (!text)
        argv.push_back("--json");
    argv.insert(argv.end(), args.begin(), args.end());
    auto run = simtest::runKavrel(argv, [&](kavreltest::ChildProcess& cli, const std::string& line, std::size_t) {
        if (!interruptAt.empty() && line.find(interruptAt) != std::string::npos)
            ::kill(cli.pid(), SIGINT), interruptAt.clear();
    });
    if (run.lines.empty()) run.lines.push_back("no output");
    return run;
}

std::vector<std::string> tcpArgs(const Sim& sim, const FlashFiles& files, const std::string& image = {})
{
    return {"--protocol", "ModbusTCP", "--host", "127.0.0.1", "--tcp-port", std::to_string(sim.port), "--id", "1",
            "--file", image.empty() ? files.imageFile : image, "--api", files.loaderFile};
}

} // namespace

// The loader versions 1 and 2 over TCP; over RTU the download runs at the flash rate;
// and once as a person reads it, one line per step.
TEST(FlashOnSimulator, CliFlashesOverTcpAndOverRtuAtTheFlashRate)
{
    for (const std::string bus : {"TCP 1", "TCP 2", "RTU 2", "TCP 2 text"}) {
        SCOPED_TRACE(bus);
        const bool rtu = bus[0] == 'R', text = bus.size() > 5;
        FlashFiles files(6000, bus[4] - '0');
        const std::string link = files.dir.str() + "drive";
        Sim sim({rtu ? "--serial-pty" : "--tcp", rtu ? link : "127.0.0.1:0", "--baud", "19200", "--ids", "1", "--erase-ms",
                 rtu ? "0" : "100", "--flash-dump", files.dir.str()});
        ASSERT_TRUE(sim.ready);
        kavreltest::ScopedEnv ports("KAVREL_SERIAL_PORTS", link);
        const simtest::CliRun run = flashWithCli(rtu ? std::vector<std::string>{"--protocol", "ModbusRS485", "--serial", link, "--baud",
                                                                       "19200", "--format", "N,8,1", "--id", "1", "--file",
                                                                       files.imageFile, "--api", files.loaderFile, "--flash-baud", "38400"}
                                            : tcpArgs(sim, files), {}, text);
        ASSERT_EQ(run.status, 0) << run.lines.back();
        EXPECT_EQ(files.compareDump(1), "");
        if (text) {
            EXPECT_EQ(std::vector<std::string>(run.lines.begin(), run.lines.end() - 1),
                      (std::vector<std::string>{"Starting", "PREPAIRED", "REQUESTED", "REQUESTED", "APIPREPAIRED",
                                                "APISENDING", "APISEND", "APIFINISHED", "ERASESECTIONCOMMANDSEND",
                                                "ERASINGSECTIONS 0/10 sections", "ERASEDALLSECTIONS", "FLASHDATASENDING",
                                                "FLASHDATASEND", "FINISHED"}));
            EXPECT_EQ(run.lines.back().rfind("drive 1: flashed 6004 bytes in ", 0), 0u) << run.lines.back();
            continue;
        }
        // The major steps in order, each once (REQUESTED twice), then the end.
        std::vector<int> majors;
        for (const auto& l : run.lines)
            if (l.find("\"reason\":1,") != std::string::npos) majors.push_back(std::stoi(l.substr(l.find("\"flashState\":") + 13)));
        EXPECT_EQ(majors, (std::vector<int>{1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
        EXPECT_TRUE(run.has("\"endStateName\":\"RUNNING\""));
        EXPECT_NE(run.lines.back().find("\"event\":\"finished\""), std::string::npos);
        EXPECT_NE(run.lines.back().find("\"bytes\":6004"), std::string::npos) << run.lines.back();
    }
}

TEST(FlashOnSimulator, RefusalsTimeOutAndCancelEndWithTheirCodeAndState)
{
    FlashFiles files(200000, 1); // long enough in its data phase to be interrupted there
    // An image that brings its own checksum is sent as it is: the drive refuses a wrong one at the finish.
    auto wrongSum = files.image;
    wrongSum.push_back(kavreltest::checksumSegment(files.image));
    wrongSum.back().bytes[3] ^= 1;
    const std::string badSum = kavreltest::writeSrec(files.dir, "wrongsum.s", wrongSum, "-address-length=3", "#KOMP=3\n");
    struct Case { std::vector<std::string> sim, cli; const char* interruptAt; int status;
                  std::vector<std::string> texts; std::string image = {}; };
    std::vector<Case> cases;
    const std::vector<std::string> refused{"\"event\":\"exception\",\"id\":1,\"code\":\"0x80040F18\"", "(bus error 0x",
                                           "\"endStateName\":\"STOPPED\""};
    for (const char* step : {"test", "request", "api", "jump", "erase", "data:2", "finish"})
        cases.push_back({{"--erase-ms", "0", "--flash-refuse", step}, {}, "", 1, refused});
    cases.push_back({{"--erase-ms", "0"}, {}, "", 1, refused, badSum});
    cases.push_back({{"--erase-stuck"}, {"--erase-timeout", "1"}, "", 1, {"erase not finished after 1000 ms"}});
    // Ctrl-C while erasing and while sending data.
    for (const char* phase : {"\"flashState\":9,", "\"flashState\":11,"})
        cases.push_back({{"--erase-ms", "1500"}, {}, phase, 130, {"\"endStateName\":\"USER_STOPPED\"", "\"code\":\"0x80044005\""}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sim.back() + c.interruptAt + c.image);
        kavreltest::TempDir dump;
        std::vector<std::string> simArgs{"--tcp", "127.0.0.1:0", "--ids", "1", "--flash-dump", dump.str()};
        simArgs.insert(simArgs.end(), c.sim.begin(), c.sim.end());
        Sim sim(simArgs);
        ASSERT_TRUE(sim.ready);
        auto args = tcpArgs(sim, files, c.image);
        args.insert(args.end(), c.cli.begin(), c.cli.end());
        const auto begun = std::chrono::steady_clock::now();
        const simtest::CliRun run = flashWithCli(args, c.interruptAt);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 60s);
        EXPECT_EQ(run.status, c.status) << run.lines.back();
        for (const auto& text : c.texts) { EXPECT_TRUE(run.has(text)) << text; }
        EXPECT_NE(run.lines.back().find("\"error\""), std::string::npos) << run.lines.back();
        EXPECT_FALSE(std::filesystem::exists(dump.str() + "flash-1.srec"));
    }
}

TEST(FlashOnSimulator, BadFilesAreRefusedBeforeAnythingIsSent)
{
    FlashFiles files(1000, 1);
    const std::string badImage = files.dir.write("bad.s", "#KOMP=3\nS1070000112233444F\n").string();
    const std::string badLoader = files.dir.write("bad.api", "S10700001122334G4E\n").string();
    Sim sim({"--tcp", "127.0.0.1:0", "--ids", "1", "--erase-ms", "0", "-v", "--flash-dump", files.dir.str()});
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
    ASSERT_EQ(InterfaceSettings::set(*bus, "EthernetPort", std::to_string(sim.port)), S_OK);
    std::shared_ptr<IFieldbusDevice> device;
    ASSERT_EQ(bus->connectDeviceWithId(1, device), S_OK) << lastErrorInfo().description;

    // Bad files are opened, not read, when set; the download refuses them before it starts. Then the same
    // device flashes on the caller's thread with every event already delivered.
    auto flasher = CFlasher::create();
    struct Case { std::string image, loader; std::uint32_t code; std::int32_t end; } cases[] = {
        {badImage, files.loaderFile, 0x80040F16u, 0}, {files.imageFile, badLoader, 0x80040F15u, 0},
        {files.imageFile, files.loaderFile, 0, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_EQ(flasher->setFlashData(c.image), S_OK);
        ASSERT_EQ(flasher->setFlashApiData(c.loader), S_OK);
        EXPECT_EQ(static_cast<std::uint32_t>(flasher->flashDevice(device, c.code == 0x80040F16u ? 0 : 1, 1)), c.code)
            << lastErrorInfo().description;
        std::string text;
        flasher->getErrorText(static_cast<std::int32_t>(c.code), text);
        if (c.code) { EXPECT_NE(text.find(c.code == 0x80040F15u ? "bad.api" : "bad.s"), std::string::npos) << text; }
        std::shared_ptr<CFlashProgressState> state;
        ASSERT_EQ(c.code ? flasher->getFlashProgressState(state) : flasher->getLastEventFlashState(state), S_OK);
        std::int32_t end = -1;
        state->getEndState(end);
        EXPECT_EQ(end, c.end);
    }
    EXPECT_EQ(files.compareDump(1), "");
}
