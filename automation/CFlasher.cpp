#include "automation/CFlasher.h"

#include "automation/CFieldbusDevice.h"
#include "automation/ErrorInfo.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusDevice.h"
#include "flashtools/FlashException.h"

namespace Kavrel {

namespace {
constexpr const char* source = "IFlasher";
constexpr const char* component = "Flasher";
} // namespace

std::shared_ptr<CFlasher> CFlasher::create() { return std::shared_ptr<CFlasher>(new CFlasher); }

CFlasher::CFlasher() : facade(std::make_shared<FlasherFacade>())
{
    commonbase::DbgInfo(0, component, "CFlasher::FinalConstruct()");
    facade->addListener(this);
}

CFlasher::~CFlasher()
{
    commonbase::DbgInfo(0, component, "CFlasher::FinalRelease()");
    facade->removeListener(this);
    std::vector<std::weak_ptr<FlashProcess>> listened;
    {
        std::lock_guard<std::mutex> lock(mutex);
        listened.swap(processes);
    }
    // No event may reach this object once it is gone.
    for (auto& weak : listened)
        if (auto p = weak.lock())
            p->removeListenerAndWait(this, this);
}

HRESULT CFlasher::fail(const FlashException& e)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastFlashExceptions[e.getErrorCode()] = std::shared_ptr<const FlashException>(e.clone());
    }
    return flashFailure(e, source);
}

template <class Call>
HRESULT CFlasher::run(const char* name, Call&& call)
{
    commonbase::DbgInfo(0, component, std::string("CFlasher::") + name + "()");
    try {
        call();
    } catch (const FlashException& e) {
        return fail(e);
    }
    return ErrorInfo::update(S_OK, source);
}

FieldbusDevice* CFlasher::coreOf(const std::shared_ptr<IFieldbusDevice>& device)
{
    auto twin = std::dynamic_pointer_cast<CFieldbusDevice>(device);
    return twin ? twin->getFieldbusDevice() : nullptr;
}

void CFlasher::listenTo(const std::shared_ptr<FlashProcess>& process)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastProcess = process;
        for (auto& weak : processes)
            if (weak.lock() == process)
                return;
        processes.push_back(process);
    }
    process->FlashProcessEventDispatcher::addListener(this);
    process->FlashExceptionEventDispatcher::addListener(this);
}

HRESULT CFlasher::setFlashData(const std::string& fileName)
{
    return run("setFlashData", [&] { facade->setFlashData(fileName); });
}

HRESULT CFlasher::setDefaultFlashApiData(const std::string& fileName)
{
    return run("setDefaultFlashApiData", [&] { facade->setDefaultFlashApiData(fileName); });
}

HRESULT CFlasher::setFlashApiData(const std::string& fileName)
{
    return run("setFlashApiData", [&] { facade->setFlashApiData(fileName); });
}

HRESULT CFlasher::flashDevice(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t checkFirst, std::int32_t wait)
{
    FieldbusDevice* core = coreOf(device);
    if (!core)
        return ErrorInfo::set(E_INVALIDARG, "the device is not one of this library's device objects", source);
    return run("flashDevice", [&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            lastDownloadErrorCode = 0;
        }
        listenTo(core->getFlashProcess());
        facade->flash(*core, checkFirst != 0, wait == 0);
    });
}

HRESULT CFlasher::checkCompatibility(const std::shared_ptr<IFieldbusDevice>& device, std::int32_t& value)
{
    FieldbusDevice* core = coreOf(device);
    if (!core)
        return ErrorInfo::set(E_INVALIDARG, "the device is not one of this library's device objects", source);
    return run("checkCompatibility", [&] { value = facade->checkCompatibility(*core) ? 1 : 0; });
}

HRESULT CFlasher::showFlashDataContentsPrepair(std::int32_t& value)
{
    return run("showFlashDataContentsPrepair", [&] {
        std::string text = facade->contentsText();
        std::lock_guard<std::mutex> lock(mutex);
        contents = std::move(text);
        value = static_cast<std::int32_t>(contents.size());
    });
}

HRESULT CFlasher::showFlashDataContents(const std::string&, std::int32_t, std::string& value)
{
    return run("showFlashDataContents", [&] {
        std::lock_guard<std::mutex> lock(mutex);
        value = contents;
    });
}

HRESULT CFlasher::cancelFlash(const std::shared_ptr<IFieldbusDevice>& device)
{
    FieldbusDevice* core = coreOf(device);
    if (!core)
        return ErrorInfo::set(E_INVALIDARG, "the device is not one of this library's device objects", source);
    return run("cancelFlash", [&] { facade->cancel(*core); });
}

HRESULT CFlasher::getLastEventFlashState(std::shared_ptr<CFlashProgressState>& value)
{
    return run("getLastEventFlashState", [&] {
        std::lock_guard<std::mutex> lock(mutex);
        if (!lastEventState)
            throw FlashException::fromReason(FlashReason::noProgressState);
        value = std::make_shared<CFlashProgressState>(*lastEventState);
    });
}

HRESULT CFlasher::getFlashProgressState(std::shared_ptr<CFlashProgressState>& value)
{
    return run("getFlashProgressState", [&] {
        std::shared_ptr<FlashProcess> process;
        {
            std::lock_guard<std::mutex> lock(mutex);
            process = lastProcess.lock();
        }
        if (!process)
            throw FlashException::fromReason(FlashReason::noProgressState);
        value = std::make_shared<CFlashProgressState>(process->getState());
    });
}

HRESULT CFlasher::getFlashDataFilename(std::string& value)
{
    return run("getFlashDataFilename", [&] { value = facade->getFlashDataFilename(); });
}

HRESULT CFlasher::getFlashApiFilename(std::string& value)
{
    return run("getFlashApiFilename", [&] { value = facade->getFlashApiFilename(); });
}

HRESULT CFlasher::getDefaultFlashApiDataFilename(std::string& value)
{
    return run("getDefaultFlashApiDataFilename", [&] { value = facade->getDefaultFlashApiDataFilename(); });
}

HRESULT CFlasher::hasFlashData(std::int32_t& value)
{
    return run("hasFlashData", [&] { value = facade->hasFlashData() ? 1 : 0; });
}

HRESULT CFlasher::hasFlashApiData(std::int32_t& value)
{
    return run("hasFlashApiData", [&] { value = facade->hasFlashApiData() ? 1 : 0; });
}

HRESULT CFlasher::getFlashDataHeaderInfo(std::shared_ptr<CFlashDataHeaderInfo>& value)
{
    return run("getFlashDataHeaderInfo", [&] { value = std::make_shared<CFlashDataHeaderInfo>(facade->getFlashDataHeader()); });
}

HRESULT CFlasher::getFlashApiDataIconFileName(std::string& value)
{
    return run("getFlashApiDataIconFileName", [&] { value = facade->getFlashApiDataIconFileName(); });
}

HRESULT CFlasher::getFlasherApiFileFinder(std::shared_ptr<CFlasherApiFileFinder>& value)
{
    return run("getFlasherApiFileFinder", [&] { value = std::make_shared<CFlasherApiFileFinder>(facade->getFinder()); });
}

HRESULT CFlasher::getErrorText(std::int32_t hr, std::string& value)
{
    commonbase::DbgInfo(0, component, "CFlasher::getErrorText()");
    std::shared_ptr<FlashProcess> process;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = lastFlashExceptions.find(hr);
        value = it != lastFlashExceptions.end() ? it->second->getErrorText() : ErrorInfo::textFor(hr);
        process = lastProcess.lock();
    }
    // The bus's own code and text, when the last download's bus reported one.
    if (process && process->getLastErrorCode() != 0) {
        const std::string bus = commonbase::cat("0x", commonbase::toHex(static_cast<std::uint32_t>(process->getLastErrorCode()), 8, true));
        if (value.find(bus) == std::string::npos)
            value += " (bus error " + bus + ": " + process->getLastErrorString() + ")";
    }
    return ErrorInfo::update(S_OK, source);
}

std::int32_t CFlasher::getLastDownloadErrorCode()
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastDownloadErrorCode;
}

HRESULT CFlasher::removeFlashData() { return run("removeFlashData", [&] { facade->removeFlashData(); }); }
HRESULT CFlasher::removeFlashApiData() { return run("removeFlashApiData", [&] { facade->removeFlashApiData(); }); }
HRESULT CFlasher::resetDefaultFlashApiData() { return run("resetDefaultFlashApiData", [&] { facade->resetDefaultFlashApiData(); }); }

HRESULT CFlasher::get_FlashProtocolSettingsList(std::shared_ptr<CFlashProtocolSettingsList>& value)
{
    return run("get_FlashProtocolSettingsList",
               [&] { value = std::make_shared<CFlashProtocolSettingsList>(&facade->getSettingsList(), facade); });
}

HRESULT CFlasher::get_FlashApiPath(std::string& value)
{
    return run("get_FlashApiPath", [&] { value = facade->getSettingsList().getApiPath(); });
}

HRESULT CFlasher::put_FlashApiPath(const std::string& value)
{
    return run("put_FlashApiPath", [&] { facade->getSettingsList().setApiPath(value); });
}

void CFlasher::handleEvent(const FlashProcessEvent& event)
{
    commonbase::DbgInfo(0, component, "CFlasher::handleEvent(FlashProcessEvent)");
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastEventState = event.state;
    }
    events.fire([&](IFlasherEvent& sink) {
        sink.onFlashProgressStateChange(event.reason, std::make_shared<CFlashProgressState>(event.state));
    });
    events.fire([&](IFlasherEvent& sink) {
        auto state = std::make_shared<CFlashProgressState>(event.state);
        if (event.reason == FlashProcessEvent::MajorStep) sink.onFlashProgressMajorStep(state);
        else if (event.reason == FlashProcessEvent::MinorStep) sink.onFlashProgressMinorStep(state);
        else if (event.reason == FlashProcessEvent::EndChange) sink.onFlashProgressEndChange(state);
    });
}

void CFlasher::handleEvent(const FlashExceptionEvent& event)
{
    commonbase::DbgInfo(0, component, "CFlasher::handleEvent(FlashExceptionEvent)");
    if (!event.exception)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastFlashExceptions[event.exception->getErrorCode()] = event.exception;
        lastDownloadErrorCode = event.exception->getErrorCode();
    }
    const std::string text = event.exception->getErrorText();
    events.fire([&](IFlasherEvent& sink) { sink.onFlashException(event.exception->getErrorCode(), text); });
}

void CFlasher::handleEvent(const FlasherChangeEvent& event)
{
    commonbase::DbgInfo(0, component, "CFlasher::handleEvent(FlasherChangeEvent)");
    events.fire([&](IFlasherEvent& sink) { sink.onFlasherChange(event.code); });
}

} // namespace Kavrel
