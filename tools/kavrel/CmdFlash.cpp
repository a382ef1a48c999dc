// kavrel flash-info | flash: read a firmware image and its loader, and flash
// drives with them through the automation layer's flasher.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostSession.h"
#include "Json.h"
#include "automation/CFieldbusInterface.h"
#include "automation/CFlasher.h"
#include "automation/ErrorInfo.h"
#include "automation/IFieldbusDevice.h"
#include "commonbase/StringUtil.h"
#include "flashtools/FlashData.h"
#include "flashtools/FlashException.h"

namespace kavrelcli {

namespace {

using Kavrel::FlashProcessState;
using Clock = std::chrono::steady_clock;

struct FlashOptions {
    ConnectionOptions connection;
    std::string file, api, apiPath, protocol, srecOut;
    std::uint32_t id = 0;
    std::string ids;
    std::uint32_t flashBaud = 0;
    bool noCheck = false;
    double eraseTimeout = 0;
};

constexpr int exitCancelled = 130;

std::string segmentsJson(const Kavrel::SegmentList& segments, std::size_t count)
{
    std::vector<std::string> items;
    for (std::size_t i = 0; i < count; ++i) {
        if (segments[i].empty()) // an S5 count record leaves an empty one; it sends nothing
            continue;
        items.push_back(Json::Object()
                            .addNumber("start", segments[i].getStartAddress())
                            .addNumber("bytes", static_cast<std::int64_t>(segments[i].size()))
                            .addNumber("chunks", static_cast<std::int64_t>(segments[i].chunkCount()))
                            .str());
    }
    return Json::array(items);
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    for (auto b : bytes) out += commonbase::toHex(b, 2, true);
    return out;
}

// Segments written back as word-addressed S3 records, 32 bytes each.
bool writeSrec(const std::string& path, const Kavrel::SegmentList& segments)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto record = [&](char type, std::uint32_t address, const std::uint8_t* data, std::size_t n) {
        const std::size_t addressBytes = type == '0' ? 2 : 4;
        std::uint32_t sum = static_cast<std::uint32_t>(n + addressBytes + 1);
        std::string line = std::string("S") + type + commonbase::toHex(n + addressBytes + 1, 2, true) +
                           commonbase::toHex(address, 2 * static_cast<int>(addressBytes), true);
        for (std::size_t i = 0; i < addressBytes; ++i) sum += (address >> (8 * i)) & 0xFF;
        for (std::size_t i = 0; i < n; ++i) {
            line += commonbase::toHex(data[i], 2, true);
            sum += data[i];
        }
        out << line << commonbase::toHex(~sum & 0xFF, 2, true) << "\n";
    };
    const std::string tag = "kavrel";
    record('0', 0, reinterpret_cast<const std::uint8_t*>(tag.data()), tag.size());
    for (const auto& s : segments) {
        const auto bytes = s.bytes();
        for (std::size_t at = 0; at < bytes.size(); at += 32)
            record('3', s.getStartAddress() + static_cast<std::uint32_t>(at / 2), bytes.data() + at,
                   std::min<std::size_t>(32, bytes.size() - at));
    }
    record('7', 0, nullptr, 0);
    return static_cast<bool>(out.flush());
}

// Contiguous in bytes but not in words: records were written with byte addresses.
bool looksByteAddressed(const Kavrel::SegmentList& segments, std::size_t count)
{
    for (std::size_t i = 0; i + 1 < count; ++i)
        if (!segments[i].empty() && segments[i + 1].getStartAddress() == segments[i].getStartAddress() + segments[i].size())
            return true;
    return false;
}

int flashFailure(const Context& ctx, Kavrel::CFlasher& flasher, Kavrel::HRESULT hr)
{
    std::string text;
    flasher.getErrorText(hr, text);
    return reportFailure(ctx, static_cast<std::uint32_t>(hr), text);
}

// Sets the image and loader and reads both whole, so every file error shows before the bus is touched.
Kavrel::HRESULT setFiles(Kavrel::CFlasher& flasher, const FlashOptions& options)
{
    if (!options.protocol.empty())
        flasher.setProtocolName(options.protocol);
    if (!options.apiPath.empty())
        flasher.put_FlashApiPath(options.apiPath);
    if (Kavrel::HRESULT hr = flasher.setFlashData(options.file); Kavrel::FAILED(hr))
        return hr;
    if (!options.api.empty())
        if (Kavrel::HRESULT hr = flasher.setFlashApiData(options.api); Kavrel::FAILED(hr))
            return hr;
    try {
        flasher.getFacade().getFlashData()->getSegments();
        if (auto api = flasher.getFacade().getFlashApiData())
            api->load();
    } catch (const Kavrel::FlashException& e) {
        return Kavrel::flashFailure(e, "kavrel");
    }
    return Kavrel::S_OK;
}

int runFlashInfo(const Context& ctx, FlashOptions options)
{
    if (options.protocol.empty())
        options.protocol = "ModbusTCP";
    auto flasher = Kavrel::CFlasher::create();
    if (Kavrel::HRESULT hr = setFiles(*flasher, options); Kavrel::FAILED(hr))
        return flashFailure(ctx, *flasher, hr);
    auto& facade = flasher->getFacade();
    auto data = facade.getFlashData();
    const auto header = data->getHeader();
    const auto& segments = data->getSegments();
    const bool added = data->checksumAdded();
    const std::size_t imageCount = added ? segments.size() - 1 : segments.size();
    const auto checksumBytes = segments.back().bytes();
    const std::uint32_t checksum = checksumBytes.size() == 4
                                       ? (std::uint32_t(checksumBytes[2]) << 24 | std::uint32_t(checksumBytes[3]) << 16 |
                                          std::uint32_t(checksumBytes[0]) << 8 | checksumBytes[1])
                                       : 0;
    if (looksByteAddressed(segments, imageCount))
        std::cerr << "kavrel: warning: the records of " << options.file
                  << " look byte-addressed (each starts where the previous one's bytes end); the drive counts "
                     "16-bit words: write the file with srec_cat ... -o FILE -motorola 2\n";

    std::vector<std::string> components;
    for (auto k : header.getComponents()) components.push_back(std::to_string(k));
    Json::Object headerJson;
    headerJson.add("file", header.getFile())
        .add("version", header.versionText())
        .add("programVersion", header.programVersionText())
        .addRaw("components", Json::array(components))
        .add("date", header.getDate())
        .add("description", header.getDescription())
        .add("apiName", header.getApiName());
    Json::Object doc;
    doc.addRaw("header", headerJson.str())
        .addRaw("segments", segmentsJson(segments, imageCount))
        .addRaw("checksum", Json::Object()
                                .addBool("added", added)
                                .add("bytes", hexBytes(checksumBytes))
                                .addNumber("value", checksum)
                                .str());
    std::vector<std::string> lines = {
        "file:          " + options.file,
        "header file:   " + header.getFile(),
        "version:       " + header.versionText() + "  program version: " + header.programVersionText(),
        "components:    " + [&] { std::string t; for (auto& c : components) t += (t.empty() ? "" : ", ") + c; return t; }(),
        "date:          " + header.getDate(),
        "description:   " + header.getDescription(),
        "API name:      " + header.getApiName()};
    for (std::size_t i = 0; i < imageCount; ++i) {
        if (segments[i].empty())
            continue;
        lines.push_back("segment " + std::to_string(i + 1) + ":     word 0x" +
                        commonbase::toHex(segments[i].getStartAddress(), 6) + ", " +
                        std::to_string(segments[i].size()) + " bytes, " + std::to_string(segments[i].chunkCount()) +
                        " chunk(s)");
    }
    lines.push_back("checksum:      0x" + commonbase::toHex(checksum, 8) + " (bytes " + hexBytes(checksumBytes) + ", " +
                    (added ? "added" : "already in the file") + ")");
    if (auto api = facade.getFlashApiData()) {
        const auto& apiSegments = api->getSegments();
        doc.addRaw("api", Json::Object()
                              .add("file", facade.getFlashApiFilename())
                              .addNumber("protocolVersion", api->getProtocolVersion())
                              .addRaw("segments", segmentsJson(apiSegments, apiSegments.size()))
                              .str());
        lines.push_back("API file:      " + facade.getFlashApiFilename() + " (protocol version " +
                        std::to_string(api->getProtocolVersion()) + ", " + std::to_string(Kavrel::totalBytes(apiSegments)) +
                        " bytes)");
    } else {
        doc.addRaw("api", "null");
        lines.push_back("API file:      none found");
    }
    if (!options.srecOut.empty() && !writeSrec(options.srecOut, segments))
        return reportError(ctx, 1, "cannot write '" + options.srecOut + "'");
    printResult(ctx, doc.str(), lines);
    return 0;
}

// ---- flash --------------------------------------------------------------

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) { interrupted = true; }

struct FlashEvent {
    enum Kind { progress, exception } kind = progress;
    std::int32_t reason = 0;
    FlashProcessState state;
    std::int32_t code = 0;
    std::string text;
};

// Takes the flasher's events on the flash thread and hands them to the main loop.
class FlashInbox : public Kavrel::IFlasherEvent {
public:
    void onFlashProgressStateChange(std::int32_t reason, const std::shared_ptr<Kavrel::CFlashProgressState>& s) override
    {
        FlashEvent e;
        e.kind = FlashEvent::progress;
        e.reason = reason;
        std::int32_t a = 0, b = 0;
        s->getFlashState(a);
        e.state.setFlashStateField(a);
        s->getEndState(a);
        e.state.setEndStateField(a);
        s->getFlashProcessMajorSteps(a, b);
        e.state.setMajor({a, b});
        s->getFlashProcessMinorSteps(a, b);
        e.state.setMinor({a, b});
        push(std::move(e));
    }
    void onFlashException(std::int32_t code, const std::string& text) override
    {
        FlashEvent e;
        e.kind = FlashEvent::exception;
        e.code = code;
        e.text = text;
        push(std::move(e));
    }
    bool pop(FlashEvent& out, std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, wait, [this] { return !events.empty(); }))
            return false;
        out = std::move(events.front());
        events.pop_front();
        return true;
    }

private:
    void push(FlashEvent e)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(std::move(e));
        }
        arrived.notify_all();
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<FlashEvent> events;
};

bool finalEnd(std::int32_t end)
{
    return end == FlashProcessState::FinishedSuccessfull || end == FlashProcessState::UserStopped ||
           end == FlashProcessState::Stopped;
}

void showProgress(const FlashEvent& e, bool bar)
{
    const auto& s = e.state;
    const std::string name = FlashProcessState::flashStateName(s.getFlashState());
    std::string detail;
    if (s.getFlashState() == FlashProcessState::ErasingSections)
        detail = std::to_string(s.minor().current) + "/" + std::to_string(s.minor().total) + " sections";
    else if (s.getFlashState() == FlashProcessState::ApiSending || s.getFlashState() == FlashProcessState::FlashDataSending)
        detail = std::to_string(s.minor().current) + "/" + std::to_string(s.minor().total) + " bytes";
    if (bar) {
        const int width = 30;
        const int filled = s.major().total > 0 ? width * s.major().current / s.major().total : 0;
        std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                  << std::string(static_cast<std::size_t>(width - filled), ' ') << "] " << name << " " << detail
                  << "\033[K" << std::flush;
    } else if (e.reason == 1) {
        std::cout << name << (detail.empty() ? "" : " " + detail) << std::endl;
    }
}

// One drive; returns 0, 1 or 130.
int flashOne(const Context& ctx, HostSession& session, Kavrel::CFlasher& flasher, FlashInbox& inbox,
             std::uint32_t id, const FlashOptions& options, std::size_t imageBytes)
{
    std::shared_ptr<Kavrel::IFieldbusDevice> device;
    if (!session.connect(id, device))
        return session.status();
    const bool bar = !ctx.json && ::isatty(2);
    const auto begun = Clock::now();
    if (Kavrel::HRESULT hr = flasher.flashDevice(device, options.noCheck ? 0 : 1, 0); Kavrel::FAILED(hr))
        return flashFailure(ctx, flasher, hr);
    bool cancelSent = false;
    std::int32_t failureCode = 0;
    std::string failureText;
    std::int32_t end = FlashProcessState::Running;
    while (!finalEnd(end)) {
        if (interrupted && !cancelSent) {
            flasher.cancelFlash(device);
            cancelSent = true;
        }
        FlashEvent e;
        if (!inbox.pop(e, std::chrono::milliseconds(50))) {
            // Between events, the process itself says whether the download has ended.
            std::shared_ptr<Kavrel::CFlashProgressState> now;
            std::int32_t current = 0;
            if (Kavrel::FAILED(flasher.getFlashProgressState(now)) || Kavrel::FAILED(now->getEndState(current)) ||
                !finalEnd(current))
                continue;
            if (!inbox.pop(e, std::chrono::milliseconds(200))) {
                end = current;
                continue;
            }
        }
        if (e.kind == FlashEvent::exception) {
            failureCode = e.code;
            failureText = e.text;
            if (ctx.json)
                std::cout << Json::Object().add("event", "exception").addNumber("id", id)
                                 .add("code", "0x" + commonbase::toHex(static_cast<std::uint32_t>(e.code), 8, true)).add("text", e.text).str()
                          << std::endl;
            continue;
        }
        if (e.reason == 3)
            end = e.state.getEndState();
        if (ctx.json) {
            const auto& s = e.state;
            std::cout << Json::Object()
                             .add("event", "progress").addNumber("id", id).addNumber("reason", e.reason)
                             .addNumber("flashState", s.getFlashState())
                             .add("flashStateName", FlashProcessState::flashStateName(s.getFlashState()))
                             .addNumber("endState", s.getEndState())
                             .add("endStateName", FlashProcessState::endStateName(s.getEndState()))
                             .addRaw("major", "[" + std::to_string(s.major().current) + "," + std::to_string(s.major().total) + "]")
                             .addRaw("minor", "[" + std::to_string(s.minor().current) + "," + std::to_string(s.minor().total) + "]")
                             .str()
                      << std::endl;
        } else {
            showProgress(e, bar);
        }
    }
    if (bar)
        std::cerr << "\n";
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    if (end == FlashProcessState::FinishedSuccessfull) {
        std::ostringstream secs;
        secs.precision(3);
        secs << std::fixed << seconds;
        if (ctx.json)
            std::cout << Json::Object().add("event", "finished").addNumber("id", id).addNumber("endState", end)
                             .add("endStateName", FlashProcessState::endStateName(end)).addRaw("seconds", secs.str())
                             .addNumber("bytes", static_cast<std::int64_t>(imageBytes)).str()
                      << std::endl;
        else
            std::cout << "drive " << id << ": flashed " << imageBytes << " bytes in " << secs.str() << " s" << std::endl;
        return 0;
    }
    if (failureCode == 0)
        failureCode = static_cast<std::int32_t>(0x80044005u);
    std::string text;
    flasher.getErrorText(failureCode, text);
    reportFailure(ctx, static_cast<std::uint32_t>(failureCode),
                  (end == FlashProcessState::UserStopped ? "cancelled: " : "") + (text.empty() ? failureText : text));
    return end == FlashProcessState::UserStopped ? exitCancelled : 1;
}

int runFlash(const Context& ctx, const FlashOptions& options)
{
    HostSession session(ctx, options.connection);
    if (options.id == 0 && options.ids.empty())
        return session.fail("give the drives with --id N or --ids RANGE");
    if (options.eraseTimeout < 0 || options.eraseTimeout > 3600)
        return session.fail("--erase-timeout must be 0 to 3600 seconds");
    auto flasher = Kavrel::CFlasher::create();
    if (!options.connection.protocol.empty())
        flasher->setProtocolName(options.connection.protocol);
    std::shared_ptr<Kavrel::CFlashProtocolSettingsList> list;
    flasher->get_FlashProtocolSettingsList(list);
    if (options.flashBaud != 0) {
        std::shared_ptr<Kavrel::CFlashProtocolSettingsModbusRTU> rtu;
        list->get_FlashProtocolSettingsModbusRTU(rtu);
        rtu->put_Baudrate(static_cast<std::int32_t>(options.flashBaud));
    }
    FlashOptions fileOptions = options;
    fileOptions.protocol = options.connection.protocol;
    if (Kavrel::HRESULT hr = setFiles(*flasher, fileOptions); Kavrel::FAILED(hr))
        return flashFailure(ctx, *flasher, hr);
    if (!flasher->getFacade().hasFlashApiData()) {
        std::string icon;
        return reportFailure(ctx, static_cast<std::uint32_t>(Kavrel::kavrelError(0xF09)),
                             "no loader: none found for the image's API name '" +
                                 flasher->getFacade().getFlashDataHeader().getApiName() + "'; give one with --api");
    }
    if (!session.open(false))
        return session.status();
    std::string protocol = options.connection.protocol;
    if (options.eraseTimeout > 0) {
        std::shared_ptr<Kavrel::CFlashProtocolSettings> settings;
        list->get_FlashProtocolSettings(flasher->getFacade().getProtocolName(), settings);
        settings->put_EraseTimeout(static_cast<std::int32_t>(options.eraseTimeout * 1000));
    }
    std::vector<std::int32_t> ids;
    if (options.id != 0) {
        ids.push_back(static_cast<std::int32_t>(options.id));
    } else if (Kavrel::FAILED(session.bus().get_FlashRangeIds(options.ids, ids)) || ids.empty()) {
        return session.fail("--ids '" + options.ids + "' is not a range of flashable ids (e.g. 1-5,9)");
    }
    const std::size_t imageBytes = Kavrel::totalBytes(flasher->getFacade().getFlashData()->getSegments());

    auto inbox = std::make_shared<FlashInbox>();
    std::uint32_t cookie = 0;
    flasher->advise(inbox, cookie);
    interrupted = false;
    struct sigaction action {}, previous {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous);
    int status = 0;
    for (auto id : ids) {
        status = flashOne(ctx, session, *flasher, *inbox, static_cast<std::uint32_t>(id), options, imageBytes);
        if (status != 0 || interrupted)
            break;
    }
    ::sigaction(SIGINT, &previous, nullptr);
    flasher->unadvise(cookie);
    if (interrupted && status == 0)
        status = exitCancelled;
    return status;
}

} // namespace

void registerFlashCommands(CLI::App& app, Context& ctx)
{
    auto info = std::make_shared<FlashOptions>();
    auto* infoCommand = app.add_subcommand("flash-info", "Show a firmware image, its checksum and its loader (no bus)");
    infoCommand->add_option("--file", info->file, "The flash data file (S-records with header lines)")->required();
    infoCommand->add_option("--api", info->api, "The loader file (default: found from the image's #FAPI)");
    infoCommand->add_option("--api-path", info->apiPath, "Folder the loaders lie under");
    infoCommand->add_option("--protocol", info->protocol, "Protocol whose naming rule finds the loader (default ModbusTCP)");
    infoCommand->add_option("--srec", info->srecOut, "Write the segments, checksum included, as word-addressed S3 records");
    infoCommand->add_flag("--json", ctx.json, "Print one JSON document");
    infoCommand->callback([&ctx, info] { ctx.action = [&ctx, info] { return runFlashInfo(ctx, *info); }; });

    auto options = std::make_shared<FlashOptions>();
    auto* flash = app.add_subcommand("flash", "Flash drives with a firmware image (Ctrl-C cancels)");
    addConnectionOptions(flash, options->connection, ctx, "One JSON line per event");
    flash->add_option("--id", options->id, "Bus address of the drive");
    flash->add_option("--ids", options->ids, "Drives to flash in turn, e.g. 1-3,7");
    flash->add_option("--file", options->file, "The flash data file")->required();
    flash->add_option("--api", options->api, "The loader file (default: found from the image's #FAPI)");
    flash->add_option("--api-path", options->apiPath, "Folder the loaders lie under");
    flash->add_option("--flash-baud", options->flashBaud, "Line rate after the loader starts (ModbusRS485, default 38400)");
    flash->add_flag("--no-check", options->noCheck, "Skip the compatibility check (parameter 1.7 against #KOMP)");
    flash->add_option("--erase-timeout", options->eraseTimeout, "Seconds the erase may take (default 60)");
    flash->callback([&ctx, options] { ctx.action = [&ctx, options] { return runFlash(ctx, *options); }; });
}

} // namespace kavrelcli
