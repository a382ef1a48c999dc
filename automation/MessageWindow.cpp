#include "automation/MessageWindow.h"
#include "automation/HostEventLoop.h"

namespace Kavrel {

// Pending messages of a window that goes away are dropped before it is gone.
MessageWindow::~MessageWindow() { HostEventLoop::instance().purge(this); }

} // namespace Kavrel
