#include "commonbase/ErrorHandler.h"
#include "commonbase/Dbg.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"

namespace commonbase {

namespace {
const std::string placeholderStart = "!! No value found in '";
}

ErrorHandler& ErrorHandler::instance()
{
    static ErrorHandler* handler = new ErrorHandler; // lives to process end, like the log manager
    return *handler;
}

ErrorHandler::ErrorHandler() = default;
ErrorHandler::~ErrorHandler() = default;

std::string ErrorHandler::hexForm(std::uint16_t code) { return toHex(code, 4, false); }

WString ErrorHandler::lookUp(std::uint16_t code, bool& found)
{
    found = false;
    if (!fileName.empty() && document && document->hasDocument()) {
        WString value;
        if (document->readValue(value, WString("Dictionary/Label"), WString("id=" + hexForm(code)))) {
            found = true;
            return value;
        }
    }
    return WString(placeholderStart + fileName.toUtf8() + "' for " + hexForm(code) + " !!");
}

bool ErrorHandler::registerErrorCode(std::uint16_t code)
{
    Dbg dbg(0, __FILE__, cat("registerErrorCode('", code, "')"));
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // Every interface and device registers its codes again: a code already
    // known keeps its text, so the lookup (and what it costs the document)
    // happens once per process. setFile refreshes texts when the file changes.
    if (auto known = texts.find(code); known != texts.end())
        return known->second.toUtf8().rfind(placeholderStart, 0) != 0;
    bool found = false;
    WString text = lookUp(code, found);
    texts[code] = text;
    return found;
}

WString ErrorHandler::getErrorText(std::uint16_t code)
{
    Dbg dbg(0, __FILE__, cat("getErrorText('0x", toHex(code, 0), "')"));
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = texts.find(code);
    if (it != texts.end())
        return it->second;
    return WString("!! Unknown Error " + hexForm(code) + " !!");
}

bool ErrorHandler::setFile(const WString& path)
{
    Dbg dbg(0, __FILE__, "setFile(" + path.toUtf8() + ")");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    fileName = path;
    auto doc = std::make_unique<XmlDom>(path, WString());
    bool parsed = doc->parseFile(true);
    document = std::move(doc);
    if (!parsed) {
        document.reset();
        return false;
    }
    for (auto& [code, text] : texts) {
        if (text.toUtf8().rfind(placeholderStart, 0) == 0) {
            bool found = false;
            text = lookUp(code, found);
        }
    }
    return true;
}

} // namespace commonbase
