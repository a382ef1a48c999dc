#include "dialogs/ParameterDialogBase.h"
#include "commonbase/Dbg.h"

namespace Kavrel {

ParameterDialogBase::ParameterDialogBase(FieldbusInterface* owner_, std::string protocolName_, bool networkScan_)
    : owner(owner_), protocolName(std::move(protocolName_)), networkScan(networkScan_)
{
}

ParameterDialogBase::~ParameterDialogBase() = default;

std::int32_t ParameterDialogBase::displayDialog(std::uint32_t, std::uint32_t)
{
    commonbase::Dbg dbg(0, __FILE__, "displayDialog");
    errorCode = 0;
    return resultOk;
}

} // namespace Kavrel
