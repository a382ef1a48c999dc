#pragma once
#include <cstdint>
#include <mutex>
#include <xercesc/dom/DOM.hpp>
#include "commonbase/WString.h"

namespace commonbase {

// One XML file: parsed into a DOM (optionally validated against a schema),
// searched by slash paths with an attribute filter, written back pretty-printed.
class XmlDom : public xercesc::DOMErrorHandler {
public:
    // The file was refused because it declares a document type or entities.
    static constexpr std::uint16_t errorDoctype = 0x90B;

    XmlDom(const WString& fileName, const WString& schemaFile);
    ~XmlDom() override;
    XmlDom(const XmlDom&) = delete;
    XmlDom& operator=(const XmlDom&) = delete;

    bool parseFile(bool validate);
    void createDocument(const WString& rootName);
    xercesc::DOMElement* findElement(const WString& path, const WString& filter);
    bool readValue(WString& value, const WString& path, const WString& filter);
    bool writeValue(const WString& path, const WString& filter, const WString& value);
    bool updateFile();
    bool updateFile(const WString& name);
    bool handleError(const xercesc::DOMError& error) override;
    static bool holdsDoctype(const std::string& path);

    // Narrow (UTF-8) conveniences for the core.
    bool readValue(std::string& value, const std::string& path, const std::string& filter);
    bool writeValue(const std::string& path, const std::string& filter, const std::string& value);
    bool writeValue(const char* path, const char* filter, const char* value)
    {
        return writeValue(std::string(path), std::string(filter), std::string(value));
    }

    std::uint32_t getLastError() const { return lastError; }
    const WString& getFileName() const { return fileName; }
    const WString& getSchemaFile() const { return schemaFile; }
    bool hasDocument() const { return document != nullptr; }
    // Shared documents are read and written from several threads.
    std::recursive_mutex& getMutex() { return mutex; }

private:
    xercesc::DOMElement* findElementLocked(const WString& path, const WString& filter);

    std::recursive_mutex mutex;
    WString fileName;
    WString schemaFile;
    std::uint32_t lastError = 0;
    xercesc::DOMImplementation* implementation = nullptr;
    xercesc::DOMLSParser* builder = nullptr;
    xercesc::DOMLSSerializer* writer = nullptr;
    xercesc::DOMDocument* document = nullptr; // owned by the builder when parsed, else by us
    bool ownsDocument = false;
};

} // namespace commonbase
