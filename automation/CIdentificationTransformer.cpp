#include "automation/CIdentificationTransformer.h"

#include <mutex>
#include <utility>
#include "automation/ErrorInfo.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/IdentificationTransformer.h"

namespace Kavrel {

namespace {
constexpr const char* component = "IdentificationTransformerInterface";
constexpr const char* source = "IIdentificationTransformer";
} // namespace

std::shared_ptr<CIdentificationTransformer> CIdentificationTransformer::twinOf(
    const std::shared_ptr<IdentificationTransformer>& core)
{
    static std::mutex mutex;
    if (!core)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (auto twin = core->getRelatedComInterface())
        return twin;
    auto twin = std::make_shared<CIdentificationTransformer>(core);
    core->setRelatedComInterface(twin);
    return twin;
}

CIdentificationTransformer::CIdentificationTransformer(std::shared_ptr<IdentificationTransformer> core_)
    : core(std::move(core_))
{
}

HRESULT CIdentificationTransformer::transformVendorName(const std::string& originalVendorName, std::string& vendorName)
{
    commonbase::DbgInfo(0, component, commonbase::cat("transformVendorName(", originalVendorName, ")"));
    if (!core)
        return ErrorInfo::update(E_FAIL, source);
    vendorName = core->translateVendorName(originalVendorName);
    return ErrorInfo::update(S_OK, source);
}

HRESULT CIdentificationTransformer::transformProductCode(const std::string& originalProductCode,
                                                         std::string& productCode)
{
    commonbase::DbgInfo(0, component, commonbase::cat("transformProductCode(", originalProductCode, ")"));
    if (!core)
        return ErrorInfo::update(E_FAIL, source);
    productCode = core->translateProductCode(originalProductCode);
    return ErrorInfo::update(S_OK, source);
}

} // namespace Kavrel
