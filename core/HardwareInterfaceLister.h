#pragma once
#include <cstdint>
#include <exception>
#include <type_traits>

#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "hardware/HardwareInterface.h"

namespace Kavrel {

// Lists the hardware interfaces an adapter class offers, through a closed
// instance of it. An adapter that cannot be made (its vendor library or an
// entry point is missing) lists nothing and returns -1.
template <class Adapter>
std::int32_t listHardwareInterfaces(HardwareInterfaceList& list, const char* what)
{
    if constexpr (std::is_default_constructible_v<Adapter>) {
        try {
            Adapter enumerating;
            return enumerating.getAvailableInterfaces(list);
        } catch (const std::exception& e) {
            commonbase::DbgInfo(3, __FILE__, commonbase::cat(what, " is not available: ", e.what()));
            return -1;
        }
    } else {
        return -1;
    }
}

} // namespace Kavrel
