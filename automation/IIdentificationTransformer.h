#pragma once
#include <string>
#include "automation/HResult.h"

namespace Kavrel {

// Vendor-name and product-code translation as the host sees it.
class IIdentificationTransformer {
public:
    virtual ~IIdentificationTransformer() = default;
    virtual HRESULT transformVendorName(const std::string& originalVendorName, std::string& vendorName) = 0;
    virtual HRESULT transformProductCode(const std::string& originalProductCode, std::string& productCode) = 0;
};

} // namespace Kavrel
