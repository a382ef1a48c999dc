// The IXXAT VCI stand-in: devices are the endpoints of KAVREL_CAN, each
// active channel is one connection to a socketcand server.
#include "vcinpl.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CanBusClient.h"

namespace {

using namespace std::chrono_literals;
using canbus::ReceivePort;

struct AcceptFilter {
    std::mutex mutex;
    std::uint32_t code[2] = {0, 0}; // [0] 11-bit, [1] 29-bit
    std::uint32_t mask[2] = {0, 0};
    bool accepts(const canbus::Frame& f)
    {
        std::lock_guard lock(mutex);
        const int k = f.extended ? 1 : 0;
        return (f.id & mask[k]) == (code[k] & mask[k]);
    }
};

struct EnumList {
    std::vector<canbus::Endpoint> endpoints;
    std::size_t next = 0;
};

struct Device {
    canbus::Endpoint endpoint;
    std::size_t position = 0;
    VCINPL_HANDLE control = 0;
};

struct Control {
    VCINPL_HANDLE device = 0;
    std::uint8_t opMode = 0;
    std::uint8_t btr0 = 0, btr1 = 0;
    std::uint32_t bitrate = 0;
    bool started = false;
    std::shared_ptr<AcceptFilter> filter = std::make_shared<AcceptFilter>();
};

struct Channel {
    VCINPL_HANDLE device = 0;
    bool exclusive = false;
    std::uint16_t rxSize = 0, txSize = 0;
    std::uint64_t activatedUs = 0;
    std::shared_ptr<ReceivePort> port;
};

// Every handle of the library, of whatever kind, under one lock.
struct Registry {
    std::mutex mutex;
    VCINPL_HANDLE nextHandle = 1;
    std::map<VCINPL_HANDLE, EnumList> lists;
    std::map<VCINPL_HANDLE, Device> devices;
    std::map<VCINPL_HANDLE, Control> controls;
    std::map<VCINPL_HANDLE, Channel> channels;

    VCINPL_HANDLE newHandle()
    {
        VCINPL_HANDLE h = nextHandle++;
        if (nextHandle == 0)
            nextHandle = 1;
        return h;
    }
    Control* controlOfDevice(VCINPL_HANDLE device)
    {
        auto d = devices.find(device);
        if (d == devices.end() || d->second.control == 0)
            return nullptr;
        auto c = controls.find(d->second.control);
        return c == controls.end() ? nullptr : &c->second;
    }
};

Registry& registry()
{
    static Registry r;
    return r;
}

// The port of an active channel, taken out of the lock for waiting.
VCINPL_RESULT activePort(VCINPL_HANDLE channel, std::shared_ptr<ReceivePort>& port, std::uint64_t* since = nullptr,
                         bool needStarted = false)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto ch = r.channels.find(channel);
    if (ch == r.channels.end())
        return VCINPL_E_INVALID_HANDLE;
    if (!ch->second.port)
        return VCINPL_E_NOT_INITIALIZED;
    if (needStarted) {
        Control* control = r.controlOfDevice(ch->second.device);
        if (!control || !control->started)
            return VCINPL_E_NOT_INITIALIZED;
    }
    port = ch->second.port;
    if (since)
        *since = ch->second.activatedUs;
    return VCINPL_OK;
}

void toMessage(const ReceivePort::Received& r, std::uint64_t since, VCINPL_CANMSG* msg)
{
    std::memset(msg, 0, sizeof *msg);
    msg->timestamp = static_cast<std::uint32_t>(r.arrivalUs - since);
    msg->id = r.frame.id;
    msg->dlc = r.frame.len;
    msg->flags = static_cast<std::uint8_t>((r.frame.extended ? VCINPL_MSGFLAG_EXTENDED : 0) |
                                           (r.overrun ? VCINPL_MSGFLAG_OVERRUN : 0));
    std::memcpy(msg->data, r.frame.data, sizeof msg->data);
}

VCINPL_RESULT sendFrame(VCINPL_HANDLE channel, std::chrono::milliseconds timeout, const VCINPL_CANMSG* msg)
{
    if (!msg || msg->dlc > 8)
        return VCINPL_E_INVALID_ARG;
    const bool extended = (msg->flags & VCINPL_MSGFLAG_EXTENDED) != 0;
    if (msg->id > (extended ? 0x1FFFFFFFu : 0x7FFu))
        return VCINPL_E_INVALID_ARG;
    std::shared_ptr<ReceivePort> port;
    if (VCINPL_RESULT rc = activePort(channel, port, nullptr, true); rc != VCINPL_OK)
        return rc;
    canbus::Frame f;
    f.id = msg->id;
    f.extended = extended;
    f.len = msg->dlc;
    std::memcpy(f.data, msg->data, sizeof f.data);
    switch (port->send(f, timeout)) {
    case canbus::SendResult::ok:
        return VCINPL_OK;
    case canbus::SendResult::full:
        return VCINPL_E_TX_FULL;
    default:
        return VCINPL_E_IO;
    }
}

std::chrono::milliseconds waitTime(std::uint32_t timeout)
{
    return timeout == VCINPL_WAIT_FOREVER ? std::chrono::milliseconds(-1) : std::chrono::milliseconds(timeout);
}

} // namespace

extern "C" {

VCINPL_API VCINPL_RESULT vciInitialize(void)
{
    registry();
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build)
{
    if (!major || !minor || !build)
        return VCINPL_E_INVALID_ARG;
    *major = 1;
    *minor = 0;
    *build = 1;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciFormatError(VCINPL_RESULT code, char* text, uint32_t size)
{
    if (!text || size == 0)
        return VCINPL_E_INVALID_ARG;
    const char* t;
    switch (code) {
    case VCINPL_OK: t = "success"; break;
    case VCINPL_E_INVALID_ARG: t = "invalid argument"; break;
    case VCINPL_E_INVALID_HANDLE: t = "invalid handle"; break;
    case VCINPL_E_NO_MORE_ITEMS: t = "no more devices"; break;
    case VCINPL_E_NOT_FOUND: t = "no such device"; break;
    case VCINPL_E_BAD_BITRATE: t = "invalid bit timing or bit rate"; break;
    case VCINPL_E_NOT_INITIALIZED: t = "controller or channel not initialised, started or activated"; break;
    case VCINPL_E_CONNECT: t = "the CAN server cannot be reached or refused the bus"; break;
    case VCINPL_E_TIMEOUT: t = "time-out"; break;
    case VCINPL_E_RX_EMPTY: t = "no frame received"; break;
    case VCINPL_E_TX_FULL: t = "transmit FIFO full"; break;
    case VCINPL_E_IO: t = "connection to the CAN server lost"; break;
    case VCINPL_E_ACCESS_DENIED: t = "access denied: an exclusive channel is open"; break;
    case VCINPL_E_BUSY: t = "still in use"; break;
    case VCINPL_E_NO_RESOURCES: t = "no more handles"; break;
    default: t = "unknown error"; break;
    }
    std::snprintf(text, size, "%s", t);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciEnumDeviceOpen(VCINPL_HANDLE* list)
{
    if (!list)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    EnumList l{canbus::endpointsFromEnvironment(), 0};
    std::lock_guard lock(r.mutex);
    *list = r.newHandle();
    r.lists[*list] = std::move(l);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciEnumDeviceNext(VCINPL_HANDLE list, VCINPL_DEVICEINFO* info)
{
    if (!info)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto l = r.lists.find(list);
    if (l == r.lists.end())
        return VCINPL_E_INVALID_HANDLE;
    if (l->second.next >= l->second.endpoints.size())
        return VCINPL_E_NO_MORE_ITEMS;
    const std::size_t position = l->second.next++;
    const auto& e = l->second.endpoints[position];
    std::memset(info, 0, sizeof *info);
    info->vciId = VCINPL_VCIID_BASE + position;
    static const std::uint8_t deviceClass[16] = {0x4B, 0x41, 0x56, 0x52, 0x45, 0x4C, 0x43, 0x41,
                                                 0x4E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::memcpy(info->deviceClass, deviceClass, sizeof deviceClass);
    info->driverMajorVersion = 1;
    info->hardwareMajorVersion = 1;
    std::snprintf(info->uniqueHardwareId, sizeof info->uniqueHardwareId, "HW%u", static_cast<unsigned>((position + 1) % 1000));
    std::snprintf(info->description, sizeof info->description, "%s", e.text.c_str());
    std::snprintf(info->manufacturer, sizeof info->manufacturer, "%s", "Kavrel socketcand adapter");
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciEnumDeviceClose(VCINPL_HANDLE list)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.lists.erase(list) ? VCINPL_OK : VCINPL_E_INVALID_HANDLE;
}

VCINPL_API VCINPL_RESULT vciDeviceOpen(VCINPL_VCIID id, VCINPL_HANDLE* device)
{
    if (!device)
        return VCINPL_E_INVALID_ARG;
    const auto endpoints = canbus::endpointsFromEnvironment();
    if (id < VCINPL_VCIID_BASE || id - VCINPL_VCIID_BASE >= endpoints.size())
        return VCINPL_E_NOT_FOUND;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    *device = r.newHandle();
    const auto position = static_cast<std::size_t>(id - VCINPL_VCIID_BASE);
    r.devices[*device] = Device{endpoints[position], position, 0};
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT vciDeviceClose(VCINPL_HANDLE device)
{
    std::vector<std::shared_ptr<ReceivePort>> ports; // released outside the lock
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto d = r.devices.find(device);
    if (d == r.devices.end())
        return VCINPL_E_INVALID_HANDLE;
    // Whatever is still open on the device goes with it.
    for (auto it = r.channels.begin(); it != r.channels.end();) {
        if (it->second.device == device) {
            ports.push_back(it->second.port);
            it = r.channels.erase(it);
        } else {
            ++it;
        }
    }
    r.controls.erase(d->second.control);
    r.devices.erase(d);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlOpen(VCINPL_HANDLE device, uint32_t bus, VCINPL_HANDLE* control)
{
    if (!control || bus != 0)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto d = r.devices.find(device);
    if (d == r.devices.end())
        return VCINPL_E_INVALID_HANDLE;
    if (d->second.control != 0)
        return VCINPL_E_BUSY;
    *control = r.newHandle();
    r.controls[*control] = Control{};
    r.controls[*control].device = device;
    d->second.control = *control;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlClose(VCINPL_HANDLE control)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto c = r.controls.find(control);
    if (c == r.controls.end())
        return VCINPL_E_INVALID_HANDLE;
    if (auto d = r.devices.find(c->second.device); d != r.devices.end())
        d->second.control = 0;
    r.controls.erase(c);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlInitialize(VCINPL_HANDLE control, uint8_t opMode, uint8_t btr0, uint8_t btr1)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto c = r.controls.find(control);
    if (c == r.controls.end())
        return VCINPL_E_INVALID_HANDLE;
    if (opMode == 0 || (opMode & ~(VCINPL_OPMODE_STANDARD | VCINPL_OPMODE_EXTENDED)) != 0)
        return VCINPL_E_INVALID_ARG;
    const std::uint32_t rate = canbus::bitrateFromBtr(btr0, btr1);
    const auto& endpoint = r.devices[c->second.device].endpoint;
    if (rate == 0 || (endpoint.fixedRate != 0 && rate != endpoint.fixedRate))
        return VCINPL_E_BAD_BITRATE;
    c->second.opMode = opMode;
    c->second.btr0 = btr0;
    c->second.btr1 = btr1;
    c->second.bitrate = rate;
    c->second.started = false;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlStart(VCINPL_HANDLE control, uint8_t start)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto c = r.controls.find(control);
    if (c == r.controls.end())
        return VCINPL_E_INVALID_HANDLE;
    if (start && c->second.bitrate == 0)
        return VCINPL_E_NOT_INITIALIZED;
    c->second.started = start != 0;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlGetStatus(VCINPL_HANDLE control, VCINPL_LINESTATUS* status)
{
    if (!status)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto c = r.controls.find(control);
    if (c == r.controls.end())
        return VCINPL_E_INVALID_HANDLE;
    std::memset(status, 0, sizeof *status);
    status->opMode = c->second.opMode;
    status->bitrate = c->second.bitrate;
    status->btr0 = c->second.btr0;
    status->btr1 = c->second.btr1;
    status->started = c->second.started ? 1 : 0;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canControlSetAccFilter(VCINPL_HANDLE control, uint8_t extended, uint32_t code, uint32_t mask)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto c = r.controls.find(control);
    if (c == r.controls.end())
        return VCINPL_E_INVALID_HANDLE;
    if (extended > 1)
        return VCINPL_E_INVALID_ARG;
    std::lock_guard filterLock(c->second.filter->mutex);
    c->second.filter->code[extended] = code;
    c->second.filter->mask[extended] = mask;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelOpen(VCINPL_HANDLE device, uint32_t bus, uint8_t exclusive, VCINPL_HANDLE* channel)
{
    if (!channel || bus != 0)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.devices.count(device) == 0)
        return VCINPL_E_INVALID_HANDLE;
    for (const auto& [h, ch] : r.channels)
        if (ch.device == device && (ch.exclusive || exclusive))
            return VCINPL_E_ACCESS_DENIED;
    *channel = r.newHandle();
    r.channels[*channel] = Channel{device, exclusive != 0, 0, 0, 0, nullptr};
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelClose(VCINPL_HANDLE channel)
{
    std::shared_ptr<ReceivePort> port; // released after the lock
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto ch = r.channels.find(channel);
    if (ch == r.channels.end())
        return VCINPL_E_INVALID_HANDLE;
    port = ch->second.port;
    r.channels.erase(ch);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelInitialize(VCINPL_HANDLE channel, uint16_t rxSize, uint16_t rxThreshold,
                                              uint16_t txSize, uint16_t txThreshold)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto ch = r.channels.find(channel);
    if (ch == r.channels.end())
        return VCINPL_E_INVALID_HANDLE;
    if (rxSize < 1 || rxSize > 100 || txSize < 1 || txSize > 100 || rxThreshold > rxSize || txThreshold > txSize)
        return VCINPL_E_INVALID_ARG;
    if (ch->second.port)
        return VCINPL_E_BUSY;
    ch->second.rxSize = rxSize;
    ch->second.txSize = txSize;
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelActivate(VCINPL_HANDLE channel, uint8_t enable)
{
    auto& r = registry();
    canbus::Endpoint endpoint;
    std::uint32_t rate = 0;
    std::shared_ptr<AcceptFilter> filter;
    std::uint16_t rxSize = 0;
    std::shared_ptr<ReceivePort> old; // released after the lock
    {
        std::lock_guard lock(r.mutex);
        auto ch = r.channels.find(channel);
        if (ch == r.channels.end())
            return VCINPL_E_INVALID_HANDLE;
        if (!enable) {
            old = std::move(ch->second.port);
            ch->second.port.reset();
            return VCINPL_OK;
        }
        if (ch->second.port)
            return VCINPL_OK;
        Control* control = r.controlOfDevice(ch->second.device);
        if (ch->second.rxSize == 0 || !control || control->bitrate == 0)
            return VCINPL_E_NOT_INITIALIZED;
        endpoint = r.devices[ch->second.device].endpoint;
        rate = control->bitrate;
        filter = control->filter;
        rxSize = ch->second.rxSize;
    }
    // Connecting takes time: not under the lock.
    std::string error;
    auto connection = canbus::Connection::open(endpoint, rate, error);
    if (!connection)
        return VCINPL_E_CONNECT;
    auto port = std::make_shared<ReceivePort>(std::move(connection), rxSize);
    port->setFilter([filter](const canbus::Frame& f) { return filter->accepts(f); });
    std::lock_guard lock(r.mutex);
    auto ch = r.channels.find(channel);
    if (ch == r.channels.end())
        return VCINPL_E_INVALID_HANDLE; // closed meanwhile
    ch->second.port = std::move(port);
    ch->second.activatedUs = canbus::steadyMicros();
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelGetStatus(VCINPL_HANDLE channel, VCINPL_CHANSTATUS* status)
{
    if (!status)
        return VCINPL_E_INVALID_ARG;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto ch = r.channels.find(channel);
    if (ch == r.channels.end())
        return VCINPL_E_INVALID_HANDLE;
    std::memset(status, 0, sizeof *status);
    if (const auto& port = ch->second.port) {
        status->rxFill = static_cast<std::uint32_t>(port->size());
        status->rxLost = port->lostFrames();
        status->activated = 1;
        status->connected = port->alive() ? 1 : 0;
    }
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelPeekMessage(VCINPL_HANDLE channel, VCINPL_CANMSG* msg)
{
    if (!msg)
        return VCINPL_E_INVALID_ARG;
    std::shared_ptr<ReceivePort> port;
    std::uint64_t since = 0;
    if (VCINPL_RESULT rc = activePort(channel, port, &since); rc != VCINPL_OK)
        return rc;
    ReceivePort::Received got;
    if (!port->take(got))
        return port->alive() ? VCINPL_E_RX_EMPTY : VCINPL_E_IO;
    toMessage(got, since, msg);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelPostMessage(VCINPL_HANDLE channel, const VCINPL_CANMSG* msg)
{
    return sendFrame(channel, std::chrono::milliseconds(0), msg);
}

VCINPL_API VCINPL_RESULT canChannelSendMessage(VCINPL_HANDLE channel, uint32_t timeout, const VCINPL_CANMSG* msg)
{
    return sendFrame(channel, timeout == VCINPL_WAIT_FOREVER ? std::chrono::milliseconds(3600000)
                                                              : std::chrono::milliseconds(timeout), msg);
}

VCINPL_API VCINPL_RESULT canChannelReadMessage(VCINPL_HANDLE channel, uint32_t timeout, VCINPL_CANMSG* msg)
{
    std::shared_ptr<ReceivePort> port;
    std::uint64_t since = 0;
    if (VCINPL_RESULT rc = activePort(channel, port, &since); rc != VCINPL_OK)
        return rc;
    ReceivePort::Received got;
    if (!port->wait(waitTime(timeout)) || !port->take(got))
        return port->alive() ? VCINPL_E_TIMEOUT : VCINPL_E_IO;
    if (msg)
        toMessage(got, since, msg);
    return VCINPL_OK;
}

VCINPL_API VCINPL_RESULT canChannelWaitRxEvent(VCINPL_HANDLE channel, uint32_t timeout)
{
    std::shared_ptr<ReceivePort> port;
    if (VCINPL_RESULT rc = activePort(channel, port); rc != VCINPL_OK)
        return rc;
    if (port->wait(waitTime(timeout)))
        return VCINPL_OK;
    return port->alive() ? VCINPL_E_TIMEOUT : VCINPL_E_IO;
}

} // extern "C"
