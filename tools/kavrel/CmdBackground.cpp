// kavrel scan | guard | upload: the background workers, with their notices
// delivered on this (the host's) thread through the host event loop.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "Json.h"
#include "automation/HostEventLoop.h"
#include "automation/MessageWindow.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"
#include "core/NetworkScanThread.h"
#include "protocols/FieldbusProtocol.h"

namespace kavrelcli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t errorGeneric = 0x80004005u;
constexpr std::uint32_t errorNoInterface = 0x80040702u;
constexpr std::uint32_t errorStartUpload = 0x80040503u;

struct BackgroundOptions {
    std::string protocol;
    std::string host, tcpPort, serial, baud, format;
    std::string range;       // scan
    std::string ids;         // guard
    std::uint32_t interval = 1000;
    double duration = 10;
    std::uint32_t id = 0;    // upload
    std::string out;
    double timeout = 60;
};

struct Failure {
    std::uint32_t code;
    std::string text;
};

std::string codeText(std::uint32_t code)
{
    return "0x" + commonbase::toHex(code, 8);
}

std::string registryText(std::uint32_t code)
{
    if ((code & 0xFFFF0000u) != 0x80040000u)
        return {};
    return commonbase::trim(
        commonbase::ErrorHandler::instance().getErrorText(static_cast<std::uint16_t>(code & 0xFFFu)).toUtf8());
}

int fail(const Context& ctx, const Failure& failure)
{
    std::string text = failure.text.empty() ? registryText(failure.code) : failure.text;
    if (text.empty())
        text = "failed";
    if (ctx.json)
        std::cout << Json::Object()
                         .addRaw("error", Json::Object().add("code", codeText(failure.code)).add("text", text).str())
                         .str()
                  << std::endl;
    std::cerr << "kavrel: " << text << " (" << codeText(failure.code) << ")\n";
    return 1;
}

// What a twin's hidden window does: collect the notices the workers post.
class NoticeWindow : public Kavrel::MessageWindow {
public:
    struct Notice {
        std::uint32_t message;
        std::int32_t first, second;
    };
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override
    {
        fresh.push_back({message, first, second});
    }
    // The notices delivered since the last call.
    std::vector<Notice> take()
    {
        std::vector<Notice> out;
        out.swap(fresh);
        return out;
    }

private:
    std::vector<Notice> fresh;
};

std::string idsJson(const std::vector<std::uint32_t>& ids)
{
    std::string text = "[";
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i ? "," : "") + std::to_string(ids[i]);
    return text + "]";
}

std::string idsText(const std::vector<std::uint32_t>& ids)
{
    std::string text;
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i ? ", " : "") + std::to_string(ids[i]);
    return text.empty() ? "none" : text;
}

std::string offeredBaudrates(const Kavrel::FieldbusInterface& bus)
{
    std::string text;
    if (auto protocol = bus.getFieldbusProtocol())
        for (const auto& rate : protocol->getBaudrates())
            text += (text.empty() ? "" : ", ") + rate;
    return text;
}

std::optional<Failure> chooseSerial(Kavrel::FieldbusInterface& bus, const BackgroundOptions& options)
{
    if (!options.serial.empty()) {
        const std::int32_t index = bus.findInterfaceByNameToOpen(options.serial);
        if (index < 0)
            return Failure{errorGeneric, "serial port '" + options.serial + "' is not offered"};
        bus.setInterfaceIndex(index);
    }
    if (!options.baud.empty() && !bus.setBaudrateText(options.baud))
        return Failure{errorGeneric, "--baud '" + options.baud + "' is not offered (" + offeredBaudrates(bus) + ")"};
    return std::nullopt;
}

// Makes and configures the interface; scanning asks for a network-scan one where the protocol offers it.
std::optional<Failure> makeInterface(const BackgroundOptions& options, bool forScan,
                                     std::unique_ptr<Kavrel::FieldbusInterface>& bus)
{
    if (options.protocol != "ModbusTCP" && options.protocol != "ModbusRS485" && options.protocol != "VorlaneRS485")
        return Failure{errorGeneric,
                       "--protocol must be ModbusTCP, ModbusRS485 or VorlaneRS485, not '" + options.protocol + "'"};
    if (options.protocol != "ModbusTCP" && !options.serial.empty()) {
        // The port list is read when the interface is made.
        std::string ports = options.serial;
        if (const char* known = std::getenv("KAVREL_SERIAL_PORTS"); known && *known)
            ports += std::string(",") + known;
        ::setenv("KAVREL_SERIAL_PORTS", ports.c_str(), 1);
    }
    auto& manager = Kavrel::CommunicationManager::getInstance();
    manager.setProtocolName(options.protocol);
    // Modbus TCP has no network-scan interface kind; its ordinary one scans as well.
    bus = manager.createInterface(forScan && options.protocol != "ModbusTCP");
    if (!bus)
        return Failure{errorNoInterface, "the " + options.protocol + " interface could not be made"};
    if (auto* tcp = dynamic_cast<Kavrel::FieldbusInterfaceModbusTcp*>(bus.get())) {
        if (!options.host.empty() && !tcp->setIpAddress(options.host))
            return Failure{errorGeneric, "--host '" + options.host + "' is not a dotted IPv4 address"};
        if (!options.tcpPort.empty() && !tcp->setEthernetPort(options.tcpPort))
            return Failure{errorGeneric, "--tcp-port '" + options.tcpPort + "' is not a port number 1..65535"};
    } else if (auto* rs485 = dynamic_cast<Kavrel::FieldbusInterfaceModbusRs485*>(bus.get())) {
        if (auto bad = chooseSerial(*rs485, options))
            return bad;
        if (!options.format.empty() && !rs485->setFrameFormat(options.format))
            return Failure{errorGeneric, "--format '" + options.format + "' is not offered (N,8,1 E,8,1 O,8,1 N,8,2)"};
    } else if (auto* vorlane = dynamic_cast<Kavrel::FieldbusInterfaceSerialPort*>(bus.get())) {
        if (auto bad = chooseSerial(*vorlane, options))
            return bad;
    }
    // No dialog may wait for a user in a command-line run.
    bus->setDontShowDialog(1);
    bus->setForceShowDialog(0);
    return std::nullopt;
}

std::string boundsText(const Kavrel::FieldbusInterface& bus)
{
    auto protocol = bus.getFieldbusProtocol();
    return protocol ? std::to_string(protocol->getScanMinimum()) + "-" + std::to_string(protocol->getScanMaximum())
                    : std::string("?");
}

// A progress bar on standard error, only when it is a terminal.
class ProgressBar {
public:
    ProgressBar() : shown(::isatty(STDERR_FILENO) == 1) {}
    void draw(std::size_t done, std::size_t total, const std::string& label)
    {
        if (!shown)
            return;
        const std::size_t width = 30;
        const std::size_t filled = total ? done * width / total : width;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << label
                  << "   " << std::flush;
    }
    void end()
    {
        if (shown)
            std::cerr << "\r" << std::string(70, ' ') << "\r" << std::flush;
    }

private:
    bool shown;
};

void emitLine(const Context& ctx, const std::string& json, const std::string& text)
{
    if (ctx.json)
        std::cout << json << std::endl;
    else
        std::cout << text << std::endl;
}

} // namespace

static int runScan(const Context& ctx, const BackgroundOptions& options)
{
    std::unique_ptr<Kavrel::FieldbusInterface> bus;
    if (auto failure = makeInterface(options, true, bus))
        return fail(ctx, *failure);
    if (!options.range.empty() && bus->setScanRange(options.range) != 0)
        return fail(ctx, {errorGeneric, "--range '" + options.range + "' is not a range of ids within " +
                                            boundsText(*bus) + " (e.g. 1-5,9)"});
    const std::size_t total = bus->getFieldbusProtocol()->getScanRangeIds().size();
    auto window = std::make_shared<NoticeWindow>();
    bus->setMessageWindow(window);
    const std::int32_t started = bus->startNetworkScan();
    if (started != 0)
        return fail(ctx, {static_cast<std::uint32_t>(started), {}});

    std::vector<std::uint32_t> found;
    std::size_t tried = 0;
    bool finished = false;
    ProgressBar bar;
    bar.draw(0, total, "waiting");
    // Each id costs at most one connect; the budget is generous but bounded.
    const auto deadline = Clock::now() + Kavrel::NetworkScanThread::startDelay + std::chrono::seconds(30) +
                          std::chrono::seconds(5) * total;
    while (!finished && Clock::now() < deadline) {
        Kavrel::HostEventLoop::runFor(std::chrono::milliseconds(50));
        for (const auto& notice : window->take()) {
            if (notice.message == Kavrel::FieldbusInterface::msgNetworkScanStepped) {
                ++tried;
                const auto id = static_cast<std::uint32_t>(notice.first);
                if (notice.second)
                    found.push_back(id);
                bar.end();
                emitLine(ctx,
                         Json::Object().add("event", "stepped").addNumber("id", id).addBool("found", notice.second != 0).str(),
                         "id " + std::to_string(id) + ": " + (notice.second ? "found" : "not found"));
                bar.draw(tried, total, std::to_string(tried) + "/" + std::to_string(total));
            } else if (notice.message == Kavrel::FieldbusInterface::msgNetworkScanFinished) {
                finished = true;
            }
        }
    }
    bar.end();
    if (!finished) {
        bus->stopNetworkScan();
        return fail(ctx, {errorGeneric, "the scan did not finish in time"});
    }
    emitLine(ctx, Json::Object().add("event", "finished").addRaw("found", idsJson(found)).str(),
             "scan finished: " + std::to_string(found.size()) + " of " + std::to_string(tried) +
                 " ids answered (" + idsText(found) + ")");
    return 0;
}

static int runGuard(const Context& ctx, const BackgroundOptions& options)
{
    std::unique_ptr<Kavrel::FieldbusInterface> bus;
    if (auto failure = makeInterface(options, false, bus))
        return fail(ctx, *failure);
    auto protocol = bus->getFieldbusProtocol();
    const std::set<std::uint32_t> ids =
        Kavrel::FieldbusProtocol::splitRange(options.ids, protocol->getScanMinimum(), protocol->getScanMaximum());
    if (ids.empty())
        return fail(ctx, {errorGeneric, "--ids '" + options.ids + "' is not a list of ids within " + boundsText(*bus)});
    if (options.interval < 2 || options.interval > 0xFFFFu)
        return fail(ctx, {errorGeneric, "--interval must be 2..65535 ms (the drive holds it in two bytes)"});
    if (!(options.duration > 0) || options.duration > 86400)
        return fail(ctx, {errorGeneric, "--duration must be more than 0 and at most 86400 seconds"});
    auto window = std::make_shared<NoticeWindow>();
    bus->setMessageWindow(window);
    bus->setNodeGuardEnabled(1);
    bus->setNodeGuardInterval(static_cast<std::int32_t>(options.interval));

    std::vector<std::unique_ptr<Kavrel::FieldbusDevice>> devices;
    std::vector<std::uint32_t> guarded;
    for (std::uint32_t id : ids) {
        std::unique_ptr<Kavrel::FieldbusDevice> device;
        const std::int32_t status = bus->connectDevice(id, device);
        if (status != 0 || !device) {
            const auto code = static_cast<std::uint32_t>(status != 0 ? status : Kavrel::FieldbusInterface::errorNothingRan);
            devices.clear();
            return fail(ctx, {code, "id " + std::to_string(id) + ": " + registryText(code)});
        }
        if (!bus->isNodeGuarded(device.get())) {
            devices.clear();
            return fail(ctx, {static_cast<std::uint32_t>(Kavrel::FieldbusInterface::errorNodeGuardOff),
                              "id " + std::to_string(id) + " could not be put under node guarding"});
        }
        guarded.push_back(id);
        devices.push_back(std::move(device));
    }
    if (!ctx.json)
        std::cout << "guarding " << idsText(guarded) << " every " << options.interval << " ms for " << options.duration
                  << " s" << std::endl;
    std::vector<std::uint32_t> timedOut;
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.duration * 1000));
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        Kavrel::HostEventLoop::runFor(std::min(left, std::chrono::milliseconds(100)));
        for (const auto& notice : window->take()) {
            if (notice.message != Kavrel::FieldbusInterface::msgNodeGuardTimeout)
                continue;
            const auto id = static_cast<std::uint32_t>(notice.first);
            timedOut.push_back(id);
            emitLine(ctx, Json::Object().add("event", "nodeguard").addNumber("id", id).str(),
                     "id " + std::to_string(id) + ": node guard timeout");
        }
    }
    std::vector<std::uint32_t> still;
    for (const auto& device : devices)
        if (bus->isNodeGuarded(device.get()))
            still.push_back(device->getUniqueId());
    emitLine(ctx,
             Json::Object().add("event", "finished").addRaw("guarded", idsJson(still)).addRaw("timedOut", idsJson(timedOut)).str(),
             "guarding ended: " + idsText(still) + " still answering, " + std::to_string(timedOut.size()) +
                 " timed out");
    devices.clear();
    return 0;
}

static int runUpload(const Context& ctx, const BackgroundOptions& options)
{
    if (options.id == 0)
        return fail(ctx, {errorGeneric, "--id must name a drive (1 or more)"});
    if (options.out.empty())
        return fail(ctx, {errorGeneric, "--out must name the file for the data"});
    if (!(options.timeout > 0) || options.timeout > 3600)
        return fail(ctx, {errorGeneric, "--timeout must be more than 0 and at most 3600 seconds"});
    std::unique_ptr<Kavrel::FieldbusInterface> bus;
    if (auto failure = makeInterface(options, false, bus))
        return fail(ctx, *failure);
    bus->setNodeGuardEnabled(0); // nothing else on the bus while the data comes
    std::unique_ptr<Kavrel::FieldbusDevice> device;
    const std::int32_t status = bus->connectDevice(options.id, device);
    if (status != 0 || !device) {
        const auto code = static_cast<std::uint32_t>(status != 0 ? status : Kavrel::FieldbusInterface::errorNothingRan);
        return fail(ctx, {code, {}});
    }
    auto window = std::make_shared<NoticeWindow>();
    device->setMessageWindow(window);
    if (device->startUpload() != 1)
        return fail(ctx, {errorStartUpload, {}});

    ProgressBar bar;
    std::int32_t packets = 1;
    std::optional<std::int32_t> result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.timeout * 1000));
    while (!result && Clock::now() < deadline) {
        Kavrel::HostEventLoop::runFor(std::chrono::milliseconds(50));
        for (const auto& notice : window->take()) {
            if (notice.message == Kavrel::FieldbusDevice::msgNextPacket) {
                packets = notice.second;
                bar.draw(1, 1, "packet " + std::to_string(packets));
            } else if (notice.message == Kavrel::FieldbusDevice::msgUploadFinished) {
                result = notice.second;
            }
        }
    }
    bar.end();
    if (!result) {
        device->stopUpload();
        Kavrel::HostEventLoop::pump();
        device.reset();
        return fail(ctx, {Kavrel::FieldbusDevice::uploadStopped | 0x80040000u, "the upload did not end in time"});
    }
    const std::string data = device->getUploadBuffer();
    device.reset();
    if (*result < 0 || *result == Kavrel::FieldbusDevice::uploadStopped ||
        *result == Kavrel::FieldbusDevice::uploadStartFailed) {
        const auto code = *result < 0 ? static_cast<std::uint32_t>(*result)
                                      : 0x80040000u | static_cast<std::uint32_t>(*result);
        return fail(ctx, {code, "the upload ended with " + codeText(static_cast<std::uint32_t>(*result)) +
                                    (registryText(code).empty() ? "" : ": " + registryText(code))});
    }
    std::ofstream file(options.out, std::ios::binary | std::ios::trunc);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    file.close();
    if (!file)
        return fail(ctx, {errorGeneric, "cannot write '" + options.out + "'"});
    emitLine(ctx,
             Json::Object()
                 .addNumber("id", options.id)
                 .addNumber("packets", static_cast<std::uint32_t>(packets))
                 .addNumber("bytes", static_cast<std::uint32_t>(data.size()))
                 .add("result", codeText(static_cast<std::uint32_t>(*result)))
                 .add("out", options.out)
                 .str(),
             "uploaded " + std::to_string(data.size()) + " bytes in " + std::to_string(packets) + " packet(s) to " +
                 options.out + ", result " + codeText(static_cast<std::uint32_t>(*result)));
    return 0;
}

namespace {

void addConnection(CLI::App* command, BackgroundOptions& options, Context& ctx)
{
    command->add_option("--protocol", options.protocol, "ModbusTCP, ModbusRS485 or VorlaneRS485")->required();
    command->add_option("--host", options.host, "IPv4 address of the drives (ModbusTCP)");
    command->add_option("--tcp-port", options.tcpPort, "TCP port (ModbusTCP)");
    command->add_option("--serial", options.serial, "Serial port path (ModbusRS485, VorlaneRS485)");
    command->add_option("--baud", options.baud, "Baud rate (ModbusRS485, VorlaneRS485)");
    command->add_option("--format", options.format, "Character format, e.g. E,8,1 (ModbusRS485)");
    command->add_flag("--json", ctx.json, "One JSON object per line");
}

} // namespace

void registerBackgroundCommands(CLI::App& app, Context& ctx)
{
    auto options = std::make_shared<BackgroundOptions>();

    auto* scan = app.add_subcommand("scan", "Try each id of a range and report the drives that answer");
    addConnection(scan, *options, ctx);
    scan->add_option("--range", options->range, "Ids to try, e.g. 1-5,9 (default: the stored range)");
    scan->callback([&ctx, options] { ctx.action = [&ctx, options] { return runScan(ctx, *options); }; });

    auto* guard = app.add_subcommand("guard", "Guard drives and report each that stops answering");
    addConnection(guard, *options, ctx);
    guard->add_option("--ids", options->ids, "Drives to guard, e.g. 1-3")->required();
    guard->add_option("--interval", options->interval, "Node-guard interval in ms (polled every half of it)");
    guard->add_option("--duration", options->duration, "Seconds to keep guarding");
    guard->callback([&ctx, options] { ctx.action = [&ctx, options] { return runGuard(ctx, *options); }; });

    auto* upload = app.add_subcommand("upload", "Upload a drive's data block in the background");
    addConnection(upload, *options, ctx);
    upload->add_option("--id", options->id, "Bus address of the drive")->required();
    upload->add_option("--out", options->out, "File for the data")->required();
    upload->add_option("--timeout", options->timeout, "Longest wait in seconds");
    upload->callback([&ctx, options] { ctx.action = [&ctx, options] { return runUpload(ctx, *options); }; });
}

} // namespace kavrelcli
