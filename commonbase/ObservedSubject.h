#pragma once
#include <mutex>
#include <set>

namespace commonbase {

// A subject that keeps a set of listeners and calls each with an event.
// Listeners are not owned; one that goes away must remove itself first.
template <class L, class E>
class ObservedSubject {
public:
    using Handler = void (L::*)(const E&);
    virtual ~ObservedSubject() = default;

    virtual void addListener(L* listener)
    {
        std::lock_guard<std::recursive_mutex> lock(registrationLock);
        listeners.insert(listener);
    }

    virtual void removeListener(L* listener)
    {
        std::lock_guard<std::recursive_mutex> lock(registrationLock);
        listeners.erase(listener);
        changed = true;
    }

    virtual void notifyListeners(Handler handler, const E& event)
    {
        std::lock_guard<std::recursive_mutex> dispatch(dispatchLock);
        std::set<L*> snapshot;
        {
            std::lock_guard<std::recursive_mutex> lock(registrationLock);
            snapshot = listeners;
            changed = false;
        }
        for (L* listener : snapshot) {
            bool present = true;
            {
                std::lock_guard<std::recursive_mutex> lock(registrationLock);
                if (changed)
                    present = listeners.count(listener) != 0;
            }
            if (present)
                (listener->*handler)(event);
        }
    }

    std::size_t numberOfListeners() const
    {
        std::lock_guard<std::recursive_mutex> lock(registrationLock);
        return listeners.size();
    }

private:
    mutable std::recursive_mutex registrationLock;
    bool changed = false;
    std::recursive_mutex dispatchLock;
    std::set<L*> listeners;
};

} // namespace commonbase
