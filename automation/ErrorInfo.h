#pragma once
#include <cstdint>
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

// What a host learns about the last failing automation call on its thread:
// the result code, the error registry's text for it and the interface that failed.
class ErrorInfo {
public:
    HRESULT code = S_OK;
    std::string description;
    std::string source;

    // Records hr for the calling thread: the registry's text on failure, cleared on success.
    // Returns hr, so a wrapper can end with "return ErrorInfo::update(hr, ...)".
    static HRESULT update(HRESULT hr, const char* source);
    // Records a failure with a text of the caller's own (for failures the registry has no code for).
    static HRESULT set(HRESULT hr, const std::string& description, const char* source);
    // The registry's text of a result code (its low 16 bits).
    static std::string textFor(HRESULT hr);
    static void clear();
};

// The error information of the calling thread's last failing call.
const ErrorInfo& lastErrorInfo();

} // namespace Kavrel
