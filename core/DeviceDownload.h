#pragma once
#include <functional>
#include <memory>

namespace Kavrel {

class FieldbusDevice;

// A device's firmware download. The download classes sit above the core (they
// drive the device's bus protocol), so a device holds its download only through
// this view; the download side installs the maker when the library is loaded.
class DeviceDownload {
public:
    virtual ~DeviceDownload() = default;
    // Cancels a download still running and waits for its thread: the device is going.
    virtual void stopAndJoin() = 0;

    using Maker = std::function<std::unique_ptr<DeviceDownload>(FieldbusDevice& device)>;
    static Maker& maker()
    {
        static Maker installed;
        return installed;
    }
};

} // namespace Kavrel
