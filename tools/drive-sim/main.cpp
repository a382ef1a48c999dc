// kavrel-drive-sim: emulates drives on Modbus TCP, Modbus RTU and the Vorlane
// line, from a parameter table file, with switches that inject faults.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <set>
#include <vector>

#include "../StopSignals.h"
#include "CanOpenMain.h"
#include "commonbase/ModuleFolder.h"
#include "DriveTable.h"
#include "FaultPlan.h"
#include "Simulator.h"

namespace {

// "1-3,7": decimal ids and closed intervals, 1..247.
bool parseIds(const std::string& text, std::vector<std::uint32_t>& ids, std::string& error)
{
    std::set<std::uint32_t> set;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string piece = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (piece.empty())
            continue;
        std::uint64_t a = 0, b = 0;
        auto dash = piece.find('-');
        bool ok = dash == std::string::npos
                      ? drivesim::parseNumber(piece, a) && (b = a, true)
                      : drivesim::parseNumber(piece.substr(0, dash), a) && drivesim::parseNumber(piece.substr(dash + 1), b);
        if (!ok || a < 1 || b > 247 || a > b) {
            error = "--ids: '" + piece + "' is not an id or range within 1..247";
            return false;
        }
        for (auto i = a; i <= b; ++i)
            set.insert(static_cast<std::uint32_t>(i));
    }
    if (set.empty()) {
        error = "--ids names no drive";
        return false;
    }
    ids.assign(set.begin(), set.end());
    return true;
}

std::string defaultTable()
{
    std::error_code ec;
    // The library's own data folder: lib/ of a build tree, share/kavrel/ of an install.
    const std::filesystem::path shipped = commonbase::dataFolder() + "sim/drive.xml";
    if (std::filesystem::exists(shipped, ec)) return shipped.lexically_normal().string();
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        // Beside the library: the build tree's lib/, or an installed lib
        // folder, which may carry a multiarch name (lib/x86_64-linux-gnu).
        auto top = exe.parent_path().parent_path();
        std::vector<std::filesystem::path> candidates{top / "lib/sim/drive.xml", top / "lib64/sim/drive.xml"};
        for (const auto& entry : std::filesystem::directory_iterator(top / "lib", ec))
            candidates.push_back(entry.path() / "sim/drive.xml");
        for (const auto& candidate : candidates)
            if (std::filesystem::exists(candidate, ec))
                return candidate.lexically_normal().string();
    }
    return "data/sim/drive.xml";
}

int fail(const std::string& text, int code)
{
    std::cerr << "kavrel-drive-sim: " << text << std::endl;
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"kavrel-drive-sim: emulated drives for Modbus TCP, Modbus RTU and Vorlane RS485"};
    std::string tcp, serial, vorlaneSerial, controlPath, idsText = "1", table = defaultTable(), exceptionOn;
    int baud = 19200;
    bool verbose = false;
    drivesim::FaultPlan faults;
    std::string serialPty;
    int flashBaud = 38400;
    drivesim::FlashOptions flash;
    std::vector<std::string> refusals;
    app.add_option("--tcp", tcp, "Serve Modbus TCP on ADDR:PORT (PORT 0 picks a free one)");
    app.add_option("--serial", serial, "Serve Modbus RTU on this serial port");
    app.add_option("--vorlane-serial", vorlaneSerial, "Serve the Vorlane protocol on this serial port");
    app.add_option("--serial-pty", serialPty, "Serve Modbus RTU on a pseudo-terminal of its own, linked at this path");
    app.add_option("--baud", baud, "Baud rate of the serial ports")->capture_default_str();
    app.add_option("--ids", idsText, "Drive ids, e.g. 1-3,7")->capture_default_str();
    app.add_option("--table", table, "Parameter table file")->capture_default_str();
    app.add_option("--drop", faults.dropEvery, "Leave every Nth request unanswered");
    app.add_option("--delay-ms", faults.delayMs, "Wait this long before each reply");
    app.add_option("--corrupt-crc", faults.corruptEvery, "Spoil the check of every Nth reply (RTU CRC, Vorlane digits)");
    app.add_option("--exception-on", exceptionOn, "Refuse every access to parameter INDEX.SUB");
    app.add_option("--short-reply", faults.shortEvery, "Cut every Nth reply short");
    app.add_flag("--no-cr", faults.noCr, "Send Vorlane replies without the carriage return");
    app.add_flag("--wrong-address", faults.wrongAddress, "Answer in the name of another drive");
    auto* silent = app.add_option("--silent-after", faults.silentAfter, "Stop answering after N requests");
    app.add_option("--control", controlPath, "FIFO for run-time commands: silence ID, answer ID, set ID I.S V");
    app.add_option("--flash-dump", flash.dumpDir, "Write api-ID.srec and flash-ID.srec here after each download");
    app.add_option("--erase-ms", flash.eraseMs, "The erase clears the sections over N ms (0: at the first poll)")
        ->capture_default_str();
    app.add_flag("--erase-stuck", flash.eraseStuck, "The erase never ends");
    app.add_option("--flash-refuse", refusals, "Refuse a download step: test, request, api, jump, erase, data:N, finish");
    app.add_option("--flash-baud", flashBaud, "Rate of a --serial-pty line while the loader runs")->capture_default_str();
    app.add_flag("-v,--verbose", verbose, "Log each frame to standard error");
    int idleTimeoutMs = 60000;
    app.add_option("--idle-timeout-ms", idleTimeoutMs, "Close a TCP client that sends nothing for this long (0: never)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    drivesim::CanOpenOptions canopen;
    drivesim::addCanOpenOptions(app, canopen);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help is not a mistake; every refused option line is status 2.
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    faults.silentAfterSet = silent->count() > 0;
    if (tcp.empty() && serial.empty() && serialPty.empty() && vorlaneSerial.empty() && canopen.endpoint.empty())
        return fail("nothing to serve: give --tcp, --serial, --serial-pty, --vorlane-serial or --canopen", 2);
    for (const auto& r : refusals)
        if (!flash.addRefusal(r))
            return fail("--flash-refuse: '" + r + "' is not test, request, api, jump, erase, data:N or finish", 2);

    std::string error;
    std::vector<std::uint32_t> ids;
    if (!parseIds(idsText, ids, error))
        return fail(error, 2);
    std::uint16_t failIndex = 0, failSub = 0;
    if (!exceptionOn.empty()) {
        auto dot = exceptionOn.find('.');
        std::uint64_t i = 0, s = 0;
        if (dot == std::string::npos || !drivesim::parseNumber(exceptionOn.substr(0, dot), i) ||
            !drivesim::parseNumber(exceptionOn.substr(dot + 1), s) || i > 0xFFFF || s > 0xFFFF)
            return fail("--exception-on: '" + exceptionOn + "' is not INDEX.SUB", 2);
        failIndex = static_cast<std::uint16_t>(i);
        failSub = static_cast<std::uint16_t>(s);
    }
    if (!canopen.endpoint.empty()) {
        if (!tcp.empty() || !serial.empty() || !serialPty.empty() || !vorlaneSerial.empty())
            return fail("--canopen serves CAN only: leave out --tcp, --serial, --serial-pty and --vorlane-serial", 2);
        if (!exceptionOn.empty())
            canopen.failOn = {{failIndex, failSub}};
        return drivesim::runCanOpen(canopen, ids, faults, controlPath, verbose);
    }
    std::string host;
    int port = -1;
    if (!tcp.empty()) {
        auto colon = tcp.rfind(':');
        std::uint64_t p = 0;
        if (colon == std::string::npos || !drivesim::parseNumber(tcp.substr(colon + 1), p) || p > 65535)
            return fail("--tcp: '" + tcp + "' is not ADDR:PORT", 2);
        host = tcp.substr(0, colon);
        port = static_cast<int>(p);
    }

    drivesim::DriveTable drives;
    if (!drives.load(table, error))
        return fail("table " + error, 1);

    if (!flash.dumpDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(flash.dumpDir, ec);
        if (!std::filesystem::is_directory(flash.dumpDir, ec))
            return fail("--flash-dump: '" + flash.dumpDir + "' is not a folder that can be made", 1);
    }

    drivesim::Simulator sim(drives, ids, faults, verbose);
    sim.configureFlash(flash);
    if (!exceptionOn.empty())
        sim.failOn(failIndex, failSub);
    sim.setIdleTimeout(std::chrono::milliseconds(idleTimeoutMs));
    if (!tcp.empty()) {
        int bound = 0;
        if (!sim.listenTcp(host, port, bound, error))
            return fail(error, 1);
        std::cout << "tcp " << host << ":" << bound << std::endl;
    }
    if (!serial.empty()) {
        if (!sim.openModbusSerial(serial, baud, error))
            return fail(error, 1);
        std::cout << "serial " << serial << std::endl;
    }
    if (!serialPty.empty()) {
        if (!sim.openModbusPty(serialPty, baud, flashBaud, error))
            return fail(error, 1);
        std::cout << "serial-pty " << serialPty << std::endl;
    }
    if (!vorlaneSerial.empty()) {
        if (!sim.openVorlaneSerial(vorlaneSerial, baud, error))
            return fail(error, 1);
        std::cout << "vorlane-serial " << vorlaneSerial << std::endl;
    }
    if (!controlPath.empty() && !sim.openControl(controlPath, error))
        return fail(error, 1);

    const int stopFd = kavreltools::stopOnSignals();
    if (stopFd < 0)
        return fail("cannot make the signal pipe", 1);

    std::cout << "ready" << std::endl;
    sim.run(stopFd);
    if (verbose)
        std::cerr << "kavrel-drive-sim: stopped" << std::endl;
    return 0;
}
