#include "commonbase/XmlDom.h"
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>
#include <unistd.h>
#include <xercesc/framework/LocalFileFormatTarget.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"

using namespace xercesc;

namespace commonbase {

namespace {

// Xerces is initialised and terminated under one lock with a use count.
std::mutex& xercesLock()
{
    static std::mutex m;
    return m;
}
int& xercesUsers()
{
    static int n = 0;
    return n;
}

void xercesAcquire()
{
    std::lock_guard<std::mutex> lock(xercesLock());
    if (xercesUsers()++ == 0)
        XMLPlatformUtils::Initialize();
}

void xercesRelease()
{
    std::lock_guard<std::mutex> lock(xercesLock());
    if (--xercesUsers() == 0)
        XMLPlatformUtils::Terminate();
}

std::string narrow(const XMLCh* text) { return text ? utf16ToUtf8(std::u16string_view(text)) : std::string(); }

std::vector<std::u16string> splitPath(const std::u16string& path)
{
    std::vector<std::u16string> names;
    std::u16string current;
    for (char16_t c : path) {
        if (c == u'/') {
            if (!current.empty())
                names.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        names.push_back(current);
    return names;
}

std::u16string trim16(const std::u16string& s)
{
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// An attribute filter "name=value", split and trimmed once per lookup.
struct Filter {
    bool empty = true;
    bool wellFormed = false; // exactly one "="
    std::u16string name, value;

    explicit Filter(const std::u16string& text) : empty(text.empty())
    {
        auto eq = text.find(u'=');
        wellFormed = eq != std::u16string::npos && text.find(u'=', eq + 1) == std::u16string::npos;
        if (wellFormed) {
            name = trim16(text.substr(0, eq));
            value = trim16(text.substr(eq + 1));
        }
    }

    bool matches(DOMElement* element) const
    {
        if (empty || !element->hasAttributes())
            return true;
        if (!wellFormed)
            return false;
        DOMAttr* attribute = element->getAttributeNode(name.c_str());
        return attribute && value == attribute->getValue();
    }
};

bool namesMatch(DOMElement* candidate, const std::vector<std::u16string>& names)
{
    DOMNode* node = candidate->getParentNode();
    for (std::size_t i = names.size() - 1; i-- > 0;) {
        if (!node || node->getNodeType() != DOMNode::ELEMENT_NODE)
            return false;
        if (std::u16string(node->getNodeName()) != names[i])
            return false;
        node = node->getParentNode();
    }
    return true;
}

} // namespace

// Whether the raw file holds a document type declaration, in any of the
// encodings a configuration file is likely to come in (UTF-8, UTF-16 either way).
bool XmlDom::holdsDoctype(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > (std::size_t{1} << 20))
            break;
    }
    const std::string marker = "<!DOCTYPE";
    std::string le, be;
    for (char c : marker) {
        le += c;
        le += '\0';
        be += '\0';
        be += c;
    }
    return bytes.find(marker) != std::string::npos || bytes.find(le) != std::string::npos ||
           bytes.find(be) != std::string::npos;
}

XmlDom::XmlDom(const WString& fileName_, const WString& schemaFile_) : fileName(fileName_), schemaFile(schemaFile_)
{
    Dbg dbg(0, __FILE__, "Constructor(" + fileName.toUtf8() + "," + schemaFile.toUtf8() + ")");
    xercesAcquire();
    for (std::uint16_t code = 0x901; code <= errorDoctype; ++code)
        ErrorHandler::instance().registerErrorCode(code);
    try {
        implementation = DOMImplementationRegistry::getDOMImplementation(u"LS");
        if (!implementation) {
            lastError = 0x904;
            DbgInfo(3, __FILE__, "getDOMImplementation failed...");
            return;
        }
        writer = static_cast<DOMImplementationLS*>(implementation)->createLSSerializer();
        builder = static_cast<DOMImplementationLS*>(implementation)
                      ->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr);
    } catch (const DOMException& e) {
        lastError = 0x903;
        DbgInfo(3, __FILE__, "DOMException: " + narrow(e.getMessage()));
        if (builder)
            builder->release();
        if (writer)
            writer->release();
        builder = nullptr;
        writer = nullptr;
    }
}

XmlDom::~XmlDom()
{
    Dbg dbg(0, __FILE__, "Destructor");
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (ownsDocument && document)
            document->release();
        document = nullptr;
        if (builder)
            builder->release();
        if (writer)
            writer->release();
    }
    xercesRelease();
}

bool XmlDom::parseFile(bool validate)
{
    Dbg dbg(0, __FILE__, "parseFile(" + fileName.toUtf8() + "," + schemaFile.toUtf8() + ")");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (lastError != 0 || !implementation || !builder)
        return false;
    try {
        DOMConfiguration* config = builder->getDomConfig();
        if (!schemaFile.empty() && config->canSetParameter(XMLUni::fgXercesSchemaExternalNoNameSpaceSchemaLocation,
                                                           schemaFile.c_str()))
            config->setParameter(XMLUni::fgXercesSchemaExternalNoNameSpaceSchemaLocation, schemaFile.c_str());
        if (validate) {
            // Validate only when a schema is given: the text files carry none.
            if (config->canSetParameter(XMLUni::fgDOMNamespaces, true))
                config->setParameter(XMLUni::fgDOMNamespaces, true);
            if (config->canSetParameter(XMLUni::fgXercesSchema, true))
                config->setParameter(XMLUni::fgXercesSchema, true);
            if (config->canSetParameter(XMLUni::fgXercesSchemaFullChecking, true))
                config->setParameter(XMLUni::fgXercesSchemaFullChecking, true);
            if (config->canSetParameter(XMLUni::fgDOMValidateIfSchema, true))
                config->setParameter(XMLUni::fgDOMValidateIfSchema, true);
            if (!schemaFile.empty() && config->canSetParameter(XMLUni::fgDOMValidate, true))
                config->setParameter(XMLUni::fgDOMValidate, true);
        }
        // No file of ours needs a document type, and entities declared in one can
        // expand without bound or reach out to other files: any DOCTYPE is refused.
        config->setParameter(XMLUni::fgDOMDisallowDoctype, true);
        config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(this));
        if (ownsDocument && document)
            document->release();
        ownsDocument = false;
        document = nullptr;
        // A missing file is reported as a fatal error through handleError.
        document = builder->parseURI(fileName.c_str());
    } catch (const SAXException& e) {
        lastError = 0x901;
        DbgInfo(3, __FILE__, "SAXException: " + narrow(e.getMessage()));
        return false;
    } catch (const XMLException& e) {
        lastError = 0x902;
        DbgInfo(3, __FILE__, "XMLException: " + narrow(e.getMessage()));
        return false;
    } catch (const DOMException& e) {
        lastError = 0x903;
        DbgInfo(3, __FILE__, "DOMException: " + narrow(e.getMessage()));
        return false;
    } catch (...) {
        lastError = 0x902;
        DbgInfo(3, __FILE__, "XMLException: unexpected failure while parsing");
        return false;
    }
    // The parser only says "invalid document structure"; name the cause.
    if (lastError == 0x905 && holdsDoctype(fileName.toUtf8())) {
        lastError = errorDoctype;
        DbgInfo(3, __FILE__, "'" + fileName.toUtf8() +
                                 "' declares a document type (DOCTYPE) or entities, which are refused; the file is left as it is");
    }
    return lastError == 0;
}

bool XmlDom::handleError(const DOMError& error)
{
    Dbg dbg(0, __FILE__, "handleError");
    DOMLocator* where = error.getLocation();
    std::string text = "'" + (where ? narrow(where->getURI()) : std::string()) + "'" + ",line " +
                       std::to_string(where ? where->getLineNumber() : 0) + ",char " +
                       std::to_string(where ? where->getColumnNumber() : 0) + ",'" + narrow(error.getMessage()) + "'";
    switch (error.getSeverity()) {
    case DOMError::DOM_SEVERITY_WARNING:
        DbgInfo(2, __FILE__, text);
        lastError = 0x907;
        break;
    case DOMError::DOM_SEVERITY_ERROR:
        DbgInfo(3, __FILE__, text);
        lastError = 0x906;
        break;
    default:
        DbgInfo(4, __FILE__, text);
        lastError = 0x905;
        break;
    }
    return true;
}

void XmlDom::createDocument(const WString& rootName)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!implementation)
        return;
    try {
        DOMDocument* fresh = implementation->createDocument(nullptr, rootName.c_str(), nullptr);
        if (!schemaFile.empty()) {
            DOMElement* root = fresh->getDocumentElement();
            root->setAttribute(u"xmlns:xsi", u"http://www.w3.org/2001/XMLSchema-instance");
            root->setAttribute(u"xsi:noNamespaceSchemaLocation", u"LastSettings.xsd");
        }
        if (ownsDocument && document)
            document->release();
        document = fresh;
        ownsDocument = true;
    } catch (const DOMException& e) {
        lastError = 0x903;
        DbgInfo(3, __FILE__, "DOMException: " + narrow(e.getMessage()));
    }
}

DOMElement* XmlDom::findElement(const WString& path, const WString& filter)
{
    Dbg dbg(0, __FILE__, "findElement(" + path.toUtf8() + "," + filter.toUtf8() + ")");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return findElementLocked(path, filter);
}

DOMElement* XmlDom::findElementLocked(const WString& path, const WString& filter)
{
    if (fileName.empty() || !document)
        return nullptr;
    std::vector<std::u16string> names = splitPath(path.str());
    if (names.empty())
        return nullptr;
    // One walk in document order. The parser's live element list recounts the
    // whole tree on each length query, which made every lookup quadratic.
    const std::u16string& wanted = names.back();
    const Filter accepted(filter.str());
    DOMNode* node = document->getFirstChild();
    while (node) {
        if (node->getNodeType() == DOMNode::ELEMENT_NODE && wanted == node->getNodeName()) {
            auto* candidate = static_cast<DOMElement*>(node);
            if (accepted.matches(candidate) && namesMatch(candidate, names))
                return candidate;
        }
        if (DOMNode* child = node->getFirstChild()) {
            node = child;
            continue;
        }
        while (node && node != document && !node->getNextSibling())
            node = node->getParentNode();
        node = node && node != document ? node->getNextSibling() : nullptr;
    }
    return nullptr;
}

bool XmlDom::readValue(WString& value, const WString& path, const WString& filter)
{
    Dbg dbg(0, __FILE__, "readValue(" + path.toUtf8() + "," + filter.toUtf8() + ")");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    DOMElement* element = findElementLocked(path, filter);
    if (!element) {
        value = WString();
        DbgInfo(2, __FILE__, "Value '" + path.toUtf8() + "' with attribute '" + filter.toUtf8() + "' not found in '" +
                                 fileName.toUtf8() + "'");
        return false;
    }
    const XMLCh* text = element->getTextContent();
    value = WString(trim16(text ? std::u16string(text) : std::u16string()));
    return true;
}

bool XmlDom::readValue(std::string& value, const std::string& path, const std::string& filter)
{
    WString wide;
    bool ok = readValue(wide, WString(path), WString(filter));
    value = wide.toUtf8();
    return ok;
}

bool XmlDom::writeValue(const WString& path, const WString& filter, const WString& value)
{
    Dbg dbg(0, __FILE__, "writeValue(" + path.toUtf8() + " , " + filter.toUtf8() + " , " + value.toUtf8() + ")");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    try {
        DOMElement* element = findElementLocked(path, filter);
        if (element) {
            element->setTextContent(value.c_str());
            return true;
        }
        std::vector<std::u16string> names = splitPath(path.str());
        if (names.empty())
            return false;
        if (!document)
            createDocument(WString(names.front()));
        if (!document)
            return false;
        DOMElement* parent = nullptr;
        std::u16string partial;
        for (std::size_t i = 0; i < names.size(); ++i) {
            partial += (i ? u"/" : u"") + names[i];
            bool last = i + 1 == names.size();
            // The last level is looked up with the filter, so a sibling's value is never overwritten.
            DOMElement* found = findElementLocked(WString(partial), last ? filter : WString());
            if (last && found && !filter.empty() && !found->hasAttributes())
                found = nullptr;
            if (!found) {
                found = document->createElement(names[i].c_str());
                if (parent)
                    parent->appendChild(found);
                else if (document->getDocumentElement())
                    document->getDocumentElement()->appendChild(found);
                else
                    document->appendChild(found);
            }
            parent = found;
        }
        std::u16string f = filter.str();
        auto eq = f.find(u'=');
        if (eq != std::u16string::npos && f.find(u'=', eq + 1) == std::u16string::npos) {
            std::u16string name = trim16(f.substr(0, eq));
            if (!name.empty())
                parent->setAttribute(name.c_str(), trim16(f.substr(eq + 1)).c_str());
        }
        parent->setTextContent(value.c_str());
        return true;
    } catch (const DOMException& e) {
        lastError = 0x903;
        DbgInfo(3, __FILE__, "DOMException: " + narrow(e.getMessage()));
        return false;
    }
}

bool XmlDom::writeValue(const std::string& path, const std::string& filter, const std::string& value)
{
    return writeValue(WString(path), WString(filter), WString(value));
}

bool XmlDom::updateFile() { return updateFile(WString()); }

bool XmlDom::updateFile(const WString& nameIn)
{
    Dbg dbg(0, __FILE__, "updateFile");
    std::lock_guard<std::recursive_mutex> lock(mutex);
    WString name = nameIn.empty() ? fileName : nameIn;
    if (name.empty()) {
        lastError = 0x909;
        return false;
    }
    if (!implementation || !writer) {
        lastError = 0x908;
        return false;
    }
    if (!document) {
        lastError = 0x90A;
        DbgInfo(3, __FILE__, "updateFile: no document to write to '" + name.toUtf8() + "'");
        return false;
    }
    // Written beside the target and renamed over it, so a failed write never loses the old file.
    std::string target = name.toUtf8();
    std::string temporary = target + ".tmp" + std::to_string(::getpid());
    bool written = false;
    try {
        DOMConfiguration* config = writer->getDomConfig();
        config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(this));
        if (config->canSetParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true))
            config->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true);
        {
            LocalFileFormatTarget output(WString(temporary).c_str());
            DOMLSOutput* out = static_cast<DOMImplementationLS*>(implementation)->createLSOutput();
            // Released however the write ends: the serialiser throws on text it cannot write.
            std::unique_ptr<DOMLSOutput, void (*)(DOMLSOutput*)> held(out, [](DOMLSOutput* o) { o->release(); });
            out->setByteStream(&output);
            // Always UTF-8: a document read from UTF-16 would otherwise be written
            // as "UTF-16 (LE)" without a byte order mark, which no parser reads back.
            out->setEncoding(u"UTF-8");
            written = writer->write(document, out);
            output.flush();
        }
    } catch (const XMLException& e) {
        DbgInfo(3, __FILE__, "XMLException: " + narrow(e.getMessage()));
        written = false;
    } catch (const DOMException& e) {
        DbgInfo(3, __FILE__, "DOMException: " + narrow(e.getMessage()));
        written = false;
    } catch (...) {
        written = false;
    }
    std::error_code ec;
    if (written) {
        std::filesystem::rename(temporary, target, ec);
        if (ec)
            written = false;
    }
    if (!written) {
        std::filesystem::remove(temporary, ec);
        lastError = 0x90A;
        DbgInfo(3, __FILE__, "updateFile: could not write '" + target + "'");
        return false;
    }
    return lastError == 0;
}

} // namespace commonbase
