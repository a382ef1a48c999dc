#include "automation/CInterfaceInfo.h"

#include <utility>
#include "commonbase/DbgInfo.h"

namespace Kavrel {

namespace {
constexpr const char* component = "InterfaceInfoInterface";
}

CInterfaceInfo::CInterfaceInfo(FieldbusInterfaceInfo info_) : info(std::move(info_)) {}

HRESULT CInterfaceInfo::get_name(std::string& name)
{
    commonbase::DbgInfo(0, component, "get_name");
    name = info.getName();
    return S_OK;
}

HRESULT CInterfaceInfo::get_nameToOpen(std::string& nameToOpen)
{
    commonbase::DbgInfo(0, component, "get_nameToOpen");
    nameToOpen = info.getNameToOpen();
    return S_OK;
}

HRESULT CInterfaceInfo::get_uniqueId(std::int32_t& uniqueId)
{
    commonbase::DbgInfo(0, component, "get_uniqueId");
    uniqueId = static_cast<std::int32_t>(info.getUniqueId());
    return S_OK;
}

} // namespace Kavrel
