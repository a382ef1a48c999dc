#pragma once
#include "commonbase/EventDispatcher.h"

namespace commonbase {

// Its arrival means that the user asked to stop.
class UserCancelEvent {};

class UserCancelEventDispatcher : public EventDispatcher<UserCancelEvent> {};

} // namespace commonbase
