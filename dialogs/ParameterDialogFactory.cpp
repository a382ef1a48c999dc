#include "dialogs/ParameterDialogFactory.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "dialogs/ParameterDialogCanOpenCan.h"
#include "dialogs/ParameterDialogDeviceNetCan.h"
#include "dialogs/ParameterDialogModbusRs485.h"
#include "dialogs/ParameterDialogModbusTcp.h"
#include "dialogs/ParameterDialogVorlaneRs485.h"
#include "dialogs/RangeDialog.h"
#include "dialogs/ScanProgressDialog.h"

namespace Kavrel {

namespace {

// Interfaces make their dialogs through these makers, installed as the library loads.
const bool makersInstalled = [] {
    auto& makers = InterfaceDialogMakers::installed();
    makers.parameter = [](const std::string& protocolName, bool networkScan, FieldbusInterface* owner) {
        return std::unique_ptr<InterfaceParameterDialog>(ParameterDialogFactory::create(protocolName, networkScan, owner));
    };
    makers.range = [](FieldbusInterface* owner) { return std::make_unique<RangeDialog>(owner); };
    makers.scanProgress = [](FieldbusInterface* owner) { return std::make_shared<ScanProgressDialog>(owner); };
    return true;
}();

} // namespace

std::unique_ptr<ParameterDialogBase> ParameterDialogFactory::create(const std::string& protocolName,
                                                                    bool networkScan, FieldbusInterface* owner)
{
    commonbase::DbgInfo(0, __FILE__,
                        commonbase::cat("create('", protocolName, "',", networkScan ? "networkscan" : "ordinary", ")"));
    if (protocolName == "ModbusRS485")
        return std::make_unique<ParameterDialogModbusRs485>(owner, protocolName, networkScan);
    if (protocolName == "ModbusTCP")
        return std::make_unique<ParameterDialogModbusTcp>(owner, protocolName, networkScan);
    if (protocolName == "VorlaneRS485")
        return std::make_unique<ParameterDialogVorlaneRs485>(owner, protocolName, networkScan);
    if (protocolName == "CanOpen_QTA" || protocolName == "CanOpen_KVX")
        return std::make_unique<ParameterDialogCanOpenCan>(owner, protocolName, networkScan);
    if (protocolName == "DeviceNetCan")
        return std::make_unique<ParameterDialogDeviceNetCan>(owner, protocolName, networkScan);
    // Unknown protocols get the bare OK/cancel dialog.
    return std::make_unique<ParameterDialogBase>(owner, protocolName, networkScan);
}

} // namespace Kavrel
