#pragma once
#include <fstream>
#include "commonbase/DebugInterface.h"

namespace commonbase {

// A log file; every line ends with a single "\r" and is flushed at once.
class DebugInterfaceDebugFile : public DebugInterface {
public:
    explicit DebugInterfaceDebugFile(WString fileName);
    ~DebugInterfaceDebugFile() override;
    bool open();
    bool open(bool append);
    bool write(WString levelName, WString componentName, WString text) override;
    const WString& getFileName() const { return fileName; }

private:
    WString fileName;
    std::ofstream stream;
};

} // namespace commonbase
