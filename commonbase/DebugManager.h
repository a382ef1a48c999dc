#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include "commonbase/DebugInterface.h"

namespace commonbase {

enum DebugLevel : std::uint16_t { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3, LOG_FATAL = 4 };

// The process-wide log manager: fans each line out to its sinks.
class DebugManager {
public:
    static DebugManager& instance();

    // 0 when every sink that took the line wrote it, 0x80040801 otherwise.
    std::int32_t write(std::uint16_t level, const WString& componentName, const WString& text);
    // Whether a line at this level would reach a sink that listens; callers skip
    // composing lines nobody takes (every parameter access traces several).
    bool wants(std::uint16_t level) const;
    // Opens directory + "log/" + fileName; 0 or 0x80040802.
    std::int32_t openFile(const WString& directory, const WString& fileName, std::uint16_t level);
    // Adds a sink (used by hosts and tests that want the lines themselves).
    void addInterface(std::unique_ptr<DebugInterface> sink);
    std::size_t numberOfInterfaces() const;

    static const WString& levelName(std::uint16_t level);

    DebugManager(const DebugManager&) = delete;
    DebugManager& operator=(const DebugManager&) = delete;
    ~DebugManager();

private:
    DebugManager();
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<DebugInterface>> interfaces;
};

} // namespace commonbase
