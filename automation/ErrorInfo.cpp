#include "automation/ErrorInfo.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

namespace {
thread_local ErrorInfo current;
}

const ErrorInfo& lastErrorInfo() { return current; }

std::string ErrorInfo::textFor(HRESULT hr)
{
    const auto code = static_cast<std::uint16_t>(static_cast<std::uint32_t>(hr) & 0xFFFFu);
    return commonbase::trim(commonbase::ErrorHandler::instance().getErrorText(code).toUtf8());
}

HRESULT ErrorInfo::update(HRESULT hr, const char* source)
{
    if (SUCCEEDED(hr)) {
        clear();
        return hr;
    }
    current.code = hr;
    current.description = textFor(hr);
    current.source = source ? source : "";
    commonbase::DbgInfo(2, source ? source : "automation",
                        commonbase::cat("failed: 0x", commonbase::toHex(static_cast<std::uint32_t>(hr), 8), " ",
                                        current.description));
    return hr;
}

HRESULT ErrorInfo::set(HRESULT hr, const std::string& description, const char* source)
{
    current.code = hr;
    current.description = description;
    current.source = source ? source : "";
    return hr;
}

void ErrorInfo::clear()
{
    current.code = S_OK;
    current.description.clear();
    current.source.clear();
}

} // namespace Kavrel
