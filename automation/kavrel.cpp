// The C interface: handles over the automation objects, sinks that queue
// events for kavrel_poll_event, and texts copied into the caller's buffers.
#include "automation/kavrel.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "automation/CCommunicationManager.h"
#include "automation/CFieldbusDevice.h"
#include "automation/CFieldbusInterface.h"
#include "automation/ErrorInfo.h"
#include "commonbase/HostEventLoop.h"
#include "automation/IFieldbusDeviceEvent.h"
#include "automation/IFieldbusInterfaceEvent.h"
#include "commonbase/StringUtil.h"
#include "automation/InterfaceSettings.h"
#include "core/FieldbusDevice.h"
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
        queue().push(KAVREL_EVENT_UPLOAD_FINISHED, handle, session, error);
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

std::shared_ptr<CCommunicationManager> manager() { return CCommunicationManager::create(); }

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

HRESULT copyText(const std::string& text, char* buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return nullArgument("buffer");
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return S_OK;
}

// The result of a surface call that produced a text.
HRESULT textResult(HRESULT hr, const std::string& text, char* buffer, std::size_t size)
{
    if (FAILED(hr))
        return hr;
    const HRESULT copied = copyText(text, buffer, size);
    return FAILED(copied) ? copied : hr;
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

int32_t kavrel_protocol_count(int32_t* count)
{
    if (!count)
        return nullArgument("count");
    return manager()->get_numberOfFieldbusProtocols(*count);
}

int32_t kavrel_protocol_name(int32_t number, char* buffer, size_t size)
{
    std::string text;
    return textResult(manager()->get_fieldbusProtocolName(number, text), text, buffer, size);
}

int32_t kavrel_set_data_path(const char* path)
{
    if (!path)
        return nullArgument("path");
    return manager()->put_dataPath(path);
}

int32_t kavrel_set_last_settings_path(const char* path)
{
    if (!path)
        return nullArgument("path");
    return manager()->put_lastSettingsPath(path);
}

int32_t kavrel_error_text_for(int32_t code, char* buffer, size_t size)
{
    std::string text;
    return textResult(manager()->get_errorTextFor(code, text), text, buffer, size);
}

int32_t kavrel_create_interface(int32_t network_scan, kavrel_handle* interface_handle)
{
    if (!interface_handle)
        return nullArgument("interface_handle");
    std::shared_ptr<IFieldbusInterface> made;
    auto m = manager();
    const HRESULT hr = network_scan ? m->create_emptyNetworkScanFieldbusInterface(made)
                                    : m->create_emptyFieldbusInterface(made);
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

int32_t kavrel_connect(kavrel_handle interface_handle, int32_t unique_id, kavrel_handle* device_handle)
{
    return deviceFrom(interface_handle, device_handle,
                      [&](IFieldbusInterface& twin, auto& device) { return twin.connectDeviceWithId(unique_id, device); });
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
    return device->get_Parameter(static_cast<std::int16_t>(size), static_cast<std::int16_t>(index),
                                 static_cast<std::int16_t>(subindex), *value);
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
    return device->set_Parameter(static_cast<std::int16_t>(size), static_cast<std::int16_t>(index),
                                 static_cast<std::int16_t>(subindex), value);
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
    return twin->enableNodeGuard(device, interval_ms);
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
