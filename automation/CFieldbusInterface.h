#pragma once
#include <memory>
#include <mutex>
#include <vector>
#include "automation/ConnectionPoint.h"
#include "automation/IFieldbusInterface.h"
#include "automation/IFieldbusInterfaceEvent.h"
#include "commonbase/MessageWindow.h"

namespace Kavrel {

class CFieldbusDevice;
class FieldbusDevice;
class FieldbusInterface;

// The automation twin of an interface: owns the core interface, forwards to it
// and fires its node-guard and scan events on the host's thread. Devices a scan
// connected are held here until the host releases the interface (or the device
// times out). Releasing the last reference stops the interface's workers.
class CFieldbusInterface : public IFieldbusInterface,
                           public commonbase::MessageWindow,
                           public std::enable_shared_from_this<CFieldbusInterface> {
public:
    static std::shared_ptr<CFieldbusInterface> create(std::unique_ptr<FieldbusInterface> core);
    ~CFieldbusInterface() override;
    CFieldbusInterface(const CFieldbusInterface&) = delete;
    CFieldbusInterface& operator=(const CFieldbusInterface&) = delete;

    FieldbusInterface* getFieldbusInterface() const { return core.get(); }
    // The scan's way in: connects on the scan worker and keeps the device.
    HRESULT connectForScan(std::uint32_t uniqueId);
    std::size_t numberOfScannedDevices() const;

    HRESULT get_versionstring(std::string& value) override;
    HRESULT connectDevice(std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT connectDeviceWithId(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT get_numberOfFieldbusDevices(std::int32_t& count) override;
    HRESULT enableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t interval) override;
    HRESULT disableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT get_forceShowDialog(std::int32_t& value) override;
    HRESULT put_forceShowDialog(std::int32_t value) override;
    HRESULT get_interfaceInfo(std::shared_ptr<IInterfaceInfo>& info) override;
    HRESULT setCommunicationParameters() override;
    HRESULT get_nodeGuardStatus(std::int32_t& value) override;
    HRESULT get_communicationParameters(std::string& value) override;
    HRESULT put_dontShowDialog(std::int32_t value) override;
    HRESULT startNetworkScan() override;
    HRESULT stopNetworkScan() override;
    HRESULT editScanRange(std::string& range) override;
    HRESULT get_scanRange(std::string& range) override;
    HRESULT put_scanRange(const std::string& range) override;
    HRESULT startNetworkScanWithDialog() override;
    HRESULT get_fieldbusDevice(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT get_fieldbusDeviceByIndex(std::int32_t index, std::shared_ptr<IFieldbusDevice>& device) override;
    HRESULT checkLastSettings() override;
    HRESULT get_DeviceList(const std::string& range, std::shared_ptr<IFieldbusDeviceList>& list) override;
    HRESULT get_RangeIds(const std::string& range, std::vector<std::int32_t>& ids) override;
    HRESULT get_FlashRangeIds(const std::string& range, std::vector<std::int32_t>& ids) override;
    HRESULT get__NewEnum(std::vector<std::shared_ptr<IFieldbusDevice>>& devices) override;
    HRESULT advise(const std::shared_ptr<IFieldbusInterfaceEvent>& sink, std::uint32_t& cookie) override;
    HRESULT unadvise(std::uint32_t cookie) override;

    // The hidden window: node-guard and scan notices, delivered on the host's thread.
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override;

    static constexpr std::uint32_t msgSetCursor = 32;
    static constexpr HRESULT errorConnect = kavrelError(0x303);
    static constexpr HRESULT errorNoSuchDevice = kavrelError(0x304);

private:
    CFieldbusInterface();
    HRESULT connect(std::uint32_t uniqueId, std::shared_ptr<CFieldbusDevice>& device);
    HRESULT expandRange(const std::string& range, std::vector<std::uint32_t>& ids);
    // The twin of a core device, or none.
    static std::shared_ptr<IFieldbusDevice> twinOf(FieldbusDevice* coreDevice);
    void releaseTimedOutDevices();

    std::unique_ptr<FieldbusInterface> core;          // goes last
    mutable std::mutex scannedMutex;
    std::vector<std::shared_ptr<CFieldbusDevice>> scannedDevices;
    ConnectionPoint<IFieldbusInterfaceEvent> events;
};

} // namespace Kavrel
