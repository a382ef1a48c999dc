#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include "commonbase/WString.h"

namespace commonbase {

class XmlDom;

// The process-wide registry of error code texts.
class ErrorHandler {
public:
    static ErrorHandler& instance();
    bool registerErrorCode(std::uint16_t code);
    WString getErrorText(std::uint16_t code);
    bool setFile(const WString& path);
    // Four lowercase hex digits at least: 0x801 -> "0801".
    static std::string hexForm(std::uint16_t code);

    virtual ~ErrorHandler();
    ErrorHandler(const ErrorHandler&) = delete;
    ErrorHandler& operator=(const ErrorHandler&) = delete;

private:
    ErrorHandler();
    WString lookUp(std::uint16_t code, bool& found);
    // Recursive: a lookup makes an XmlDom, whose constructor registers codes here.
    std::recursive_mutex mutex;
    std::map<std::uint16_t, WString> texts;
    WString fileName;
    std::unique_ptr<XmlDom> document;
};

} // namespace commonbase
