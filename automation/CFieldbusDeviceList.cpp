#include "automation/CFieldbusDeviceList.h"

#include <utility>
#include "automation/ErrorInfo.h"
#include "automation/IFieldbusInterface.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"

namespace Kavrel {

namespace {
constexpr const char* component = "FieldbusDeviceListInterface";
constexpr const char* source = "IFieldbusDeviceList";
HRESULT done(HRESULT hr) { return ErrorInfo::update(hr, source); }
} // namespace

CFieldbusDeviceList::CFieldbusDeviceList(std::vector<std::uint32_t> ids_, std::string range_,
                                         std::shared_ptr<IFieldbusInterface> owner_)
    : ids(std::move(ids_)), range(std::move(range_)), owner(std::move(owner_))
{
}

HRESULT CFieldbusDeviceList::get_DeviceWithID(std::int32_t id, std::shared_ptr<IFieldbusDevice>& device)
{
    commonbase::DbgInfo(0, component, commonbase::cat("get_DeviceWithID(", id, ")"));
    if (!owner)
        return done(E_FAIL);
    // The owner's call has set the error information already.
    return owner->connectDeviceWithId(id, device);
}

HRESULT CFieldbusDeviceList::get_DeviceAtNumber(std::int32_t number, std::shared_ptr<IFieldbusDevice>& device)
{
    commonbase::DbgInfo(0, component, commonbase::cat("get_DeviceAtNumber(", number, ")"));
    if (!owner || number < 1 || static_cast<std::size_t>(number) > ids.size())
        return done(E_FAIL);
    return owner->connectDeviceWithId(static_cast<std::int32_t>(ids[static_cast<std::size_t>(number) - 1]), device);
}

HRESULT CFieldbusDeviceList::get_NumberOfDevices(std::int32_t& count)
{
    commonbase::DbgInfo(0, component, "get_NumberOfDevices");
    count = static_cast<std::int32_t>(ids.size());
    return done(S_OK);
}

HRESULT CFieldbusDeviceList::get_Range(std::string& text)
{
    commonbase::DbgInfo(0, component, "get_Range");
    text = range;
    return done(S_OK);
}

} // namespace Kavrel
