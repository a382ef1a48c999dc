#include "automation/CFieldbusInterface.h"

#include <algorithm>
#include <utility>

#include "automation/CFieldbusDevice.h"
#include "automation/CFieldbusDeviceList.h"
#include "automation/CInterfaceInfo.h"
#include "automation/ErrorInfo.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusDevice.h"
#include "core/FieldbusInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

namespace {
constexpr const char* component = "FieldbusInterfaceInterface";
constexpr const char* source = "IFieldbusInterface";
HRESULT done(HRESULT hr) { return ErrorInfo::update(hr, source); }
// A failure whose own text says more than the registry's (which bounds, which range).
HRESULT refused(HRESULT hr, const std::string& text) { return ErrorInfo::set(hr, text, source); }
void enter(const std::string& text) { commonbase::DbgInfo(0, component, text); }
} // namespace

CFieldbusInterface::CFieldbusInterface()
{
    commonbase::DbgInfo(0, component, "FinalConstruct");
    for (std::uint16_t code = 0x301; code <= 0x304; ++code)
        commonbase::ErrorHandler::instance().registerErrorCode(code);
}

std::shared_ptr<CFieldbusInterface> CFieldbusInterface::create(std::unique_ptr<FieldbusInterface> fieldbusInterface)
{
    if (!fieldbusInterface)
        return nullptr;
    std::shared_ptr<CFieldbusInterface> twin(new CFieldbusInterface);
    twin->core = std::move(fieldbusInterface);
    twin->core->setRelatedComInterface(twin);
    twin->core->setMessageWindow(std::weak_ptr<commonbase::MessageWindow>(twin));
    // Scanned ids connect through this twin; the destructor stops the scan before anything here goes.
    CFieldbusInterface* self = twin.get();
    twin->core->setScanConnector([self](std::uint32_t id) { return SUCCEEDED(self->connectForScan(id)); });
    return twin;
}

CFieldbusInterface::~CFieldbusInterface()
{
    commonbase::Dbg dbg(0, component, "FinalRelease");
    if (!core)
        return;
    // The scan worker may be connecting through this object: end it while
    // everything here is still whole.
    core->stopWorkers();
    core->clearRelatedComInterface();
    std::vector<std::shared_ptr<CFieldbusDevice>> held;
    {
        std::lock_guard<std::mutex> lock(scannedMutex);
        held.swap(scannedDevices);
    }
    // Devices the host does not hold leave the interface before it goes.
    held.clear();
    core.reset();
}

std::shared_ptr<IFieldbusDevice> CFieldbusInterface::twinOf(FieldbusDevice* coreDevice)
{
    if (!coreDevice)
        return nullptr;
    return coreDevice->getRelatedComInterface();
}

// ---------------------------------------------------------------------------
// Connecting

HRESULT CFieldbusInterface::connect(std::uint32_t uniqueId, std::shared_ptr<CFieldbusDevice>& device)
{
    std::unique_ptr<FieldbusDevice> fresh;
    const HRESULT hr = core->prepareConnect(uniqueId, fresh);
    if (hr == FieldbusInterface::errorIdOutOfBounds) {
        auto protocol = core->getFieldbusProtocol();
        return refused(hr, protocol->outOfBoundsText(uniqueId != 0 ? uniqueId : core->getDeviceAddress()));
    }
    if (FAILED(hr))
        return done(hr);
    if (!fresh)
        return FieldbusInterface::errorNothingRan;
    std::shared_ptr<CFieldbusDevice> twin;
    try {
        twin = CFieldbusDevice::create(fresh);
    } catch (const std::bad_alloc&) {
        twin.reset();
    }
    if (!twin) {
        core->abandonDevice(std::move(fresh));
        return done(errorConnect);
    }
    core->finishConnect(twin->getFieldbusDevice());
    device = std::move(twin);
    return done(S_OK);
}

HRESULT CFieldbusInterface::connectDevice(std::shared_ptr<IFieldbusDevice>& device)
{
    enter("connectDevice");
    std::shared_ptr<CFieldbusDevice> twin;
    const HRESULT hr = connect(0, twin);
    if (SUCCEEDED(hr))
        device = twin;
    return hr;
}

HRESULT CFieldbusInterface::connectDeviceWithId(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device)
{
    enter(cat("connectDeviceWithId(", uniqueId, ")"));
    if (uniqueId < 0) {
        auto protocol = core->getFieldbusProtocol();
        return protocol ? refused(FieldbusInterface::errorIdOutOfBounds,
                                  cat("id ", uniqueId, " is outside ", protocol->addressBoundsText(), " for ",
                                      protocol->getProtocolName()))
                        : done(E_INVALIDARG);
    }
    std::shared_ptr<CFieldbusDevice> twin;
    const HRESULT hr = connect(static_cast<std::uint32_t>(uniqueId), twin);
    if (SUCCEEDED(hr))
        device = twin;
    return hr;
}

HRESULT CFieldbusInterface::connectForScan(std::uint32_t uniqueId)
{
    enter(cat("connectForScan(", uniqueId, ")"));
    std::shared_ptr<CFieldbusDevice> twin;
    const HRESULT hr = connect(uniqueId, twin);
    if (SUCCEEDED(hr)) {
        std::lock_guard<std::mutex> lock(scannedMutex);
        scannedDevices.push_back(std::move(twin));
    }
    return hr;
}

std::size_t CFieldbusInterface::numberOfScannedDevices() const
{
    std::lock_guard<std::mutex> lock(scannedMutex);
    return scannedDevices.size();
}

void CFieldbusInterface::releaseTimedOutDevices()
{
    std::vector<std::shared_ptr<CFieldbusDevice>> gone;
    {
        std::lock_guard<std::mutex> lock(scannedMutex);
        auto keep = std::stable_partition(scannedDevices.begin(), scannedDevices.end(), [&](const auto& device) {
            return core->hasFieldbusDevice(device->getFieldbusDevice());
        });
        gone.assign(std::make_move_iterator(keep), std::make_move_iterator(scannedDevices.end()));
        scannedDevices.erase(keep, scannedDevices.end());
    }
    // Released outside the lock: a device going away takes the interface's locks.
}

// ---------------------------------------------------------------------------
// Devices

HRESULT CFieldbusInterface::get_numberOfFieldbusDevices(std::int32_t& count)
{
    enter("get_numberOfFieldbusDevices");
    count = static_cast<std::int32_t>(core->getNumberOfFieldbusDevices());
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_fieldbusDevice(std::int32_t uniqueId, std::shared_ptr<IFieldbusDevice>& device)
{
    enter(cat("get_fieldbusDevice(", uniqueId, ")"));
    auto twin = twinOf(core->findFieldbusDeviceUniqueId(static_cast<std::uint32_t>(uniqueId)));
    if (!twin)
        return done(errorNoSuchDevice);
    device = std::move(twin);
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_fieldbusDeviceByIndex(std::int32_t index, std::shared_ptr<IFieldbusDevice>& device)
{
    enter(cat("get_fieldbusDeviceByIndex(", index, ")"));
    if (index < 1 || static_cast<std::uint32_t>(index) > core->getNumberOfFieldbusDevices())
        return done(E_FAIL);
    auto twin = twinOf(core->getFieldbusDevice(static_cast<std::uint32_t>(index - 1)));
    if (!twin)
        return done(E_FAIL);
    device = std::move(twin);
    return done(S_OK);
}

HRESULT CFieldbusInterface::get__NewEnum(std::vector<std::shared_ptr<IFieldbusDevice>>& devices)
{
    enter("get__NewEnum");
    std::vector<std::shared_ptr<IFieldbusDevice>> snapshot;
    for (FieldbusDevice* device : core->getFieldbusDevices())
        if (auto twin = twinOf(device))
            snapshot.push_back(std::move(twin));
    devices = std::move(snapshot);
    return done(S_OK);
}

// ---------------------------------------------------------------------------
// Node guarding

namespace {
FieldbusDevice* coreOf(const std::shared_ptr<IFieldbusDevice>& device)
{
    auto* twin = dynamic_cast<CFieldbusDevice*>(device.get());
    return twin ? twin->getFieldbusDevice() : nullptr;
}
} // namespace

HRESULT CFieldbusInterface::enableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t interval)
{
    enter(cat("enableNodeGuard(", interval, ")"));
    FieldbusDevice* target = coreOf(device);
    if (!target || interval < 0)
        return done(E_INVALIDARG);
    return done(core->enableNodeGuard(target, static_cast<std::uint32_t>(interval)));
}

HRESULT CFieldbusInterface::disableNodeGuard(const std::shared_ptr<IFieldbusDevice>& device)
{
    enter("disableNodeGuard");
    FieldbusDevice* target = coreOf(device);
    if (!target)
        return done(E_INVALIDARG);
    return done(core->disableNodeGuard(target));
}

HRESULT CFieldbusInterface::get_nodeGuardStatus(std::int32_t& value)
{
    enter("get_nodeGuardStatus");
    value = static_cast<std::int32_t>(core->getNodeGuardEnabled());
    return done(S_OK);
}

// ---------------------------------------------------------------------------
// Settings and dialogs

HRESULT CFieldbusInterface::get_versionstring(std::string& value)
{
    enter("get_versionstring");
    value = core->getVersionString();
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_forceShowDialog(std::int32_t& value)
{
    enter("get_forceShowDialog");
    value = static_cast<std::int32_t>(core->getForceShowDialog());
    return done(S_OK);
}

HRESULT CFieldbusInterface::put_forceShowDialog(std::int32_t value)
{
    enter(cat("put_forceShowDialog(", value, ")"));
    core->setForceShowDialog(static_cast<std::uint32_t>(value));
    return done(S_OK);
}

HRESULT CFieldbusInterface::put_dontShowDialog(std::int32_t value)
{
    enter(cat("put_dontShowDialog(", value, ")"));
    core->setDontShowDialog(static_cast<std::uint32_t>(value));
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_interfaceInfo(std::shared_ptr<IInterfaceInfo>& info)
{
    enter("get_interfaceInfo");
    auto hardware = core->getChosenHardwareInterface();
    if (!hardware)
        return done(E_FAIL);
    info = std::make_shared<CInterfaceInfo>(FieldbusInterfaceInfo(*hardware));
    return done(S_OK);
}

HRESULT CFieldbusInterface::setCommunicationParameters()
{
    enter("setCommunicationParameters");
    return done(core->setCommunicationParameters());
}

HRESULT CFieldbusInterface::get_communicationParameters(std::string& value)
{
    enter("get_communicationParameters");
    value = core->getCommunicationParameters();
    return done(S_OK);
}

HRESULT CFieldbusInterface::checkLastSettings()
{
    enter("checkLastSettings");
    return done(core->getInterfaceFound() == 1 ? S_OK : E_FAIL);
}

// ---------------------------------------------------------------------------
// Scan range and network scan

HRESULT CFieldbusInterface::editScanRange(std::string& range)
{
    enter(cat("editScanRange(", range, ")"));
    std::string text = range;
    const HRESULT hr = core->editScanRange(text);
    range = text;
    return done(hr);
}

HRESULT CFieldbusInterface::get_scanRange(std::string& range)
{
    enter("get_scanRange");
    range = core->getScanRange();
    return done(S_OK);
}

HRESULT CFieldbusInterface::put_scanRange(const std::string& range)
{
    enter(cat("put_scanRange(", range, ")"));
    const HRESULT hr = core->setScanRange(range);
    auto protocol = core->getFieldbusProtocol();
    return FAILED(hr) && protocol ? refused(hr, protocol->rangeRefusalText(range)) : done(hr);
}

HRESULT CFieldbusInterface::expandRange(const std::string& range, std::vector<std::uint32_t>& ids)
{
    auto protocol = core->getFieldbusProtocol();
    if (!protocol)
        return done(E_FAIL);
    const std::string previous = core->getScanRange();
    const HRESULT hr = core->setScanRange(range);
    if (FAILED(hr))
        return refused(hr, protocol->rangeRefusalText(range));
    const auto expanded = protocol->getScanRangeIds();
    ids.assign(expanded.begin(), expanded.end());
    core->setScanRange(previous);
    return S_OK;
}

HRESULT CFieldbusInterface::get_DeviceList(const std::string& range, std::shared_ptr<IFieldbusDeviceList>& list)
{
    enter(cat("get_DeviceList(", range, ")"));
    std::vector<std::uint32_t> ids;
    const HRESULT hr = expandRange(range, ids);
    if (FAILED(hr))
        return hr;
    list = std::make_shared<CFieldbusDeviceList>(std::move(ids), range, shared_from_this());
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_RangeIds(const std::string& range, std::vector<std::int32_t>& ids)
{
    enter(cat("get_RangeIds(", range, ")"));
    std::vector<std::uint32_t> expanded;
    const HRESULT hr = expandRange(range, expanded);
    if (FAILED(hr))
        return hr;
    ids.assign(expanded.begin(), expanded.end());
    return done(S_OK);
}

HRESULT CFieldbusInterface::get_FlashRangeIds(const std::string& range, std::vector<std::int32_t>& ids)
{
    enter(cat("get_FlashRangeIds(", range, ")"));
    auto protocol = core->getFieldbusProtocol();
    if (!protocol)
        return done(E_FAIL);
    if (protocol->setFlashRange(range) != 1)
        return refused(E_FAIL, protocol->rangeRefusalText(range, true));
    const auto expanded = protocol->getFlashRangeIds();
    ids.assign(expanded.begin(), expanded.end());
    return done(S_OK);
}

HRESULT CFieldbusInterface::startNetworkScan()
{
    enter("startNetworkScan");
    return done(core->startNetworkScan());
}

HRESULT CFieldbusInterface::stopNetworkScan()
{
    enter("stopNetworkScan");
    return done(core->stopNetworkScan());
}

HRESULT CFieldbusInterface::startNetworkScanWithDialog()
{
    enter("startNetworkScanWithDialog");
    return done(core->startNetworkScanWithDialog());
}

// ---------------------------------------------------------------------------
// Events

HRESULT CFieldbusInterface::advise(const std::shared_ptr<IFieldbusInterfaceEvent>& sink, std::uint32_t& cookie)
{
    enter("Advise");
    return done(events.advise(sink, cookie));
}

HRESULT CFieldbusInterface::unadvise(std::uint32_t cookie)
{
    enter(cat("Unadvise(", cookie, ")"));
    return done(events.unadvise(cookie));
}

void CFieldbusInterface::handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second)
{
    switch (message) {
    case FieldbusInterface::msgNodeGuardTimeout:
        enter(cat("onNodeGuardTimeout(", first, ")"));
        events.fire([&](IFieldbusInterfaceEvent& sink) { sink.onNodeGuardTimeout(first); });
        releaseTimedOutDevices();
        break;
    case FieldbusInterface::msgNetworkScanStepped:
        enter(cat("onNetworkScanNextDevice(", first, ",", second, ")"));
        events.fire([&](IFieldbusInterfaceEvent& sink) { sink.onNetworkScanStepped(first, second); });
        break;
    case FieldbusInterface::msgNetworkScanFinished:
        enter("onNetworkScanNextDevice(finished)");
        events.fire([](IFieldbusInterfaceEvent& sink) { sink.onNetworkScanFinished(); });
        break;
    case msgSetCursor:
        enter("onSetCursor");
        break;
    default:
        commonbase::DbgInfo(2, component, cat("unexpected message 0x", commonbase::toHex(message, 3)));
        break;
    }
}

} // namespace Kavrel
