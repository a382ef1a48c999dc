#include "core/CommunicationManager.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "BuildInfo.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/ModuleFolder.h"
#include "commonbase/ModuleVersion.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "core/FieldbusInterface.h"
#include "core/IdentificationTransformer.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

namespace {

const std::string settingsRootElement = "ComParameter";
const std::string versionSeparator = ".";
const std::string translationFile = "Tesvik_Trans.xml";
const std::string errorTextFile = "Tesvik_Err.xml";
const std::string lastSettingsStem = "LastSettings";
const std::string lastSettingsSchema = "LastSettings.xsd";
const std::string protocolErrorFile = "Protocol_Err.xml";

// Protocols read their error texts from the document this manager loads.
const bool errorDocumentSourceInstalled = [] {
    FieldbusProtocol::setErrorDocumentSource(
        [] { return CommunicationManager::getInstance().getProtocolErrorDocument(); });
    return true;
}();

std::shared_ptr<commonbase::XmlDom> loadDocument(const std::string& path)
{
    auto doc = std::make_shared<commonbase::XmlDom>(commonbase::WString(path), commonbase::WString());
    if (!doc->parseFile(false))
        commonbase::DbgInfo(2, __FILE__, cat("could not read '", path, "'"));
    return doc;
}

// Moves a settings file that could not be read to a free name beside it that
// says so; returns that name, or empty when the file could not be moved.
std::string moveAsideUnreadable(const std::string& fileName)
{
    std::error_code ec;
    for (int n = 0; n < 1000; ++n) {
        const std::string aside = fileName + ".unreadable" + (n ? cat(".", n) : std::string());
        if (std::filesystem::exists(aside, ec) || ec)
            continue;
        std::filesystem::rename(fileName, aside, ec);
        return ec ? std::string() : aside;
    }
    return {};
}

} // namespace

std::string CommunicationManager::withTrailingSlash(const std::string& path)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    if (!p.empty() && p.back() != '/') p += '/';
    return p;
}

std::string CommunicationManager::languageCodeForModulePath(const std::string& modulePath)
{
    std::string p = modulePath;
    std::replace(p.begin(), p.end(), '\\', '/');
    auto cut = p.find_last_of('/');
    if (cut == std::string::npos) return "EN";
    std::string folder = p.substr(0, cut);
    auto start = folder.find_last_of('/');
    std::string name = start == std::string::npos ? folder : folder.substr(start + 1);
    return name.size() == 2 ? name : "EN";
}

std::string CommunicationManager::getModuleFolder()
{
    return commonbase::moduleFolder();
}

std::string CommunicationManager::getLanguageCode()
{
    return languageCodeForModulePath(commonbase::moduleFilePath());
}

std::string CommunicationManager::getModuleVersionText()
{
#ifdef KAVREL_DEBUG_BUILD
    constexpr bool debugBuild = true;
#else
    constexpr bool debugBuild = false;
#endif
    commonbase::ModuleVersion version(commonbase::WString(commonbase::moduleFilePath()), commonbase::WString(versionSeparator),
                                      KAVREL_VERSION_MAJOR + 0, KAVREL_VERSION_MINOR + 0,
                                      KAVREL_VERSION_PATCH + 0, KAVREL_VERSION_TWEAK + 0, debugBuild);
    return version.toString().toUtf8() + commonbase::ModuleVersion::buildSuffix().toUtf8();
}

CommunicationManager& CommunicationManager::getInstance()
{
    static CommunicationManager instance;
    return instance;
}

CommunicationManager::CommunicationManager()
{
    commonbase::DbgInfo(0, __FILE__, "Constructor");
    fieldbusInterfaces.clear();
    commonbase::ErrorHandler::instance().registerErrorCode(0x701);
    commonbase::ErrorHandler::instance().registerErrorCode(0x702);

    versionText = getModuleVersionText();
    commonbase::DbgInfo(1, __FILE__, cat("VersionInfo: libkavrel.so(V", versionText, ")"));

    const std::string xmlFolder = getLastSettingsPath() + "xml/";
    std::error_code ec;
    if (!std::filesystem::exists(xmlFolder, ec)) {
        if (!std::filesystem::create_directory(xmlFolder, ec) && ec)
            commonbase::DbgInfo(3, __FILE__, cat("std::filesystem::create_directory('", xmlFolder, "'): ", ec.message()));
    }

    const std::string languageFolder = getModuleFolder() + "xml/" + getLanguageCode() + "/";
    if (!translationDocument) translationDocument = loadDocument(languageFolder + translationFile);
    loadErrorTexts();
    protocolErrorDocument = loadDocument(languageFolder + protocolErrorFile);
}

CommunicationManager::~CommunicationManager()
{
    commonbase::DbgInfo(0, __FILE__, "Destructor");
}

void CommunicationManager::loadErrorTexts()
{
    const std::string path = getModuleFolder() + "xml/" + getLanguageCode() + "/" + errorTextFile;
    commonbase::ErrorHandler::instance().setFile(commonbase::WString(path));
}

std::string CommunicationManager::getVersionString() const
{
    commonbase::DbgInfo(0, __FILE__, cat("getVersionString = ", versionText));
    return versionText;
}

std::string CommunicationManager::getProtocolName() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    commonbase::DbgInfo(0, __FILE__, cat("getProtocolName = ", protocolName));
    return protocolName;
}

void CommunicationManager::setProtocolName(const std::string& name)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    protocolName.clear();
    commonbase::DbgInfo(0, __FILE__, cat("setProtocolName('", name, "')"));
    auto known = FieldbusProtocol::getKnownProtocols();
    if (std::find(known.begin(), known.end(), name) != known.end()) protocolName = name;
}

std::uint32_t CommunicationManager::getNumberOfInterfaceInfos(const std::string& name)
{
    std::uint32_t count = 0;
    if (auto temporary = makeInterface(name, false)) count = temporary->getNumberOfInterfaceInfos();
    commonbase::DbgInfo(0, __FILE__, cat("getNumberOfInterfaceInfos(", name, ") = ", count));
    return count;
}

std::uint32_t CommunicationManager::getNumberOfFieldusInterfaces() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    commonbase::DbgInfo(0, __FILE__, cat("getNumberOfFieldusInterfaces = ", fieldbusInterfaces.size()));
    return static_cast<std::uint32_t>(fieldbusInterfaces.size());
}

std::unique_ptr<FieldbusInterface> CommunicationManager::createInterface(bool networkScan)
{
    std::string name = getProtocolName();
    commonbase::Dbg dbg(0, __FILE__, cat("createInterface(", name, networkScan ? ",networkscan" : "", ")"));
    if (name.empty()) return nullptr;
    return makeInterface(name, networkScan);
}

void CommunicationManager::addFieldbusInterface(FieldbusInterface* fieldbusInterface)
{
    commonbase::DbgInfo(0, __FILE__, "addFieldbusInterface");
    if (!fieldbusInterface) return;
    std::lock_guard<std::recursive_mutex> lock(mutex);
    fieldbusInterfaces.push_back(fieldbusInterface);
}

void CommunicationManager::removeFieldbusInterface(FieldbusInterface* fieldbusInterface)
{
    commonbase::DbgInfo(0, __FILE__, "removeFieldbusInterface");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = std::find(fieldbusInterfaces.begin(), fieldbusInterfaces.end(), fieldbusInterface);
    if (it != fieldbusInterfaces.end()) fieldbusInterfaces.erase(it);
}

FieldbusInterface* CommunicationManager::getFieldbusInterface(std::uint32_t index) const
{
    commonbase::DbgInfo(0, __FILE__, cat("getFieldbusInterface(", index, ")"));
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return index < fieldbusInterfaces.size() ? fieldbusInterfaces[index] : nullptr;
}

std::string CommunicationManager::getDataPath() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return dataPath;
}

bool CommunicationManager::setDataPath(const std::string& path)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setDataPath('", path, "')"));
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        dataPath = withTrailingSlash(path);
    }
    // Files are read without the manager's lock: readers of the settings take
    // the document's lock first and the manager's second.
    const std::string path2 = getModuleFolder() + "xml/" + getLanguageCode() + "/" + errorTextFile;
    bool result = commonbase::ErrorHandler::instance().setFile(commonbase::WString(path2));
    reopenLastSettingsDocument();
    return result;
}

std::string CommunicationManager::getLastSettingsPath() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return lastSettingsPath.empty() ? dataPath : lastSettingsPath;
}

void CommunicationManager::setLastSettingsPath(const std::string& path)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setLastSettingsPath('", path, "')"));
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        lastSettingsPath = withTrailingSlash(path);
    }
    reopenLastSettingsDocument();
}

std::string CommunicationManager::getLastSettingsFileName()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (lastSettingsFileName.empty()) {
        lastSettingsFileName = getLastSettingsPath() + "xml/" + lastSettingsStem;
        if (!settingsFileKey.empty()) lastSettingsFileName += "_" + settingsFileKey;
        lastSettingsFileName += ".xml";
    }
    return lastSettingsFileName;
}

void CommunicationManager::setLastSettingsFileName(const std::string& name)
{
    commonbase::Dbg dbg(0, __FILE__, cat("setLastSettingsFileName('", name, "')"));
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        lastSettingsFileName = name;
    }
    reopenLastSettingsDocument();
}

std::shared_ptr<commonbase::XmlDom> CommunicationManager::getLastSettingsDocument() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return lastSettingsDocument;
}

void CommunicationManager::setSettingsFileKey(const std::string& key)
{
    commonbase::DbgInfo(0, __FILE__, cat("setSettingsFileKey('", key, "')"));
    std::lock_guard<std::recursive_mutex> lock(mutex);
    settingsFileKey = key;
}

std::string CommunicationManager::getSettingsFileKey() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return settingsFileKey;
}

bool CommunicationManager::cloneSettingsToFile(const std::string& fileName)
{
    commonbase::Dbg dbg(0, __FILE__, cat("cloneSettingsToFile('", fileName, "')"));
    auto doc = getLastSettingsDocument();
    if (!doc) {
        commonbase::DbgInfo(2, __FILE__, "cloneSettingsToFile: no last-settings document");
        return false;
    }
    return doc->updateFile(commonbase::WString(fileName));
}

void CommunicationManager::reopenLastSettingsDocument()
{
    std::string xmlFolder, schema, fileName;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        xmlFolder = getLastSettingsPath() + "xml/";
        schema = xmlFolder + lastSettingsSchema;
        fileName = getLastSettingsFileName();
    }
    std::error_code ec;
    if (!xmlFolder.empty() && !std::filesystem::exists(xmlFolder, ec)) {
        if (!std::filesystem::create_directories(xmlFolder, ec) && ec)
            commonbase::DbgInfo(3, __FILE__, cat("std::filesystem::create_directory('", xmlFolder, "'): ", ec.message()));
    }
    // The settings file names its schema by a relative location, so it must lie beside it.
    if (!std::filesystem::exists(schema, ec)) {
        const std::string shipped = getModuleFolder() + lastSettingsSchema;
        std::filesystem::copy_file(shipped, schema, ec);
        if (ec)
            commonbase::DbgInfo(2, __FILE__, cat("could not copy '", shipped, "' to '", schema, "': ", ec.message()));
    }
    const bool existed = std::filesystem::is_regular_file(fileName, ec);
    auto doc = std::make_shared<commonbase::XmlDom>(commonbase::WString(fileName), commonbase::WString(schema));
    if (!doc->parseFile(false) && !existed) {
        // No file yet: the first save creates it, without a parse error on record.
        doc = std::make_shared<commonbase::XmlDom>(commonbase::WString(fileName), commonbase::WString(schema));
    } else if (doc->getLastError() != 0) {
        // A file we cannot read is still the user's: keep it under another name
        // before the next save writes a fresh one in its place.
        const auto error = doc->getLastError();
        const std::string aside = moveAsideUnreadable(fileName);
        if (aside.empty()) {
            commonbase::DbgInfo(3, __FILE__, cat("the settings file '", fileName, "' could not be read (error 0x",
                                                 commonbase::toHex(error, 3), ") nor moved aside; settings are ",
                                                 "neither read nor saved until it is repaired"));
            doc.reset();
        } else {
            commonbase::DbgInfo(2, __FILE__, cat("the settings file '", fileName, "' could not be read (error 0x",
                                                 commonbase::toHex(error, 3), "); it was moved to '", aside,
                                                 "' and a new one is written in its place"));
            doc = std::make_shared<commonbase::XmlDom>(commonbase::WString(fileName), commonbase::WString(schema));
        }
    }
    // The old document dies only after the manager's lock is released: its
    // destructor takes the document's lock, which readers take before ours.
    std::shared_ptr<commonbase::XmlDom> old;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        old = std::move(lastSettingsDocument);
        lastSettingsDocument = std::move(doc);
    }
}

std::string CommunicationManager::getNetworkScanSettingsKey(const std::string& name, bool networkScan)
{
    return settingsRootElement + "/" + name + (networkScan ? "_NetworkScan/" : "/");
}

std::shared_ptr<IdentificationTransformer> CommunicationManager::getIdentificationTransformer()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!identificationTransformer) identificationTransformer = std::make_shared<IdentificationTransformer>();
    return identificationTransformer;
}

std::shared_ptr<commonbase::XmlDom> CommunicationManager::getTranslationDocument() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return translationDocument;
}

std::shared_ptr<commonbase::XmlDom> CommunicationManager::getProtocolErrorDocument() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return protocolErrorDocument;
}

std::string CommunicationManager::translate(const std::string& key) const
{
    auto doc = getTranslationDocument();
    std::string text;
    if (doc) doc->readValue(text, "Dictionary/Label", "id=" + key);
    return text;
}

std::string CommunicationManager::fieldbusProtocolName(std::int32_t number)
{
    auto list = FieldbusProtocol::getKnownProtocols();
    if (number < 1 || static_cast<std::size_t>(number) > list.size()) return {};
    return list[static_cast<std::size_t>(number) - 1];
}

std::string CommunicationManager::networkscanProtocolName(std::int32_t number)
{
    auto list = FieldbusProtocol::getNetworkscanProtocols();
    if (number < 1 || static_cast<std::size_t>(number) > list.size()) return {};
    return list[static_cast<std::size_t>(number) - 1];
}

} // namespace Kavrel

// For a program that loads a copy of the library by path: "<language>|<text of LABEL_CONNECTION>".
extern "C" __attribute__((visibility("default"))) const char* kavrel_probe_language(void)
{
    static std::string answer;
    try {
        auto& manager = Kavrel::CommunicationManager::getInstance();
        answer = Kavrel::CommunicationManager::getLanguageCode() + "|" + manager.translate("LABEL_CONNECTION");
    } catch (...) {
        answer = "error|";
    }
    return answer.c_str();
}
