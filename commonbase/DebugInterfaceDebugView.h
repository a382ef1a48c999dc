#pragma once
#include "commonbase/DebugInterface.h"

namespace commonbase {

// The debugger output: standard error, but only while KAVREL_DEBUG is set
// (like a debugger that listens). Otherwise lines are dropped with success.
class DebugInterfaceDebugView : public DebugInterface {
public:
    bool write(WString levelName, WString componentName, WString text) override;
    bool isListening() const override;
};

} // namespace commonbase
