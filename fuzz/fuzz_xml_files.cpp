// The XML files the library reads: last settings, the language files (label
// dictionaries) and the identification tables. Any bytes are parsed or
// refused without a hang; a parsed document answers the lookups the library
// makes of it, and a value written into it is read back from the saved file.
#include <string>
#include "FuzzSupport.h"
#include "commonbase/XmlDom.h"

using commonbase::WString;
using commonbase::XmlDom;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Held for the whole run, so the parser library is set up once, not per input.
    static XmlDom keepInitialised{WString(), WString()};
    const std::string path = kavrelfuzz::scratchFile("LastSettings.xml", data, size);
    XmlDom dom{WString(path), WString()};
    if (!dom.parseFile(false))
        return 0;
    std::string value;
    dom.readValue(value, "ComParameter/ModbusTCP/IpAddress", "");
    dom.readValue(value, "ComParameter/VorlaneRS485/NodeGuard/Interval", "");
    dom.readValue(value, "Dictionary/Label", "id=0801");
    dom.readValue(value, "ProductCodeTable/ProductCode", "oldid=4711");
    dom.readValue(value, "VendorNameTable/VendorName", "oldvendorname=Kavrel");

    if (!dom.writeValue("ComParameter/ModbusTCP/IpAddress", "", "10.0.0.1"))
        return 0;
    const std::string saved = kavrelfuzz::scratchFile("saved.xml", nullptr, 0);
    if (!dom.updateFile(WString(saved)))
        return 0;
    XmlDom again{WString(saved), WString()};
    if (!again.parseFile(false) || !again.readValue(value, "ComParameter/ModbusTCP/IpAddress", "") ||
        value != "10.0.0.1")
        __builtin_trap();
    return 0;
}
