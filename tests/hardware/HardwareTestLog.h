#pragma once
// Collects the log lines written while a test runs, for checking the texts
// the adapters promise. The log manager owns it once installed.
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "commonbase/DebugInterface.h"
#include "commonbase/DebugManager.h"

namespace kavreltest {

class LogLines : public commonbase::DebugInterface {
public:
    static LogLines& instance()
    {
        static LogLines* installed = [] {
            auto owned = std::make_unique<LogLines>();
            LogLines* raw = owned.get();
            commonbase::DebugManager::instance().addInterface(std::move(owned));
            return raw;
        }();
        return *installed;
    }
    bool write(commonbase::WString level, commonbase::WString component, commonbase::WString text) override
    {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(commonbase::composeDebugLine(level, component, text, ""));
        return true;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        lines.clear();
    }
    // How many lines contain the text.
    std::size_t count(const std::string& text) const
    {
        std::lock_guard<std::mutex> guard(lock);
        std::size_t n = 0;
        for (const auto& l : lines)
            n += l.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    std::string all() const
    {
        std::lock_guard<std::mutex> guard(lock);
        std::string text;
        for (const auto& l : lines)
            text += l + "\n";
        return text;
    }
private:
    mutable std::mutex lock;
    std::vector<std::string> lines;
};

} // namespace kavreltest
