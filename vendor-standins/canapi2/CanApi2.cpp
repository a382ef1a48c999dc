// The PEAK CAN API stand-in: hardware handles are the endpoints of
// KAVREL_CAN; each client connected to a net is one connection to a
// socketcand server.
#include "CanApi2.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CanBusClient.h"

namespace {

using canbus::ReceivePort;

struct Net {
    bool registered = false;
    std::string name;
    std::uint8_t hw = 0;
    canbus::Endpoint endpoint;
    std::uint32_t bitrate = 0;
    std::uint64_t serial = 0; // order of registration
    int clients = 0;
};

// The identifier ranges a client asked for on one net.
struct Ranges {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    bool accepts(const canbus::Frame& f)
    {
        std::lock_guard lock(mutex);
        for (const auto& [from, to] : list)
            if (f.id >= from && f.id <= to)
                return true;
        return false;
    }
};

struct Link {
    std::shared_ptr<ReceivePort> port;
    std::shared_ptr<Ranges> ranges;
};

struct Client {
    bool registered = false;
    std::string name;
    int eventFd = -1;
    std::map<std::uint8_t, Link> links; // by net handle
};

struct Registry {
    std::mutex mutex;
    Net nets[CANAPI2_MAX_NETS + 1];
    Client clients[CANAPI2_MAX_CLIENTS + 1];
    std::uint64_t nextSerial = 1;

    Client* client(std::uint8_t h)
    {
        return h >= 1 && h <= CANAPI2_MAX_CLIENTS && clients[h].registered ? &clients[h] : nullptr;
    }
    Net* net(std::uint8_t h) { return h >= 1 && h <= CANAPI2_MAX_NETS && nets[h].registered ? &nets[h] : nullptr; }
    // The client's link to a net, under the caller's lock; why says which is missing.
    Link* link(std::uint8_t clientHandle, std::uint8_t netHandle, CANAPI2_RESULT& why)
    {
        Client* c = client(clientHandle);
        if (!c) {
            why = CANAPI2_E_ILLEGAL_CLIENT;
            return nullptr;
        }
        auto it = c->links.find(netHandle);
        if (it == c->links.end()) {
            why = CANAPI2_E_NOT_CONNECTED;
            return nullptr;
        }
        return &it->second;
    }
};

Registry& registry()
{
    static Registry r;
    return r;
}

CANAPI2_RESULT putText(const std::string& text, void* buffer, std::uint16_t size)
{
    if (!buffer)
        return CANAPI2_E_ILLEGAL_PARAM;
    if (text.size() + 1 > size)
        return CANAPI2_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return CANAPI2_OK;
}

template <typename T>
CANAPI2_RESULT putValue(T value, void* buffer, std::uint16_t size)
{
    if (!buffer)
        return CANAPI2_E_ILLEGAL_PARAM;
    if (size < sizeof(T))
        return CANAPI2_E_BUFFER_TOO_SMALL;
    std::memcpy(buffer, &value, sizeof(T));
    return CANAPI2_OK;
}

bool validName(const char* name)
{
    return name && name[0] != '\0' && std::strlen(name) < CANAPI2_NAME_MAX;
}

} // namespace

extern "C" {

CANAPI2_API CANAPI2_RESULT CAN_GetHwParam(uint8_t hw, uint16_t param, void* buffer, uint16_t size)
{
    const auto endpoints = canbus::endpointsFromEnvironment();
    if (hw < 1 || hw > CANAPI2_MAX_HW || hw > endpoints.size())
        return CANAPI2_E_ILLEGAL_HW;
    const auto& e = endpoints[hw - 1u];
    switch (param) {
    case CANAPI2_PARAM_NAME:
        return putText(e.text, buffer, size);
    case CANAPI2_PARAM_BITRATE:
        return putValue<std::uint32_t>(e.fixedRate, buffer, size);
    default:
        return CANAPI2_E_ILLEGAL_PARAM_TYPE;
    }
}

CANAPI2_API CANAPI2_RESULT CAN_GetNetParam(uint8_t net, uint16_t param, void* buffer, uint16_t size)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const Net* n = r.net(net);
    if (!n)
        return CANAPI2_E_ILLEGAL_NET;
    switch (param) {
    case CANAPI2_PARAM_NAME:
        return putText(n->name, buffer, size);
    case CANAPI2_PARAM_BITRATE:
        return putValue<std::uint32_t>(n->bitrate, buffer, size);
    case CANAPI2_PARAM_HW_HANDLE:
        return putValue<std::uint8_t>(n->hw, buffer, size);
    default:
        return CANAPI2_E_ILLEGAL_PARAM_TYPE;
    }
}

CANAPI2_API CANAPI2_RESULT CAN_RegisterNet(uint8_t net, const char* name, uint8_t hw, uint16_t btr0btr1)
{
    if (net < 1 || net > CANAPI2_MAX_NETS)
        return CANAPI2_E_ILLEGAL_NET;
    if (!validName(name))
        return CANAPI2_E_ILLEGAL_PARAM;
    const auto endpoints = canbus::endpointsFromEnvironment();
    if (hw < 1 || hw > CANAPI2_MAX_HW || hw > endpoints.size())
        return CANAPI2_E_ILLEGAL_HW;
    const auto& e = endpoints[hw - 1u];
    const std::uint32_t rate =
        canbus::bitrateFromBtr(static_cast<std::uint8_t>(btr0btr1 >> 8), static_cast<std::uint8_t>(btr0btr1 & 0xFF));
    if (rate == 0 || (e.fixedRate != 0 && e.fixedRate != rate))
        return CANAPI2_E_BAD_BITRATE;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Net& n = r.nets[net];
    if (n.registered)
        return CANAPI2_E_NET_IN_USE;
    n = Net{true, name, hw, e, rate, r.nextSerial++, 0};
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_RemoveNet(uint8_t net)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Net* n = r.net(net);
    if (!n)
        return CANAPI2_E_ILLEGAL_NET;
    if (n->clients > 0)
        return CANAPI2_E_NET_IN_USE;
    *n = Net{};
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_RegisterClient(const char* name, uint32_t /*hWnd*/, uint8_t* client)
{
    if (!validName(name) || !client)
        return CANAPI2_E_ILLEGAL_PARAM;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (std::uint8_t h = 1; h <= CANAPI2_MAX_CLIENTS; ++h)
        if (!r.clients[h].registered) {
            r.clients[h] = Client{};
            r.clients[h].registered = true;
            r.clients[h].name = name;
            *client = h;
            return CANAPI2_OK;
        }
    return CANAPI2_E_NO_RESOURCES;
}

CANAPI2_API CANAPI2_RESULT CAN_RemoveClient(uint8_t client)
{
    std::map<std::uint8_t, Link> links; // closed after the lock
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Client* c = r.client(client);
    if (!c)
        return CANAPI2_E_ILLEGAL_CLIENT;
    links.swap(c->links);
    for (const auto& [net, link] : links)
        if (Net* n = r.net(net))
            --n->clients;
    *c = Client{};
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_ConnectToNet(uint8_t client, const char* netName, uint8_t* netOut)
{
    if (!validName(netName) || !netOut)
        return CANAPI2_E_ILLEGAL_PARAM;
    auto& r = registry();
    std::uint8_t chosen = 0;
    canbus::Endpoint endpoint;
    std::uint32_t rate = 0;
    int eventFd = -1;
    {
        std::lock_guard lock(r.mutex);
        Client* c = r.client(client);
        if (!c)
            return CANAPI2_E_ILLEGAL_CLIENT;
        std::uint64_t newest = 0;
        for (std::uint8_t h = 1; h <= CANAPI2_MAX_NETS; ++h)
            if (r.nets[h].registered && r.nets[h].name == netName && r.nets[h].serial > newest) {
                newest = r.nets[h].serial;
                chosen = h;
            }
        if (chosen == 0)
            return CANAPI2_E_NO_NET;
        if (c->links.count(chosen)) {
            *netOut = chosen;
            return CANAPI2_OK;
        }
        endpoint = r.nets[chosen].endpoint;
        rate = r.nets[chosen].bitrate;
        eventFd = c->eventFd;
    }
    // Connecting takes time: not under the lock.
    std::string error;
    auto connection = canbus::Connection::open(endpoint, rate, error);
    if (!connection)
        return CANAPI2_E_CONNECT;
    Link link{std::make_shared<ReceivePort>(std::move(connection), CANAPI2_RX_QUEUE), std::make_shared<Ranges>()};
    link.port->setFilter([ranges = link.ranges](const canbus::Frame& f) { return ranges->accepts(f); });
    link.port->setNotifyFd(eventFd);
    std::lock_guard lock(r.mutex);
    Client* c = r.client(client);
    Net* n = r.net(chosen);
    if (!c || !n || c->links.count(chosen))
        return c ? CANAPI2_E_ILLEGAL_NET : CANAPI2_E_ILLEGAL_CLIENT; // changed meanwhile
    c->links[chosen] = std::move(link);
    ++n->clients;
    *netOut = chosen;
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_DisconnectFromNet(uint8_t client, uint8_t net)
{
    Link link; // closed after the lock
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    CANAPI2_RESULT why = CANAPI2_OK;
    Link* found = r.link(client, net, why);
    if (!found)
        return why;
    link = std::move(*found);
    r.client(client)->links.erase(net);
    if (Net* n = r.net(net))
        --n->clients;
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_RegisterMsg(uint8_t client, uint8_t net, uint32_t from, uint32_t to)
{
    if (from > to || to > 0x1FFFFFFF)
        return CANAPI2_E_ILLEGAL_PARAM;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    CANAPI2_RESULT why = CANAPI2_OK;
    Link* link = r.link(client, net, why);
    if (!link)
        return why;
    std::lock_guard rangeLock(link->ranges->mutex);
    link->ranges->list.emplace_back(from, to);
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_SetClientParam(uint8_t client, uint16_t param, int64_t value)
{
    if (param != CANAPI2_PARAM_RX_EVENT)
        return CANAPI2_E_ILLEGAL_PARAM_TYPE;
    if (value < -1 || value > 0x7FFFFFFF)
        return CANAPI2_E_ILLEGAL_PARAM;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    Client* c = r.client(client);
    if (!c)
        return CANAPI2_E_ILLEGAL_CLIENT;
    c->eventFd = static_cast<int>(value);
    for (auto& [net, link] : c->links)
        link.port->setNotifyFd(c->eventFd);
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_GetSystemTime(uint64_t* time)
{
    if (!time)
        return CANAPI2_E_ILLEGAL_PARAM;
    *time = canbus::steadyMicros();
    return CANAPI2_OK;
}

CANAPI2_API CANAPI2_RESULT CAN_Write(uint8_t client, uint8_t net, const CANAPI2_MSG* msg, uint64_t /*time*/)
{
    if (!msg || msg->len > 8)
        return CANAPI2_E_ILLEGAL_PARAM;
    const bool extended = (msg->msgType & CANAPI2_MSGTYPE_EXTENDED) != 0;
    if (msg->id > (extended ? 0x1FFFFFFFu : 0x7FFu))
        return CANAPI2_E_ILLEGAL_PARAM;
    std::shared_ptr<ReceivePort> port;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        CANAPI2_RESULT why = CANAPI2_OK;
        Link* link = r.link(client, net, why);
        if (!link)
            return why;
        port = link->port;
    }
    canbus::Frame f;
    f.id = msg->id;
    f.extended = extended;
    f.len = msg->len;
    std::memcpy(f.data, msg->data, sizeof f.data);
    switch (port->send(f, std::chrono::milliseconds(100))) {
    case canbus::SendResult::ok:
        return CANAPI2_OK;
    case canbus::SendResult::full:
        return CANAPI2_E_TX_FULL;
    default:
        return CANAPI2_E_IO;
    }
}

CANAPI2_API CANAPI2_RESULT CAN_Read(uint8_t client, CANAPI2_MSG* msg, uint8_t* net, uint64_t* time)
{
    if (!msg)
        return CANAPI2_E_ILLEGAL_PARAM;
    std::vector<std::pair<std::uint8_t, std::shared_ptr<ReceivePort>>> ports;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        Client* c = r.client(client);
        if (!c)
            return CANAPI2_E_ILLEGAL_CLIENT;
        for (const auto& [h, link] : c->links)
            ports.emplace_back(h, link.port);
    }
    bool lost = false;
    for (const auto& [h, port] : ports) {
        ReceivePort::Received got;
        if (!port->take(got)) {
            lost = lost || !port->alive();
            continue;
        }
        std::memset(msg, 0, sizeof *msg);
        msg->id = got.frame.id;
        msg->msgType = static_cast<std::uint8_t>((got.frame.extended ? CANAPI2_MSGTYPE_EXTENDED : 0) |
                                                 (got.overrun ? CANAPI2_MSGTYPE_OVERRUN : 0));
        msg->len = got.frame.len;
        std::memcpy(msg->data, got.frame.data, sizeof msg->data);
        if (net)
            *net = h;
        if (time)
            *time = got.arrivalUs;
        return CANAPI2_OK;
    }
    return lost ? CANAPI2_E_IO : CANAPI2_E_RX_EMPTY;
}

} // extern "C"
