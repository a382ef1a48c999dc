#pragma once
#include <memory>
#include "automation/IIdentificationTransformer.h"

namespace Kavrel {

class IdentificationTransformer;

class CIdentificationTransformer : public IIdentificationTransformer {
public:
    // The one twin of a transformer: made on first request, handed out again while it lives.
    static std::shared_ptr<CIdentificationTransformer> twinOf(const std::shared_ptr<IdentificationTransformer>& core);

    explicit CIdentificationTransformer(std::shared_ptr<IdentificationTransformer> core);
    HRESULT transformVendorName(const std::string& originalVendorName, std::string& vendorName) override;
    HRESULT transformProductCode(const std::string& originalProductCode, std::string& productCode) override;

private:
    std::shared_ptr<IdentificationTransformer> core;
};

} // namespace Kavrel
