#pragma once
#include "automation/IInterfaceInfo.h"
#include "core/FieldbusInterfaceInfo.h"

namespace Kavrel {

class CInterfaceInfo : public IInterfaceInfo {
public:
    explicit CInterfaceInfo(FieldbusInterfaceInfo info);
    HRESULT get_name(std::string& name) override;
    HRESULT get_nameToOpen(std::string& nameToOpen) override;
    HRESULT get_uniqueId(std::int32_t& uniqueId) override;

private:
    FieldbusInterfaceInfo info;
};

} // namespace Kavrel
