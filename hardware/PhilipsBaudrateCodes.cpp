#include "hardware/PhilipsBaudrateCodes.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

PhilipsBaudrateCodes& PhilipsBaudrateCodes::getInstance()
{
    static PhilipsBaudrateCodes instance;
    return instance;
}

std::uint16_t PhilipsBaudrateCodes::getBaudrateCode(std::uint32_t kbits) const
{
    std::uint16_t code = 0;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        if (rates[i] == kbits) {
            code = codes[i];
            break;
        }
    }
    commonbase::DbgInfo(0, "PhilipsBaudrateCodes", commonbase::cat("getBaudrateCode(", kbits, ") = ", code));
    return code;
}

std::uint32_t PhilipsBaudrateCodes::getBaudrate(std::uint16_t code) const
{
    for (std::size_t i = 0; i < codes.size(); ++i)
        if (codes[i] == code)
            return rates[i];
    return 0;
}

} // namespace Kavrel
