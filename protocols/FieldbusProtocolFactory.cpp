#include "protocols/FieldbusProtocol.h"

#include <functional>
#include <utility>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "protocols/FieldbusProtocolCanOpenKvx.h"
#include "protocols/FieldbusProtocolCanOpenQta.h"
#include "protocols/FieldbusProtocolModbusRtu.h"
#include "protocols/FieldbusProtocolModbusTcp.h"
#include "protocols/FieldbusProtocolVorlane.h"

namespace Kavrel {

namespace {

using ProtocolMaker = std::function<std::shared_ptr<FieldbusProtocol>(bool, std::shared_ptr<HardwareInterface>)>;

// One row per known protocol; a row without a maker is a protocol whose class
// is not part of this build yet.
const std::vector<std::pair<std::string, ProtocolMaker>>& protocolTable()
{
    static const std::vector<std::pair<std::string, ProtocolMaker>> table = {
        {"ModbusRS485",
         [](bool, std::shared_ptr<HardwareInterface> hw) -> std::shared_ptr<FieldbusProtocol> {
             return std::make_shared<FieldbusProtocolModbusRtu>(std::move(hw));
         }},
        {"DeviceNetCan", nullptr},
        {"VorlaneRS485",
         [](bool, std::shared_ptr<HardwareInterface> hw) -> std::shared_ptr<FieldbusProtocol> {
             return std::make_shared<FieldbusProtocolVorlane>(std::move(hw));
         }},
        {"CanOpen_QTA",
         [](bool, std::shared_ptr<HardwareInterface> hw) -> std::shared_ptr<FieldbusProtocol> {
             return std::make_shared<FieldbusProtocolCanOpenQta>(std::move(hw));
         }},
        {"CanOpen_KVX",
         [](bool, std::shared_ptr<HardwareInterface> hw) -> std::shared_ptr<FieldbusProtocol> {
             return std::make_shared<FieldbusProtocolCanOpenKvx>(std::move(hw));
         }},
        {"ModbusTCP",
         [](bool, std::shared_ptr<HardwareInterface> hw) -> std::shared_ptr<FieldbusProtocol> {
             return std::make_shared<FieldbusProtocolModbusTcp>(std::move(hw));
         }},
    };
    return table;
}

} // namespace

std::shared_ptr<FieldbusProtocol> FieldbusProtocol::create(const std::string& name, bool networkScan,
                                                           std::shared_ptr<HardwareInterface> hardwareInterface)
{
    for (const auto& [tableName, make] : protocolTable()) {
        if (tableName != name) continue;
        if (!make) break;
        try {
            return make(networkScan, std::move(hardwareInterface));
        } catch (const std::exception& e) {
            commonbase::DbgInfo(3, __FILE__, commonbase::cat("create('", name, "') failed: ", e.what()));
            return nullptr;
        }
    }
    commonbase::DbgInfo(2, __FILE__, commonbase::cat("create('", name, "'): no protocol of that name"));
    return nullptr;
}

} // namespace Kavrel
