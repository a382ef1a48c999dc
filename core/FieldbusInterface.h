#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "commonbase/RelatedComInterface.h"
#include "core/FieldbusInterfaceInfo.h"
#include "core/InterfaceDialogs.h"
#include "hardware/GenericParameters.h"
#include "hardware/HardwareInterface.h"

namespace commonbase {
class XmlDom;
}

namespace commonbase {
class MessageWindow;
}

namespace Kavrel {

class SerialFrameFormat;

class CFieldbusInterface;
class FieldbusDevice;
class FieldbusProtocol;
class NodeGuardThread;

// One bus connection as the host sees it. Status codes are HRESULT-like:
// 0 success, 0x8004xxxx failure.
class FieldbusInterface : public commonbase::RelatedComInterface<CFieldbusInterface> {
public:
    // Message numbers posted to the automation twin.
    static constexpr std::uint32_t msgNodeGuardTimeout = 0x465;
    static constexpr std::uint32_t msgNetworkScanStepped = 0x466;
    static constexpr std::uint32_t msgNetworkScanFinished = 0x467;

    // Status codes of this class.
    static constexpr std::int32_t statusOk = 0;
    static constexpr std::int32_t errorNothingRan = static_cast<std::int32_t>(0x80040401u);
    static constexpr std::int32_t errorConnectFailed = static_cast<std::int32_t>(0x80040402u);
    static constexpr std::int32_t errorDialogCancelled = static_cast<std::int32_t>(0x80040403u);
    static constexpr std::int32_t errorOpenFailed = static_cast<std::int32_t>(0x80040404u);
    static constexpr std::int32_t errorNoHardware = static_cast<std::int32_t>(0x80040405u);
    static constexpr std::int32_t errorAlreadyGuarded = static_cast<std::int32_t>(0x80040406u);
    static constexpr std::int32_t errorNotConnectedHere = static_cast<std::int32_t>(0x80040407u);
    static constexpr std::int32_t errorDuplicateId = static_cast<std::int32_t>(0x80040408u);
    static constexpr std::int32_t errorNodeGuardOff = static_cast<std::int32_t>(0x80040409u);
    static constexpr std::int32_t errorDialogFailed = static_cast<std::int32_t>(0x8004040au);
    static constexpr std::int32_t errorScanRunning = static_cast<std::int32_t>(0x8004040bu);
    static constexpr std::int32_t errorNoScanWorker = static_cast<std::int32_t>(0x8004040cu);
    static constexpr std::int32_t errorNoProgressDialog = static_cast<std::int32_t>(0x8004040du);
    // The id is outside what the protocol can address (its scan and flash bounds).
    static constexpr std::int32_t errorIdOutOfBounds = static_cast<std::int32_t>(0x8004040eu);
    static constexpr std::int32_t errorFail = static_cast<std::int32_t>(0x80004005u);

    // How a network scan connects one id; true when a drive answered and is now
    // connected. The automation twin installs one that runs its own
    // connectDeviceWithId, so each drive found gets its twin. Without one the scan
    // uses connectDevice and this interface keeps the devices it made.
    // Calls run on the scan worker under a lock that setScanConnector also takes,
    // so removing a connector waits for the call in progress. Any interface that
    // goes stops the scan and waits for it (stopWorkers), so a connector may hold
    // its twin by plain pointer as long as the twin destroys this interface before
    // what the connector uses. It must not release the twin's last reference.
    using ScanConnector = std::function<bool(std::uint32_t uniqueId)>;

    FieldbusInterface(const std::string& protocolName, bool networkScan);
    ~FieldbusInterface() override;
    FieldbusInterface(const FieldbusInterface&) = delete;
    FieldbusInterface& operator=(const FieldbusInterface&) = delete;

    // Stops the node-guard worker and the process's scan worker and waits for
    // them. Every subclass destructor calls it first, while the whole object is
    // still there for the workers; the base destructor calls it again.
    void stopWorkers();

    virtual std::int32_t initialize(std::uint32_t deviceAddress);
    virtual std::int32_t createDevice(std::unique_ptr<FieldbusDevice>& device, std::uint32_t uniqueId);
    virtual void removeFieldbusDevice(FieldbusDevice* device);
    virtual std::int32_t enableNodeGuard(FieldbusDevice* device, std::uint32_t intervalMs);
    virtual std::int32_t disableNodeGuard(FieldbusDevice* device);
    virtual std::string getCommunicationParameters();
    virtual std::int32_t editScanRange(std::string& text);
    virtual std::uint32_t getInterfaceFound() const { return interfaceFound; }
    virtual void readSettings();
    virtual void writeSettings();
    // The character format of a serial bus; none on other buses.
    virtual SerialFrameFormat* getSerialFrameFormat() { return nullptr; }

    // The core half of connecting a device: initialize, createDevice and
    // writeSettings. The caller makes the twin, then calls finishConnect.
    std::int32_t prepareConnect(std::uint32_t uniqueId, std::unique_ptr<FieldbusDevice>& device);
    void finishConnect(FieldbusDevice* device);
    // Destroys a device that never got its twin; closes the bus when no device is left.
    void abandonDevice(std::unique_ptr<FieldbusDevice> device);
    // The whole sequence for callers without an automation twin.
    std::int32_t connectDevice(std::uint32_t uniqueId, std::unique_ptr<FieldbusDevice>& device);

    void addFieldbusDevice(FieldbusDevice* device);
    FieldbusDevice* findFieldbusDeviceUniqueId(std::uint32_t id) const;
    FieldbusDevice* getFieldbusDevice(std::uint32_t index) const;
    std::uint32_t getNumberOfFieldbusDevices() const;
    std::vector<FieldbusDevice*> getFieldbusDevices() const;
    bool hasFieldbusDevice(const FieldbusDevice* device) const;
    std::shared_ptr<FieldbusProtocol> getFieldbusProtocol() const { return protocol; }
    std::string getVersionString() const;
    const std::string& getProtocolName() const { return protocolName; }
    bool isNetworkScan() const { return networkScan != 0; }

    // Hardware interfaces and the choice among them.
    std::uint32_t getNumberOfInterfaceInfos() const;
    std::vector<FieldbusInterfaceInfo> getInterfaceInfos() const;
    // Index of the hardware interface opened under that name, or -1.
    std::int32_t findInterfaceByNameToOpen(const std::string& nameToOpen) const;
    const HardwareInterfaceList& getHardwareInterfaces() const { return hardwareInterfaces; }
    std::shared_ptr<HardwareInterface> getChosenHardwareInterface() const;
    std::int32_t getInterfaceIndex() const { return interfaceIndex; }
    void setInterfaceIndex(std::int32_t index);
    std::int32_t getBaudrateIndex() const { return baudrateIndex; }
    void setBaudrateIndex(std::int32_t index);
    std::string getBaudrateText() const;
    // Chooses the baud rate by its text; false when the protocol does not offer it.
    bool setBaudrateText(const std::string& text);
    std::uint32_t getDeviceAddress() const { return deviceAddress; }
    void setDeviceAddress(std::uint32_t address) { deviceAddress = address; }

    // Settings that the dialogs show and store.
    std::uint32_t getNodeGuardEnabled() const { return nodeGuardEnabled; }
    void setNodeGuardEnabled(std::uint32_t flag) { nodeGuardEnabled = flag; }
    std::int32_t getNodeGuardInterval() const { return nodeGuardInterval; }
    void setNodeGuardInterval(std::int32_t ms) { nodeGuardInterval = ms; }
    // Whether a connect puts the device under node guarding (which writes the
    // interval to the drive). Not stored: a caller that must leave the drive
    // untouched switches it off for its own session only.
    bool getGuardOnConnect() const { return guardOnConnect; }
    void setGuardOnConnect(bool flag) { guardOnConnect = flag; }
    std::uint32_t getDontShowDialog() const { return dontShowDialog; }
    void setDontShowDialog(std::uint32_t flag) { dontShowDialog = flag; }
    std::uint32_t getForceShowDialog() const { return forceShowDialog; }
    void setForceShowDialog(std::uint32_t flag) { forceShowDialog = flag; }
    std::uint32_t getParametersConfirmed() const { return parametersConfirmed; }
    std::uint32_t isBusOpen() const { return busOpen; }
    InterfaceParameterDialog* getParameterDialog() const { return parameterDialog.get(); }
    InterfaceRangeDialog* getRangeDialog() const { return rangeDialog.get(); }
    std::int32_t setCommunicationParameters();

    // Scan range.
    std::string getScanRange() const;
    std::int32_t setScanRange(const std::string& text);
    // Writes the current scan range to the last settings, so the next interface starts with it.
    void storeScanRange();

    // Network scan.
    std::int32_t startNetworkScan();
    std::int32_t stopNetworkScan();
    std::int32_t startNetworkScanWithDialog();
    void networkScanStepped(std::uint32_t deviceNumber, std::uint32_t success);
    void networkScanFinished();
    void addScanObserver(const std::shared_ptr<commonbase::MessageWindow>& observer);
    void removeScanObserver(const commonbase::MessageWindow* observer);
    std::mutex& getScanLock() { return scanLock; }
    void setScanConnector(ScanConnector connector);
    // Called by the scan worker for each id of the range.
    bool scanConnect(std::uint32_t uniqueId);

    // Node guarding.
    void nodeGuardTimeout(FieldbusDevice* device);
    void removeNodeGuardDevice(FieldbusDevice* device);
    std::vector<FieldbusDevice*> getNodeGuardList() const;
    std::vector<FieldbusDevice*>::iterator getNodeGuardListBegin();
    std::vector<FieldbusDevice*>::iterator getNodeGuardListEnd();
    bool isNodeGuarded(const FieldbusDevice* device) const;
    std::recursive_mutex& getNodeGuardLock() { return nodeGuardLock; }

    // The automation twin's message window (the hidden window of the twin).
    void setMessageWindow(std::weak_ptr<commonbase::MessageWindow> window);
    std::weak_ptr<commonbase::MessageWindow> getMessageWindow() const;
    // Posts a message to the twin's window (dropped when it is gone).
    void postToTwin(std::uint32_t message, std::int32_t first, std::int32_t second);

protected:
    // Hand-over of the communication parameters to the chosen hardware interface.
    virtual void handOverParameters() = 0;
    std::string settingsKey(const std::string& name) const;
    bool readSetting(const std::string& name, std::string& value) const;
    void writeSetting(const std::string& name, const std::string& value);
    // The base keys without saving; writeSettings adds the save.
    void writeBaseSettings();
    // The base keys, then the subclass's own keys, then the save, under the document's lock.
    void writeSettingsWith(const std::function<void()>& writeOwnKeys);
    void saveSettings();
    std::shared_ptr<commonbase::XmlDom> settingsDocument() const;
    // Marks the document whose lock readSettings or writeSettings holds.
    struct HeldDocument {
        HeldDocument(FieldbusInterface& owner_, std::shared_ptr<commonbase::XmlDom> document)
            : owner(owner_), previous(std::move(owner_.heldDocument))
        {
            owner.heldDocument = std::move(document);
        }
        ~HeldDocument() { owner.heldDocument = std::move(previous); }
        FieldbusInterface& owner;
        std::shared_ptr<commonbase::XmlDom> previous;
    };
    std::shared_ptr<commonbase::XmlDom> heldDocument;
    void closeBus();
    void addHardwareInterfaces(HardwareInterfaceList list);
    void makeParameterDialog();

    std::uint32_t nodeGuardEnabled = 1;
    std::int32_t nodeGuardInterval = 5000;
    std::string hardwareVersion;
    std::uint32_t busOpen = 0;
    std::uint32_t parametersConfirmed = 0;
    std::uint32_t dontShowDialog = 0;
    bool guardOnConnect = true;
    std::shared_ptr<FieldbusProtocol> protocol;
    std::unique_ptr<InterfaceParameterDialog> parameterDialog;
    std::unique_ptr<InterfaceRangeDialog> rangeDialog;
    std::uint32_t forceShowDialog = 0;
    std::vector<FieldbusDevice*> devices;
    std::string protocolName;
    std::uint32_t deviceAddress = 0;
    HardwareInterfaceList hardwareInterfaces;
    std::uint32_t networkScan = 0;
    std::uint32_t interfaceFound = 0;
    std::int32_t interfaceIndex = -1;
    std::int32_t baudrateIndex = -1;
    std::unique_ptr<NodeGuardThread> nodeGuardThread;
    std::vector<FieldbusDevice*> nodeGuardList;
    mutable std::recursive_mutex nodeGuardLock;
    mutable std::recursive_mutex devicesLock;
    std::mutex scanLock;
    std::vector<std::weak_ptr<commonbase::MessageWindow>> scanObservers;
    std::shared_ptr<InterfaceScanDialog> scanProgressDialog;
    std::mutex scanConnectorLock;
    ScanConnector scanConnector;
    std::vector<std::unique_ptr<FieldbusDevice>> scanDevices; // made by a scan without a connector
    std::weak_ptr<commonbase::MessageWindow> messageWindow;
    mutable std::mutex windowLock;

private:
    void Init();
};

} // namespace Kavrel
