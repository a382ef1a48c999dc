#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "automation/HResult.h"

namespace Kavrel {

class IFieldbusDevice;
class IFieldbusDeviceList;
class IFieldbusInterfaceEvent;
class IInterfaceInfo;

// One bus connection as the host sees it.
class IFieldbusInterface {
public:
    virtual ~IFieldbusInterface() = default;
    virtual HRESULT get_versionstring(std::string& value) = 0;
    virtual HRESULT connectDevice(std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT connectDeviceWithId(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT get_numberOfFieldbusDevices(std::int32_t& count) = 0;
    virtual HRESULT enableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t interval) = 0;
    virtual HRESULT disableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT get_forceShowDialog(std::int32_t& value) = 0;
    virtual HRESULT put_forceShowDialog(std::int32_t value) = 0;
    virtual HRESULT get_interfaceInfo(std::shared_ptr<IInterfaceInfo>& info) = 0;
    virtual HRESULT setCommunicationParameters() = 0;
    virtual HRESULT get_nodeGuardStatus(std::int32_t& value) = 0;
    virtual HRESULT get_communicationParameters(std::string& value) = 0;
    virtual HRESULT put_dontShowDialog(std::int32_t value) = 0;
    virtual HRESULT startNetworkScan() = 0;
    virtual HRESULT stopNetworkScan() = 0;
    virtual HRESULT editScanRange(std::string& range) = 0;
    virtual HRESULT get_scanRange(std::string& range) = 0;
    virtual HRESULT put_scanRange(const std::string& range) = 0;
    virtual HRESULT startNetworkScanWithDialog() = 0;
    virtual HRESULT get_fieldbusDevice(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT get_fieldbusDeviceByIndex(std::int32_t index, std::shared_ptr<IFieldbusDevice>& device) = 0;
    virtual HRESULT checkLastSettings() = 0;
    virtual HRESULT get_DeviceList(const std::string& range, std::shared_ptr<IFieldbusDeviceList>& list) = 0;
    virtual HRESULT get_RangeIds(const std::string& range, std::vector<std::int32_t>& ids) = 0;
    virtual HRESULT get_FlashRangeIds(const std::string& range, std::vector<std::int32_t>& ids) = 0;
    // A snapshot of the connected devices, in order of connection.
    virtual HRESULT get__NewEnum(std::vector<std::shared_ptr<IFieldbusDevice>>& devices) = 0;

    // Event sinks, fired in the order they were advised.
    virtual HRESULT advise(const std::shared_ptr<IFieldbusInterfaceEvent>& sink, std::uint32_t& cookie) = 0;
    virtual HRESULT unadvise(std::uint32_t cookie) = 0;
};

} // namespace Kavrel
