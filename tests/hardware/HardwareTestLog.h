#pragma once
// Collects the log lines written while a test runs, for checking the texts
// the adapters promise.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "commonbase/DebugInterface.h"
#include "commonbase/DebugManager.h"

namespace kavreltest {

class LogLines {
public:
    static LogLines& instance()
    {
        static LogLines* lines = [] {
            auto* l = new LogLines;
            commonbase::DebugManager::instance().addInterface(std::make_unique<Sink>(l));
            return l;
        }();
        return *lines;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        lines.clear();
    }
    // True when one line contains the text.
    bool contains(const std::string& text) const
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
    std::string all() const
    {
        std::lock_guard<std::mutex> guard(lock);
        std::string text;
        for (const auto& l : lines)
            text += l + "\n";
        return text;
    }

private:
    struct Sink : commonbase::DebugInterface {
        LogLines* owner;
        explicit Sink(LogLines* o) : owner(o) { setLevel(0); }
        bool write(commonbase::WString level, commonbase::WString component, commonbase::WString text) override
        {
            std::lock_guard<std::mutex> guard(owner->lock);
            owner->lines.push_back(commonbase::composeDebugLine(level, component, text, ""));
            return true;
        }
    };
    mutable std::mutex lock;
    std::vector<std::string> lines;
};

} // namespace kavreltest
