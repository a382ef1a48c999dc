#include "core/IdentificationTransformer.h"

#include "commonbase/ModuleFolder.h"

#include <filesystem>
#include <system_error>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"

namespace Kavrel {

using commonbase::cat;

IdentificationTransformer::IdentificationTransformer()
    : IdentificationTransformer(commonbase::dataFolder() + "xml/")
{
}

IdentificationTransformer::IdentificationTransformer(const std::string& xmlFolder)
{
    commonbase::Dbg dbg(0, __FILE__, cat("Constructor('", xmlFolder, "')"));
    std::string folder = xmlFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    productCodeDocument = loadTable(folder, productCodeFile, productCodeSchema);
    vendorNameDocument = loadTable(folder, vendorNameFile, vendorNameSchema);
}

IdentificationTransformer::~IdentificationTransformer() = default;

std::shared_ptr<commonbase::XmlDom> IdentificationTransformer::loadTable(const std::string& folder,
                                                                         const std::string& file,
                                                                         const std::string& schema)
{
    const std::string path = folder + file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        commonbase::DbgInfo(1, __FILE__, cat("no table '", path, "': values pass unchanged"));
        return nullptr;
    }
    try {
        auto document = std::make_shared<commonbase::XmlDom>(commonbase::WString(path),
                                                             commonbase::WString(folder + schema));
        if (!document->parseFile(true) || !document->hasDocument()) {
            // A table that breaks its schema could match the wrong entries; use none of it.
            commonbase::DbgInfo(3, __FILE__, cat("table '", path, "' is not valid and is not used"));
            return nullptr;
        }
        return document;
    } catch (const std::exception& e) {
        commonbase::DbgInfo(3, __FILE__, cat("table '", path, "' could not be read: ", e.what()));
        return nullptr;
    }
}

std::string IdentificationTransformer::lookUp(const std::shared_ptr<commonbase::XmlDom>& document,
                                              const std::string& path, const std::string& attribute,
                                              const std::string& value)
{
    if (!document)
        return value;
    std::string found;
    if (document->readValue(found, path, attribute + "=" + value))
        return found;
    return value;
}

std::string IdentificationTransformer::translateProductCode(const std::string& productCode) const
{
    std::string result = lookUp(productCodeDocument, "ProductCodeTable/ProductCode", "oldid", productCode);
    commonbase::DbgInfo(0, __FILE__, cat("translateProductCode(<", productCode, "> -> <", result, ">)"));
    return result;
}

std::string IdentificationTransformer::translateVendorName(const std::string& vendorName) const
{
    std::string result = lookUp(vendorNameDocument, "VendorNameTable/VendorName", "oldvendorname", vendorName);
    commonbase::DbgInfo(0, __FILE__, cat("translateVendorName(<", vendorName, "> -> <", result, ">)"));
    return result;
}

} // namespace Kavrel
