#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "automation/IFieldbusDeviceList.h"

namespace Kavrel {

class IFieldbusInterface;

// A snapshot of the identifiers a range text names; devices are connected on request.
class CFieldbusDeviceList : public IFieldbusDeviceList {
public:
    CFieldbusDeviceList(std::vector<std::uint32_t> ids, std::string range, std::shared_ptr<IFieldbusInterface> owner);
    HRESULT get_DeviceWithID(std::int32_t id, std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT get_DeviceAtNumber(std::int32_t number, std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT get_NumberOfDevices(std::int32_t& count) override;
    HRESULT get_Range(std::string& range) override;

private:
    std::vector<std::uint32_t> ids;
    std::string range;
    std::shared_ptr<IFieldbusInterface> owner;
};

} // namespace Kavrel
