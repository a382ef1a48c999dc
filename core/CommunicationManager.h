#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace commonbase { class XmlDom; }

namespace Kavrel {

class FieldbusInterface;
class IdentificationTransformer;

// The process-wide root of the communication core.
class CommunicationManager {
public:
    static CommunicationManager& getInstance();
    virtual ~CommunicationManager();
    CommunicationManager(const CommunicationManager&) = delete;
    CommunicationManager& operator=(const CommunicationManager&) = delete;

    std::string getVersionString() const;
    std::string getProtocolName() const;
    void setProtocolName(const std::string& name);
    std::uint32_t getNumberOfInterfaceInfos(const std::string& protocolName);
    std::uint32_t getNumberOfFieldusInterfaces() const;
    std::unique_ptr<FieldbusInterface> createInterface(bool networkScan);
    void addFieldbusInterface(FieldbusInterface* fieldbusInterface);
    void removeFieldbusInterface(FieldbusInterface* fieldbusInterface);
    FieldbusInterface* getFieldbusInterface(std::uint32_t index) const;

    std::string getDataPath() const;
    bool setDataPath(const std::string& path);
    std::string getLastSettingsPath() const;
    void setLastSettingsPath(const std::string& path);
    std::string getLastSettingsFileName();
    void setLastSettingsFileName(const std::string& name);
    std::shared_ptr<commonbase::XmlDom> getLastSettingsDocument() const;
    void setSettingsFileKey(const std::string& key);
    std::string getSettingsFileKey() const;
    bool cloneSettingsToFile(const std::string& fileName);
    static std::string getNetworkScanSettingsKey(const std::string& protocolName, bool networkScan);
    std::shared_ptr<IdentificationTransformer> getIdentificationTransformer();
    std::shared_ptr<commonbase::XmlDom> getTranslationDocument() const;
    std::shared_ptr<commonbase::XmlDom> getProtocolErrorDocument() const;

    // The folder of libkavrel.so, with a trailing "/".
    static std::string getModuleFolder();
    // "EN" unless the module's folder is named with exactly two characters.
    static std::string getLanguageCode();
    // The language rule on a module file path: the holding folder's name when
    // it has exactly two characters, else "EN".
    static std::string languageCodeForModulePath(const std::string& modulePath);
    // The folder with a trailing "/" ("" stays ""); backslashes become "/".
    static std::string withTrailingSlash(const std::string& path);
    // The dictionary text of a key in the translation document, empty if none.
    std::string translate(const std::string& key) const;
    static std::string getModuleVersionText();

    // 1-based into the known-protocol and network-scan lists; empty outside.
    static std::string fieldbusProtocolName(std::int32_t number);
    static std::string networkscanProtocolName(std::int32_t number);

    // Factory of interfaces by protocol name; none for an unknown name.
    static std::unique_ptr<FieldbusInterface> makeInterface(const std::string& protocolName, bool networkScan);

private:
    CommunicationManager();
    void reopenLastSettingsDocument();
    void loadErrorTexts();

    mutable std::recursive_mutex mutex;
    std::string protocolName;
    std::vector<FieldbusInterface*> fieldbusInterfaces;
    std::string dataPath;
    std::string lastSettingsPath;
    std::string lastSettingsFileName;
    std::string settingsFileKey;
    std::shared_ptr<commonbase::XmlDom> translationDocument;
    std::shared_ptr<commonbase::XmlDom> lastSettingsDocument;
    std::shared_ptr<commonbase::XmlDom> protocolErrorDocument;
    std::shared_ptr<IdentificationTransformer> identificationTransformer;
    std::string versionText;
};

} // namespace Kavrel
