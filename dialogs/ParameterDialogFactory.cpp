#include "dialogs/ParameterDialogFactory.h"

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

std::unique_ptr<ParameterDialogBase> ParameterDialogFactory::create(const std::string& protocolName,
                                                                    bool networkScan, FieldbusInterface* owner)
{
    commonbase::DbgInfo(0, __FILE__,
                        commonbase::cat("create('", protocolName, "',", networkScan ? "networkscan" : "ordinary", ")"));
    return std::make_unique<ParameterDialogBase>(owner, protocolName, networkScan);
}

} // namespace Kavrel
