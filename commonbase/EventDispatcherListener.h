#pragma once

namespace commonbase {

template <class E>
class EventDispatcherListener {
public:
    virtual void handleEvent(const E& event) = 0;
    virtual ~EventDispatcherListener() = default;
};

} // namespace commonbase
