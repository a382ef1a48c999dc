#include "dialogs/ParameterDialogDeviceNetCan.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "dialogs/DeviceNetParameterAccess.h"
#include "dialogs/DialogTemplate.h"

namespace Kavrel {

ParameterDialogDeviceNetCan::ParameterDialogDeviceNetCan(FieldbusInterface* owner_, std::string protocolName_,
                                                         bool networkScan_)
    : ParameterDialogBase(owner_, std::move(protocolName_), networkScan_,
                          networkScan_ ? networkScanTemplate : connectionTemplate)
{
}

ParameterDialogDeviceNetCan::~ParameterDialogDeviceNetCan() = default;

void ParameterDialogDeviceNetCan::loadValues()
{
    ParameterDialogBase::loadValues();
    loadHardwareCombo();
    loadBaudCombo(commonbase::DialogTemplate::presetCanBaudrates());
    if (auto* access = dynamic_cast<DeviceNetParameterAccess*>(owner)) {
        clientMacId = access->getClientMacId();
        dncStartTimeout = access->getDncStartTimeout();
        autobaudNumTry = access->getAutobaudNumTry();
    }
    spinBoxSetRange(idClientMacSpin, static_cast<int>(scanMinimum()), static_cast<int>(scanMaximum()));
    spinBoxSetRange(idDncStartSpin, 1, 99);
    spinBoxSetRange(idAutobaudSpin, 1, 5);
    itemSetText(idClientMacEdit, std::to_string(clientMacId));
    itemSetText(idDncStartEdit, std::to_string(dncStartTimeout));
    itemSetText(idAutobaudEdit, std::to_string(autobaudNumTry));
    if (findControl(idAddressEdit))
        loadAddress();
}

void ParameterDialogDeviceNetCan::storeValues()
{
    ParameterDialogBase::storeValues();
    storeHardwareCombo();
    storeBaudCombo();
    std::int64_t value = 0;
    if (itemGetNumber(idClientMacEdit, value))
        clientMacId = static_cast<std::uint32_t>(value);
    if (itemGetNumber(idDncStartEdit, value))
        dncStartTimeout = static_cast<std::uint32_t>(value);
    if (itemGetNumber(idAutobaudEdit, value))
        autobaudNumTry = static_cast<std::uint32_t>(value);
    if (auto* access = dynamic_cast<DeviceNetParameterAccess*>(owner)) {
        access->setClientMacId(clientMacId);
        access->setDncStartTimeout(dncStartTimeout);
        access->setAutobaudNumTry(autobaudNumTry);
    }
    if (findControl(idAddressEdit))
        storeAddress();
}

void ParameterDialogDeviceNetCan::onControlChanged(int id)
{
    if (id == idDncStartEdit)
        OnChangeDncStartTimeout();
    else
        ParameterDialogBase::onControlChanged(id);
}

void ParameterDialogDeviceNetCan::OnChangeDncStartTimeout()
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("OnChangeDncStartTimeout(", itemGetText(idDncStartEdit), ")"));
    setStatusText(validateSpinEdits() ? std::string() : getStatusText());
}

} // namespace Kavrel
