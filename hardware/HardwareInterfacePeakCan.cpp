#include "hardware/HardwareInterfacePeakCan.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "hardware/CanAdapterSupport.h"
#include "hardware/PhilipsBaudrateCodes.h"

namespace Kavrel {

using commonbase::cat;

struct HardwareInterfacePeakCan::EntryPoints {
    CANAPI2_RESULT (*getHwParam)(uint8_t, uint16_t, void*, uint16_t) = nullptr;
    CANAPI2_RESULT (*getNetParam)(uint8_t, uint16_t, void*, uint16_t) = nullptr;
    CANAPI2_RESULT (*registerNet)(uint8_t, const char*, uint8_t, uint16_t) = nullptr;
    CANAPI2_RESULT (*removeNet)(uint8_t) = nullptr;
    CANAPI2_RESULT (*connectToNet)(uint8_t, const char*, uint8_t*) = nullptr;
    CANAPI2_RESULT (*disconnectFromNet)(uint8_t, uint8_t) = nullptr;
    CANAPI2_RESULT (*registerClient)(const char*, uint32_t, uint8_t*) = nullptr;
    CANAPI2_RESULT (*removeClient)(uint8_t) = nullptr;
    CANAPI2_RESULT (*write)(uint8_t, uint8_t, const CANAPI2_MSG*, uint64_t) = nullptr;
    CANAPI2_RESULT (*read)(uint8_t, CANAPI2_MSG*, uint8_t*, uint64_t*) = nullptr;
    CANAPI2_RESULT (*getSystemTime)(uint64_t*) = nullptr;
    CANAPI2_RESULT (*setClientParam)(uint8_t, uint16_t, int64_t) = nullptr;
    CANAPI2_RESULT (*registerMsg)(uint8_t, uint8_t, uint32_t, uint32_t) = nullptr;
};

namespace {

// Registering a net and connecting to it by name must not interleave with
// another adapter of this process doing the same (the name is shared).
std::mutex& netRegistrationLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

HardwareInterfacePeakCan::HardwareInterfacePeakCan() : HardwareInterfacePeakCan(CommunicationManager::getModuleFolder())
{
}

HardwareInterfacePeakCan::HardwareInterfacePeakCan(const std::string& libraryDirectory)
    : library(std::make_shared<DllWrapper>(libraryName, libraryDirectory))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    resolve();
    commonbase::DbgInfo(1, __FILE__, cat("VersionInfo: ", library->getPath()));
}

HardwareInterfacePeakCan::HardwareInterfacePeakCan(const HardwareInterfacePeakCan& other)
    : HardwareInterface(other), library(other.library), entry(other.entry)
{
    // A copy starts closed: only the object that opened the adapter closes it.
}

HardwareInterfacePeakCan::~HardwareInterfacePeakCan()
{
    if (entry && (client != 0 || net != 0)) {
        std::lock_guard<std::recursive_mutex> lock(*mutex);
        release();
    }
    if (receiveEvent >= 0)
        ::close(receiveEvent);
}

void HardwareInterfacePeakCan::resolve()
{
    auto e = std::make_shared<EntryPoints>();
    auto get = [this](auto& slot, const char* name) {
        slot = library->getFunction<std::remove_reference_t<decltype(slot)>>(name);
    };
    get(e->getHwParam, "CAN_GetHwParam");
    get(e->getNetParam, "CAN_GetNetParam");
    get(e->registerNet, "CAN_RegisterNet");
    get(e->removeNet, "CAN_RemoveNet");
    get(e->connectToNet, "CAN_ConnectToNet");
    get(e->disconnectFromNet, "CAN_DisconnectFromNet");
    get(e->registerClient, "CAN_RegisterClient");
    get(e->removeClient, "CAN_RemoveClient");
    get(e->write, "CAN_Write");
    get(e->read, "CAN_Read");
    get(e->getSystemTime, "CAN_GetSystemTime");
    get(e->setClientParam, "CAN_SetClientParam");
    get(e->registerMsg, "CAN_RegisterMsg");
    entry = std::move(e);
}

void HardwareInterfacePeakCan::fail(std::uint32_t code, const std::string& what, CANAPI2_RESULT result)
{
    setError(code, result == CANAPI2_OK ? what : cat(what, " (", result, ")"));
    commonbase::DbgInfo(3, __FILE__, getLastErrorText());
}

std::int32_t HardwareInterfacePeakCan::getAvailableInterfaces(HardwareInterfaceList& list)
{
    commonbase::Dbg dbg(0, __FILE__, "getAvailableInterfaces()");
    std::int32_t found = 0;
    for (std::uint8_t handle = 1; handle <= lastHardwareHandle; ++handle) {
        char text[CANAPI2_NAME_MAX] = {};
        if (entry->getHwParam(handle, CANAPI2_PARAM_NAME, text, sizeof text) != CANAPI2_OK)
            continue;
        const std::string endpoint(text, strnlen(text, sizeof text));
        auto copy = std::make_shared<HardwareInterfacePeakCan>(*this);
        copy->number = handle;
        copy->name = cat("PEAK ", static_cast<unsigned>(handle), " ", endpoint);
        copy->nameToOpen = namePrefix + endpoint;
        copy->mutex = CanAdapter::endpointMutex(endpoint);
        list.push_back(std::move(copy));
        ++found;
    }
    return found;
}

void HardwareInterfacePeakCan::release()
{
    if (client != 0) {
        if (connectedNet != 0)
            entry->disconnectFromNet(client, connectedNet);
        entry->removeClient(client);
        client = 0;
        connectedNet = 0;
    }
    if (net != 0) {
        entry->removeNet(net);
        net = 0;
    }
}

std::int32_t HardwareInterfacePeakCan::openInterface()
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("openConnection(", nameToOpen, ",", baudrate, "k)"); });
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    release();
    const std::uint16_t code = PhilipsBaudrateCodes::getInstance().getBaudrateCode(baudrate);
    if (code == 0) {
        commonbase::DbgInfo(3, __FILE__, "Invalid baudrate");
        fail(CanAdapter::errorBaudrate, cat("Invalid baudrate ", baudrate, "k"), CANAPI2_OK);
        return 0;
    }
    std::lock_guard<std::mutex> registration(netRegistrationLock());
    for (std::uint8_t candidate = 1; candidate <= lastNetHandle && net == 0; ++candidate) {
        char text[20] = {};
        if (entry->getNetParam(candidate, CANAPI2_PARAM_NAME, text, sizeof text) != CANAPI2_OK || text[0] == '\0')
            net = candidate;
    }
    if (net == 0) {
        fail(CanAdapter::errorNoFreeNet, "No free handle", CANAPI2_OK);
        return 0;
    }
    CANAPI2_RESULT result = entry->registerNet(net, netName, static_cast<std::uint8_t>(number), code);
    if (result != CANAPI2_OK) {
        net = 0;
        fail(result == CANAPI2_E_BAD_BITRATE ? CanAdapter::errorBaudrate : CanAdapter::errorOpen,
             cat("RegisterNet failed: ", nameToOpen, " at ", baudrate, "k"), result);
        return 0;
    }
    result = entry->registerClient(clientName, 0, &client);
    if (result != CANAPI2_OK) {
        client = 0;
        fail(CanAdapter::errorOpen, "RegisterClient failed", result);
        release();
        return 0;
    }
    result = entry->connectToNet(client, netName, &connectedNet);
    if (result != CANAPI2_OK) {
        connectedNet = 0;
        fail(result == CANAPI2_E_BAD_BITRATE ? CanAdapter::errorBaudrate : CanAdapter::errorOpen,
             cat("ConnectToNet failed: ", nameToOpen), result);
        release();
        return 0;
    }
    result = entry->registerMsg(client, connectedNet, 0, 0x7FF);
    if (result == CANAPI2_OK) {
        if (receiveEvent < 0)
            receiveEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        result = receiveEvent >= 0 ? entry->setClientParam(client, CANAPI2_PARAM_RX_EVENT, receiveEvent)
                                   : CANAPI2_E_NO_RESOURCES;
    }
    if (result != CANAPI2_OK) {
        fail(CanAdapter::errorOpen, cat("receive event ", receiveEventName, " could not be set"), result);
        release();
        return 0;
    }
    clearError();
    return 1;
}

std::int32_t HardwareInterfacePeakCan::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "closeInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    const bool wasOpen = client != 0 || net != 0;
    release();
    return wasOpen ? 1 : 0;
}

CANAPI2_RESULT HardwareInterfacePeakCan::readWithin(CANAPI2_MSG& frame, std::uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint8_t fromNet = 0;
        std::uint64_t time = 0;
        const CANAPI2_RESULT result = entry->read(client, &frame, &fromNet, &time);
        if (result != CANAPI2_E_RX_EMPTY)
            return result;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return CANAPI2_E_RX_EMPTY;
        pollfd p{receiveEvent, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) > 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(receiveEvent, &count, sizeof count);
        }
    }
}

std::int32_t HardwareInterfacePeakCan::sendMessage(const GenericParameters& request, GenericParameters& response)
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (client == 0) {
        setError(CanAdapter::errorNotOpen, cat("CAN_Write: ", nameToOpen, " is not open"));
        return 0;
    }
    if (const std::string why = CanAdapter::checkRequest(request); !why.empty()) {
        setError(CanAdapter::errorBadRequest, cat("CAN_Write: ", why));
        return 0;
    }
    // A late reply to an earlier request must not pass for this one's.
    CANAPI2_MSG frame{};
    for (int i = 0; i < CanAdapter::maxStaleFrames; ++i) {
        std::uint8_t fromNet = 0;
        std::uint64_t time = 0;
        if (entry->read(client, &frame, &fromNet, &time) != CANAPI2_OK)
            break;
        commonbase::DbgInfo(2, __FILE__, [&] { return cat("dropped a waiting frame from ", frame.id); });
    }
    std::uint64_t count = 0;
    [[maybe_unused]] auto drained = ::read(receiveEvent, &count, sizeof count);

    frame = CANAPI2_MSG{};
    frame.id = static_cast<std::uint32_t>(request.getNumber(0));
    frame.msgType = CANAPI2_MSGTYPE_STANDARD;
    frame.len = static_cast<std::uint8_t>(request.bytes.size());
    std::memcpy(frame.data, request.bytes.data(), request.bytes.size());
    std::uint64_t time = 0;
    entry->getSystemTime(&time);
    CANAPI2_RESULT result = entry->write(client, connectedNet, &frame, time);
    if (result != CANAPI2_OK) {
        commonbase::DbgInfo(3, __FILE__, "Error");
        fail(CanAdapter::errorSend, cat("CAN_Write to ", nameToOpen, " failed"), result);
        return 0;
    }
    CANAPI2_MSG received{};
    result = readWithin(received, CanAdapter::replyTimeoutMs);
    if (result != CANAPI2_OK) {
        commonbase::DbgInfo(3, __FILE__, "Error");
        if (result == CANAPI2_E_RX_EMPTY)
            fail(CanAdapter::errorNoFrame, cat("CAN_Read: no frame within ", CanAdapter::replyTimeoutMs, " ms"),
                 CANAPI2_OK);
        else
            fail(result == CANAPI2_E_IO ? CanAdapter::errorSend : CanAdapter::errorRead, "CAN_Read failed", result);
        return 0;
    }
    response.bytes.assign(8, 0);
    std::memcpy(response.bytes.data(), received.data, received.len < 8 ? received.len : 8);
    response.setNumber(CanAdapter::responseLength, received.len);
    clearError();
    return 1;
}

} // namespace Kavrel
