#include "flashtools/FlashApiFileNameFinder.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"

namespace Kavrel {

using commonbase::cat;

const std::string BaseFlashApiFileNameFinder::apiNamePlaceholder = "%FLASHAPIFILENAME_FLASHDATAHEADER_APINAME%";
const std::string BaseFlashApiFileNameFinder::endingPlaceholder = "%FLASHAPIFILENAME_ENDING%";
const std::string BaseFlashApiFileNameFinder::protocolPlaceholder = "%PROTOCOL_NAME%";
const std::string BaseFlashApiFileNameFinder::baudratePlaceholder = "%Baudrate%";

BaseFlashApiFileNameFinder::BaseFlashApiFileNameFinder(std::string ending_)
    : defaultEnding(ending_), ending(std::move(ending_)), format(standardName())
{
    reset();
}

void BaseFlashApiFileNameFinder::reset()
{
    format = standardName();
    ending = defaultEnding;
    values.clear();
    values[endingPlaceholder] = ending;
}

void BaseFlashApiFileNameFinder::addValue(const std::string& placeholder, const std::string& value)
{
    commonbase::DbgInfo(0, __FILE__, [&] { return cat("addValue(", placeholder, " , ", value, ")"); });
    if (value == placeholder)
        values.erase(placeholder);
    else
        values[placeholder] = value;
}

void BaseFlashApiFileNameFinder::setPath(const std::string& path_)
{
    path = path_;
    if (!path.empty() && path.back() != '\\' && path.back() != '/')
        path += '/';
}

std::string BaseFlashApiFileNameFinder::resolveWith(const std::map<std::string, std::string>& map) const
{
    std::string result = format;
    for (const auto& [placeholder, value] : map) {
        if (placeholder.empty())
            continue;
        // Each occurrence once: a value that holds its own placeholder is not expanded again.
        std::string out;
        std::size_t at = 0;
        for (std::size_t hit; (hit = result.find(placeholder, at)) != std::string::npos; at = hit + placeholder.size())
            out.append(result, at, hit - at).append(value);
        out.append(result, at, std::string::npos);
        result = std::move(out);
    }
    if (!path.empty() && !(result.size() > 2 && result[1] == ':'))
        result = path + result;
    commonbase::DbgInfo(0, __FILE__, [&] { return cat("resolve ", format, " = ", result); });
    return result;
}

std::string BaseFlashApiFileNameFinder::resolve() const { return resolveWith(values); }

std::string BaseFlashApiFileNameFinder::headerApiNameFormat() const
{
    auto map = values;
    map.erase(apiNamePlaceholder);
    return resolveWith(map);
}

std::optional<std::string> BaseFlashApiFileNameFinder::findHeaderApiName(const std::string& fileName) const
{
    const std::string pattern = headerApiNameFormat();
    const std::size_t at = pattern.find(apiNamePlaceholder);
    if (at == std::string::npos)
        return std::nullopt;
    const std::string before = pattern.substr(0, at), after = pattern.substr(at + apiNamePlaceholder.size());
    if (fileName.size() < before.size() + after.size() || fileName.compare(0, before.size(), before) != 0 ||
        fileName.compare(fileName.size() - after.size(), after.size(), after) != 0)
        return std::nullopt;
    return fileName.substr(before.size(), fileName.size() - before.size() - after.size());
}

#define KAVREL_FINDER_LOCK std::lock_guard<std::mutex> lock(mutex)

void FlashApiFileNameFinder::setFormat(const std::string& f) { KAVREL_FINDER_LOCK; apiFinder.setFormat(f); iconFinder.setFormat(f); }
void FlashApiFileNameFinder::setApiFileFormat(const std::string& f) { KAVREL_FINDER_LOCK; apiFinder.setFormat(f); }
void FlashApiFileNameFinder::setIconFormat(const std::string& f) { KAVREL_FINDER_LOCK; iconFinder.setFormat(f); }
std::string FlashApiFileNameFinder::getApiFileFormat() const { KAVREL_FINDER_LOCK; return apiFinder.getFormat(); }
std::string FlashApiFileNameFinder::getIconFormat() const { KAVREL_FINDER_LOCK; return iconFinder.getFormat(); }
void FlashApiFileNameFinder::setPath(const std::string& p) { KAVREL_FINDER_LOCK; apiFinder.setPath(p); iconFinder.setPath(p); }
std::string FlashApiFileNameFinder::getPath() const { KAVREL_FINDER_LOCK; return apiFinder.getPath(); }
void FlashApiFileNameFinder::addValue(const std::string& k, const std::string& v)
{
    KAVREL_FINDER_LOCK;
    apiFinder.addValue(k, v);
    iconFinder.addValue(k, v);
}
void FlashApiFileNameFinder::setHeaderApiName(const std::string& name)
{
    KAVREL_FINDER_LOCK;
    apiFinder.setHeaderApiName(name);
    iconFinder.setHeaderApiName(name);
}
bool FlashApiFileNameFinder::hasHeaderApiName() const { KAVREL_FINDER_LOCK; return apiFinder.hasHeaderApiName(); }
std::string FlashApiFileNameFinder::resolveApiFileName() const { KAVREL_FINDER_LOCK; return apiFinder.resolve(); }
std::string FlashApiFileNameFinder::resolveIconName() const { KAVREL_FINDER_LOCK; return iconFinder.resolve(); }
std::string FlashApiFileNameFinder::headerApiNameFormat() const { KAVREL_FINDER_LOCK; return apiFinder.headerApiNameFormat(); }
std::optional<std::string> FlashApiFileNameFinder::findHeaderApiName(const std::string& fileName) const
{
    KAVREL_FINDER_LOCK;
    return apiFinder.findHeaderApiName(fileName);
}

DefaultFlashApiFileNameFinder::DefaultFlashApiFileNameFinder()
{
    const std::string f = BaseFlashApiFileNameFinder::protocolPlaceholder + "\\" + BaseFlashApiFileNameFinder::standardName();
    apiFinder.setFormat(f);
    iconFinder.setFormat(f);
}

DefaultFlashApiFileNameFinderModbusRTU::DefaultFlashApiFileNameFinderModbusRTU()
{
    using B = BaseFlashApiFileNameFinder;
    const std::string stem = B::protocolPlaceholder + "\\" + B::apiNamePlaceholder + "-" + B::protocolPlaceholder;
    iconFinder.setFormat(stem + B::endingPlaceholder);
    apiFinder.setFormat(stem + "-" + B::baudratePlaceholder + B::endingPlaceholder);
}

FlashProtocolSettings::FlashProtocolSettings(std::optional<std::string> name)
    : FlashProtocolSettings(std::move(name), std::make_shared<DefaultFlashApiFileNameFinder>())
{
}

FlashProtocolSettings::FlashProtocolSettings(std::optional<std::string> name, std::shared_ptr<FlashApiFileNameFinder> f)
    : finder(std::move(f)), protocolName(std::move(name))
{
}

void FlashProtocolSettings::fillValues(FlashApiFileNameFinder& target) const
{
    auto name = getProtocolName();
    target.addValue(BaseFlashApiFileNameFinder::protocolPlaceholder,
                    name ? *name : CommunicationManager::getInstance().getProtocolName());
}

std::optional<std::string> FlashProtocolSettings::getProtocolName() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return protocolName;
}

void FlashProtocolSettings::setProtocolName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    protocolName = name;
}

std::chrono::milliseconds FlashProtocolSettings::getEraseTimeout() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return eraseTimeout;
}

void FlashProtocolSettings::setEraseTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(mutex);
    eraseTimeout = timeout;
}

FlashProtocolSettingsModbusRTU::FlashProtocolSettingsModbusRTU(std::optional<std::string> name)
    : FlashProtocolSettings(std::move(name), std::make_shared<DefaultFlashApiFileNameFinderModbusRTU>())
{
}

void FlashProtocolSettingsModbusRTU::fillValues(FlashApiFileNameFinder& target) const
{
    FlashProtocolSettings::fillValues(target);
    target.addValue(BaseFlashApiFileNameFinder::baudratePlaceholder, std::to_string(getBaudrate()));
}

std::uint32_t FlashProtocolSettingsModbusRTU::getBaudrate() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return baudrate;
}

void FlashProtocolSettingsModbusRTU::setBaudrate(std::uint32_t baud)
{
    std::lock_guard<std::mutex> lock(mutex);
    baudrate = baud;
}

std::shared_ptr<FlashProtocolSettings> FlashProtocolSettingsList::get(const std::string& protocolName)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto& entry = settings[protocolName];
    if (!entry) {
        if (protocolName == "ModbusRS485")
            entry = std::make_shared<FlashProtocolSettingsModbusRTU>(protocolName);
        else
            entry = std::make_shared<FlashProtocolSettings>(protocolName);
        entry->getFinder()->setPath(apiPath);
    }
    return entry;
}

std::shared_ptr<FlashProtocolSettingsModbusRTU> FlashProtocolSettingsList::getModbusRtu()
{
    return std::dynamic_pointer_cast<FlashProtocolSettingsModbusRTU>(get("ModbusRS485"));
}

void FlashProtocolSettingsList::setApiPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex);
    apiPath = path;
    for (auto& [name, s] : settings)
        s->getFinder()->setPath(path);
}

std::string FlashProtocolSettingsList::getApiPath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return apiPath;
}

} // namespace Kavrel
