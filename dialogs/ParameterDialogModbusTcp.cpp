#include "dialogs/ParameterDialogModbusTcp.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterfaceModbusTcp.h"

namespace Kavrel {

ParameterDialogModbusTcp::ParameterDialogModbusTcp(FieldbusInterface* owner_, std::string protocolName_,
                                                   bool networkScan_)
    : ParameterDialogModbusBase(owner_, std::move(protocolName_), networkScan_, connectionTemplate)
{
}

ParameterDialogModbusTcp::~ParameterDialogModbusTcp() = default;

void ParameterDialogModbusTcp::loadValues()
{
    ParameterDialogModbusBase::loadValues();
    itemLimitText(idIpAddress, 15);
    spinBoxSetRange(idPortSpin, 1, 65535);
    if (auto* tcp = dynamic_cast<FieldbusInterfaceModbusTcp*>(owner)) {
        itemSetText(idIpAddress, tcp->getIpAddress());
        itemSetText(idPortEdit, tcp->getEthernetPort());
    } else {
        itemSetText(idIpAddress, FieldbusInterfaceModbusTcp::defaultIpAddress);
        itemSetText(idPortEdit, FieldbusInterfaceModbusTcp::defaultEthernetPort);
    }
}

bool ParameterDialogModbusTcp::validateValues()
{
    const std::string address = commonbase::trim(itemGetText(idIpAddress));
    if (!FieldbusInterfaceModbusTcp::isIpAddress(address)) {
        setStatusText(commonbase::cat(translate("LABEL_IP_ADDRESS_ERROR"), ": '", address, "'"));
        return false;
    }
    return true;
}

void ParameterDialogModbusTcp::storeValues()
{
    ParameterDialogModbusBase::storeValues();
    if (auto* tcp = dynamic_cast<FieldbusInterfaceModbusTcp*>(owner)) {
        tcp->setIpAddress(itemGetText(idIpAddress));
        std::int64_t port = 0;
        if (itemGetNumber(idPortEdit, port))
            tcp->setEthernetPort(std::to_string(port));
    }
}

void ParameterDialogModbusTcp::onControlChanged(int id)
{
    if (id == idPortEdit)
        OnChangeEthernetPort();
    else
        ParameterDialogModbusBase::onControlChanged(id);
}

void ParameterDialogModbusTcp::OnChangeEthernetPort()
{
    commonbase::DbgInfo(0, __FILE__, commonbase::cat("OnChangeEthernetPort(", itemGetText(idPortEdit), ")"));
    setStatusText(validateSpinEdits() ? std::string() : getStatusText());
}

} // namespace Kavrel
