#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>
#include "automation/HResult.h"

namespace Kavrel {

// The sinks advised to one object. Sinks are held strongly until unadvised
// and fired in the order they were advised; a sink may unadvise (or advise
// another) from inside its own event.
template <class Sink>
class ConnectionPoint {
public:
    HRESULT advise(const std::shared_ptr<Sink>& sink, std::uint32_t& cookie)
    {
        if (!sink)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mutex);
        cookie = ++lastCookie;
        sinks.emplace_back(cookie, sink);
        return S_OK;
    }

    HRESULT unadvise(std::uint32_t cookie)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = sinks.begin(); it != sinks.end(); ++it) {
            if (it->first == cookie) {
                sinks.erase(it);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }

    template <class Call>
    void fire(Call&& call)
    {
        std::vector<std::pair<std::uint32_t, std::shared_ptr<Sink>>> snapshot;
        {
            std::lock_guard<std::mutex> lock(mutex);
            snapshot = sinks;
        }
        for (auto& entry : snapshot)
            call(*entry.second);
    }

    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return sinks.size();
    }

private:
    mutable std::mutex mutex;
    std::uint32_t lastCookie = 0;
    std::vector<std::pair<std::uint32_t, std::shared_ptr<Sink>>> sinks;
};

} // namespace Kavrel
