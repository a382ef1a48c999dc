#include "commonbase/MessageWindow.h"
#include "commonbase/HostEventLoop.h"

namespace commonbase {

// Pending messages of a window that goes away are dropped before it is gone.
MessageWindow::~MessageWindow() { HostEventLoop::instance().purge(this); }

} // namespace commonbase
