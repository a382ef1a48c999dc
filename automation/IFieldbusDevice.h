#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

class IFieldbusDeviceEvent;

// One connected drive as the host sees it.
class IFieldbusDevice {
public:
    virtual ~IFieldbusDevice() = default;
    virtual HRESULT get_vendorName(std::string& value) = 0;
    virtual HRESULT get_productCode(std::string& value) = 0;
    virtual HRESULT get_deviceVersion(std::string& value) = 0;
    virtual HRESULT get_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex,
                                  std::int32_t& value) = 0;
    virtual HRESULT set_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex,
                                  std::int32_t value) = 0;
    virtual HRESULT get_uniqueId(std::int32_t& value) = 0;
    virtual HRESULT get_ignoreErrors(std::int32_t& value) = 0;
    virtual HRESULT put_ignoreErrors(std::int32_t value) = 0;
    virtual HRESULT startUpload() = 0;
    virtual HRESULT stopUpload() = 0;
    virtual HRESULT get_uploadBuffer(std::string& value) = 0;
    virtual HRESULT get_uploadErrorText(std::int32_t errorNumber, std::string& value) = 0;
    virtual HRESULT get_lastErrorCode(std::int32_t& value) = 0;
    virtual HRESULT get_lastErrorString(std::string& value) = 0;
    virtual HRESULT get_motorType(std::string& value) = 0;
    virtual HRESULT get_serialNumber(std::string& value) = 0;
    virtual HRESULT get_deviceDate(std::string& value) = 0;
    virtual HRESULT get_familyCode(std::string& value) = 0;
    virtual HRESULT get_flashCompatibilityValue(std::int32_t& value) = 0;
    virtual HRESULT get_originalProductCode(std::string& value) = 0;
    virtual HRESULT get_originalVendorName(std::string& value) = 0;

    // Event sinks, fired in the order they were advised.
    virtual HRESULT advise(const std::shared_ptr<IFieldbusDeviceEvent>& sink, std::uint32_t& cookie) = 0;
    virtual HRESULT unadvise(std::uint32_t cookie) = 0;
};

} // namespace Kavrel
