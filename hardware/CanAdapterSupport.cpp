#include "hardware/CanAdapterSupport.h"

#include <map>

#include "commonbase/StringUtil.h"

namespace Kavrel::CanAdapter {

std::shared_ptr<std::recursive_mutex> endpointMutex(const std::string& endpoint)
{
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<std::recursive_mutex>> registry;
    std::lock_guard<std::mutex> lock(registryLock);
    auto& slot = registry[endpoint];
    auto mutex = slot.lock();
    if (!mutex) {
        mutex = std::make_shared<std::recursive_mutex>();
        slot = mutex;
    }
    return mutex;
}

std::string checkRequest(const GenericParameters& request)
{
    auto id = request.numbers.find(0);
    if (id == request.numbers.end())
        return "the request has no CAN identifier";
    if (id->second < 0 || id->second > 0x7FF)
        return commonbase::cat("identifier ", id->second, " is not an 11-bit identifier");
    if (request.bytes.size() > 8)
        return commonbase::cat("the request has ", request.bytes.size(), " bytes; a CAN frame holds 8");
    return {};
}

} // namespace Kavrel::CanAdapter
