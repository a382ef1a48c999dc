#include "commonbase/DebugManager.h"
#include <atomic>
#include <set>
#include "commonbase/DebugInterfaceDebugFile.h"
#include "commonbase/DebugInterfaceDebugView.h"
#include "commonbase/ErrorHandler.h"

namespace commonbase {

namespace {
std::set<std::string>& openedFiles()
{
    static std::set<std::string> files;
    return files;
}
} // namespace

DebugManager& DebugManager::instance()
{
    // Never destroyed: the other singletons still log while they are destroyed.
    static DebugManager* manager = new DebugManager;
    // Registration logs through the manager, so it runs once the manager is fully
    // made; the calls it makes back into instance() find the state taken.
    static std::atomic<int> state{0};
    int expected = 0;
    if (state.load() == 0 && state.compare_exchange_strong(expected, 1)) {
        ErrorHandler::instance().registerErrorCode(0x801);
        ErrorHandler::instance().registerErrorCode(0x802);
        state = 2;
    }
    return *manager;
}

DebugManager::DebugManager()
{
    auto view = std::make_unique<DebugInterfaceDebugView>();
    view->setLevel(LOG_INFO);
    interfaces.push_back(std::move(view));
}

DebugManager::~DebugManager() = default;

const WString& DebugManager::levelName(std::uint16_t level)
{
    static const WString names[6] = {WString("DEBUG"), WString("INFO"),  WString("WARN"),
                                     WString("ERROR"), WString("FATAL"), WString("UNKNOWN")};
    return names[level >= 5 ? 5 : level];
}

std::int32_t DebugManager::write(std::uint16_t level, const WString& componentName, const WString& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::int32_t result = 0;
    for (auto& sink : interfaces) {
        if (sink->getLevel() > level)
            continue;
        bool ok = level == LOG_INFO ? sink->write(WString(), WString(), text)
                                    : sink->write(levelName(level), componentName, text);
        if (!ok)
            result = static_cast<std::int32_t>(0x80040801u);
    }
    return result;
}

bool DebugManager::wants(std::uint16_t level) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& sink : interfaces)
        if (sink->getLevel() <= level && sink->isListening())
            return true;
    return false;
}

std::int32_t DebugManager::openFile(const WString& directory, const WString& fileName, std::uint16_t level)
{
    std::string path = directory.toUtf8() + "log/" + fileName.toUtf8();
    std::lock_guard<std::mutex> lock(mutex);
    auto sink = std::make_unique<DebugInterfaceDebugFile>(WString(path));
    // A file opened a second time is appended to, not truncated under the first sink.
    bool append = openedFiles().count(path) != 0;
    if (!sink->open(append))
        return static_cast<std::int32_t>(0x80040802u);
    openedFiles().insert(path);
    sink->setLevel(level);
    interfaces.push_back(std::move(sink));
    return 0;
}

void DebugManager::addInterface(std::unique_ptr<DebugInterface> sink)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (sink)
        interfaces.push_back(std::move(sink));
}

std::size_t DebugManager::numberOfInterfaces() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return interfaces.size();
}

} // namespace commonbase
