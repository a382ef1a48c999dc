#include "commonbase/DebugInterfaceDebugFile.h"

namespace commonbase {

DebugInterfaceDebugFile::DebugInterfaceDebugFile(WString fileName_) : fileName(std::move(fileName_)) {}

DebugInterfaceDebugFile::~DebugInterfaceDebugFile()
{
    if (stream.is_open())
        stream.close();
}

bool DebugInterfaceDebugFile::open() { return open(false); }

bool DebugInterfaceDebugFile::open(bool append)
{
    stream.open(fileName.toUtf8(), std::ios::out | std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    return stream.is_open() && stream.good();
}

bool DebugInterfaceDebugFile::write(WString levelName, WString componentName, WString text)
{
    stream << composeDebugLine(levelName, componentName, text, "\r");
    stream.flush();
    return true;
}

} // namespace commonbase
