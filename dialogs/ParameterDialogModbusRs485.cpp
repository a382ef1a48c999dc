#include "dialogs/ParameterDialogModbusRs485.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterfaceModbusRs485.h"
#include "dialogs/DialogTemplate.h"

namespace Kavrel {

ParameterDialogModbusRs485::ParameterDialogModbusRs485(FieldbusInterface* owner_, std::string protocolName_,
                                                       bool networkScan_)
    : ParameterDialogModbusBase(owner_, std::move(protocolName_), networkScan_,
                                networkScan_ ? networkScanTemplate : connectionTemplate)
{
}

ParameterDialogModbusRs485::~ParameterDialogModbusRs485() = default;

void ParameterDialogModbusRs485::loadValues()
{
    ParameterDialogModbusBase::loadValues();
    loadHardwareCombo();
    loadBaudCombo(commonbase::DialogTemplate::presetBaudrates());
    loadFrameFormatCombo();
}

void ParameterDialogModbusRs485::storeValues()
{
    ParameterDialogModbusBase::storeValues();
    storeHardwareCombo();
    storeBaudCombo();
    if (auto* rs485 = dynamic_cast<FieldbusInterfaceModbusRs485*>(owner)) {
        const std::string format = comboSelectedText(idFormatCombo);
        if (!format.empty() && !rs485->setFrameFormat(format))
            commonbase::DbgInfo(2, __FILE__, commonbase::cat("character format '", format, "' not taken"));
    }
}

} // namespace Kavrel
