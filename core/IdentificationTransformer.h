#pragma once
#include <memory>
#include <string>
#include "commonbase/RelatedComInterface.h"

namespace commonbase { class XmlDom; }

namespace Kavrel {

class CIdentificationTransformer;

// Translates vendor names and product codes read from a drive into the names
// the host shows, from two tables in the xml folder beside the module. A value
// that no entry names passes through unchanged.
class IdentificationTransformer : public commonbase::RelatedComInterface<CIdentificationTransformer> {
public:
    static constexpr const char* productCodeFile = "ProductCode.xml";
    static constexpr const char* productCodeSchema = "ProductCode.xsd";
    static constexpr const char* vendorNameFile = "VendorName.xml";
    static constexpr const char* vendorNameSchema = "VendorName.xsd";

    // Tables from <module folder>/xml/.
    IdentificationTransformer();
    // Tables from another folder (with or without a trailing "/").
    explicit IdentificationTransformer(const std::string& xmlFolder);
    ~IdentificationTransformer() override;
    IdentificationTransformer(const IdentificationTransformer&) = delete;
    IdentificationTransformer& operator=(const IdentificationTransformer&) = delete;

    std::string translateProductCode(const std::string& productCode) const;
    std::string translateVendorName(const std::string& vendorName) const;

private:
    static std::shared_ptr<commonbase::XmlDom> loadTable(const std::string& folder, const std::string& file,
                                                         const std::string& schema);
    static std::string lookUp(const std::shared_ptr<commonbase::XmlDom>& document, const std::string& path,
                              const std::string& attribute, const std::string& value);

    std::shared_ptr<commonbase::XmlDom> productCodeDocument;
    std::shared_ptr<commonbase::XmlDom> vendorNameDocument;
};

} // namespace Kavrel
