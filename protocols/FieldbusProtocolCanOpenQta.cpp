#include "protocols/FieldbusProtocolCanOpenQta.h"

#include <algorithm>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

using commonbase::cat;

namespace {

constexpr std::uint16_t identityObject = 0x1018;

} // namespace

FieldbusProtocolCanOpenQta::FieldbusProtocolCanOpenQta(std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocolCanOpenBase("CanOpen_QTA", std::move(hardwareInterface))
{
}

FieldbusProtocolCanOpenQta::~FieldbusProtocolCanOpenQta() = default;

std::int32_t FieldbusProtocolCanOpenQta::readIdentification(std::uint32_t node, std::string& vendorName,
                                                            std::string& productCode, std::string& version,
                                                            std::string& motorType, std::string& serialNumber)
{
    commonbase::Dbg dbg(0, __FILE__, "readIdentification");
    auto lock = lockOperation();
    std::uint32_t vendor = 0, product = 0;
    const bool read = readParameter(node, 4, identityObject, 1, vendor) == 1 &&
                      readParameter(node, 2, identityObject, 2, product) == 1;
    if (!checkIdentity(read && vendor == vendorId && product != 0, vendor, product))
        return 0;

    vendorName = "Vorlane GmbH";

    std::uint32_t high = 0, low = 0;
    if (readParameter(node, 4, 1, 20, high) == 1 && readParameter(node, 4, 1, 20, low) == 1)
        serialNumber = commonbase::toDecimal((static_cast<std::uint64_t>(high) << 16) | low, 9);
    else
        serialNumber.clear();

    readStringParameter(node, 1, 3, 8, productCode);
    productCode.erase(std::remove(productCode.begin(), productCode.end(), '\0'), productCode.end());

    version.clear();
    std::uint32_t program = 0, firmware = 0;
    if (readParameter(node, 4, 1, 1, program) == 1 && readParameter(node, 4, 1, 2, firmware) == 1)
        version = cat("P", program >> 16, program & 0xFFFFu, "V", firmware >> 16, commonbase::toDecimal(firmware & 0xFFFFu, 3));

    // The generic reads run for their trace; this family's serial number is
    // the one above and it has no motor type.
    std::string genericMotorType, genericSerialNumber;
    FieldbusProtocol::readIdentification(node, vendorName, productCode, version, genericMotorType,
                                         genericSerialNumber);
    motorType.clear();
    setLastError(0);
    return 1;
}

std::int32_t FieldbusProtocolCanOpenQta::initUpload(std::uint32_t node)
{
    commonbase::DbgInfo(0, __FILE__, cat("initUpload(", node, ") not supported"));
    return 0;
}

std::int32_t FieldbusProtocolCanOpenQta::getUpload(std::uint32_t node, std::uint32_t, std::uint32_t,
                                                   std::string& data, std::uint32_t& finished)
{
    commonbase::DbgInfo(0, __FILE__, cat("getUpload(", node, ") not supported"));
    data.clear();
    finished = 0;
    return static_cast<std::int32_t>(0x80004005u);
}

std::int32_t FieldbusProtocolCanOpenQta::finishUpload(std::uint32_t node, std::uint32_t)
{
    commonbase::DbgInfo(0, __FILE__, cat("finishUpload(", node, ") not supported"));
    return 0;
}

} // namespace Kavrel
