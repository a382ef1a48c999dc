#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include "commonbase/MessageWindow.h"

namespace commonbase {

// The host's event queue: workers post, the host delivers on its own thread,
// in posting order. Entries hold only weak references to their targets, and a
// target that goes away purges its pending entries first.
class HostEventLoop {
public:
    static HostEventLoop& instance();

    void post(const std::weak_ptr<MessageWindow>& target, std::uint32_t message, std::int32_t first,
              std::int32_t second);
    void purge(const MessageWindow* target);
    // Delivers what is queued now and returns the number delivered.
    static std::size_t pump();
    static std::size_t runFor(std::chrono::milliseconds duration);
    // Delivers until predicate() is true or the timeout passes; returns predicate().
    static bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    std::size_t pending() const;

private:
    struct Entry {
        std::weak_ptr<MessageWindow> target;
        std::uint32_t message = 0;
        std::int32_t first = 0;
        std::int32_t second = 0;
    };
    std::size_t deliver(std::chrono::steady_clock::time_point waitUntil);
    mutable std::mutex mutex;
    std::condition_variable posted;
    std::deque<Entry> queue;
};

} // namespace commonbase
