#include "dialogs/ParameterDialogCanOpenCan.h"

#include "core/FieldbusInterface.h"
#include "dialogs/DialogTemplate.h"

namespace Kavrel {

ParameterDialogCanOpenCan::ParameterDialogCanOpenCan(FieldbusInterface* owner_, std::string protocolName_,
                                                     bool networkScan_)
    : ParameterDialogBase(owner_, std::move(protocolName_), networkScan_,
                          networkScan_ ? networkScanTemplate : connectionTemplate)
{
}

ParameterDialogCanOpenCan::~ParameterDialogCanOpenCan() = default;

void ParameterDialogCanOpenCan::OnInitDialog()
{
    ParameterDialogBase::OnInitDialog();
    // The network-scan template carries a placeholder title.
    if (networkScan)
        windowSetTitle(translate("LABEL_NETWORKSCAN"));
}

void ParameterDialogCanOpenCan::loadValues()
{
    ParameterDialogBase::loadValues();
    loadHardwareCombo();
    loadBaudCombo(commonbase::DialogTemplate::presetCanBaudrates());
    if (findControl(idAddressEdit))
        loadAddress();
}

void ParameterDialogCanOpenCan::storeValues()
{
    ParameterDialogBase::storeValues();
    storeHardwareCombo();
    storeBaudCombo();
    if (findControl(idAddressEdit))
        storeAddress();
}

} // namespace Kavrel
