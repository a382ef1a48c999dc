#include "commonbase/HostEventLoop.h"
#include <algorithm>

namespace commonbase {

HostEventLoop& HostEventLoop::instance()
{
    static HostEventLoop* loop = new HostEventLoop; // outlives every window, also at exit
    return *loop;
}

void HostEventLoop::post(const std::weak_ptr<MessageWindow>& target, std::uint32_t message, std::int32_t first,
                         std::int32_t second)
{
    // No strong reference is taken here: a worker that held the last one
    // would destroy the twin on its own thread (and join itself).
    if (target.expired())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(Entry{target, message, first, second});
    }
    posted.notify_all();
}

void HostEventLoop::purge(const MessageWindow*)
{
    // A window being destroyed has no owners left, so its entries are the
    // expired ones (with any others that could no longer be delivered).
    std::lock_guard<std::mutex> lock(mutex);
    queue.erase(std::remove_if(queue.begin(), queue.end(), [](const Entry& e) { return e.target.expired(); }),
                queue.end());
}

std::size_t HostEventLoop::pending() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return queue.size();
}

std::size_t HostEventLoop::deliver(std::chrono::steady_clock::time_point waitUntil)
{
    std::size_t due = 0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (queue.empty())
            posted.wait_until(lock, waitUntil, [&] { return !queue.empty(); });
        due = queue.size();
    }
    // One entry at a time from the front: a handler that pumps again (a modal
    // dialog) then delivers the next entries, never later ones before them.
    std::size_t delivered = 0;
    for (std::size_t i = 0; i < due; ++i) {
        Entry e;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.empty())
                break;
            e = std::move(queue.front());
            queue.pop_front();
        }
        // A window that went meanwhile is skipped by the weak reference.
        if (auto target = e.target.lock()) {
            target->handleMessage(e.message, e.first, e.second);
            ++delivered;
        }
    }
    return delivered;
}

std::size_t HostEventLoop::pump() { return instance().deliver(std::chrono::steady_clock::now()); }

std::size_t HostEventLoop::runFor(std::chrono::milliseconds duration)
{
    auto end = std::chrono::steady_clock::now() + duration;
    std::size_t total = 0;
    while (std::chrono::steady_clock::now() < end)
        total += instance().deliver(end);
    return total;
}

bool HostEventLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return predicate();
        instance().deliver(std::min(end, now + std::chrono::milliseconds(20)));
    }
    return true;
}

} // namespace commonbase
