#pragma once
#include <cstdint>
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

// One selectable hardware interface as the host sees it.
class IInterfaceInfo {
public:
    virtual ~IInterfaceInfo() = default;
    virtual HRESULT get_name(std::string& name) = 0;
    virtual HRESULT get_nameToOpen(std::string& nameToOpen) = 0;
    virtual HRESULT get_uniqueId(std::int32_t& uniqueId) = 0;
};

} // namespace Kavrel
