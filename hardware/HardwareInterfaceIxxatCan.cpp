#include "hardware/HardwareInterfaceIxxatCan.h"

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

struct HardwareInterfaceIxxatCan::EntryPoints {
    VCINPL_RESULT (*vciInitialize)() = nullptr;
    VCINPL_RESULT (*vciEnumDeviceOpen)(VCINPL_HANDLE*) = nullptr;
    VCINPL_RESULT (*vciEnumDeviceNext)(VCINPL_HANDLE, VCINPL_DEVICEINFO*) = nullptr;
    VCINPL_RESULT (*vciEnumDeviceClose)(VCINPL_HANDLE) = nullptr;
    VCINPL_RESULT (*vciFormatError)(VCINPL_RESULT, char*, uint32_t) = nullptr;
    VCINPL_RESULT (*vciGetVersion)(uint32_t*, uint32_t*, uint32_t*) = nullptr;
    VCINPL_RESULT (*vciDeviceOpen)(VCINPL_VCIID, VCINPL_HANDLE*) = nullptr;
    VCINPL_RESULT (*vciDeviceClose)(VCINPL_HANDLE) = nullptr;
    VCINPL_RESULT (*canControlOpen)(VCINPL_HANDLE, uint32_t, VCINPL_HANDLE*) = nullptr;
    VCINPL_RESULT (*canControlClose)(VCINPL_HANDLE) = nullptr;
    VCINPL_RESULT (*canControlInitialize)(VCINPL_HANDLE, uint8_t, uint8_t, uint8_t) = nullptr;
    VCINPL_RESULT (*canControlStart)(VCINPL_HANDLE, uint8_t) = nullptr;
    VCINPL_RESULT (*canControlGetStatus)(VCINPL_HANDLE, VCINPL_LINESTATUS*) = nullptr;
    VCINPL_RESULT (*canControlSetAccFilter)(VCINPL_HANDLE, uint8_t, uint32_t, uint32_t) = nullptr;
    VCINPL_RESULT (*canChannelOpen)(VCINPL_HANDLE, uint32_t, uint8_t, VCINPL_HANDLE*) = nullptr;
    VCINPL_RESULT (*canChannelClose)(VCINPL_HANDLE) = nullptr;
    VCINPL_RESULT (*canChannelInitialize)(VCINPL_HANDLE, uint16_t, uint16_t, uint16_t, uint16_t) = nullptr;
    VCINPL_RESULT (*canChannelActivate)(VCINPL_HANDLE, uint8_t) = nullptr;
    VCINPL_RESULT (*canChannelGetStatus)(VCINPL_HANDLE, VCINPL_CHANSTATUS*) = nullptr;
    VCINPL_RESULT (*canChannelPeekMessage)(VCINPL_HANDLE, VCINPL_CANMSG*) = nullptr;
    VCINPL_RESULT (*canChannelPostMessage)(VCINPL_HANDLE, const VCINPL_CANMSG*) = nullptr;
    VCINPL_RESULT (*canChannelSendMessage)(VCINPL_HANDLE, uint32_t, const VCINPL_CANMSG*) = nullptr;
    VCINPL_RESULT (*canChannelReadMessage)(VCINPL_HANDLE, uint32_t, VCINPL_CANMSG*) = nullptr;
    VCINPL_RESULT (*canChannelWaitRxEvent)(VCINPL_HANDLE, uint32_t) = nullptr;
};

namespace {

std::string guidText(const std::uint8_t (&guid)[16])
{
    std::string text;
    for (std::uint8_t b : guid)
        text += commonbase::toHex(b, 2);
    return text;
}

template <std::size_t N>
std::string fieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

} // namespace

HardwareInterfaceIxxatCan_Enumerator::HardwareInterfaceIxxatCan_Enumerator(EntryPoints entry_) : entry(entry_) {}

std::vector<VCINPL_DEVICEINFO> HardwareInterfaceIxxatCan_Enumerator::enumerate()
{
    std::vector<VCINPL_DEVICEINFO> devices;
    VCINPL_HANDLE list = 0;
    if (entry.vciEnumDeviceOpen(&list) != VCINPL_OK)
        return devices;
    VCINPL_DEVICEINFO info{};
    // The list is a snapshot; its length is bounded by the endpoints listed.
    while (devices.size() < 1024 && entry.vciEnumDeviceNext(list, &info) == VCINPL_OK) {
        commonbase::DbgInfo(1, __FILE__, [&] {
            return cat("IXXAT_Ddevice: ", fieldText(info.description), "  Manufacturer: ",
                       fieldText(info.manufacturer), "  ObjectId (int64): ", info.vciId,
                       "  DeviceClass (GUID): ", guidText(info.deviceClass),
                       "  DriverMajorVersion: ", info.driverMajorVersion,
                       "  DriverMinorVersion: ", info.driverMinorVersion,
                       "  HardwareMajorVersion: ", info.hardwareMajorVersion,
                       "  HardwareMinorVersion: ", info.hardwareMinorVersion,
                       "  UniqueHardwareId (chat): ", fieldText(info.uniqueHardwareId));
        });
        devices.push_back(info);
        info = VCINPL_DEVICEINFO{};
    }
    entry.vciEnumDeviceClose(list);
    return devices;
}

HardwareInterfaceIxxatCan::HardwareInterfaceIxxatCan()
    : HardwareInterfaceIxxatCan(CommunicationManager::getModuleFolder())
{
}

HardwareInterfaceIxxatCan::HardwareInterfaceIxxatCan(const std::string& libraryDirectory)
    : library(std::make_shared<DllWrapper>(libraryName, libraryDirectory))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    resolve();
    entry->vciInitialize();
    std::uint32_t major = 0, minor = 0, build = 0;
    entry->vciGetVersion(&major, &minor, &build);
    commonbase::DbgInfo(1, __FILE__, cat("VersionInfo: ", major, ".", minor, ".", build));
    enumerator = std::make_shared<HardwareInterfaceIxxatCan_Enumerator>(HardwareInterfaceIxxatCan_Enumerator::EntryPoints{
        entry->vciEnumDeviceOpen, entry->vciEnumDeviceNext, entry->vciEnumDeviceClose});
}

HardwareInterfaceIxxatCan::HardwareInterfaceIxxatCan(const HardwareInterfaceIxxatCan& other)
    : HardwareInterface(other), library(other.library), entry(other.entry), enumerator(other.enumerator),
      vciId(other.vciId)
{
    // A copy starts closed: only the object that opened the adapter closes it.
}

HardwareInterfaceIxxatCan::~HardwareInterfaceIxxatCan()
{
    if (entry && (device != 0 || control != 0 || channel != 0)) {
        std::lock_guard<std::recursive_mutex> lock(*mutex);
        release();
    }
}

void HardwareInterfaceIxxatCan::resolve()
{
    auto e = std::make_shared<EntryPoints>();
    auto get = [this](auto& slot, const char* name) {
        slot = library->getFunction<std::remove_reference_t<decltype(slot)>>(name);
    };
    get(e->vciInitialize, "vciInitialize");
    get(e->vciEnumDeviceOpen, "vciEnumDeviceOpen");
    get(e->vciEnumDeviceNext, "vciEnumDeviceNext");
    get(e->vciEnumDeviceClose, "vciEnumDeviceClose");
    get(e->vciFormatError, "vciFormatError");
    get(e->vciGetVersion, "vciGetVersion");
    get(e->vciDeviceOpen, "vciDeviceOpen");
    get(e->vciDeviceClose, "vciDeviceClose");
    get(e->canControlOpen, "canControlOpen");
    get(e->canControlClose, "canControlClose");
    get(e->canControlInitialize, "canControlInitialize");
    get(e->canControlStart, "canControlStart");
    get(e->canControlGetStatus, "canControlGetStatus");
    get(e->canControlSetAccFilter, "canControlSetAccFilter");
    get(e->canChannelOpen, "canChannelOpen");
    get(e->canChannelClose, "canChannelClose");
    get(e->canChannelInitialize, "canChannelInitialize");
    get(e->canChannelActivate, "canChannelActivate");
    get(e->canChannelGetStatus, "canChannelGetStatus");
    get(e->canChannelPeekMessage, "canChannelPeekMessage");
    get(e->canChannelPostMessage, "canChannelPostMessage");
    get(e->canChannelSendMessage, "canChannelSendMessage");
    get(e->canChannelReadMessage, "canChannelReadMessage");
    get(e->canChannelWaitRxEvent, "canChannelWaitRxEvent");
    entry = std::move(e);
}

std::string HardwareInterfaceIxxatCan::errorText(VCINPL_RESULT result) const
{
    char text[128] = {};
    if (entry->vciFormatError(result, text, sizeof text) != VCINPL_OK)
        return cat("error ", result);
    return fieldText(text);
}

void HardwareInterfaceIxxatCan::fail(std::uint32_t code, const std::string& call, VCINPL_RESULT result)
{
    setError(code, cat(call, " failed: ", errorText(result), " (", result, ")"));
    commonbase::DbgInfo(3, __FILE__, getLastErrorText());
}

VCINPL_VCIID HardwareInterfaceIxxatCan::getVciId() const
{
    commonbase::DbgInfo(0, __FILE__, [&] { return cat("getVciId(", number, ") = ", vciId); });
    return vciId;
}

std::int32_t HardwareInterfaceIxxatCan::getAvailableInterfaces(HardwareInterfaceList& list)
{
    commonbase::Dbg dbg(0, __FILE__, "getAvailableInterfaces()");
    const auto devices = enumerator->enumerate();
    for (std::size_t position = 0; position < devices.size(); ++position) {
        const std::string endpoint = fieldText(devices[position].description);
        auto copy = std::make_shared<HardwareInterfaceIxxatCan>(*this);
        copy->vciId = devices[position].vciId;
        copy->number = firstNumber + static_cast<std::uint32_t>(position);
        copy->name = cat("IXXAT ", fieldText(devices[position].uniqueHardwareId), " ", endpoint);
        copy->nameToOpen = namePrefix + endpoint;
        copy->mutex = CanAdapter::endpointMutex(endpoint);
        list.push_back(std::move(copy));
    }
    return static_cast<std::int32_t>(devices.size());
}

void HardwareInterfaceIxxatCan::release()
{
    if (channel != 0) {
        entry->canChannelActivate(channel, 0);
        entry->canChannelClose(channel);
        channel = 0;
    }
    if (control != 0) {
        entry->canControlClose(control);
        control = 0;
    }
    if (device != 0) {
        entry->vciDeviceClose(device);
        device = 0;
    }
}

std::int32_t HardwareInterfaceIxxatCan::openInterface()
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("openInterface(", nameToOpen, ",", baudrate, "k)"); });
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    release();
    const std::uint16_t code = PhilipsBaudrateCodes::getInstance().getBaudrateCode(baudrate);
    VCINPL_RESULT result = entry->vciDeviceOpen(vciId, &device);
    std::string call = cat("vciDeviceOpen(", nameToOpen, ")");
    if (result == VCINPL_OK) {
        result = entry->canControlOpen(device, 0, &control);
        call = "canControlOpen";
    }
    if (result == VCINPL_OK) {
        result = entry->canControlInitialize(control, VCINPL_OPMODE_STANDARD, static_cast<std::uint8_t>(code >> 8),
                                             static_cast<std::uint8_t>(code & 0xFF));
        call = cat("canControlInitialize(", baudrate, "k)");
    }
    if (result == VCINPL_OK) {
        result = entry->canControlStart(control, 1);
        call = "canControlStart";
    }
    if (result == VCINPL_OK) {
        result = entry->canChannelOpen(device, 0, 0, &channel);
        call = "canChannelOpen";
    }
    if (result == VCINPL_OK) {
        result = entry->canChannelInitialize(channel, CanAdapter::fifoFrames, 1, CanAdapter::fifoFrames, 1);
        call = "canChannelInitialize";
    }
    if (result == VCINPL_OK) {
        result = entry->canChannelActivate(channel, 1);
        call = cat("canChannelActivate(", nameToOpen, ")");
    }
    if (result != VCINPL_OK) {
        fail(result == VCINPL_E_BAD_BITRATE ? CanAdapter::errorBaudrate : CanAdapter::errorOpen, call, result);
        release();
        return 0;
    }
    // Whatever the bus carried before is not an answer to anything of ours.
    entry->canChannelReadMessage(channel, CanAdapter::replyTimeoutMs, nullptr);
    clearError();
    return 1;
}

std::int32_t HardwareInterfaceIxxatCan::closeInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "closeInterface()");
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    const bool wasOpen = device != 0;
    release();
    return wasOpen ? 1 : 0;
}

std::int32_t HardwareInterfaceIxxatCan::sendMessage(const GenericParameters& request, GenericParameters& response)
{
    std::lock_guard<std::recursive_mutex> lock(*mutex);
    if (channel == 0) {
        setError(CanAdapter::errorNotOpen, cat("sendMessage: ", nameToOpen, " is not open"));
        return 0;
    }
    if (const std::string why = CanAdapter::checkRequest(request); !why.empty()) {
        setError(CanAdapter::errorBadRequest, cat("sendMessage: ", why));
        return 0;
    }
    // A late reply to an earlier request must not pass for this one's.
    VCINPL_CANMSG stale{};
    for (int i = 0; i < CanAdapter::maxStaleFrames && entry->canChannelPeekMessage(channel, &stale) == VCINPL_OK; ++i)
        commonbase::DbgInfo(2, __FILE__, [&] { return cat("dropped a waiting frame from ", stale.id); });

    VCINPL_CANMSG frame{};
    frame.timestamp = 0;
    frame.id = static_cast<std::uint32_t>(request.getNumber(0));
    frame.dlc = static_cast<std::uint8_t>(request.bytes.size());
    std::memcpy(frame.data, request.bytes.data(), request.bytes.size());
    VCINPL_RESULT result = entry->canChannelSendMessage(channel, CanAdapter::replyTimeoutMs, &frame);
    if (result != VCINPL_OK) {
        fail(CanAdapter::errorSend, "canChannelSendMessage", result);
        return 0;
    }
    result = entry->canChannelWaitRxEvent(channel, CanAdapter::replyTimeoutMs);
    if (result != VCINPL_OK) {
        fail(result == VCINPL_E_TIMEOUT ? CanAdapter::errorNoFrame : CanAdapter::errorSend, "canChannelWaitRxEvent",
             result);
        return 0;
    }
    VCINPL_CANMSG received{};
    result = entry->canChannelPeekMessage(channel, &received);
    if (result != VCINPL_OK) {
        fail(CanAdapter::errorRead, "canChannelPeekMessage", result);
        return 0;
    }
    response.bytes.assign(8, 0);
    std::memcpy(response.bytes.data(), received.data, received.dlc < 8 ? received.dlc : 8);
    response.setNumber(CanAdapter::responseLength, received.dlc);
    clearError();
    return 1;
}

} // namespace Kavrel
