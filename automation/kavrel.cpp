// The C interface: handles over the automation objects, sinks that queue
// events for kavrel_poll_event, and texts copied into the caller's buffers.
#include "automation/kavrel.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusDevice.h"
#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "commonbase/HostEventLoop.h"
#include "automation/IFieldbusDeviceEvent.h"
#include "automation/IFieldbusInterfaceEvent.h"
#include "commonbase/StringUtil.h"
#include "automation/InterfaceSettings.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterface.h"
#include "hardware/HardwareInterface.h"
#include "automation/kavrel_internal.h"

using namespace Kavrel;

namespace {

constexpr const char* source = "kavrel";

// Events the sinks took, waiting for the host to poll them.
struct EventQueue {
    std::mutex mutex;
    std::deque<kavrel_event> events;
    void push(std::int32_t kind, kavrel_handle from, std::int32_t first, std::int32_t second)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(kavrel_event{kind, from, first, second});
    }
    bool pop(kavrel_event& out)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (events.empty())
            return false;
        out = events.front();
        events.pop_front();
        return true;
    }
    bool empty()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events.empty();
    }
};

EventQueue& queue()
{
    static EventQueue* q = new EventQueue; // used until the very end of the process
    return *q;
}

class QueueingInterfaceSink : public IFieldbusInterfaceEvent {
public:
    explicit QueueingInterfaceSink(kavrel_handle handle_) : handle(handle_) {}
    void onNodeGuardTimeout(std::int32_t id) override { queue().push(KAVREL_EVENT_NODE_GUARD_TIMEOUT, handle, id, 0); }
    void onNetworkScanStepped(std::int32_t id, std::int32_t found) override
    {
        queue().push(KAVREL_EVENT_SCAN_STEPPED, handle, id, found);
    }
    void onNetworkScanFinished() override { queue().push(KAVREL_EVENT_SCAN_FINISHED, handle, 0, 0); }

private:
    kavrel_handle handle;
};

class QueueingDeviceSink : public IFieldbusDeviceEvent {
public:
    explicit QueueingDeviceSink(kavrel_handle handle_) : handle(handle_) {}
    void onUploadFinished(std::int32_t session, std::int32_t error) override
    {
        // The worker reports the registry's short code; the host gets the full result code.
        const bool bare = error > 0 && (static_cast<std::uint32_t>(error) & 0xFFFF0000u) == 0;
        queue().push(KAVREL_EVENT_UPLOAD_FINISHED, handle, session, bare ? kavrelError(static_cast<std::uint32_t>(error)) : error);
    }
    void onNextPacket(std::int32_t session, std::int32_t packet) override
    {
        queue().push(KAVREL_EVENT_NEXT_PACKET, handle, session, packet);
    }

private:
    kavrel_handle handle;
};

struct Entry {
    std::shared_ptr<CFieldbusInterface> fieldbusInterface;
    std::shared_ptr<CFieldbusDevice> device;
    std::uint32_t cookie = 0;
};

// Handles are numbers, never pointers, so a released one is recognised.
class Handles {
public:
    kavrel_handle add(std::shared_ptr<CFieldbusInterface> object)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const kavrel_handle handle = ++last;
        Entry entry;
        entry.fieldbusInterface = std::move(object);
        entry.fieldbusInterface->advise(std::make_shared<QueueingInterfaceSink>(handle), entry.cookie);
        entries.emplace(handle, std::move(entry));
        return handle;
    }
    // The same device twin keeps its handle.
    kavrel_handle add(std::shared_ptr<CFieldbusDevice> object)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [handle, entry] : entries)
            if (entry.device == object)
                return handle;
        const kavrel_handle handle = ++last;
        Entry entry;
        entry.device = std::move(object);
        entry.device->advise(std::make_shared<QueueingDeviceSink>(handle), entry.cookie);
        entries.emplace(handle, std::move(entry));
        return handle;
    }
    std::shared_ptr<CFieldbusInterface> fieldbusInterface(kavrel_handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entries.find(handle);
        return it == entries.end() ? nullptr : it->second.fieldbusInterface;
    }
    std::shared_ptr<CFieldbusDevice> device(kavrel_handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = entries.find(handle);
        return it == entries.end() ? nullptr : it->second.device;
    }
    bool release(kavrel_handle handle)
    {
        Entry gone;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = entries.find(handle);
            if (it == entries.end())
                return false;
            gone = std::move(it->second);
            entries.erase(it);
        }
        // Unadvised and released outside the lock: releasing joins workers.
        if (gone.fieldbusInterface)
            gone.fieldbusInterface->unadvise(gone.cookie);
        if (gone.device)
            gone.device->unadvise(gone.cookie);
        return true;
    }

private:
    std::mutex mutex;
    kavrel_handle last = 0;
    std::map<kavrel_handle, Entry> entries;
};

Handles& handles()
{
    static Handles* h = new Handles; // objects a host never released are not torn down at exit
    return *h;
}

// A C or Python host keeps its own last settings ("LastSettings_<program>.xml"),
// not the command-line tool's, unless it asks for another key.
std::string defaultSettingsKey()
{
    std::string key;
    for (char c : std::string(program_invocation_short_name ? program_invocation_short_name : ""))
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')
            key += c;
    return key.empty() ? "host" : key;
}

std::shared_ptr<CCommunicationManager> manager()
{
    auto m = CCommunicationManager::create();
    static std::once_flag keyed;
    std::call_once(keyed, [&] { m->put_SettingsFileKey(defaultSettingsKey()); });
    return m;
}

HRESULT fail(HRESULT hr, const std::string& text) { return ErrorInfo::set(hr, text, source); }
HRESULT ok() { return ErrorInfo::update(S_OK, source); }

HRESULT badHandle(kavrel_handle handle, const char* kind)
{
    return fail(E_HANDLE, commonbase::cat("handle ", handle, " is not a valid ", kind, " (released or never made)"));
}

// A device whose interface was released has no bus: its handle is as dead as a released one.
HRESULT liveDevice(kavrel_handle handle, std::shared_ptr<CFieldbusDevice>& device)
{
    device = handles().device(handle);
    if (!device)
        return badHandle(handle, "device");
    const FieldbusDevice* core = device->getFieldbusDevice();
    if (core && core->isInterfaceGone())
        return fail(E_HANDLE, commonbase::cat("device handle ", handle, " is not usable: its interface was released"));
    return S_OK;
}

HRESULT nullArgument(const char* name) { return fail(E_INVALIDARG, commonbase::cat("argument '", name, "' is null")); }

HRESULT copyText(const std::string& text, char* buffer, std::size_t size) { return kavrelCopyText(text, buffer, size); }

// The result of a surface call that produced a text.
HRESULT textResult(HRESULT hr, const std::string& text, char* buffer, std::size_t size)
{
    if (FAILED(hr))
        return hr;
    const HRESULT copied = copyText(text, buffer, size);
    return copied != S_OK ? copied : hr;
}

HRESULT deviceResult(HRESULT hr, const std::shared_ptr<IFieldbusDevice>& device, kavrel_handle* out)
{
    if (FAILED(hr))
        return hr;
    auto twin = std::dynamic_pointer_cast<CFieldbusDevice>(device);
    if (!twin)
        return fail(E_FAIL, "the device has no automation object");
    *out = handles().add(std::move(twin));
    return ok();
}

// The three ways of getting a device handle from an interface differ only in the call.
template <typename Lookup>
int32_t deviceFrom(kavrel_handle interface_handle, kavrel_handle* device_handle, Lookup lookup)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    if (!device_handle)
        return nullArgument("device_handle");
    std::shared_ptr<IFieldbusDevice> device;
    return deviceResult(lookup(*twin, device), device, device_handle);
}

} // namespace

std::shared_ptr<CFieldbusDevice> kavrelDeviceOfHandle(kavrel_handle handle) { return handles().device(handle); }

std::int32_t kavrelCopyText(const std::string& text, char* buffer, std::size_t size)
{
    const std::size_t needed = text.size() + 1;
    if (!buffer && size == 0)
        return needed > 0x7FFFFFFF ? E_FAIL : static_cast<std::int32_t>(needed);
    if (!buffer)
        return nullArgument("buffer");
    if (size == 0)
        return fail(E_INVALIDARG, "a buffer of size 0 holds no text (pass NULL and 0 to learn the size)");
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n == text.size() ? S_OK : static_cast<std::int32_t>(std::min<std::size_t>(needed, 0x7FFFFFFF));
}

extern "C" {

int32_t kavrel_version(char* buffer, size_t size)
{
    std::string text;
    return textResult(manager()->get_versionstring(text), text, buffer, size);
}

int32_t kavrel_set_protocol(const char* protocol_name)
{
    if (!protocol_name)
        return nullArgument("protocol_name");
    auto m = manager();
    m->put_protocolname(protocol_name);
    std::string selected;
    m->get_protocolname(selected);
    if (selected != protocol_name)
        return fail(E_INVALIDARG, commonbase::cat("'", protocol_name, "' is not a known protocol"));
    return ok();
}

int32_t kavrel_get_protocol(char* buffer, size_t size)
{
    std::string text;
    return textResult(manager()->get_protocolname(text), text, buffer, size);
}

namespace {
// The known protocols this build can make an interface for (a protocol named
// but not built yet is left out, so a host never offers it).
const std::vector<std::string>& availableProtocols()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> made;
        auto m = manager();
        std::int32_t count = 0;
        m->get_numberOfFieldbusProtocols(count);
        for (std::int32_t n = 1; n <= count; ++n) {
            std::string name;
            m->get_fieldbusProtocolName(n, name);
            if (CommunicationManager::makeInterface(name, false))
                made.push_back(name);
        }
        return made;
    }();
    return names;
}
} // namespace

int32_t kavrel_protocol_count(int32_t* count)
{
    if (!count)
        return nullArgument("count");
    *count = static_cast<std::int32_t>(availableProtocols().size());
    return ok();
}

int32_t kavrel_protocol_name(int32_t number, char* buffer, size_t size)
{
    const auto& names = availableProtocols();
    const std::string text =
        number >= 1 && static_cast<std::size_t>(number) <= names.size() ? names[static_cast<std::size_t>(number - 1)] : "";
    return textResult(ok(), text, buffer, size);
}

namespace {
// The library writes below these folders ("xml/", "log/"), so they must exist and be writable.
HRESULT usableFolder(const char* what, const char* path)
{
    if (!path)
        return nullArgument("path");
    if (!*path)
        return fail(E_INVALIDARG, commonbase::cat("the ", what, " is empty"));
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return fail(E_INVALIDARG, commonbase::cat("the ", what, " '", path, "' does not exist"));
    if (!std::filesystem::is_directory(path, ec))
        return fail(E_INVALIDARG, commonbase::cat("the ", what, " '", path, "' is not a folder"));
    if (::access(path, W_OK | X_OK) != 0)
        return fail(E_INVALIDARG, commonbase::cat("the ", what, " '", path, "' is not writable: ", std::strerror(errno)));
    return S_OK;
}
} // namespace

int32_t kavrel_set_data_path(const char* path)
{
    if (const HRESULT refused = usableFolder("data path", path); FAILED(refused))
        return refused;
    const HRESULT hr = manager()->put_dataPath(path);
    return FAILED(hr) ? hr : ok();
}

int32_t kavrel_set_last_settings_path(const char* path)
{
    if (const HRESULT refused = usableFolder("settings path", path); FAILED(refused))
        return refused;
    const HRESULT hr = manager()->put_lastSettingsPath(path);
    return FAILED(hr) ? hr : ok();
}

int32_t kavrel_set_settings_file_key(const char* key)
{
    if (!key)
        return nullArgument("key");
    for (const char* c = key; *c; ++c)
        if (*c == '/' || *c == '\\')
            return fail(E_INVALIDARG, commonbase::cat("the settings key '", key, "' holds a path separator"));
    auto m = manager();
    m->put_SettingsFileKey(key);
    // The file name is computed from the key; a settings file already open is left for the new one.
    std::string folder;
    m->get_lastSettingsPath(folder);
    if (!folder.empty())
        m->put_lastSettingsFileName("");
    return ok();
}

int32_t kavrel_get_settings_file(char* buffer, size_t size)
{
    std::string name;
    return textResult(manager()->get_lastSettingsFileName(name), name, buffer, size);
}

int32_t kavrel_error_text_for(int32_t code, char* buffer, size_t size)
{
    // Codes of the platform's kind that the C interface gives, and success.
    static const std::map<std::uint32_t, const char*> own = {
        {0x00000000u, "Success."},
        {0x00000001u, "Success, with nothing to deliver (no event came)."},
        {0x80004005u, "The call failed: an index out of range, a check that came out negative, a dialog that was "
                      "not confirmed, or a flash download that failed."},
        {0x80070057u, "An argument is not valid (null, out of range or malformed); the last error text names it."},
        {0x80070006u, "The handle is not valid: released, never made, or a device whose interface was released."},
        {0x8007000Eu, "Out of memory."},
    };
    const auto key = static_cast<std::uint32_t>(code);
    std::string text;
    if (auto it = own.find(key); it != own.end())
        text = it->second;
    else if ((key & 0xFFFF0000u) == 0x80040000u)
        manager()->get_errorTextFor(code, text);
    if (text.empty())
        text = commonbase::cat("0x", commonbase::toHex(key, 8), " is not a result code of this library.");
    return textResult(ok(), text, buffer, size);
}

int32_t kavrel_create_interface(int32_t network_scan, kavrel_handle* interface_handle)
{
    if (!interface_handle)
        return nullArgument("interface_handle");
    std::shared_ptr<IFieldbusInterface> made;
    auto m = manager();
    HRESULT hr = network_scan ? m->create_emptyNetworkScanFieldbusInterface(made)
                              : m->create_emptyFieldbusInterface(made);
    // A protocol without an interface kind of its own for scanning (ModbusTCP)
    // scans through its ordinary interface.
    if (network_scan && hr == kavrelError(0x702)) {
        std::string protocol;
        m->get_protocolname(protocol);
        if (!protocol.empty())
            hr = m->create_emptyFieldbusInterface(made);
    }
    if (hr == kavrelError(0x702)) {
        std::string protocol;
        m->get_protocolname(protocol);
        return fail(hr, commonbase::cat("no interface can be made for '", protocol, "' in this build"));
    }
    if (FAILED(hr))
        return hr;
    *interface_handle = handles().add(std::dynamic_pointer_cast<CFieldbusInterface>(made));
    return ok();
}

int32_t kavrel_release(kavrel_handle handle)
{
    if (!handles().release(handle) && !kavrelReleaseFlasher(handle))
        return badHandle(handle, "object");
    return ok();
}

int32_t kavrel_interface_set(kavrel_handle interface_handle, const char* key, const char* value)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    if (!key)
        return nullArgument("key");
    if (!value)
        return nullArgument("value");
    const HRESULT hr = InterfaceSettings::set(*twin, key, value);
    return FAILED(hr) ? hr : ok();
}

int32_t kavrel_interface_get(kavrel_handle interface_handle, const char* key, char* buffer, size_t size)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    if (!key)
        return nullArgument("key");
    std::string value;
    return textResult(InterfaceSettings::get(*twin, key, value), value, buffer, size);
}

namespace {
// "connecting 127.0.0.1:1, drive 3: connection refused": where, which drive
// and what the bus said, or the registry's text when the bus said nothing.
std::string connectFailureText(CFieldbusInterface& twin, int32_t uniqueId, const std::string& said)
{
    std::string where, port;
    if (SUCCEEDED(InterfaceSettings::get(twin, "IpAddress", where)) &&
        SUCCEEDED(InterfaceSettings::get(twin, "EthernetPort", port)))
        where += ":" + port;
    else if (FAILED(InterfaceSettings::get(twin, "Port", where)))
        where.clear();
    std::string detail;
    if (auto hardware = twin.getFieldbusInterface()->getChosenHardwareInterface();
        hardware && hardware->getLastErrorCode() != 0)
        detail = hardware->getLastErrorText();
    if (detail.empty())
        detail = said;
    return commonbase::cat("connecting ", where.empty() ? std::string("the bus") : where, ", drive ", uniqueId, ": ",
                           detail);
}

// "reading 99.99 on drive 2: illegal data address": the drive's or the bus's
// own words after the parameter and the drive.
HRESULT accessFailure(HRESULT hr, CFieldbusDevice& device, const std::string& what)
{
    const std::string said = lastErrorInfo().description;
    std::int32_t id = 0;
    device.get_uniqueId(id);
    std::string detail;
    device.get_lastErrorString(detail);
    return fail(hr, commonbase::cat(what, " on drive ", id, ": ", detail.empty() ? said : detail));
}
} // namespace

int32_t kavrel_connect(kavrel_handle interface_handle, int32_t unique_id, kavrel_handle* device_handle)
{
    const HRESULT hr = deviceFrom(interface_handle, device_handle, [&](IFieldbusInterface& twin, auto& device) {
        return twin.connectDeviceWithId(unique_id, device);
    });
    // Argument and bounds refusals already name what was wrong.
    if (FAILED(hr) && hr != E_HANDLE && hr != E_INVALIDARG && hr != FieldbusInterface::errorIdOutOfBounds)
        if (auto twin = handles().fieldbusInterface(interface_handle))
            return fail(hr, connectFailureText(*twin, unique_id, lastErrorInfo().description));
    return hr;
}

int32_t kavrel_device_count(kavrel_handle interface_handle, int32_t* count)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    if (!count)
        return nullArgument("count");
    return twin->get_numberOfFieldbusDevices(*count);
}

int32_t kavrel_device_at(kavrel_handle interface_handle, int32_t index, kavrel_handle* device_handle)
{
    return deviceFrom(interface_handle, device_handle,
                      [&](IFieldbusInterface& twin, auto& device) { return twin.get_fieldbusDeviceByIndex(index, device); });
}

int32_t kavrel_device_with_id(kavrel_handle interface_handle, int32_t unique_id, kavrel_handle* device_handle)
{
    return deviceFrom(interface_handle, device_handle,
                      [&](IFieldbusInterface& twin, auto& device) { return twin.get_fieldbusDevice(unique_id, device); });
}

int32_t kavrel_device_id(kavrel_handle device_handle, int32_t* unique_id)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    if (!unique_id)
        return nullArgument("unique_id");
    return device->get_uniqueId(*unique_id);
}

int32_t kavrel_device_text(kavrel_handle device_handle, const char* field, char* buffer, size_t size)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    if (!field)
        return nullArgument("field");
    using Getter = HRESULT (IFieldbusDevice::*)(std::string&);
    static const std::map<std::string, Getter> getters = {
        {"vendorName", &IFieldbusDevice::get_vendorName},
        {"productCode", &IFieldbusDevice::get_productCode},
        {"deviceVersion", &IFieldbusDevice::get_deviceVersion},
        {"motorType", &IFieldbusDevice::get_motorType},
        {"serialNumber", &IFieldbusDevice::get_serialNumber},
        {"deviceDate", &IFieldbusDevice::get_deviceDate},
        {"familyCode", &IFieldbusDevice::get_familyCode},
        {"originalVendorName", &IFieldbusDevice::get_originalVendorName},
        {"originalProductCode", &IFieldbusDevice::get_originalProductCode},
        {"uploadBuffer", &IFieldbusDevice::get_uploadBuffer},
        {"lastErrorString", &IFieldbusDevice::get_lastErrorString},
    };
    auto it = getters.find(field);
    if (it == getters.end())
        return fail(E_INVALIDARG, commonbase::cat("'", field, "' is not a device text"));
    std::string text;
    return textResult(((*device).*(it->second))(text), text, buffer, size);
}

namespace {
bool parameterArguments(int32_t size, int32_t index, int32_t subindex)
{
    return (size == 1 || size == 2 || size == 4) && index >= 0 && index <= 0xFFFF && subindex >= 0 &&
           subindex <= 0xFFFF;
}
} // namespace

int32_t kavrel_read_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                              int32_t* value)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    if (!value)
        return nullArgument("value");
    if (!parameterArguments(size, index, subindex))
        return fail(E_INVALIDARG, commonbase::cat("size ", size, " (1, 2 or 4) or parameter ", index, ".", subindex,
                                                  " (0..65535 each) out of range"));
    const HRESULT hr = device->get_Parameter(static_cast<std::int16_t>(size), static_cast<std::int16_t>(index),
                                             static_cast<std::int16_t>(subindex), *value);
    return FAILED(hr) ? accessFailure(hr, *device, commonbase::cat("reading ", index, ".", subindex)) : hr;
}

int32_t kavrel_write_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                               int32_t value)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    if (!parameterArguments(size, index, subindex))
        return fail(E_INVALIDARG, commonbase::cat("size ", size, " (1, 2 or 4) or parameter ", index, ".", subindex,
                                                  " (0..65535 each) out of range"));
    const HRESULT hr = device->set_Parameter(static_cast<std::int16_t>(size), static_cast<std::int16_t>(index),
                                             static_cast<std::int16_t>(subindex), value);
    return FAILED(hr) ? accessFailure(hr, *device, commonbase::cat("writing ", index, ".", subindex, " = ", value)) : hr;
}

int32_t kavrel_set_ignore_errors(kavrel_handle device_handle, int32_t ignore)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    return device->put_ignoreErrors(ignore ? 1 : 0);
}

int32_t kavrel_start_scan(kavrel_handle interface_handle)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    return twin->startNetworkScan();
}

int32_t kavrel_stop_scan(kavrel_handle interface_handle)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    return twin->stopNetworkScan();
}

int32_t kavrel_enable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle, int32_t interval_ms)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    const HRESULT hr = twin->enableNodeGuard(device, interval_ms);
    if (hr == kavrelError(0x409))
        return fail(hr, lastErrorInfo().description +
                            " Switch it on for the interface first: kavrel_interface_set(interface, "
                            "\"NodeGuardEnabled\", \"1\").");
    return hr;
}

int32_t kavrel_disable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle)
{
    auto twin = handles().fieldbusInterface(interface_handle);
    if (!twin)
        return badHandle(interface_handle, "interface");
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    return twin->disableNodeGuard(device);
}

int32_t kavrel_start_upload(kavrel_handle device_handle)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    return device->startUpload();
}

int32_t kavrel_upload_data(kavrel_handle device_handle, void* buffer, size_t size, size_t* length)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    if (!length)
        return nullArgument("length");
    if (!buffer && size != 0)
        return nullArgument("buffer");
    std::string hex;
    if (const HRESULT hr = device->get_uploadBuffer(hex); FAILED(hr))
        return hr;
    // The device keeps the data as hex text, two digits a byte.
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    int high = -1;
    for (char c : hex) {
        int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                        : -1;
        if (digit < 0)
            continue;
        if (high < 0)
            high = digit;
        else {
            bytes += static_cast<char>(high * 16 + digit);
            high = -1;
        }
    }
    *length = bytes.size();
    if (buffer)
        std::memcpy(buffer, bytes.data(), std::min(size, bytes.size()));
    ok();
    return size >= bytes.size() || !buffer ? KAVREL_S_OK : KAVREL_S_FALSE;
}

int32_t kavrel_stop_upload(kavrel_handle device_handle)
{
    std::shared_ptr<CFieldbusDevice> device;
    if (const HRESULT refused = liveDevice(device_handle, device); FAILED(refused))
        return refused;
    return device->stopUpload();
}

int32_t kavrel_poll_event(int32_t timeout_ms, kavrel_event* event)
{
    if (!event)
        return nullArgument("event");
    *event = kavrel_event{KAVREL_EVENT_NONE, 0, 0, 0};
    if (queue().empty()) {
        const auto wait = std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
        if (wait.count() == 0)
            commonbase::HostEventLoop::pump();
        else
            commonbase::HostEventLoop::runUntil([] { return !queue().empty(); }, wait);
    }
    ErrorInfo::clear();
    return queue().pop(*event) ? KAVREL_S_OK : KAVREL_S_FALSE;
}

int32_t kavrel_last_error_code(void) { return lastErrorInfo().code; }

int32_t kavrel_last_error_text(char* buffer, size_t size) { return copyText(lastErrorInfo().description, buffer, size); }

} // extern "C"
