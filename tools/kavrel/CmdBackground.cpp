// kavrel scan | guard | upload: the background workers, driven through the
// automation layer, their events delivered on this (the host's) thread.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostSession.h"
#include "Json.h"
#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "commonbase/HostEventLoop.h"
#include "automation/IFieldbusDevice.h"
#include "automation/IFieldbusDeviceEvent.h"
#include "automation/IFieldbusInterfaceEvent.h"
#include "protocols/FieldbusProtocol.h"

namespace kavrelcli {

namespace {

using Clock = std::chrono::steady_clock;
// The scan worker waits this long before its first id.
constexpr auto scanStartDelay = std::chrono::milliseconds(1100);
// Upload results that are not negative codes: stopped on request, could not start.
constexpr std::int32_t uploadStopped = 0xa01;
constexpr std::int32_t uploadStartFailed = 0xa02;
constexpr Kavrel::HRESULT alreadyGuarded = Kavrel::kavrelError(0x406);

struct BackgroundOptions {
    ConnectionOptions connection;
    std::string range;       // scan
    std::string ids;         // guard
    std::uint32_t interval = 1000;
    double duration = 10;
    std::uint32_t id = 0;    // upload
    std::string out;
    bool hex = false;
    double timeout = 60;
};

// What one command learns from its event sinks, in delivery order.
struct Event {
    enum Kind { stepped, finished, nodeGuard, nextPacket, uploadFinished } kind;
    std::int32_t first = 0, second = 0;
};

class EventInbox {
public:
    void add(Event event) { fresh.push_back(event); }
    // The events delivered since the last call.
    std::vector<Event> take()
    {
        std::vector<Event> out;
        out.swap(fresh);
        return out;
    }

private:
    std::vector<Event> fresh;
};

class InterfaceEvents : public Kavrel::IFieldbusInterfaceEvent {
public:
    explicit InterfaceEvents(EventInbox& inbox_) : inbox(inbox_) {}
    void onNodeGuardTimeout(std::int32_t id) override { inbox.add({Event::nodeGuard, id, 0}); }
    void onNetworkScanStepped(std::int32_t id, std::int32_t found) override { inbox.add({Event::stepped, id, found}); }
    void onNetworkScanFinished() override { inbox.add({Event::finished, 0, 0}); }

private:
    EventInbox& inbox;
};

class DeviceEvents : public Kavrel::IFieldbusDeviceEvent {
public:
    explicit DeviceEvents(EventInbox& inbox_) : inbox(inbox_) {}
    void onNextPacket(std::int32_t session, std::int32_t packet) override
    {
        inbox.add({Event::nextPacket, session, packet});
    }
    void onUploadFinished(std::int32_t session, std::int32_t result) override
    {
        inbox.add({Event::uploadFinished, session, result});
    }

private:
    EventInbox& inbox;
};

// Advised for as long as it lives: the sink must not outlast the inbox it fills.
template <typename Source, typename Sink>
class Advised {
public:
    Advised(Source& source_, std::shared_ptr<Sink> sink) : source(source_) { source.advise(sink, cookie); }
    ~Advised() { source.unadvise(cookie); }
    Advised(const Advised&) = delete;
    Advised& operator=(const Advised&) = delete;

private:
    Source& source;
    std::uint32_t cookie = 0;
};

std::string idsJson(const std::vector<std::int32_t>& ids)
{
    std::string text = "[";
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i ? "," : "") + std::to_string(ids[i]);
    return text + "]";
}

std::string idsText(const std::vector<std::int32_t>& ids)
{
    std::string text;
    for (std::size_t i = 0; i < ids.size(); ++i)
        text += (i ? ", " : "") + std::to_string(ids[i]);
    return text.empty() ? "none" : text;
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
    std::cout << (ctx.json ? json : text) << std::endl;
}

int runScan(const Context& ctx, const BackgroundOptions& options)
{
    HostSession session(ctx, options.connection);
    if (!session.open(true))
        return session.status();
    auto& bus = session.bus();
    std::string range = options.range;
    if (options.connection.dialog) {
        if (range.empty())
            bus.get_scanRange(range);
        const Kavrel::HRESULT edited = bus.editScanRange(range);
        if (Kavrel::FAILED(edited))
            return session.fail(edited);
    } else if (!session.set("ScanRange", range,
                            "--range '" + range + "' is not a range of ids within " + session.setting("ScanBounds") +
                                " (e.g. 1-5,9)")) {
        // A range given is stored, so a later scan without --range tries the same ids.
        return session.status();
    }
    bus.get_scanRange(range);
    std::vector<std::int32_t> rangeIds;
    bus.get_RangeIds(range, rangeIds);
    const std::size_t total = rangeIds.size();

    EventInbox inbox;
    Advised<Kavrel::IFieldbusInterface, InterfaceEvents> advised(bus, std::make_shared<InterfaceEvents>(inbox));
    const Kavrel::HRESULT started = bus.startNetworkScan();
    if (Kavrel::FAILED(started))
        return session.fail(started);

    std::vector<std::int32_t> found;
    std::size_t tried = 0;
    bool finished = false;
    ProgressBar bar;
    bar.draw(0, total, "waiting");
    // Each id costs at most one connect; the budget is generous but bounded.
    const auto deadline = Clock::now() + scanStartDelay + std::chrono::seconds(30) + std::chrono::seconds(5) * total;
    while (!finished && Clock::now() < deadline) {
        commonbase::HostEventLoop::runFor(std::chrono::milliseconds(50));
        for (const auto& event : inbox.take()) {
            if (event.kind == Event::stepped) {
                ++tried;
                if (event.second)
                    found.push_back(event.first);
                bar.end();
                emitLine(ctx,
                         Json::Object().add("event", "stepped").addNumber("id", event.first)
                             .addBool("found", event.second != 0).str(),
                         "id " + std::to_string(event.first) + ": " + (event.second ? "found" : "not found"));
                bar.draw(tried, total, std::to_string(tried) + "/" + std::to_string(total));
            } else if (event.kind == Event::finished) {
                finished = true;
            }
        }
    }
    bar.end();
    if (!finished) {
        bus.stopNetworkScan();
        return session.fail("the scan did not finish in time");
    }
    emitLine(ctx, Json::Object().add("event", "finished").addRaw("found", idsJson(found)).str(),
             "scan finished: " + std::to_string(found.size()) + " of " + std::to_string(tried) +
                 " ids answered (" + idsText(found) + ")");
    return 0;
}

int runGuard(const Context& ctx, const BackgroundOptions& options)
{
    if (options.interval < 2 || options.interval > 0xFFFFu)
        return reportUsage(ctx, "--interval must be 2..65535 ms (the drive holds it in two bytes)");
    if (!(options.duration > 0) || options.duration > 86400)
        return reportUsage(ctx, "--duration must be more than 0 and at most 86400 seconds");
    HostSession session(ctx, options.connection);
    if (!session.open(false))
        return session.status();
    auto& bus = session.bus();
    std::vector<std::int32_t> ids;
    if (Kavrel::FAILED(bus.get_RangeIds(options.ids, ids)) || ids.empty())
        return session.usage("--ids '" + options.ids + "' is not a list of ids within " + session.setting("ScanBounds"));

    // Connecting puts each drive under guarding at this interval.
    if (!session.set("NodeGuardEnabled", "1", "node guarding cannot be switched on") ||
        !session.set("NodeGuardInterval", std::to_string(options.interval), "--interval was refused"))
        return session.status();

    EventInbox inbox;
    Advised<Kavrel::IFieldbusInterface, InterfaceEvents> advised(bus, std::make_shared<InterfaceEvents>(inbox));
    for (std::int32_t id : ids) {
        std::shared_ptr<Kavrel::IFieldbusDevice> device;
        if (!session.connect(static_cast<std::uint32_t>(id), device))
            return session.status();
        const Kavrel::HRESULT hr = bus.enableNodeGuard(device, static_cast<std::int32_t>(options.interval));
        if (Kavrel::FAILED(hr) && hr != alreadyGuarded)
            return session.fail(hr, "id " + std::to_string(id) + " could not be put under node guarding: " +
                                        Kavrel::lastErrorInfo().description);
    }
    if (!ctx.json)
        std::cout << "guarding " << idsText(ids) << " every " << options.interval << " ms for " << options.duration
                  << " s" << std::endl;
    std::vector<std::int32_t> timedOut;
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.duration * 1000));
    while (Clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        commonbase::HostEventLoop::runFor(std::min(left, std::chrono::milliseconds(100)));
        for (const auto& event : inbox.take()) {
            if (event.kind != Event::nodeGuard)
                continue;
            timedOut.push_back(event.first);
            emitLine(ctx, Json::Object().add("event", "nodeguard").addNumber("id", event.first).str(),
                     "id " + std::to_string(event.first) + ": node guard timeout");
        }
    }
    std::vector<std::int32_t> still;
    for (std::int32_t id : ids) {
        bool dropped = false;
        for (std::int32_t gone : timedOut)
            dropped = dropped || gone == id;
        if (!dropped)
            still.push_back(id);
    }
    emitLine(ctx,
             Json::Object().add("event", "finished").addRaw("guarded", idsJson(still)).addRaw("timedOut", idsJson(timedOut)).str(),
             "guarding ended: " + idsText(still) + " still answering, " + std::to_string(timedOut.size()) +
                 " timed out");
    return 0;
}

int runUpload(const Context& ctx, const BackgroundOptions& options)
{
    const auto refuse = [&ctx](const std::string& text) { return reportUsage(ctx, text); };
    if (options.id == 0)
        return refuse("--id must name a drive (1 or more)");
    if (options.out.empty())
        return refuse("--out must name the file for the data");
    if (!(options.timeout > 0) || options.timeout > 3600)
        return refuse("--timeout must be more than 0 and at most 3600 seconds");
    HostSession session(ctx, options.connection);
    if (!session.open(false))
        return session.status();
    // Nothing else on the bus while the data comes (and the stored guarding stays as it is).
    if (!session.set("NodeGuardOnConnect", "0"))
        return session.status();
    std::shared_ptr<Kavrel::IFieldbusDevice> device;
    if (!session.connect(options.id, device))
        return session.status();
    EventInbox inbox;
    Advised<Kavrel::IFieldbusDevice, DeviceEvents> advised(*device, std::make_shared<DeviceEvents>(inbox));
    const Kavrel::HRESULT started = device->startUpload();
    if (Kavrel::FAILED(started))
        return session.fail(started);

    ProgressBar bar;
    std::int32_t packets = 1;
    std::optional<std::int32_t> result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.timeout * 1000));
    while (!result && Clock::now() < deadline) {
        commonbase::HostEventLoop::runFor(std::chrono::milliseconds(50));
        for (const auto& event : inbox.take()) {
            if (event.kind == Event::nextPacket) {
                packets = event.second;
                bar.draw(1, 1, "packet " + std::to_string(packets));
            } else if (event.kind == Event::uploadFinished) {
                result = event.second;
            }
        }
    }
    bar.end();
    if (!result) {
        device->stopUpload();
        commonbase::HostEventLoop::pump();
        return session.fail(Kavrel::kavrelError(uploadStopped), "the upload did not end in time");
    }
    if (*result < 0 || *result == uploadStopped || *result == uploadStartFailed) {
        const Kavrel::HRESULT code = *result < 0 ? *result : Kavrel::kavrelError(static_cast<std::uint32_t>(*result));
        std::string reason;
        device->get_uploadErrorText(*result, reason);
        return session.fail(code, "the upload ended with " + codeText(static_cast<std::uint32_t>(*result)) +
                                      (reason.empty() ? "" : ": " + reason));
    }
    std::string data;
    device->get_uploadBuffer(data);
    if (!options.hex) {
        // The buffer holds the data as hex digits; the file gets the bytes.
        std::vector<std::uint8_t> bytes;
        if (data.size() % 2 != 0 || !Kavrel::FieldbusProtocol::asciiToBin(bytes, data))
            return session.fail("the uploaded data is not hex text (" + std::to_string(data.size()) +
                                " characters); --hex writes it as it came");
        data.assign(bytes.begin(), bytes.end());
    }
    std::ofstream file(options.out, std::ios::binary | std::ios::trunc);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    file.close();
    if (!file)
        return session.fail("cannot write '" + options.out + "'");
    emitLine(ctx,
             Json::Object()
                 .addNumber("id", options.id)
                 .addNumber("packets", packets)
                 .addNumber("bytes", static_cast<std::int64_t>(data.size()))
                 .add("result", codeText(static_cast<std::uint32_t>(*result)))
                 .add("out", options.out)
                 .str(),
             "uploaded " + std::to_string(data.size()) + " bytes in " + std::to_string(packets) + " packet(s) to " +
                 options.out + ", result " + codeText(static_cast<std::uint32_t>(*result)));
    return 0;
}

} // namespace

void registerBackgroundCommands(CLI::App& app, Context& ctx)
{
    auto options = std::make_shared<BackgroundOptions>();
    auto add = [&](const char* name, const char* help) {
        auto* command = app.add_subcommand(name, help);
        addConnectionOptions(command, options->connection, ctx, "One JSON object per line");
        return command;
    };

    auto* scan = add("scan", "Try each id of a range and report the drives that answer");
    scan->add_option("--range", options->range, "Ids to try, e.g. 1-5,9 (default: the stored range)");
    scan->callback([&ctx, options] { ctx.action = [&ctx, options] { return runScan(ctx, *options); }; });

    auto* guard = add("guard", "Guard drives and report each that stops answering");
    guard->add_option("--ids", options->ids, "Drives to guard, e.g. 1-3")->required();
    guard->add_option("--interval", options->interval, "Node-guard interval in ms (polled every half of it)");
    guard->add_option("--duration", options->duration, "Seconds to keep guarding");
    guard->callback([&ctx, options] { ctx.action = [&ctx, options] { return runGuard(ctx, *options); }; });

    auto* upload = add("upload", "Upload a drive's data block in the background");
    upload->add_option("--id", options->id, "Bus address of the drive")->required();
    upload->add_option("--out", options->out, "File for the data")->required();
    upload->add_option("--timeout", options->timeout, "Longest wait in seconds");
    upload->add_flag("--hex", options->hex, "Write the data as the hex text the drive sent, not as bytes");
    upload->callback([&ctx, options] { ctx.action = [&ctx, options] { return runUpload(ctx, *options); }; });
}

} // namespace kavrelcli
