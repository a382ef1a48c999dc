#pragma once
#include <memory>
#include "automation/ConnectionPoint.h"
#include "automation/IFieldbusDevice.h"
#include "automation/IFieldbusDeviceEvent.h"
#include "commonbase/MessageWindow.h"

namespace Kavrel {

class FieldbusDevice;

// The automation twin of a device: owns the core device, forwards to it and
// fires its upload events on the host's thread. Releasing the last reference
// removes the device from its interface (and closes the bus after the last one).
class CFieldbusDevice : public IFieldbusDevice,
                        public commonbase::MessageWindow,
                        public std::enable_shared_from_this<CFieldbusDevice> {
public:
    // Takes the device out of `core` only when the twin could be made.
    static std::shared_ptr<CFieldbusDevice> create(std::unique_ptr<FieldbusDevice>& core);
    ~CFieldbusDevice() override;
    CFieldbusDevice(const CFieldbusDevice&) = delete;
    CFieldbusDevice& operator=(const CFieldbusDevice&) = delete;

    FieldbusDevice* getFieldbusDevice() const { return core.get(); }

    HRESULT get_vendorName(std::string& value) override;
    HRESULT get_productCode(std::string& value) override;
    HRESULT get_deviceVersion(std::string& value) override;
    HRESULT get_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex, std::int32_t& value) override;
    HRESULT set_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex, std::int32_t value) override;
    HRESULT get_uniqueId(std::int32_t& value) override;
    HRESULT get_ignoreErrors(std::int32_t& value) override;
    HRESULT put_ignoreErrors(std::int32_t value) override;
    HRESULT startUpload() override;
    HRESULT stopUpload() override;
    HRESULT get_uploadBuffer(std::string& value) override;
    HRESULT get_uploadErrorText(std::int32_t errorNumber, std::string& value) override;
    HRESULT get_lastErrorCode(std::int32_t& value) override;
    HRESULT get_lastErrorString(std::string& value) override;
    HRESULT get_motorType(std::string& value) override;
    HRESULT get_serialNumber(std::string& value) override;
    HRESULT get_deviceDate(std::string& value) override;
    HRESULT get_familyCode(std::string& value) override;
    HRESULT get_flashCompatibilityValue(std::int32_t& value) override;
    HRESULT get_originalProductCode(std::string& value) override;
    HRESULT get_originalVendorName(std::string& value) override;
    HRESULT advise(const std::shared_ptr<IFieldbusDeviceEvent>& sink, std::uint32_t& cookie) override;
    HRESULT unadvise(std::uint32_t cookie) override;

    // The hidden window: upload notices from the worker, delivered on the host's thread.
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override;

    static constexpr HRESULT errorGetParameter = kavrelError(0x501);
    static constexpr HRESULT errorSetParameter = kavrelError(0x502);
    static constexpr HRESULT errorStartUpload = kavrelError(0x503);
    static constexpr HRESULT errorStopUpload = kavrelError(0x504);

private:
    CFieldbusDevice();
    HRESULT text(const char* name, std::string& out, std::string (FieldbusDevice::*read)() const);

    std::unique_ptr<FieldbusDevice> core;
    ConnectionPoint<IFieldbusDeviceEvent> events;
};

} // namespace Kavrel
