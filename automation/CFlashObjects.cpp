#include "automation/CFlashObjects.h"

#include "automation/ErrorInfo.h"
#include "commonbase/DbgInfo.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashException.h"

namespace Kavrel {

namespace {
constexpr const char* source = "IFlasher";

HRESULT entry(const char* cls, const char* name)
{
    commonbase::DbgInfo(0, cls, std::string(cls) + "::" + name + "()");
    return S_OK;
}

// Runs a call, turning a FlashException into its code.
template <class Call>
HRESULT guarded(Call&& call)
{
    try {
        call();
    } catch (const FlashException& e) {
        return flashFailure(e, source);
    }
    return ErrorInfo::update(S_OK, source);
}
} // namespace

HRESULT flashFailure(const FlashException& e, const char* where)
{
    const std::string text = e.getErrorText();
    commonbase::DbgInfo(3, "Flasher", "Flasher: error : " + text);
    return ErrorInfo::set(e.getErrorCode(), text, where);
}

// ---- progress state -------------------------------------------------------

HRESULT CFlashProgressState::read(const char* name)
{
    entry("CFlashProgressState", name);
    if (!state)
        return flashFailure(FlashException::fromReason(FlashReason::emptyProgressState), source);
    return S_OK;
}

#define KAVREL_READ(name, ...)             \
    if (HRESULT hr = read(name); FAILED(hr)) \
        return hr;                          \
    __VA_ARGS__;                            \
    return S_OK

HRESULT CFlashProgressState::getFlashState(std::int32_t& v) { KAVREL_READ("getFlashState", v = state->getFlashState()); }
HRESULT CFlashProgressState::getEndState(std::int32_t& v) { KAVREL_READ("getEndState", v = state->getEndState()); }
HRESULT CFlashProgressState::getFlashProcessMajorSteps(std::int32_t& s, std::int32_t& m)
{
    KAVREL_READ("getFlashProcessMajorSteps", s = state->major().current; m = state->major().total);
}
HRESULT CFlashProgressState::getFlashProcessMinorSteps(std::int32_t& s, std::int32_t& m)
{
    KAVREL_READ("getFlashProcessMinorSteps", s = state->minor().current; m = state->minor().total);
}
HRESULT CFlashProgressState::hasMinorSteps(std::int32_t& v) { KAVREL_READ("hasMinorSteps", v = state->hasMinorSteps() ? 1 : 0); }
HRESULT CFlashProgressState::getFlashStateName(std::string& v)
{
    KAVREL_READ("getFlashStateName", v = FlashProcessState::flashStateName(state->getFlashState()));
}
HRESULT CFlashProgressState::getEndStateName(std::string& v)
{
    KAVREL_READ("getEndStateName", v = FlashProcessState::endStateName(state->getEndState()));
}

// ---- header info -----------------------------------------------------------

HRESULT CFlashDataHeaderInfo::read(const char* name)
{
    entry("CFlashDataHeaderInfo", name);
    if (!header)
        return flashFailure(FlashException::fromReason(FlashReason::emptyHeaderInfo), source);
    return S_OK;
}

HRESULT CFlashDataHeaderInfo::getDate(std::string& v) { KAVREL_READ("getDate", v = header->getDate()); }
HRESULT CFlashDataHeaderInfo::getApiEntry(std::string& v) { KAVREL_READ("getApiEntry", v = header->getApiName()); }
HRESULT CFlashDataHeaderInfo::getProgVersion(std::int32_t& v)
{
    KAVREL_READ("getProgVersion", v = static_cast<std::int32_t>(header->getProgramVersion()));
}
HRESULT CFlashDataHeaderInfo::getVersion(std::int32_t& v) { KAVREL_READ("getVersion", v = static_cast<std::int32_t>(header->getVersion())); }
HRESULT CFlashDataHeaderInfo::getVersionString(std::string& v) { KAVREL_READ("getVersionString", v = header->versionText()); }
HRESULT CFlashDataHeaderInfo::getProgVersionString(std::string& v)
{
    KAVREL_READ("getProgVersionString", v = header->programVersionText());
}

#undef KAVREL_READ

// ---- finder ----------------------------------------------------------------

HRESULT CFlasherApiFileFinder::use(const char* name)
{
    entry("CFlasherApiFileFinder", name);
    if (!finder)
        return flashFailure(FlashException::fromReason(FlashReason::emptyFinder), source);
    return S_OK;
}

#define KAVREL_USE(name, ...)               \
    if (HRESULT hr = use(name); FAILED(hr)) \
        return hr;                          \
    __VA_ARGS__;                            \
    return S_OK

HRESULT CFlasherApiFileFinder::get_ApiFileFormatString(std::string& v) { KAVREL_USE("get_ApiFileFormatString", v = finder->getApiFileFormat()); }
HRESULT CFlasherApiFileFinder::put_ApiFileFormatString(const std::string& v) { KAVREL_USE("put_ApiFileFormatString", finder->setApiFileFormat(v)); }
HRESULT CFlasherApiFileFinder::get_IconFileFormatString(std::string& v) { KAVREL_USE("get_IconFileFormatString", v = finder->getIconFormat()); }
HRESULT CFlasherApiFileFinder::put_IconFileFormatString(const std::string& v) { KAVREL_USE("put_IconFileFormatString", finder->setIconFormat(v)); }
HRESULT CFlasherApiFileFinder::get_PATH(std::string& v) { KAVREL_USE("get_PATH", v = finder->getPath()); }
HRESULT CFlasherApiFileFinder::put_PATH(const std::string& v) { KAVREL_USE("put_PATH", finder->setPath(v)); }
HRESULT CFlasherApiFileFinder::get_DataHeaderApiNameFormatString(std::string& v)
{
    KAVREL_USE("get_DataHeaderApiNameFormatString", v = finder->headerApiNameFormat());
}
HRESULT CFlasherApiFileFinder::get_ResultApiFileName(std::string& v) { KAVREL_USE("get_ResultApiFileName", v = finder->resolveApiFileName()); }
HRESULT CFlasherApiFileFinder::get_ResultIconName(std::string& v) { KAVREL_USE("get_ResultIconName", v = finder->resolveIconName()); }
HRESULT CFlasherApiFileFinder::hasDataHeaderApiName(std::int32_t& v) { KAVREL_USE("hasDataHeaderApiName", v = finder->hasHeaderApiName() ? 1 : 0); }

// ---- settings ----------------------------------------------------------------

HRESULT CFlashProtocolSettings::use(const char* name)
{
    entry("CFlashProtocolSettings", name);
    if (!settings)
        return flashFailure(FlashException::fromReason(FlashReason::emptySettings), source);
    return S_OK;
}

HRESULT CFlashProtocolSettings::get_FlasherApiFileFinder(std::shared_ptr<CFlasherApiFileFinder>& v)
{
    KAVREL_USE("get_FlasherApiFileFinder", v = std::make_shared<CFlasherApiFileFinder>(settings->getFinder()));
}
HRESULT CFlashProtocolSettings::get_EraseTimeout(std::int32_t& v)
{
    KAVREL_USE("get_EraseTimeout", v = static_cast<std::int32_t>(settings->getEraseTimeout().count()));
}
HRESULT CFlashProtocolSettings::put_EraseTimeout(std::int32_t v)
{
    if (v <= 0)
        return ErrorInfo::set(E_INVALIDARG, "the erase time-out must be above 0 ms", source);
    KAVREL_USE("put_EraseTimeout", settings->setEraseTimeout(std::chrono::milliseconds(v)));
}

CFlashProtocolSettingsModbusRTU::CFlashProtocolSettingsModbusRTU(std::shared_ptr<FlashProtocolSettingsModbusRTU> s)
    : CFlashProtocolSettings(s), rtu(std::move(s))
{
}

HRESULT CFlashProtocolSettingsModbusRTU::get_Baudrate(std::int32_t& v)
{
    KAVREL_USE("get_Baudrate", v = static_cast<std::int32_t>(rtu->getBaudrate()));
}
HRESULT CFlashProtocolSettingsModbusRTU::put_Baudrate(std::int32_t v)
{
    if (v <= 0)
        return ErrorInfo::set(E_INVALIDARG, "the flash baud rate must be above 0", source);
    KAVREL_USE("put_Baudrate", rtu->setBaudrate(static_cast<std::uint32_t>(v)));
}

#undef KAVREL_USE

HRESULT CFlashProtocolSettingsList::get_FlashProtocolSettings(const std::string& protocolname,
                                                              std::shared_ptr<CFlashProtocolSettings>& value)
{
    entry("CFlashProtocolSettingsList", "get_FlashProtocolSettings");
    if (!list)
        return flashFailure(FlashException::fromReason(FlashReason::emptySettings), source);
    value = std::make_shared<CFlashProtocolSettings>(list->get(protocolname));
    return S_OK;
}

HRESULT CFlashProtocolSettingsList::get_FlashProtocolSettingsModbusRTU(std::shared_ptr<CFlashProtocolSettingsModbusRTU>& value)
{
    entry("CFlashProtocolSettingsList", "get_FlashProtocolSettingsModbusRTU");
    if (!list)
        return flashFailure(FlashException::fromReason(FlashReason::emptySettings), source);
    value = std::make_shared<CFlashProtocolSettingsModbusRTU>(list->getModbusRtu());
    return S_OK;
}

} // namespace Kavrel
