#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

class IFieldbusDevice;

// The identifiers a range text names, with the interface that made the list.
class IFieldbusDeviceList {
public:
    virtual ~IFieldbusDeviceList() = default;
    virtual HRESULT get_DeviceWithID(std::int32_t id, std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT get_DeviceAtNumber(std::int32_t number, std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT get_NumberOfDevices(std::int32_t& count) = 0;
    virtual HRESULT get_Range(std::string& range) = 0;
};

} // namespace Kavrel
