#include "automation/CFieldbusDevice.h"

#include "automation/ErrorInfo.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusDevice.h"

namespace Kavrel {

using commonbase::cat;

namespace {
constexpr const char* component = "FieldbusDeviceInterface";
constexpr const char* source = "IFieldbusDevice";

HRESULT done(HRESULT hr) { return ErrorInfo::update(hr, source); }
// A failed call on a device whose interface was released says so, not just "failed".
HRESULT failed(const FieldbusDevice& device, HRESULT hr)
{
    if (device.isInterfaceGone())
        return ErrorInfo::set(static_cast<HRESULT>(FieldbusDevice::errorInterfaceGone), device.getLastErrorString(),
                              source);
    return done(hr);
}
} // namespace

CFieldbusDevice::CFieldbusDevice()
{
    commonbase::DbgInfo(0, component, "FinalConstruct");
    for (std::uint16_t code = 0x501; code <= 0x504; ++code)
        commonbase::ErrorHandler::instance().registerErrorCode(code);
}

std::shared_ptr<CFieldbusDevice> CFieldbusDevice::create(std::unique_ptr<FieldbusDevice>& device)
{
    if (!device)
        return nullptr;
    std::shared_ptr<CFieldbusDevice> twin(new CFieldbusDevice);
    twin->core = std::move(device);
    twin->core->setRelatedComInterface(twin);
    twin->core->setMessageWindow(std::weak_ptr<commonbase::MessageWindow>(twin));
    return twin;
}

CFieldbusDevice::~CFieldbusDevice()
{
    commonbase::Dbg dbg(0, component, "FinalRelease");
    // The device leaves its interface and its upload worker is joined while
    // this object is still whole; its notices are dropped from now on.
    if (core)
        core->clearRelatedComInterface();
    core.reset();
}

HRESULT CFieldbusDevice::text(const char* name, std::string& out, std::string (FieldbusDevice::*read)() const)
{
    commonbase::DbgInfo(0, component, name);
    out = ((*core).*read)();
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_vendorName(std::string& value)
{
    return text("get_vendorName", value, &FieldbusDevice::getVendorName);
}

HRESULT CFieldbusDevice::get_productCode(std::string& value)
{
    return text("get_productCode", value, &FieldbusDevice::getProductCode);
}

HRESULT CFieldbusDevice::get_deviceVersion(std::string& value)
{
    return text("get_deviceVersion", value, &FieldbusDevice::getDeviceVersion);
}

HRESULT CFieldbusDevice::get_motorType(std::string& value)
{
    return text("get_motorType", value, &FieldbusDevice::getMotorType);
}

HRESULT CFieldbusDevice::get_serialNumber(std::string& value)
{
    return text("get_serialNumber", value, &FieldbusDevice::getSerialNumber);
}

HRESULT CFieldbusDevice::get_familyCode(std::string& value)
{
    return text("get_familyCode", value, &FieldbusDevice::getFamilyCode);
}

HRESULT CFieldbusDevice::get_originalProductCode(std::string& value)
{
    return text("get_originalProductCode", value, &FieldbusDevice::getOriginalProductCode);
}

HRESULT CFieldbusDevice::get_originalVendorName(std::string& value)
{
    return text("get_originalVendorName", value, &FieldbusDevice::getOriginalVendorName);
}

HRESULT CFieldbusDevice::get_uploadBuffer(std::string& value)
{
    return text("get_uploadBuffer", value, &FieldbusDevice::getUploadBuffer);
}

HRESULT CFieldbusDevice::get_lastErrorString(std::string& value)
{
    return text("get_lastErrorString", value, &FieldbusDevice::getLastErrorString);
}

HRESULT CFieldbusDevice::get_deviceDate(std::string& value)
{
    commonbase::DbgInfo(0, component, "get_deviceDate");
    value = core->getDeviceDate();
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex,
                                       std::int32_t& value)
{
    // The automation arguments are 16-bit; index and subindex are unsigned on the bus.
    const auto idx = static_cast<std::uint16_t>(index);
    const auto sidx = static_cast<std::uint16_t>(subIndex);
    commonbase::DbgInfo(0, component, cat("get_Parameter(IDX:", idx, ",SIDX: ", sidx, ")"));
    std::uint32_t read = 0;
    if (core->getParameter(static_cast<std::uint16_t>(size), idx, sidx, read) != 1)
        return failed(*core, errorGetParameter);
    value = static_cast<std::int32_t>(read);
    return done(S_OK);
}

HRESULT CFieldbusDevice::set_Parameter(std::int16_t size, std::int16_t index, std::int16_t subIndex,
                                       std::int32_t value)
{
    const auto idx = static_cast<std::uint16_t>(index);
    const auto sidx = static_cast<std::uint16_t>(subIndex);
    commonbase::DbgInfo(0, component, cat("set_Parameter(IDX:", idx, ",SIDX: ", sidx, ",VALUE:", value, ")"));
    if (core->setParameter(static_cast<std::uint16_t>(size), idx, sidx, static_cast<std::uint32_t>(value)) != 1)
        return failed(*core, errorSetParameter);
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_uniqueId(std::int32_t& value)
{
    commonbase::DbgInfo(0, component, "get_uniqueId");
    value = static_cast<std::int32_t>(core->getUniqueId());
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_ignoreErrors(std::int32_t& value)
{
    commonbase::DbgInfo(0, component, "get_ignoreErrors");
    value = static_cast<std::int32_t>(core->getIgnoreErrors());
    return done(S_OK);
}

HRESULT CFieldbusDevice::put_ignoreErrors(std::int32_t value)
{
    commonbase::DbgInfo(0, component, cat("put_ignoreErrors(", value, ")"));
    core->setIgnoreErrors(static_cast<std::uint32_t>(value));
    return done(S_OK);
}

HRESULT CFieldbusDevice::startUpload()
{
    commonbase::DbgInfo(0, component, "startUpload");
    if (core->isInterfaceGone())
        return failed(*core, errorStartUpload);
    return done(core->startUpload() == 1 ? S_OK : errorStartUpload);
}

HRESULT CFieldbusDevice::stopUpload()
{
    commonbase::DbgInfo(0, component, "stopUpload");
    return done(core->stopUpload() == 1 ? S_OK : errorStopUpload);
}

HRESULT CFieldbusDevice::get_uploadErrorText(std::int32_t errorNumber, std::string& value)
{
    commonbase::DbgInfo(0, component, cat("get_uploadErrorText(", errorNumber, ")"));
    value = ErrorInfo::textFor(errorNumber);
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_lastErrorCode(std::int32_t& value)
{
    commonbase::DbgInfo(0, component, "get_lastErrorCode");
    value = static_cast<std::int32_t>(core->getLastErrorCode());
    return done(S_OK);
}

HRESULT CFieldbusDevice::get_flashCompatibilityValue(std::int32_t& value)
{
    commonbase::DbgInfo(0, component, "get_flashCompatibilityValue");
    value = static_cast<std::int32_t>(core->getFlashCompatibilityValue());
    return done(S_OK);
}

HRESULT CFieldbusDevice::advise(const std::shared_ptr<IFieldbusDeviceEvent>& sink, std::uint32_t& cookie)
{
    commonbase::DbgInfo(0, component, "Advise");
    return done(events.advise(sink, cookie));
}

HRESULT CFieldbusDevice::unadvise(std::uint32_t cookie)
{
    commonbase::DbgInfo(0, component, cat("Unadvise(", cookie, ")"));
    return done(events.unadvise(cookie));
}

void CFieldbusDevice::handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second)
{
    if (message == FieldbusDevice::msgUploadFinished) {
        commonbase::DbgInfo(0, component, cat("onUploadFinished(", first, ",", second, ")"));
        events.fire([&](IFieldbusDeviceEvent& sink) { sink.onUploadFinished(first, second); });
    } else if (message == FieldbusDevice::msgNextPacket) {
        commonbase::DbgInfo(0, component, cat("nextPacket(", first, ",", second, ")"));
        events.fire([&](IFieldbusDeviceEvent& sink) { sink.onNextPacket(first, second); });
    } else {
        commonbase::DbgInfo(2, component, cat("unexpected message 0x", commonbase::toHex(message, 3)));
    }
}

} // namespace Kavrel
