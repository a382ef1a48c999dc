#include "commonbase/DebugInterfaceDebugView.h"
#include <cstdlib>
#include <unistd.h>

namespace commonbase {

namespace {

// Read once: a debugger that listens is there from the start of the process.
bool debuggerListens()
{
    static const bool listening = std::getenv("KAVREL_DEBUG") != nullptr;
    return listening;
}

} // namespace

bool DebugInterfaceDebugView::isListening() const
{
    return debuggerListens();
}

bool DebugInterfaceDebugView::write(WString levelName, WString componentName, WString text)
{
    if (!debuggerListens())
        return true;
    // One system call per line, so lines of different threads never mix.
    std::string line = composeDebugLine(levelName, componentName, text, "\r\n");
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
    return true;
}

} // namespace commonbase
