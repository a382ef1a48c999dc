// The C interface of the firmware download: flasher handles, and a sink per
// flasher that queues its events (they come on the flash thread) for
// kavrel_flash_poll_event.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "automation/CFieldbusDevice.h"
#include "automation/CFlasher.h"
#include "automation/ErrorInfo.h"
#include "automation/kavrel.h"
#include "automation/kavrel_internal.h"
#include "commonbase/StringUtil.h"
#include "flashtools/FlashApiFileNameFinder.h"

using namespace Kavrel;

namespace {

constexpr const char* source = "kavrel";

class FlashEventQueue {
public:
    void push(const kavrel_flash_event& e)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(e);
        }
        arrived.notify_all();
    }
    bool pop(kavrel_flash_event& out, std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, wait, [this] { return !events.empty(); }))
            return false;
        out = events.front();
        events.pop_front();
        return true;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<kavrel_flash_event> events;
};

FlashEventQueue& queue()
{
    static FlashEventQueue* q = new FlashEventQueue; // lives to the end of the process
    return *q;
}

kavrel_flash_state stateOf(CFlashProgressState& s)
{
    kavrel_flash_state out{};
    s.getFlashState(out.flash_state);
    s.getEndState(out.end_state);
    s.getFlashProcessMajorSteps(out.major, out.major_total);
    s.getFlashProcessMinorSteps(out.minor, out.minor_total);
    s.hasMinorSteps(out.has_minor_steps);
    return out;
}

class QueueingFlasherSink : public IFlasherEvent {
public:
    explicit QueueingFlasherSink(kavrel_handle handle_) : handle(handle_) {}
    void onFlashProgressStateChange(std::int32_t reason, const std::shared_ptr<CFlashProgressState>& state) override
    {
        kavrel_flash_event e{};
        e.kind = KAVREL_FLASH_EVENT_PROGRESS;
        e.flasher = handle;
        e.reason = reason;
        e.state = stateOf(*state);
        queue().push(e);
    }
    void onFlashException(std::int32_t code, const std::string& text) override
    {
        kavrel_flash_event e{};
        e.kind = KAVREL_FLASH_EVENT_EXCEPTION;
        e.flasher = handle;
        e.code = code;
        std::strncpy(e.text, text.c_str(), sizeof e.text - 1);
        queue().push(e);
    }
    void onFlasherChange(std::int32_t call) override
    {
        kavrel_flash_event e{};
        e.kind = KAVREL_FLASH_EVENT_CHANGE;
        e.flasher = handle;
        e.reason = call;
        queue().push(e);
    }

private:
    kavrel_handle handle;
};

// Flasher handles count down from the top, away from the other handles.
class Flashers {
public:
    kavrel_handle add(std::shared_ptr<CFlasher> flasher)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const kavrel_handle handle = next--;
        std::uint32_t cookie = 0;
        flasher->advise(std::make_shared<QueueingFlasherSink>(handle), cookie);
        entries.emplace(handle, std::move(flasher));
        return handle;
    }
    std::shared_ptr<CFlasher> get(kavrel_handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entries.find(handle);
        return it == entries.end() ? nullptr : it->second;
    }
    bool release(kavrel_handle handle)
    {
        std::shared_ptr<CFlasher> gone;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = entries.find(handle);
            if (it == entries.end())
                return false;
            gone = std::move(it->second);
            entries.erase(it);
        }
        return true; // released here, outside the lock
    }

private:
    std::mutex mutex;
    kavrel_handle next = 0xFFFFFFF0u;
    std::map<kavrel_handle, std::shared_ptr<CFlasher>> entries;
};

Flashers& flashers()
{
    static Flashers* f = new Flashers; // flashers a host never released outlive its exit
    return *f;
}

HRESULT fail(HRESULT hr, const std::string& text) { return ErrorInfo::set(hr, text, source); }
HRESULT nullArgument(const char* name) { return fail(E_INVALIDARG, commonbase::cat("argument '", name, "' is null")); }
HRESULT badHandle(kavrel_handle handle, const char* kind)
{
    return fail(E_HANDLE, commonbase::cat("handle ", handle, " is not a valid ", kind, " (released or never made)"));
}

HRESULT copyText(const std::string& text, char* buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return nullArgument("buffer");
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return S_OK;
}

#define KAVREL_FLASHER(name)                     \
    auto name##Object = flashers().get(name);    \
    if (!name##Object)                           \
        return badHandle(name, "flasher");       \
    CFlasher& name##Ref = *name##Object

} // namespace

bool kavrelReleaseFlasher(kavrel_handle handle) { return flashers().release(handle); }

extern "C" {

int32_t kavrel_flasher_create(kavrel_handle* flasher)
{
    if (!flasher)
        return nullArgument("flasher");
    *flasher = flashers().add(CFlasher::create());
    return ErrorInfo::update(S_OK, source);
}

int32_t kavrel_flasher_set_protocol(kavrel_handle flasher, const char* protocol_name)
{
    KAVREL_FLASHER(flasher);
    if (!protocol_name)
        return nullArgument("protocol_name");
    flasherRef.setProtocolName(protocol_name);
    return ErrorInfo::update(S_OK, source);
}

int32_t kavrel_flasher_set_api_path(kavrel_handle flasher, const char* path)
{
    KAVREL_FLASHER(flasher);
    if (!path)
        return nullArgument("path");
    return flasherRef.put_FlashApiPath(path);
}

int32_t kavrel_flasher_set_flash_data(kavrel_handle flasher, const char* file)
{
    KAVREL_FLASHER(flasher);
    if (!file)
        return nullArgument("file");
    return flasherRef.setFlashData(file);
}

int32_t kavrel_flasher_set_api_data(kavrel_handle flasher, const char* file)
{
    KAVREL_FLASHER(flasher);
    if (!file)
        return nullArgument("file");
    return flasherRef.setFlashApiData(file);
}

int32_t kavrel_flasher_set_option(kavrel_handle flasher, const char* protocol_name, const char* key, int32_t value)
{
    KAVREL_FLASHER(flasher);
    if (!protocol_name)
        return nullArgument("protocol_name");
    if (!key)
        return nullArgument("key");
    std::shared_ptr<CFlashProtocolSettingsList> list;
    if (HRESULT hr = flasherRef.get_FlashProtocolSettingsList(list); FAILED(hr))
        return hr;
    if (std::strcmp(key, "Baudrate") == 0) {
        if (std::strcmp(protocol_name, "ModbusRS485") != 0)
            return fail(E_INVALIDARG, "only ModbusRS485 has a flash baud rate");
        std::shared_ptr<CFlashProtocolSettingsModbusRTU> rtu;
        if (HRESULT hr = list->get_FlashProtocolSettingsModbusRTU(rtu); FAILED(hr))
            return hr;
        return rtu->put_Baudrate(value);
    }
    if (std::strcmp(key, "EraseTimeout") == 0) {
        std::shared_ptr<CFlashProtocolSettings> settings;
        if (HRESULT hr = list->get_FlashProtocolSettings(protocol_name, settings); FAILED(hr))
            return hr;
        return settings->put_EraseTimeout(value);
    }
    return fail(E_INVALIDARG, commonbase::cat("'", key, "' is not a flash option"));
}

int32_t kavrel_flasher_text(kavrel_handle flasher, const char* field, char* buffer, size_t size)
{
    KAVREL_FLASHER(flasher);
    if (!field)
        return nullArgument("field");
    const std::string f = field;
    std::string text;
    HRESULT hr = S_OK;
    if (f == "flashDataFilename") hr = flasherRef.getFlashDataFilename(text);
    else if (f == "flashApiFilename") hr = flasherRef.getFlashApiFilename(text);
    else if (f == "defaultFlashApiDataFilename") hr = flasherRef.getDefaultFlashApiDataFilename(text);
    else if (f == "iconFileName") hr = flasherRef.getFlashApiDataIconFileName(text);
    else if (f == "contents") {
        std::int32_t n = 0;
        hr = flasherRef.showFlashDataContentsPrepair(n);
        if (SUCCEEDED(hr)) hr = flasherRef.showFlashDataContents({}, 0, text);
    } else if (f == "date" || f == "apiEntry" || f == "version" || f == "progVersion") {
        std::shared_ptr<CFlashDataHeaderInfo> info;
        hr = flasherRef.getFlashDataHeaderInfo(info);
        if (SUCCEEDED(hr)) {
            if (f == "date") hr = info->getDate(text);
            else if (f == "apiEntry") hr = info->getApiEntry(text);
            else if (f == "version") hr = info->getVersionString(text);
            else hr = info->getProgVersionString(text);
        }
    } else
        return fail(E_INVALIDARG, "'" + f + "' is not a flasher text");
    if (FAILED(hr))
        return hr;
    return copyText(text, buffer, size);
}

int32_t kavrel_flasher_check(kavrel_handle flasher, kavrel_handle device, int32_t* compatible)
{
    KAVREL_FLASHER(flasher);
    auto d = kavrelDeviceOfHandle(device);
    if (!d)
        return badHandle(device, "device");
    if (!compatible)
        return nullArgument("compatible");
    return flasherRef.checkCompatibility(d, *compatible);
}

int32_t kavrel_flasher_flash(kavrel_handle flasher, kavrel_handle device, int32_t check_first, int32_t wait)
{
    KAVREL_FLASHER(flasher);
    auto d = kavrelDeviceOfHandle(device);
    if (!d)
        return badHandle(device, "device");
    HRESULT hr = flasherRef.flashDevice(d, check_first, wait);
    if (FAILED(hr) || wait == 0)
        return hr;
    // Run here: the outcome is the download's.
    std::shared_ptr<CFlashProgressState> state;
    if (FAILED(flasherRef.getFlashProgressState(state)))
        return E_FAIL;
    std::int32_t end = 0;
    state->getEndState(end);
    if (end == 2)
        return ErrorInfo::update(S_OK, source);
    std::int32_t code = flasherRef.getLastDownloadErrorCode();
    if (code == 0)
        code = E_FAIL;
    std::string text;
    flasherRef.getErrorText(code, text);
    return fail(code, text);
}

int32_t kavrel_flasher_cancel(kavrel_handle flasher, kavrel_handle device)
{
    KAVREL_FLASHER(flasher);
    auto d = kavrelDeviceOfHandle(device);
    if (!d)
        return badHandle(device, "device");
    return flasherRef.cancelFlash(d);
}

int32_t kavrel_flasher_progress(kavrel_handle flasher, kavrel_flash_state* state)
{
    KAVREL_FLASHER(flasher);
    if (!state)
        return nullArgument("state");
    std::shared_ptr<CFlashProgressState> s;
    if (HRESULT hr = flasherRef.getFlashProgressState(s); FAILED(hr))
        return hr;
    *state = stateOf(*s);
    return S_OK;
}

int32_t kavrel_flasher_error_text(kavrel_handle flasher, int32_t code, char* buffer, size_t size)
{
    KAVREL_FLASHER(flasher);
    std::string text;
    flasherRef.getErrorText(code, text);
    return copyText(text, buffer, size);
}

int32_t kavrel_flash_poll_event(int32_t timeout_ms, kavrel_flash_event* event)
{
    if (!event)
        return nullArgument("event");
    std::memset(event, 0, sizeof *event);
    return queue().pop(*event, std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0)) ? KAVREL_S_OK
                                                                                            : KAVREL_S_FALSE;
}

} // extern "C"
