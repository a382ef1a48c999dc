#include "flashtools/FlasherFacade.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"
#include "core/FieldbusDevice.h"
#include "flashtools/FlashException.h"
#include "flashtools/FlashProcess.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;
using Lock = std::lock_guard<std::recursive_mutex>;

FlasherFacade::FlasherFacade()
{
    // The manager loads the error and translation texts the download's errors are shown with.
    CommunicationManager::getInstance();
    FlashException::registerErrorIds();
}

void FlasherFacade::setFlashData(const std::string& fileName, bool keepApiData)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setFlashData(", fileName, ")"));
    auto made = createFlashData(fileName);
    {
        Lock lock(mutex);
        flashData = made;
        flashDataFileName = fileName;
        if (!keepApiData) {
            // The loader of the previous image must not go with this one by chance.
            apiData.reset();
            apiFileName.clear();
            usedFinder.reset();
        }
    }
    fire(FlasherChangeEvent::FlashDataSet);
    if (!keepApiData)
        chooseDefaultApiData();
    std::string fallback;
    {
        Lock lock(mutex);
        if (flashData && !apiData && !defaultApiFileName.empty())
            fallback = defaultApiFileName;
    }
    if (!fallback.empty())
        setFlashApiDataInternal(fallback, true, false);
}

void FlasherFacade::chooseDefaultApiData()
{
    try {
        const std::string name = getFlashData()->getHeader().getApiName();
        commonbase::DbgInfo(1, __FILE__, "DataHeaderApiName: " + name);
        auto settings = getSettings(getProtocolName());
        auto finder = settings->getFinder();
        settings->fillValues(*finder);
        finder->setHeaderApiName(name);
        const std::string file = finder->resolveApiFileName();
        setFlashApiDataInternal(file, false, false);
        Lock lock(mutex);
        usedFinder = finder; // the icon is found the same way
    } catch (const FlashException& e) {
        commonbase::DbgInfo(2, __FILE__, "FlasherFacade:: Can't set FlashApi: " + e.getErrorText());
    }
}

void FlasherFacade::setFlashApiDataInternal(const std::string& fileName, bool isDefault, bool fromFinder)
{
    commonbase::Dbg dbg(0, __FILE__, [&] {
        return cat("setFlashApiDataInternal(Name: ", fileName, " , isDefault: ", isDefault,
                   " , UsedFlashApiFileNameFinder: ", fromFinder, ")");
    });
    auto made = createFlashApiData(fileName);
    {
        Lock lock(mutex);
        apiData = made;
        apiFileName = fileName;
        apiIsDefault = isDefault;
        apiFromFinder = fromFinder;
        usedFinder.reset();
    }
    fire(FlasherChangeEvent::ApiDataSet);
}

void FlasherFacade::setDefaultFlashApiData(const std::string& fileName)
{
    {
        Lock lock(mutex);
        defaultApiFileName = fileName;
    }
    fire(FlasherChangeEvent::DefaultApiFileNameSet);
    std::string fallback;
    {
        Lock lock(mutex);
        if (flashData && !apiData && !defaultApiFileName.empty())
            fallback = defaultApiFileName;
    }
    if (!fallback.empty())
        setFlashApiDataInternal(fallback, true, false);
}

void FlasherFacade::resetDefaultFlashApiData()
{
    setDefaultFlashApiData(std::string());
    Lock lock(mutex);
    apiIsDefault = false;
}

void FlasherFacade::removeFlashApiData()
{
    {
        Lock lock(mutex);
        apiFileName.clear();
        apiData.reset();
        usedFinder.reset();
    }
    fire(FlasherChangeEvent::ApiDataRemoved);
}

void FlasherFacade::removeFlashData()
{
    {
        Lock lock(mutex);
        flashDataFileName.clear();
        flashData.reset();
        apiData.reset();
        apiFileName.clear();
        usedFinder.reset();
    }
    fire(FlasherChangeEvent::FlashDataRemoved);
}

bool FlasherFacade::hasFlashData() const { Lock lock(mutex); return flashData != nullptr; }
bool FlasherFacade::hasFlashApiData() const { Lock lock(mutex); return apiData != nullptr; }
std::string FlasherFacade::getFlashDataFilename() const { Lock lock(mutex); return flashDataFileName; }
std::string FlasherFacade::getFlashApiFilename() const { Lock lock(mutex); return apiFileName; }
std::string FlasherFacade::getDefaultFlashApiDataFilename() const { Lock lock(mutex); return defaultApiFileName; }
bool FlasherFacade::isDefaultFlashApiData() const { Lock lock(mutex); return apiIsDefault; }
std::shared_ptr<FlashData> FlasherFacade::getFlashData() const { Lock lock(mutex); return flashData; }
std::shared_ptr<FlashApiData> FlasherFacade::getFlashApiData() const { Lock lock(mutex); return apiData; }

FlashDataHeader FlasherFacade::getFlashDataHeader() const
{
    auto data = getFlashData();
    if (!data)
        throw FlashException::fromReason(FlashReason::noHeader);
    return data->getHeader();
}

std::string FlasherFacade::getFlashApiDataIconFileName() const
{
    Lock lock(mutex);
    if (!apiData)
        throw FlashException::fromReason(FlashReason::noIcon);
    if (usedFinder)
        return usedFinder->resolveIconName();
    // Derived from the loader's name: its ending becomes ".ico".
    const std::size_t dot = apiFileName.find_last_of('.');
    const std::size_t slash = apiFileName.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == apiFileName.size())
        throw FlashException::fromReason(FlashReason::noIcon);
    return apiFileName.substr(0, dot) + ".ico";
}

std::shared_ptr<FlashApiFileNameFinder> FlasherFacade::getFinder()
{
    auto settings = getSettings(getProtocolName());
    auto finder = settings->getFinder();
    settings->fillValues(*finder);
    return finder;
}

void FlasherFacade::setProtocolName(const std::string& name) { Lock lock(mutex); protocolName = name; }

std::string FlasherFacade::getProtocolName() const
{
    {
        Lock lock(mutex);
        if (!protocolName.empty())
            return protocolName;
    }
    return CommunicationManager::getInstance().getProtocolName();
}

std::shared_ptr<FlashProtocolSettings> FlasherFacade::getSettings(const std::string& name)
{
    return settingsList.get(name);
}

bool FlasherFacade::checkCompatibility(FieldbusDevice& device, bool checking)
{
    commonbase::Dbg dbg(0, __FILE__, "checkCompatibility");
    auto data = getFlashData();
    if (!data) {
        if (checking) throw FlashException::fromReason(FlashReason::noFlashData);
        return false;
    }
    const auto components = data->getHeader().getComponents();
    std::uint32_t value = 0;
    // A failed read is a mismatch, never the value 0.
    const bool read = device.getParameter(2, 1, 7, value) == 1;
    const bool fits = read && components.count(value) != 0;
    commonbase::DbgInfo(1, __FILE__, [&] {
        return cat("flash compatibility value ", read ? std::to_string(value) : std::string("not readable"),
                   fits ? " fits" : " does not fit");
    });
    const bool api = hasFlashApiData();
    if (checking) {
        if (!api) throw FlashException::fromReason(FlashReason::noApiData);
        if (!fits) throw FlashException::fromReason(FlashReason::incompatible);
    }
    return fits && api;
}

void FlasherFacade::flash(FieldbusDevice& device, bool checkFirst, bool threaded)
{
    commonbase::Dbg dbg(0, __FILE__, "flash");
    if (checkFirst)
        checkCompatibility(device, true);
    auto data = getFlashData();
    auto api = getFlashApiData();
    if (!data) throw FlashException::fromReason(FlashReason::noFlashData);
    if (!api) throw FlashException::fromReason(FlashReason::noApiData);
    // Every format error surfaces here, before the drive is touched: a bad file never leaves it erased.
    api->load();
    data->getSegments();
    auto bus = device.getFieldbusProtocol();
    auto settings = getSettings(bus ? bus->getProtocolName() : getProtocolName());
    device.flash(data, api, settings, threaded);
}

void FlasherFacade::cancel(FieldbusDevice& device)
{
    commonbase::Dbg dbg(0, __FILE__, "cancel");
    device.getFlashProcess()->stop();
}

std::string FlasherFacade::contentsText()
{
    std::string text = "== FlashData ==\n";
    if (auto data = getFlashData()) {
        text += data->getHeader().debugText() + "\n";
        for (const auto& s : data->getSegments())
            text += s.debugText() + "\n";
    }
    text += "== Api Data ==\n";
    if (auto api = getFlashApiData())
        for (const auto& s : api->getSegments())
            text += s.debugText() + "\n";
    return text;
}

} // namespace Kavrel
