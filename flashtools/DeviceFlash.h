#pragma once
#include <memory>
#include <mutex>
#include "core/DeviceDownload.h"

namespace Kavrel {

class FieldbusDevice;
class FlashApiData;
class FlashData;
class FlashProcess;
class FlashProtocol;
class FlashProtocolSettings;

// The firmware download of one device: its flash protocol, made on first call
// for the device's bus (none where the bus has no download), and its flash
// process, made on first call and kept for later downloads.
class DeviceFlash : public DeviceDownload {
public:
    explicit DeviceFlash(FieldbusDevice& device);
    ~DeviceFlash() override;

    // The download of a device (made on first call).
    static DeviceFlash& of(FieldbusDevice& device);

    std::shared_ptr<FlashProtocol> getFlashProtocol();
    std::shared_ptr<FlashProcess> getFlashProcess();
    // Starts a download (threaded: on the process's thread); throws FlashException.
    void flash(std::shared_ptr<FlashData> flashData, std::shared_ptr<FlashApiData> apiData,
               std::shared_ptr<FlashProtocolSettings> settings, bool threaded);
    void stopAndJoin() override;

private:
    FieldbusDevice& device;
    std::mutex lock; // the protocol and process pointers
    std::shared_ptr<FlashProtocol> flashProtocol;
    std::shared_ptr<FlashProcess> flashProcess;
};

} // namespace Kavrel
