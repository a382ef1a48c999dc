#include "dialogs/ParameterDialogModbusBase.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

ParameterDialogModbusBase::ParameterDialogModbusBase(FieldbusInterface* owner_, std::string protocolName_,
                                                     bool networkScan_, int templateId)
    : ParameterDialogBase(owner_, std::move(protocolName_), networkScan_, templateId)
{
}

ParameterDialogModbusBase::~ParameterDialogModbusBase() = default;

std::uint32_t ParameterDialogModbusBase::pointToPointAddress() const
{
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    return protocol ? protocol->getDefaultDeviceAddress()
                    : FieldbusProtocol::constantsFor(protocolName).defaultDeviceAddress;
}

void ParameterDialogModbusBase::loadValues()
{
    ParameterDialogBase::loadValues();
    if (findControl(idAddressEdit))
        loadAddress();
    if (!findControl(idProtocolCombo))
        return;
    comboResetContent(idProtocolCombo);
    comboAddEntry(idProtocolCombo, translate("LABEL_MODBUS_MULTIDROP"), "LABEL_MODBUS_MULTIDROP");
    comboAddEntry(idProtocolCombo, translate("LABEL_MODBUS_POINT_TO_POINT"), "LABEL_MODBUS_POINT_TO_POINT");
    const std::uint32_t address = owner->getDeviceAddress();
    const bool pointToPoint = address == pointToPointAddress() && address > scanMaximum();
    comboSelectEntry(idProtocolCombo, pointToPoint ? entryPointToPoint : entryMultidrop);
    OnChangeProtocol();
}

void ParameterDialogModbusBase::storeValues()
{
    ParameterDialogBase::storeValues();
    if (!findControl(idAddressEdit))
        return;
    if (findControl(idProtocolCombo) && comboGetSelection(idProtocolCombo) == entryPointToPoint)
        owner->setDeviceAddress(pointToPointAddress());
    else
        storeAddress();
}

void ParameterDialogModbusBase::onControlChanged(int id)
{
    if (id == idProtocolCombo)
        OnChangeProtocol();
    else
        ParameterDialogBase::onControlChanged(id);
}

void ParameterDialogModbusBase::OnChangeProtocol()
{
    const bool pointToPoint = comboGetSelection(idProtocolCombo) == entryPointToPoint;
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("OnChangeProtocol(", pointToPoint ? "point to point" : "multidrop", ")"));
    itemSetEnable(idAddressEdit, !pointToPoint);
    itemSetEnable(idAddressSpin, !pointToPoint);
    if (pointToPoint) {
        itemSetText(idAddressEdit, std::to_string(pointToPointAddress()));
    } else {
        std::int64_t address = 0;
        if (!itemGetNumber(idAddressEdit, address) || address < static_cast<std::int64_t>(scanMinimum()) ||
            address > static_cast<std::int64_t>(scanMaximum()))
            itemSetText(idAddressEdit, std::to_string(scanMinimum()));
    }
}

} // namespace Kavrel
