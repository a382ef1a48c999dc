#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include "commonbase/RelatedComInterface.h"

namespace commonbase {
class MessageWindow;
}

namespace Kavrel {

class CFieldbusDevice;
class FieldbusInterface;
class FlashApiData;
class FlashData;
class FlashProcess;
class FlashProtocol;
class FlashProtocolSettings;
class FieldbusProtocol;
class UploadThread;

// One drive reached through a fieldbus interface. Parameter access returns 1
// on success and 0 on failure; the reason is the last error code and string.
class FieldbusDevice : public commonbase::RelatedComInterface<CFieldbusDevice> {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::int32_t uploadSessionId = 256;
    static constexpr std::int32_t uploadStopped = 0xa01;
    static constexpr std::int32_t uploadStartFailed = 0xa02;
    // Last error of a device whose interface was released: it has no bus any more.
    static constexpr std::uint32_t errorInterfaceGone = 0x80040a03u;

    FieldbusDevice();
    ~FieldbusDevice() override;
    FieldbusDevice(const FieldbusDevice&) = delete;
    FieldbusDevice& operator=(const FieldbusDevice&) = delete;

    void setFieldbusProtocol(std::shared_ptr<FieldbusProtocol> protocol);
    std::shared_ptr<FieldbusProtocol> getFieldbusProtocol() const;
    void setFieldbusInterface(FieldbusInterface* fieldbusInterface);
    FieldbusInterface* getFieldbusInterface() const;
    void setUniqueId(std::uint32_t id);
    std::uint32_t getUniqueId() const { return uniqueId; }

    virtual std::int32_t getParameter(std::uint32_t size, std::uint16_t index, std::uint16_t subIndex, std::uint32_t& value);
    virtual std::int32_t setParameter(std::uint32_t size, std::uint16_t index, std::uint16_t subIndex, std::uint32_t value);
    virtual std::int32_t identify();
    virtual std::uint32_t getFlashCompatibilityValue();
    virtual std::string getDeviceDate();

    std::string getVendorName() const;
    std::string getOriginalVendorName() const;
    std::string getProductCode() const;
    std::string getOriginalProductCode() const;
    std::string getDeviceVersion() const;
    std::string getMotorType() const;
    std::string getSerialNumber() const;
    std::string getFamilyCode() const;

    std::uint32_t getIgnoreErrors() const { return ignoreErrors.load(); }
    void setIgnoreErrors(std::uint32_t flag) { ignoreErrors = flag; }
    std::uint32_t isConnected() const { return connected.load(); }
    // The interface lets go of the device: dropped (node guarding) or gone itself.
    // Either way the device is no longer connected; later calls fail without the bus.
    void detachFromInterface(bool interfaceReleased);
    bool isInterfaceGone() const { return interfaceGone.load(); }
    std::uint32_t getLastErrorCode() const;
    std::string getLastErrorString() const;

    // Node guarding: period = interval / 2; a successful access postpones the next telegram.
    std::int32_t setNodeGuardInterval(std::uint32_t intervalMs);
    void calcNodeGuardNextTelegram();
    Clock::time_point getNodeGuardNextTelegram() const;
    std::chrono::nanoseconds getNodeGuardPeriod() const;

    // Upload (background worker, one at a time per device).
    std::int32_t startUpload();
    std::int32_t stopUpload();
    std::int32_t initUpload();
    std::int32_t getUpload(std::int32_t sessionId, std::int32_t packetNumber);
    std::string getUploadBuffer() const;
    std::int32_t getUploadResult() const;
    void markUploadStopped();
    void markUploadStartFailed();
    void notifyUploadFinished(std::int32_t sessionId);
    void notifyNextPacket(std::int32_t sessionId, std::int32_t packetNumber);

    // Firmware download. The flash protocol is made on first call for this
    // device's bus (none where the bus has no download); the process is made
    // on first call and kept for later downloads.
    virtual std::shared_ptr<FlashProtocol> getFlashProtocol();
    std::shared_ptr<FlashProcess> getFlashProcess();
    // Starts a download (threaded: on the process's thread); throws FlashException.
    void flash(std::shared_ptr<FlashData> flashData, std::shared_ptr<FlashApiData> apiData,
               std::shared_ptr<FlashProtocolSettings> settings, bool threaded);
    // Set by the flash protocol while its telegrams run: node guarding of the
    // interface holds off until it ends.
    void beginFlashDownload();
    void endFlashDownload();
    bool isFlashDownloading() const { return flashDownloading.load(); }

    std::mutex& getAccessLock() { return accessLock; }
    void setMessageWindow(std::weak_ptr<commonbase::MessageWindow> window);
    void postToTwin(std::uint32_t message, std::int32_t first, std::int32_t second);

    // Messages posted to the twin by the upload worker.
    static constexpr std::uint32_t msgUploadFinished = 0x465;
    static constexpr std::uint32_t msgNextPacket = 0x466;

private:
    void copyLastError();
    // False (with the last error set) when the device can no longer reach its drive.
    bool reachable();
    // One parameter telegram under the bus lock, with the connected and
    // node-guard bookkeeping that every access shares.
    std::int32_t exchangeParameter(const char* verb, std::uint16_t index, std::uint16_t subIndex,
                                   const std::uint32_t& value,
                                   const std::function<std::int32_t(FieldbusProtocol&)>& exchange);
    // Whichever of the shared bus mutex exists, so an access and its error copy stay together.
    std::unique_lock<std::recursive_mutex> lockBus() const;

    FieldbusInterface* fieldbusInterface = nullptr;
    std::shared_ptr<FieldbusProtocol> protocol;
    std::uint32_t uniqueId = 0;
    std::uint32_t lastErrorCode = 0;
    std::string lastErrorString;
    std::atomic<std::uint32_t> connected{1};
    std::atomic<std::uint32_t> ignoreErrors{0};
    std::string vendorName, originalVendorName, productCode, originalProductCode;
    std::string deviceVersion, motorType, serialNumber;
    std::string uploadBuffer;       // under uploadLock: read without waiting for the bus
    mutable std::mutex uploadLock;
    std::atomic<std::int32_t> uploadResult{0};
    std::atomic<bool> interfaceGone{false};
    mutable std::mutex accessLock;  // serialises parameter access of this device
    mutable std::mutex stateLock;   // guards the text fields and the node-guard times
    std::chrono::nanoseconds nodeGuardPeriod{0};
    Clock::time_point nodeGuardNextTelegram{};
    std::unique_ptr<UploadThread> uploadThread;
    std::weak_ptr<commonbase::MessageWindow> messageWindow;
    std::mutex flashLock; // the flash protocol and process pointers
    std::shared_ptr<FlashProtocol> flashProtocol;
    std::shared_ptr<FlashProcess> flashProcess;
    std::atomic<bool> flashDownloading{false};
};

} // namespace Kavrel
