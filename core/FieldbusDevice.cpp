#include "core/FieldbusDevice.h"

#include <algorithm>
#include <utility>

#include "commonbase/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusInterface.h"
#include "core/IdentificationTransformer.h"
#include "core/UploadThread.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "flashtools/FlashProtocol.h"
#include "hardware/HardwareInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;
using commonbase::toHex;

FieldbusDevice::FieldbusDevice()
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(uploadStopped));
    commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(uploadStartFailed));
    commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(errorInterfaceGone & 0xFFFFu));
}

FieldbusDevice::~FieldbusDevice()
{
    commonbase::Dbg dbg(0, __FILE__, cat("Destructor('", uniqueId, "')"));
    // A download still running is cancelled and waited for: its protocol uses this device.
    std::shared_ptr<FlashProcess> process;
    {
        std::lock_guard<std::mutex> lock(flashLock);
        process = flashProcess;
    }
    if (process) {
        if (process->isBusy())
            process->stop();
        process->join();
    }
    // Out of the interface's lists first, so the node-guard worker lets go of it.
    if (FieldbusInterface* owner = getFieldbusInterface())
        owner->removeFieldbusDevice(this);
    uploadThread.reset();
}

void FieldbusDevice::setFieldbusProtocol(std::shared_ptr<FieldbusProtocol> protocol_)
{
    std::lock_guard<std::mutex> lock(stateLock);
    protocol = std::move(protocol_);
}

std::shared_ptr<FieldbusProtocol> FieldbusDevice::getFieldbusProtocol() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    return protocol;
}

void FieldbusDevice::setFieldbusInterface(FieldbusInterface* fieldbusInterface_)
{
    std::lock_guard<std::mutex> lock(stateLock);
    fieldbusInterface = fieldbusInterface_;
}

FieldbusInterface* FieldbusDevice::getFieldbusInterface() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    return fieldbusInterface;
}

void FieldbusDevice::detachFromInterface(bool interfaceReleased)
{
    commonbase::DbgInfo(1, __FILE__, cat(uniqueId, interfaceReleased ? ": the interface was released"
                                                                      : ": dropped from the interface"));
    connected = 0;
    std::lock_guard<std::mutex> lock(stateLock);
    fieldbusInterface = nullptr;
    if (interfaceReleased) {
        interfaceGone = true;
        lastErrorCode = errorInterfaceGone;
        lastErrorString = cat("the interface of device ", uniqueId, " was released");
    }
}

void FieldbusDevice::setUniqueId(std::uint32_t id)
{
    commonbase::DbgInfo(0, __FILE__, cat("setUniqueId('", id, "')"));
    uniqueId = id;
}

std::unique_lock<std::recursive_mutex> FieldbusDevice::lockBus() const
{
    auto current = getFieldbusProtocol();
    auto hardware = current ? current->getHardwareInterface() : nullptr;
    auto mutex = hardware ? hardware->getMutex() : nullptr;
    if (!mutex)
        return {};
    // The mutex outlives the lock: every copy of the hardware interface holds it.
    return std::unique_lock<std::recursive_mutex>(*mutex);
}

void FieldbusDevice::copyLastError()
{
    auto current = getFieldbusProtocol();
    if (!current)
        return;
    const std::uint32_t code = current->getLastErrorCode();
    std::string text = current->getLastErrorString();
    {
        std::lock_guard<std::mutex> lock(stateLock);
        lastErrorCode = code;
        lastErrorString = text;
    }
    if (code != 0)
        commonbase::DbgInfo(3, __FILE__, cat(uniqueId, ": error 0x", toHex(code, 4), " ", text));
}

std::int32_t FieldbusDevice::getParameter(std::uint32_t size, std::uint16_t index, std::uint16_t subIndex,
                                          std::uint32_t& value)
{
    std::lock_guard<std::mutex> access(accessLock);
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("getParameter('SIZE:", size, ",IDX:", index, ",SIDX:", subIndex, "')"); });
    if (connected.load() != 1) {
        commonbase::DbgInfo(3, __FILE__, "ERROR");
        return 0;
    }
    value = 0;
    return exchangeParameter("read", index, subIndex, value, [&](FieldbusProtocol& bus) {
        return bus.readParameter(uniqueId, size, index, subIndex, value);
    });
}

std::int32_t FieldbusDevice::setParameter(std::uint32_t size, std::uint16_t index, std::uint16_t subIndex,
                                          std::uint32_t value)
{
    std::lock_guard<std::mutex> access(accessLock);
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return cat("setParameter('SIZE:", size, ",IDX:", index, ",SIDX:", subIndex, ",VALUE:", value, "')");
    });
    if (connected.load() != 1) {
        commonbase::DbgInfo(3, __FILE__, "ERROR");
        return 0;
    }
    return exchangeParameter("write", index, subIndex, value, [&](FieldbusProtocol& bus) {
        return bus.writeParameter(uniqueId, size, index, subIndex, value);
    });
}

std::int32_t FieldbusDevice::exchangeParameter(const char* verb, std::uint16_t index, std::uint16_t subIndex,
                                               const std::uint32_t& value,
                                               const std::function<std::int32_t(FieldbusProtocol&)>& exchange)
{
    auto current = getFieldbusProtocol();
    if (!current) {
        std::lock_guard<std::mutex> lock(stateLock);
        lastErrorCode = static_cast<std::uint32_t>(FieldbusInterface::errorFail);
        lastErrorString = "the device has no protocol";
        return 0;
    }
    auto bus = lockBus();
    const std::int32_t result = exchange(*current) == 1 ? 1 : 0;
    if (result != 1) {
        if (ignoreErrors.load() == 0)
            connected = 0;
    } else {
        calcNodeGuardNextTelegram();
    }
    commonbase::DbgInfo(0, __FILE__,
                        [&] { return cat(uniqueId, ": ", verb, " ", index, ",", subIndex, " = 0x", toHex(value, 4)); });
    copyLastError();
    return result;
}

std::int32_t FieldbusDevice::identify()
{
    std::lock_guard<std::mutex> access(accessLock);
    commonbase::Dbg dbg(0, __FILE__, cat("identify('", uniqueId, "')"));
    auto current = getFieldbusProtocol();
    if (!current)
        return 0;
    std::string vendor, product, version, motor, serial;
    std::int32_t result = 0;
    {
        auto bus = lockBus();
        result = current->readIdentification(uniqueId, vendor, product, version, motor, serial) == 1 ? 1 : 0;
        copyLastError();
    }
    auto transformer = CommunicationManager::getInstance().getIdentificationTransformer();
    std::string translatedVendor = transformer ? transformer->translateVendorName(vendor) : vendor;
    std::string translatedProduct = transformer ? transformer->translateProductCode(product) : product;
    current->logIdentification(uniqueId, vendor, translatedVendor, product, translatedProduct, version, motor, serial);
    std::lock_guard<std::mutex> lock(stateLock);
    originalVendorName = std::move(vendor);
    vendorName = std::move(translatedVendor);
    originalProductCode = std::move(product);
    productCode = std::move(translatedProduct);
    deviceVersion = std::move(version);
    motorType = std::move(motor);
    serialNumber = std::move(serial);
    return result;
}

std::uint32_t FieldbusDevice::getFlashCompatibilityValue()
{
    commonbase::Dbg dbg(0, __FILE__, "getFlashCompatibilityValue");
    std::uint32_t value = 0;
    return getParameter(2, 1, 7, value) == 1 ? value : 0;
}

std::shared_ptr<FlashProtocol> FieldbusDevice::getFlashProtocol()
{
    std::lock_guard<std::mutex> lock(flashLock);
    if (!flashProtocol) {
        auto bus = getFieldbusProtocol();
        if (bus)
            flashProtocol = FlashProtocol::create(bus->getProtocolName(), bus.get(), this);
    }
    return flashProtocol;
}

std::shared_ptr<FlashProcess> FieldbusDevice::getFlashProcess()
{
    std::lock_guard<std::mutex> lock(flashLock);
    if (!flashProcess)
        flashProcess = std::make_shared<FlashProcess>(true);
    return flashProcess;
}

void FieldbusDevice::flash(std::shared_ptr<FlashData> flashData, std::shared_ptr<FlashApiData> apiData,
                           std::shared_ptr<FlashProtocolSettings> settings, bool threaded)
{
    commonbase::Dbg dbg(0, __FILE__, "flash");
    auto protocol = getFlashProtocol();
    if (!protocol)
        throw FlashException::fromReason(FlashReason::noProtocol);
    auto process = getFlashProcess();
    if (process->isBusy())
        throw FlashException::fromReason(FlashReason::busy);
    protocol->setFlashProcess(process);
    protocol->setSettings(std::move(settings));
    process->setThreaded(threaded);
    process->flash(std::move(flashData), std::move(apiData), protocol);
}

void FieldbusDevice::beginFlashDownload()
{
    flashDownloading = true;
    // A node-guard pass already under way ends before the first telegram.
    if (FieldbusInterface* owner = getFieldbusInterface())
        std::lock_guard<std::recursive_mutex> pass(owner->getNodeGuardLock());
}

void FieldbusDevice::endFlashDownload() { flashDownloading = false; }

std::string FieldbusDevice::getDeviceDate()
{
    commonbase::Dbg dbg(0, __FILE__, "getDeviceDate");
    std::uint32_t value = 0;
    if (getParameter(4, 1, 3, value) != 1)
        return {};
    return "0x" + toHex(value, 8);
}

#define KAVREL_FIELD_GETTER(getter, field)                                   \
    std::string FieldbusDevice::getter() const                               \
    {                                                                        \
        std::lock_guard<std::mutex> lock(stateLock);                         \
        commonbase::DbgInfo(0, __FILE__, cat(#getter " = ", field));         \
        return field;                                                        \
    }

KAVREL_FIELD_GETTER(getVendorName, vendorName)
KAVREL_FIELD_GETTER(getOriginalVendorName, originalVendorName)
KAVREL_FIELD_GETTER(getProductCode, productCode)
KAVREL_FIELD_GETTER(getOriginalProductCode, originalProductCode)
KAVREL_FIELD_GETTER(getDeviceVersion, deviceVersion)
KAVREL_FIELD_GETTER(getMotorType, motorType)
KAVREL_FIELD_GETTER(getSerialNumber, serialNumber)
#undef KAVREL_FIELD_GETTER

std::string FieldbusDevice::getFamilyCode() const
{
    std::string code = getProductCode().substr(0, 7);
    code.erase(std::remove_if(code.begin(), code.end(), [](char c) { return c == ' ' || c == '\t'; }), code.end());
    return code;
}

std::uint32_t FieldbusDevice::getLastErrorCode() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    return lastErrorCode;
}

std::string FieldbusDevice::getLastErrorString() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    commonbase::DbgInfo(0, __FILE__, cat("getLastErrorString() = ", lastErrorString));
    return lastErrorString;
}

// ---------------------------------------------------------------------------
// Node guarding

std::int32_t FieldbusDevice::setNodeGuardInterval(std::uint32_t intervalMs)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setNodeGuardInterval('", intervalMs, "')"));
    commonbase::DbgInfo(1, __FILE__, cat(uniqueId, ": write NodeGuardInterval = ", intervalMs));
    {
        std::lock_guard<std::mutex> lock(stateLock);
        nodeGuardPeriod = std::chrono::milliseconds(intervalMs / 2);
    }
    auto current = getFieldbusProtocol();
    if (!current)
        return 0;
    std::lock_guard<std::mutex> access(accessLock);
    auto bus = lockBus();
    const std::int32_t result = current->writeParameter(uniqueId, 2, 22, 6, intervalMs) == 1 ? 1 : 0;
    copyLastError();
    return result;
}

void FieldbusDevice::calcNodeGuardNextTelegram()
{
    std::lock_guard<std::mutex> lock(stateLock);
    nodeGuardNextTelegram = Clock::now() + nodeGuardPeriod;
}

FieldbusDevice::Clock::time_point FieldbusDevice::getNodeGuardNextTelegram() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    return nodeGuardNextTelegram;
}

std::chrono::nanoseconds FieldbusDevice::getNodeGuardPeriod() const
{
    std::lock_guard<std::mutex> lock(stateLock);
    return nodeGuardPeriod;
}

// ---------------------------------------------------------------------------
// Upload

std::int32_t FieldbusDevice::startUpload()
{
    commonbase::Dbg dbg(0, __FILE__, "startUpload");
    if (connected.load() == 1 && uploadThread && uploadThread->isRunning())
        return 1;
    uploadThread.reset();
    uploadThread = std::make_unique<UploadThread>(this, &accessLock);
    uploadThread->start();
    return 1;
}

std::int32_t FieldbusDevice::stopUpload()
{
    commonbase::Dbg dbg(0, __FILE__, "stopUpload");
    if (connected.load() != 1 || !uploadThread)
        return 0;
    uploadThread->stop();
    return 1;
}

std::int32_t FieldbusDevice::initUpload()
{
    std::lock_guard<std::mutex> access(accessLock);
    commonbase::Dbg dbg(0, __FILE__, "initUpload");
    {
        std::lock_guard<std::mutex> lock(uploadLock);
        uploadBuffer.clear();
    }
    uploadResult = 0;
    // A dropped device, or one whose bus is gone, fetches nothing: the upload cannot start.
    if (connected.load() != 1) {
        commonbase::DbgInfo(3, __FILE__, cat(uniqueId, ": not connected, no upload"));
        return 0;
    }
    auto current = getFieldbusProtocol();
    if (!current)
        return 0;
    auto bus = lockBus();
    return current->initUpload(uniqueId);
}

std::int32_t FieldbusDevice::getUpload(std::int32_t sessionId, std::int32_t packetNumber)
{
    std::lock_guard<std::mutex> access(accessLock);
    commonbase::Dbg dbg(0, __FILE__, cat("getUpload(", sessionId, ",", packetNumber, ")"));
    auto current = getFieldbusProtocol();
    if (connected.load() != 1 || !current) {
        // Lost before its first packet: nothing was fetched, so the end is a failure.
        if (packetNumber <= 1)
            uploadResult = uploadStartFailed;
        return 0;
    }
    std::uint32_t last = 0;
    std::int32_t result = 0;
    std::string packet; // a protocol hands out one packet's data; the buffer keeps them all
    {
        auto bus = lockBus();
        result = current->getUpload(uniqueId, static_cast<std::uint32_t>(sessionId),
                                    static_cast<std::uint32_t>(packetNumber), packet, last);
    }
    if (result >= 0 && !packet.empty()) {
        std::lock_guard<std::mutex> lock(uploadLock);
        uploadBuffer += packet;
    }
    uploadResult = result;
    return result < 0 || last != 0 ? 0 : 1;
}

std::string FieldbusDevice::getUploadBuffer() const
{
    std::lock_guard<std::mutex> lock(uploadLock);
    return uploadBuffer;
}

std::int32_t FieldbusDevice::getUploadResult() const
{
    return uploadResult.load();
}

void FieldbusDevice::markUploadStopped()
{
    uploadResult = uploadStopped;
}

void FieldbusDevice::markUploadStartFailed()
{
    uploadResult = uploadStartFailed;
}

void FieldbusDevice::notifyUploadFinished(std::int32_t sessionId)
{
    commonbase::DbgInfo(0, __FILE__, cat("notifyUploadFinished(", sessionId, ",", uploadResult.load(), ")"));
    postToTwin(msgUploadFinished, sessionId, uploadResult.load());
}

void FieldbusDevice::notifyNextPacket(std::int32_t sessionId, std::int32_t packetNumber)
{
    commonbase::DbgInfo(0, __FILE__, cat("notifyNextPacket(", sessionId, ",", packetNumber, ")"));
    postToTwin(msgNextPacket, sessionId, packetNumber);
}

void FieldbusDevice::setMessageWindow(std::weak_ptr<commonbase::MessageWindow> window)
{
    std::lock_guard<std::mutex> lock(stateLock);
    messageWindow = std::move(window);
}

void FieldbusDevice::postToTwin(std::uint32_t message, std::int32_t first, std::int32_t second)
{
    std::weak_ptr<commonbase::MessageWindow> window;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        window = messageWindow;
    }
    if (window.expired())
        return;
    commonbase::HostEventLoop::instance().post(window, message, first, second);
}

} // namespace Kavrel
