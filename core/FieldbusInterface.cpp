#include "core/FieldbusInterface.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "commonbase/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "core/NodeGuardThread.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

namespace {

constexpr std::uint32_t dialogStyle = 5;

std::optional<std::uint32_t> settingNumber(const std::string& text)
{
    return commonbase::parseDecimal(commonbase::trim(text));
}

} // namespace

FieldbusInterface::FieldbusInterface(const std::string& protocolName_, bool networkScan_)
    : protocolName(protocolName_), networkScan(networkScan_ ? 1 : 0)
{
    commonbase::DbgInfo(0, __FILE__, cat("Constructor('", protocolName, "')"));
    Init();
}

void FieldbusInterface::Init()
{
    hardwareVersion = "version of FieldbusInterface hardware";
    devices.clear();
    for (std::uint16_t code = 0x401; code <= 0x40e; ++code)
        commonbase::ErrorHandler::instance().registerErrorCode(code);
    nodeGuardThread = std::make_unique<NodeGuardThread>(this, &nodeGuardLock);
    protocol = FieldbusProtocol::create(protocolName, networkScan != 0);
    if (!protocol)
        commonbase::DbgInfo(3, __FILE__, cat("no protocol '", protocolName, "'"));
    if (const auto& make = InterfaceDialogMakers::installed().range)
        rangeDialog = make(this);
    busOpen = 0;
    parametersConfirmed = 0;
    deviceAddress = 0;
    forceShowDialog = 0;
    interfaceIndex = -1;
    baudrateIndex = -1;
    interfaceFound = 0;
}

FieldbusInterface::~FieldbusInterface()
{
    commonbase::Dbg dbg(0, __FILE__, "Destructor");
    stopWorkers();
    {
        std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
        std::lock_guard<std::recursive_mutex> lock(devicesLock);
        // The bus goes with this interface: the devices' calls fail from now on.
        for (FieldbusDevice* device : devices)
            device->detachFromInterface(true);
        devices.clear();
        nodeGuardList.clear();
        for (auto& device : scanDevices)
            device->detachFromInterface(true);
    }
    scanDevices.clear();
    CommunicationManager::getInstance().removeFieldbusInterface(this);
    closeBus();
    nodeGuardThread.reset();
    scanProgressDialog.reset();
    rangeDialog.reset();
    parameterDialog.reset();
    protocol.reset();
    hardwareInterfaces.clear();
}

// ---------------------------------------------------------------------------
// Connecting devices

std::int32_t FieldbusInterface::initialize(std::uint32_t address)
{
    commonbase::Dbg dbg(0, __FILE__, cat("initialize('", address, "')"));
    std::int32_t result = errorFail;
    {
        std::lock_guard<std::recursive_mutex> lock(devicesLock);
        if (devices.empty() && busOpen)
            parametersConfirmed = 0;
    }
    if (address != 0)
        deviceAddress = address;
    if (parametersConfirmed == 0 || address == 0) {
        if (!(dontShowDialog != 0 && forceShowDialog != 1)) {
            const std::int32_t shown = parameterDialog ? parameterDialog->displayDialog(forceShowDialog, dialogStyle) : -1;
            if (shown != dialogResultOk)
                return shown == -1 ? errorDialogFailed : errorDialogCancelled;
        }
        if (interfaceIndex == -1) {
            result = errorNoHardware;
        } else {
            const std::uint32_t code = parameterDialog ? parameterDialog->getErrorCode() : 0;
            if (code == 0) {
                result = statusOk;
                if (networkScan)
                    deviceAddress = address;
            } else {
                result = static_cast<std::int32_t>(0x80040000u | code);
            }
        }
    }
    if (parametersConfirmed != 1) {
        if (parameterDialog)
            parameterDialog->setDisplayedFirstTime(1);
        if (result != statusOk)
            return result;
    }
    auto hardware = getChosenHardwareInterface();
    if (!hardware)
        return errorNoHardware;
    hardware->setBaudrate(commonbase::leadingDecimal(getBaudrateText()));
    if (protocol)
        protocol->setHardwareInterface(hardware);
    handOverParameters();
    return statusOk;
}

std::int32_t FieldbusInterface::createDevice(std::unique_ptr<FieldbusDevice>& device, std::uint32_t uniqueId)
{
    commonbase::Dbg dbg(0, __FILE__, cat("createDevice('", uniqueId, "')"));
    std::int32_t result = errorNothingRan;
    if (!protocol)
        return errorOpenFailed;
    // Checked before the bus is touched: an id the protocol cannot address
    // would otherwise wrap onto another drive's.
    if (!protocol->isAddressable(uniqueId != 0 ? uniqueId : deviceAddress)) {
        commonbase::DbgInfo(3, __FILE__, protocol->outOfBoundsText(uniqueId != 0 ? uniqueId : deviceAddress));
        return errorIdOutOfBounds;
    }
    if (uniqueId != 0)
        deviceAddress = uniqueId;
    // Opening the bus and adding the device are one critical section with
    // removing a device and closing the bus: a node-guard drop of the last
    // other device cannot close the bus under a connect that succeeds.
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    if (!busOpen) {
        if (commonbase::leadingDecimal(getBaudrateText()) == 0) {
            const std::int32_t position = protocol->detectBaudrate(deviceAddress);
            const auto& rates = protocol->getBaudrates();
            auto hardware = getChosenHardwareInterface();
            if (hardware && position >= 0 && static_cast<std::size_t>(position) < rates.size())
                hardware->setBaudrate(commonbase::leadingDecimal(rates[static_cast<std::size_t>(position)]));
        }
        if (protocol->openInterface(deviceAddress) == 1) {
            busOpen = 1;
            parametersConfirmed = 1;
            result = statusOk;
        } else {
            protocol->closeInterface();
            parametersConfirmed = 0;
            result = errorOpenFailed;
        }
    }
    if (busOpen) {
        if (findFieldbusDeviceUniqueId(deviceAddress)) {
            result = errorDuplicateId;
        } else {
            auto fresh = std::make_unique<FieldbusDevice>();
            fresh->setFieldbusProtocol(protocol);
            fresh->setFieldbusInterface(this);
            fresh->setUniqueId(deviceAddress);
            if (fresh->identify() == 1) {
                devices.push_back(fresh.get());
                device = std::move(fresh);
                result = statusOk;
            } else {
                commonbase::DbgInfo(2, __FILE__, cat("device ", deviceAddress, " did not identify: ",
                                                     fresh->getLastErrorString()));
                // Detached first, so its destructor does not touch this interface.
                fresh->setFieldbusInterface(nullptr);
                fresh.reset();
                device.reset();
                result = errorConnectFailed;
            }
        }
    }
    return result;
}

std::int32_t FieldbusInterface::prepareConnect(std::uint32_t uniqueId, std::unique_ptr<FieldbusDevice>& device)
{
    commonbase::Dbg dbg(0, __FILE__, cat("prepareConnect('", uniqueId, "')"));
    device.reset();
    std::int32_t result = initialize(uniqueId);
    if (result != statusOk)
        return result;
    result = createDevice(device, uniqueId);
    if (result != statusOk)
        return result;
    writeSettings();
    return statusOk;
}

void FieldbusInterface::finishConnect(FieldbusDevice* device)
{
    commonbase::Dbg dbg(0, __FILE__, "finishConnect");
    if (!device)
        return;
    device->setFieldbusProtocol(protocol);
    addFieldbusDevice(device);
    if (!guardOnConnect)
        return;
    const std::int32_t guarded = enableNodeGuard(device, 0);
    if (guarded != statusOk)
        commonbase::DbgInfo(1, __FILE__, cat("device ", device->getUniqueId(), " not guarded: 0x",
                                             commonbase::toHex(static_cast<std::uint32_t>(guarded), 8)));
}

void FieldbusInterface::abandonDevice(std::unique_ptr<FieldbusDevice> device)
{
    commonbase::Dbg dbg(0, __FILE__, "abandonDevice");
    if (device) {
        removeFieldbusDevice(device.get());
        device->setFieldbusInterface(nullptr);
        device.reset();
    }
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    if (devices.empty())
        closeBus();
}

std::int32_t FieldbusInterface::connectDevice(std::uint32_t uniqueId, std::unique_ptr<FieldbusDevice>& device)
{
    const std::int32_t result = prepareConnect(uniqueId, device);
    if (result == statusOk)
        finishConnect(device.get());
    return result;
}

void FieldbusInterface::addFieldbusDevice(FieldbusDevice* device)
{
    commonbase::DbgInfo(0, __FILE__, "addFieldbusDevice");
    if (!device)
        return;
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    // createDevice has listed it already when it made it.
    if (std::find(devices.begin(), devices.end(), device) == devices.end())
        devices.push_back(device);
}

void FieldbusInterface::removeFieldbusDevice(FieldbusDevice* device)
{
    commonbase::Dbg dbg(0, __FILE__, "removeFieldbusDevice");
    bool noneGuarded = false;
    {
        // Node-guard lock first: the worker holds it when it removes a silent device.
        std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
        std::lock_guard<std::recursive_mutex> lock(devicesLock);
        auto it = std::find(devices.begin(), devices.end(), device);
        if (it != devices.end())
            devices.erase(it);
        if (devices.empty())
            closeBus();
        removeNodeGuardDevice(device);
        noneGuarded = nodeGuardList.empty();
    }
    // The worker never joins itself; it ends on its own when stopped from outside.
    if (noneGuarded && nodeGuardThread && !nodeGuardThread->isWorkerThread() && nodeGuardThread->isRunning())
        nodeGuardThread->stop();
}

void FieldbusInterface::closeBus()
{
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    if (!busOpen)
        return;
    commonbase::DbgInfo(1, __FILE__, "closing the bus: no device left");
    if (protocol)
        protocol->closeInterface();
    busOpen = 0;
}

FieldbusDevice* FieldbusInterface::findFieldbusDeviceUniqueId(std::uint32_t id) const
{
    commonbase::DbgInfo(0, __FILE__, cat("findFieldbusDeviceUniqueId('ID:", id, "')"));
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    for (FieldbusDevice* device : devices)
        if (device->getUniqueId() == id)
            return device;
    return nullptr;
}

FieldbusDevice* FieldbusInterface::getFieldbusDevice(std::uint32_t index) const
{
    commonbase::DbgInfo(0, __FILE__, cat("getFieldbusDevice('index:", index, "')"));
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    return index < devices.size() ? devices[index] : nullptr;
}

std::uint32_t FieldbusInterface::getNumberOfFieldbusDevices() const
{
    commonbase::DbgInfo(0, __FILE__, "getNumberOfFieldbusDevices");
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    return static_cast<std::uint32_t>(devices.size());
}

std::vector<FieldbusDevice*> FieldbusInterface::getFieldbusDevices() const
{
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    return devices;
}

bool FieldbusInterface::hasFieldbusDevice(const FieldbusDevice* device) const
{
    std::lock_guard<std::recursive_mutex> lock(devicesLock);
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

std::string FieldbusInterface::getVersionString() const
{
    commonbase::DbgInfo(0, __FILE__, "getVersionString");
    return hardwareVersion;
}

// ---------------------------------------------------------------------------
// Hardware interfaces, baud rate, dialogs

std::uint32_t FieldbusInterface::getNumberOfInterfaceInfos() const
{
    return static_cast<std::uint32_t>(hardwareInterfaces.size());
}

std::vector<FieldbusInterfaceInfo> FieldbusInterface::getInterfaceInfos() const
{
    std::vector<FieldbusInterfaceInfo> infos;
    for (const auto& hardware : hardwareInterfaces)
        if (hardware)
            infos.emplace_back(*hardware);
    return infos;
}

std::int32_t FieldbusInterface::findInterfaceByNameToOpen(const std::string& nameToOpen) const
{
    for (std::size_t i = 0; i < hardwareInterfaces.size(); ++i)
        if (hardwareInterfaces[i] && hardwareInterfaces[i]->getNameToOpen() == nameToOpen)
            return static_cast<std::int32_t>(i);
    return -1;
}

std::shared_ptr<HardwareInterface> FieldbusInterface::getChosenHardwareInterface() const
{
    if (interfaceIndex < 0 || static_cast<std::size_t>(interfaceIndex) >= hardwareInterfaces.size())
        return nullptr;
    return hardwareInterfaces[static_cast<std::size_t>(interfaceIndex)];
}

void FieldbusInterface::setInterfaceIndex(std::int32_t index)
{
    commonbase::DbgInfo(0, __FILE__, cat("setInterfaceIndex('", index, "')"));
    if (index < -1 || index >= static_cast<std::int32_t>(hardwareInterfaces.size()))
        return;
    interfaceIndex = index;
    if (protocol && index >= 0)
        protocol->setHardwareInterface(hardwareInterfaces[static_cast<std::size_t>(index)]);
}

void FieldbusInterface::setBaudrateIndex(std::int32_t index)
{
    if (!protocol || index < -1 || index >= static_cast<std::int32_t>(protocol->getBaudrates().size()))
        return;
    baudrateIndex = index;
}

std::string FieldbusInterface::getBaudrateText() const
{
    if (!protocol || baudrateIndex < 0)
        return {};
    const auto& rates = protocol->getBaudrates();
    if (static_cast<std::size_t>(baudrateIndex) >= rates.size())
        return {};
    return rates[static_cast<std::size_t>(baudrateIndex)];
}

bool FieldbusInterface::setBaudrateText(const std::string& text)
{
    if (!protocol)
        return false;
    const auto& rates = protocol->getBaudrates();
    auto it = std::find(rates.begin(), rates.end(), text);
    if (it == rates.end())
        return false;
    baudrateIndex = static_cast<std::int32_t>(it - rates.begin());
    return true;
}

void FieldbusInterface::addHardwareInterfaces(HardwareInterfaceList list)
{
    for (auto& hardware : list) {
        if (!hardware)
            continue;
        commonbase::DbgInfo(0, __FILE__, cat("hardware interface '", hardware->getName(), "' id ", hardware->getNumber()));
        hardwareInterfaces.push_back(std::move(hardware));
    }
}

void FieldbusInterface::makeParameterDialog()
{
    if (const auto& make = InterfaceDialogMakers::installed().parameter)
        parameterDialog = make(protocolName, networkScan != 0, this);
}

std::string FieldbusInterface::getCommunicationParameters()
{
    commonbase::DbgInfo(0, __FILE__, "getCommunicationParameters");
    auto hardware = getChosenHardwareInterface();
    if (interfaceFound == 1 && hardware)
        return std::to_string(hardware->getBaudrate());
    return getBaudrateText();
}

std::int32_t FieldbusInterface::setCommunicationParameters()
{
    commonbase::Dbg dbg(0, __FILE__, "setCommunicationParameters");
    const std::int32_t shown = parameterDialog ? parameterDialog->displayDialog(1, dialogStyle) : -1;
    if (shown != dialogResultOk)
        return errorDialogCancelled;
    if (auto hardware = getChosenHardwareInterface())
        hardware->setBaudrate(commonbase::leadingDecimal(getBaudrateText()));
    return statusOk;
}

std::int32_t FieldbusInterface::editScanRange(std::string& text)
{
    commonbase::Dbg dbg(0, __FILE__, cat("editScanRange(", text, ")"));
    if (!rangeDialog)
        return errorDialogFailed;
    rangeDialog->setRangeText(text);
    if (rangeDialog->displayDialog(dialogStyle) != dialogResultOk)
        return errorDialogCancelled;
    text = rangeDialog->getRangeText();
    if (protocol)
        protocol->setScanRange(text);
    writeSettings();
    return statusOk;
}

std::string FieldbusInterface::getScanRange() const
{
    return protocol ? protocol->getScanRange() : std::string();
}

std::int32_t FieldbusInterface::setScanRange(const std::string& text)
{
    commonbase::DbgInfo(0, __FILE__, cat("setScanRange(", text, ")"));
    return protocol && protocol->setScanRange(text) == 1 ? statusOk : errorFail;
}

void FieldbusInterface::storeScanRange()
{
    commonbase::Dbg dbg(0, __FILE__, "storeScanRange");
    auto document = CommunicationManager::getInstance().getLastSettingsDocument();
    if (!document)
        return;
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    HeldDocument held(*this, document);
    writeSetting("ScanRange", getScanRange());
    saveSettings();
}

// ---------------------------------------------------------------------------
// Last settings

std::string FieldbusInterface::settingsKey(const std::string& name) const
{
    return CommunicationManager::getNetworkScanSettingsKey(protocolName, networkScan != 0) + name;
}

bool FieldbusInterface::readSetting(const std::string& name, std::string& value) const
{
    auto document = settingsDocument();
    if (!document)
        return false;
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    std::string text;
    if (!document->readValue(text, settingsKey(name), std::string()))
        return false;
    value = text;
    return true;
}

void FieldbusInterface::writeSetting(const std::string& name, const std::string& value)
{
    auto document = settingsDocument();
    if (!document)
        return;
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    if (!document->writeValue(settingsKey(name), std::string(), value))
        commonbase::DbgInfo(3, __FILE__, cat("could not set '", settingsKey(name), "' to '", value, "'"));
}

// While readSettings or writeSettings holds the document's lock, the keys use
// that document instead of asking the manager again: the manager locks itself
// and then a document when it opens one, so asking it here would nest the two
// locks the other way round.
std::shared_ptr<commonbase::XmlDom> FieldbusInterface::settingsDocument() const
{
    if (heldDocument)
        return heldDocument;
    return CommunicationManager::getInstance().getLastSettingsDocument();
}

void FieldbusInterface::saveSettings()
{
    auto document = settingsDocument();
    if (!document)
        return;
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    if (!document->updateFile())
        commonbase::DbgInfo(3, __FILE__, cat("the last settings could not be saved to '",
                                             document->getFileName().toUtf8(), "'"));
}

void FieldbusInterface::readSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "readSettings");
    // The defaults hold even when there is no settings document.
    if (protocol) {
        setBaudrateText(protocol->getDefaultBaudrate());
        deviceAddress = protocol->getDefaultDeviceAddress();
        protocol->setScanRange(cat(protocol->getScanMinimum(), "-", protocol->getScanMaximum()));
    }
    interfaceFound = 0;
    interfaceIndex = hardwareInterfaces.empty() ? -1 : 0;
    nodeGuardEnabled = 1;
    nodeGuardInterval = 5000;
    dontShowDialog = 0;

    auto document = CommunicationManager::getInstance().getLastSettingsDocument();
    if (!document)
        return;
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    HeldDocument held(*this, document);
    std::string text;
    if (readSetting("Baudrate", text) && !setBaudrateText(commonbase::trim(text)))
        commonbase::DbgInfo(2, __FILE__, cat("stored baud rate '", text, "' not offered; keeping ", getBaudrateText()));
    if (readSetting("InterfaceID", text)) {
        if (auto id = settingNumber(text)) {
            for (std::size_t i = 0; i < hardwareInterfaces.size(); ++i) {
                if (hardwareInterfaces[i] && hardwareInterfaces[i]->getNumber() == *id) {
                    interfaceIndex = static_cast<std::int32_t>(i);
                    interfaceFound = 1;
                    if (protocol)
                        protocol->setHardwareInterface(hardwareInterfaces[i]);
                    break;
                }
            }
        }
        if (interfaceFound == 0)
            commonbase::DbgInfo(2, __FILE__, cat("stored interface id '", text, "' is not present"));
    }
    if (readSetting("DeviceAddress", text) && protocol) {
        auto address = settingNumber(text);
        if (address && *address >= protocol->getScanMinimum() && *address <= protocol->getScanMaximum())
            deviceAddress = *address;
        else
            commonbase::DbgInfo(2, __FILE__, cat("stored device address '", text, "' out of range"));
    }
    if (readSetting("NodeGuard/Enabled", text))
        if (auto flag = settingNumber(text))
            nodeGuardEnabled = *flag;
    if (readSetting("NodeGuard/Interval", text))
        if (auto seconds = settingNumber(text); seconds && *seconds <= 2147483u)
            nodeGuardInterval = static_cast<std::int32_t>(*seconds * 1000u);
    if (readSetting("DontShow", text))
        if (auto flag = settingNumber(text))
            dontShowDialog = *flag;
    if (readSetting("ScanRange", text) && protocol && protocol->setScanRange(commonbase::trim(text)) != 1)
        commonbase::DbgInfo(2, __FILE__, cat("stored scan range '", text, "' not valid"));
}

void FieldbusInterface::writeBaseSettings()
{
    if (auto hardware = getChosenHardwareInterface())
        writeSetting("InterfaceID", std::to_string(hardware->getNumber()));
    if (networkScan == 0) {
        writeSetting("DeviceAddress", std::to_string(deviceAddress));
        writeSetting("NodeGuard/Interval", std::to_string(nodeGuardInterval / 1000));
        writeSetting("NodeGuard/Enabled", std::to_string(nodeGuardEnabled));
        writeSetting("DontShow", std::to_string(dontShowDialog));
    } else {
        writeSetting("ScanRange", getScanRange());
    }
}

void FieldbusInterface::writeSettings()
{
    commonbase::Dbg dbg(0, __FILE__, "writeSettings");
    writeSettingsWith([] {});
}

void FieldbusInterface::writeSettingsWith(const std::function<void()>& writeOwnKeys)
{
    auto document = CommunicationManager::getInstance().getLastSettingsDocument();
    if (!document)
        return;
    // One lock across all keys and the save, so another interface's write
    // cannot land between them.
    std::lock_guard<std::recursive_mutex> lock(document->getMutex());
    HeldDocument held(*this, document);
    writeBaseSettings();
    writeOwnKeys();
    saveSettings();
}

// ---------------------------------------------------------------------------
// Node guarding

std::int32_t FieldbusInterface::enableNodeGuard(FieldbusDevice* device, std::uint32_t intervalMs)
{
    commonbase::Dbg dbg(0, __FILE__, cat("enableNodeGuard ID:", device ? device->getUniqueId() : 0));
    if (nodeGuardEnabled != 1)
        return errorNodeGuardOff;
    std::int32_t result = statusOk;
    {
        std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
        if (!device || !hasFieldbusDevice(device))
            return errorNotConnectedHere;
        if (isNodeGuarded(device))
            return errorAlreadyGuarded;
        nodeGuardList.push_back(device);
        const std::uint32_t interval = intervalMs != 0 ? intervalMs : static_cast<std::uint32_t>(nodeGuardInterval);
        if (device->setNodeGuardInterval(interval) != 1)
            result = errorFail;
        device->calcNodeGuardNextTelegram();
    }
    // Started outside the lock: start may wait for an ending worker that wants it.
    nodeGuardThread->start();
    return result;
}

std::int32_t FieldbusInterface::disableNodeGuard(FieldbusDevice* device)
{
    commonbase::Dbg dbg(0, __FILE__, cat("disableNodeGuard ID:", device ? device->getUniqueId() : 0));
    if (!device)
        return statusOk;
    device->setNodeGuardInterval(0);
    removeNodeGuardDevice(device);
    bool empty = false;
    {
        std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
        empty = nodeGuardList.empty();
    }
    if (empty)
        nodeGuardThread->stop();
    return statusOk;
}

void FieldbusInterface::removeNodeGuardDevice(FieldbusDevice* device)
{
    commonbase::DbgInfo(0, __FILE__, "removeNodeGuardDevice");
    std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
    auto it = std::find(nodeGuardList.begin(), nodeGuardList.end(), device);
    if (it != nodeGuardList.end())
        nodeGuardList.erase(it);
}

void FieldbusInterface::nodeGuardTimeout(FieldbusDevice* device)
{
    commonbase::Dbg dbg(0, __FILE__, "nodeGuardTimeout");
    if (!device)
        return;
    const std::uint32_t id = device->getUniqueId();
    commonbase::DbgInfo(2, __FILE__, cat("device ", id, " stopped answering"));
    removeFieldbusDevice(device);
    // Out of the lists, so no longer ours: the device may outlive this interface.
    device->detachFromInterface(false);
    postToTwin(msgNodeGuardTimeout, static_cast<std::int32_t>(id), 0);
}

std::vector<FieldbusDevice*> FieldbusInterface::getNodeGuardList() const
{
    std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
    return nodeGuardList;
}

std::vector<FieldbusDevice*>::iterator FieldbusInterface::getNodeGuardListBegin()
{
    commonbase::DbgInfo(0, __FILE__, "getNodeGuardListBegin");
    return nodeGuardList.begin();
}

std::vector<FieldbusDevice*>::iterator FieldbusInterface::getNodeGuardListEnd()
{
    commonbase::DbgInfo(0, __FILE__, "getNodeGuardListEnd");
    return nodeGuardList.end();
}

bool FieldbusInterface::isNodeGuarded(const FieldbusDevice* device) const
{
    std::lock_guard<std::recursive_mutex> guard(nodeGuardLock);
    return std::find(nodeGuardList.begin(), nodeGuardList.end(), device) != nodeGuardList.end();
}

// ---------------------------------------------------------------------------
// The twin's window

void FieldbusInterface::setMessageWindow(std::weak_ptr<commonbase::MessageWindow> window)
{
    std::lock_guard<std::mutex> lock(windowLock);
    messageWindow = std::move(window);
}

std::weak_ptr<commonbase::MessageWindow> FieldbusInterface::getMessageWindow() const
{
    std::lock_guard<std::mutex> lock(windowLock);
    return messageWindow;
}

void FieldbusInterface::postToTwin(std::uint32_t message, std::int32_t first, std::int32_t second)
{
    auto window = getMessageWindow();
    if (window.expired()) {
        commonbase::DbgInfo(1, __FILE__, cat("no window for message 0x", commonbase::toHex(message, 3)));
        return;
    }
    commonbase::HostEventLoop::instance().post(window, message, first, second);
}

} // namespace Kavrel
