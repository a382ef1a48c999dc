#pragma once
#include "commonbase/EventDispatcherListener.h"
#include "commonbase/ObservedSubject.h"

namespace commonbase {

template <class E>
class EventDispatcher : public ObservedSubject<EventDispatcherListener<E>, E> {
public:
    void fireEvent(const E& event)
    {
        this->notifyListeners(&EventDispatcherListener<E>::handleEvent, event);
    }
};

} // namespace commonbase
