#include "core/CommunicationManager.h"

#include <functional>
#include <utility>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "core/FieldbusInterfaceCan.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "core/FieldbusInterfaceModbusTcp.h"
#include "core/FieldbusInterfaceSerialPort.h"

namespace Kavrel {

namespace {

using InterfaceMaker = std::function<std::unique_ptr<FieldbusInterface>(const std::string&, bool)>;

struct InterfaceRow {
    const char* protocolName;
    InterfaceMaker ordinary;    // none: the interface class is not part of this build
    InterfaceMaker networkScan; // none: not offered for network scanning
};

std::unique_ptr<FieldbusInterface> makeCan(const std::string& name, bool networkScan)
{
    return std::make_unique<FieldbusInterfaceCan>(name, networkScan);
}

std::unique_ptr<FieldbusInterface> makeSerialPort(const std::string& name, bool networkScan)
{
    return std::make_unique<FieldbusInterfaceSerialPort>(name, networkScan);
}

std::unique_ptr<FieldbusInterface> makeModbusRs485(const std::string& name, bool networkScan)
{
    return std::make_unique<FieldbusInterfaceModbusRs485>(name, networkScan);
}

std::unique_ptr<FieldbusInterface> makeModbusTcp(const std::string& name, bool networkScan)
{
    return std::make_unique<FieldbusInterfaceModbusTcp>(name, networkScan);
}

const std::vector<InterfaceRow>& interfaceTable()
{
    static const std::vector<InterfaceRow> table = {
        {"CanOpen_QTA", makeCan, makeCan},
        {"CanOpen_KVX", makeCan, makeCan},
        {"ModbusRS485", makeModbusRs485, makeModbusRs485},
        {"ModbusTCP", makeModbusTcp, nullptr},
        {"DeviceNetCan", nullptr, nullptr},
        {"VorlaneRS485", makeSerialPort, makeSerialPort},
    };
    return table;
}

} // namespace

std::unique_ptr<FieldbusInterface> CommunicationManager::makeInterface(const std::string& protocolName,
                                                                       bool networkScan)
{
    if (networkScan)
        commonbase::DbgInfo(0, "FieldbusInterfaceFactoryNetworkScan",
                            commonbase::cat("createNetworkScanInterface(", protocolName, ")"));
    for (const auto& row : interfaceTable()) {
        if (protocolName != row.protocolName) continue;
        const InterfaceMaker& make = networkScan ? row.networkScan : row.ordinary;
        if (!make) return nullptr;
        try {
            return make(protocolName, networkScan);
        } catch (const std::exception& e) {
            commonbase::DbgInfo(3, __FILE__, commonbase::cat("makeInterface('", protocolName, "') failed: ", e.what()));
            return nullptr;
        }
    }
    return nullptr;
}

} // namespace Kavrel
