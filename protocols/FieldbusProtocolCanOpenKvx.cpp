#include "protocols/FieldbusProtocolCanOpenKvx.h"

#include <algorithm>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

using commonbase::cat;

namespace {

constexpr std::uint16_t identityObject = 0x1018;

std::string cleaned(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return commonbase::trim(text);
}

} // namespace

FieldbusProtocolCanOpenKvx::FieldbusProtocolCanOpenKvx(std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocolCanOpenBase("CanOpen_KVX", std::move(hardwareInterface))
{
}

FieldbusProtocolCanOpenKvx::~FieldbusProtocolCanOpenKvx() = default;

std::int32_t FieldbusProtocolCanOpenKvx::readIdentification(std::uint32_t node, std::string& vendorName,
                                                            std::string& productCode, std::string& version,
                                                            std::string& motorType, std::string& serialNumber)
{
    commonbase::Dbg dbg(0, __FILE__, "readIdentification");
    auto lock = lockOperation();
    std::uint32_t vendor = 0, product = 0;
    const bool read = readParameter(node, 4, identityObject, 1, vendor) == 1 &&
                      readParameter(node, 4, identityObject, 2, product) == 1;
    if (!checkIdentity(read && vendor == vendorId && product >= lowestProductCode, vendor, product)) {
        vendorName.clear();
        productCode.clear();
        version.clear();
        motorType.clear();
        serialNumber.clear();
        return 0;
    }

    // The drive's own vendor text wins; drives that leave it empty get the
    // family's maker.
    std::string vendorText;
    readStringParameter(node, 1, 14, 16, vendorText);
    vendorText = cleaned(vendorText);
    vendorName = vendorText.empty() ? "Halvorn Motion" : vendorText;
    readStringParameter(node, 1, 18, 12, productCode);
    productCode = cleaned(productCode);

    std::uint32_t program = 0, firmware = 0, revision = 0;
    if (readParameter(node, 4, 1, 1, program) == 1 && readParameter(node, 2, 1, 2, firmware) == 1 &&
        readParameter(node, 2, 1, 4, revision) == 1)
        version = cat("P", commonbase::toDecimal(program, 6), "V", commonbase::toDecimal(firmware, 4), commonbase::toDecimal(revision % 100, 2));
    else
        version.clear();

    FieldbusProtocol::readIdentification(node, vendorName, productCode, version, motorType, serialNumber);
    setLastError(0);
    return 1;
}

std::int32_t FieldbusProtocolCanOpenKvx::initUpload(std::uint32_t node)
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("initUpload(", node, ")"); });
    wordsAvailable = 0;
    std::int32_t result = writeParameter(node, 4, 4, 9, uploadStartValue);
    if (result != 1)
        return result;
    std::uint32_t words = 0;
    result = readParameter(node, 4, 4, 11, words);
    if (result == 1)
        wordsAvailable = static_cast<std::int32_t>(words);
    commonbase::DbgInfo(1, __FILE__, cat("BlockUpload Word available: ", wordsAvailable.load()));
    return result;
}

std::int32_t FieldbusProtocolCanOpenKvx::getUpload(std::uint32_t node, std::uint32_t sessionId, std::uint32_t,
                                                   std::string& data, std::uint32_t& finished)
{
    commonbase::DbgInfo(0, __FILE__, "getUpload");
    data.clear();
    finished = 0;
    if (wordsAvailable <= 0) {
        finishUpload(node, sessionId);
        finished = 1;
        return 0;
    }
    std::uint32_t value = 0;
    if (readParameter(node, 4, 4, 12, value) != 1)
        return static_cast<std::int32_t>(0x80004005u);
    wordsAvailable -= 2;
    data = commonbase::toHex(value, 8, true);
    commonbase::DbgInfo(1, __FILE__, cat("Upload data: ", data));
    return 0;
}

std::int32_t FieldbusProtocolCanOpenKvx::finishUpload(std::uint32_t node, std::uint32_t)
{
    commonbase::Dbg dbg(0, __FILE__, [&] { return cat("finishUpload(", node, ")"); });
    return writeParameter(node, 2, 50, 1, 0);
}

} // namespace Kavrel
