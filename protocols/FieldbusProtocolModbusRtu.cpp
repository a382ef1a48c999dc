#include "protocols/FieldbusProtocolModbusRtu.h"

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

FieldbusProtocol::Constants FieldbusProtocolModbusRtu::modbusRtuConstants()
{
    return constantsFor("ModbusRS485");
}

FieldbusProtocolModbusRtu::FieldbusProtocolModbusRtu(std::shared_ptr<HardwareInterface> hardwareInterface)
    : FieldbusProtocolModbusBase("ModbusRS485", modbusRtuConstants(), std::move(hardwareInterface))
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
}

FieldbusProtocolModbusRtu::~FieldbusProtocolModbusRtu() = default;

std::int32_t FieldbusProtocolModbusRtu::setBaudrate(std::uint32_t baud)
{
    commonbase::Dbg dbg(0, __FILE__, commonbase::cat("setBaudrate(", baud, ")"));
    auto hw = getHardwareInterface();
    if (!hw) {
        setLastError(errorNoInterface, "Modbus: no hardware interface");
        return 0;
    }
    closeInterface();
    hw->setBaudrate(baud);
    return openInterface(0);
}

} // namespace Kavrel
