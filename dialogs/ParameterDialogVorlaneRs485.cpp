#include "dialogs/ParameterDialogVorlaneRs485.h"

#include "core/FieldbusInterfaceSerialPort.h"
#include "dialogs/DialogTemplate.h"

namespace Kavrel {

ParameterDialogVorlaneRs485::ParameterDialogVorlaneRs485(FieldbusInterface* owner_, std::string protocolName_,
                                                         bool networkScan_)
    : ParameterDialogBase(owner_, std::move(protocolName_), networkScan_,
                          networkScan_ ? networkScanTemplate : connectionTemplate)
{
}

ParameterDialogVorlaneRs485::~ParameterDialogVorlaneRs485() = default;

void ParameterDialogVorlaneRs485::loadValues()
{
    ParameterDialogBase::loadValues();
    loadHardwareCombo();
    loadBaudCombo(commonbase::DialogTemplate::presetBaudrates());
    loadFrameFormatCombo();
    if (findControl(idAddressEdit))
        loadAddress();
}

void ParameterDialogVorlaneRs485::storeValues()
{
    ParameterDialogBase::storeValues();
    storeHardwareCombo();
    storeBaudCombo();
    if (auto* serial = dynamic_cast<FieldbusInterfaceSerialPort*>(owner)) {
        const int index = comboGetSelection(idFormatCombo);
        if (index >= 0)
            serial->setFrameFormatIndex(index);
    }
    if (findControl(idAddressEdit))
        storeAddress();
}

} // namespace Kavrel
