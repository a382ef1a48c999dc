#include "DriveTable.h"

#include "commonbase/XmlDom.h"

#include <cctype>
#include <filesystem>
#include <memory>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

namespace drivesim {

namespace {

using namespace xercesc;

std::string narrow(const XMLCh* text)
{
    if (!text)
        return {};
    char* c = XMLString::transcode(text);
    std::string s(c ? c : "");
    XMLString::release(&c);
    return s;
}

class Name {
public:
    explicit Name(const char* text) : x(XMLString::transcode(text)) {}
    ~Name() { XMLString::release(&x); }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    operator const XMLCh*() const { return x; }

private:
    XMLCh* x;
};

std::string attribute(const DOMElement* e, const char* name)
{
    Name n(name);
    return narrow(e->getAttribute(n));
}

std::string trimmed(std::string s)
{
    auto notBlank = [](unsigned char c) { return !std::isspace(c); };
    while (!s.empty() && !notBlank(static_cast<unsigned char>(s.back())))
        s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && !notBlank(static_cast<unsigned char>(s[i])))
        ++i;
    return s.substr(i);
}

std::vector<const DOMElement*> children(const DOMElement* parent, const char* tag)
{
    std::vector<const DOMElement*> list;
    for (auto* n = parent->getFirstChild(); n; n = n->getNextSibling())
        if (n->getNodeType() == DOMNode::ELEMENT_NODE && narrow(n->getNodeName()) == tag)
            list.push_back(static_cast<const DOMElement*>(n));
    return list;
}

// Records the first parse problem with its line, instead of throwing.
class Collector : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { note(e); }
    void fatalError(const SAXParseException& e) override { note(e); }
    void resetErrors() override {}
    std::string first;

private:
    void note(const SAXParseException& e)
    {
        if (first.empty())
            first = "line " + std::to_string(e.getLineNumber()) + ": " + narrow(e.getMessage());
    }
};

bool number(const DOMElement* e, const char* name, std::uint64_t max, std::uint64_t& out, std::string& error,
            bool required = true)
{
    std::string text = trimmed(attribute(e, name));
    if (text.empty()) {
        if (!required)
            return true;
        error = "<" + narrow(e->getNodeName()) + "> lacks the attribute '" + name + "'";
        return false;
    }
    if (!parseNumber(text, out) || out > max) {
        error = "<" + narrow(e->getNodeName()) + "> has a bad " + name + " '" + text + "'";
        return false;
    }
    return true;
}

} // namespace

bool parseNumber(const std::string& text, std::uint64_t& value)
{
    std::size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size())
        return false;
    std::uint64_t v = 0;
    for (; i < text.size(); ++i) {
        int d;
        char c = text[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (v > (UINT64_MAX - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return false;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    value = v;
    return true;
}

bool DriveTable::load(const std::string& file, std::string& error)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        error = "'" + file + "' is not a readable file";
        return false;
    }
    // Entities in a document type can expand without bound: refused, as the library does.
    if (commonbase::XmlDom::holdsDoctype(file)) {
        error = "'" + file + "' declares a document type (DOCTYPE), which is refused";
        return false;
    }
    XMLPlatformUtils::Initialize();
    bool ok = false;
    {
        XercesDOMParser parser;
        Collector collector;
        parser.setErrorHandler(&collector);
        parser.setDoNamespaces(false);
        parser.setValidationScheme(XercesDOMParser::Val_Never);
        try {
            parser.parse(file.c_str());
        } catch (...) {
            if (collector.first.empty())
                collector.first = "cannot be parsed";
        }
        const DOMDocument* doc = parser.getDocument();
        const DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
        if (!collector.first.empty())
            error = "'" + file + "': " + collector.first;
        else if (!root || narrow(root->getNodeName()) != "drive")
            error = "'" + file + "': the root element must be <drive>";
        else
            ok = true;
        if (ok) {
            std::string why;
            for (auto* group : children(root, "identification"))
                for (auto* o : children(group, "object")) {
                    std::uint64_t id = 0;
                    if (!number(o, "id", 0xFF, id, why))
                        break;
                    objects[static_cast<std::uint8_t>(id)] = trimmed(narrow(o->getTextContent()));
                    if (objects[static_cast<std::uint8_t>(id)].size() > 200)
                        why = "identification object " + std::to_string(id) + " is longer than 200 characters";
                }
            for (auto* group : children(root, "parameters"))
                for (auto* p : children(group, "parameter")) {
                    if (!why.empty())
                        break;
                    std::uint64_t index = 0, sub = 0, value = 0, step = 0, vorlane = 0;
                    if (!number(p, "index", 0xFFFF, index, why) || !number(p, "subindex", 0xFFFF, sub, why) ||
                        !number(p, "value", 0xFFFFFFFF, value, why) ||
                        !number(p, "step", 0xFFFFFFFF, step, why, false))
                        break;
                    ParameterEntry entry;
                    entry.index = static_cast<std::uint16_t>(index);
                    entry.subindex = static_cast<std::uint16_t>(sub);
                    entry.value = static_cast<std::uint32_t>(value);
                    entry.step = static_cast<std::uint32_t>(step);
                    entry.name = attribute(p, "name");
                    std::string access = trimmed(attribute(p, "access"));
                    if (access == "ro")
                        entry.writable = false;
                    else if (!access.empty() && access != "rw") {
                        why = "parameter " + std::to_string(index) + "." + std::to_string(sub) +
                              " has access '" + access + "' (ro or rw)";
                        break;
                    }
                    if (!trimmed(attribute(p, "vorlane")).empty()) {
                        if (!number(p, "vorlane", 0xFFFFFFFF, vorlane, why))
                            break;
                        entry.vorlaneValue = static_cast<std::uint32_t>(vorlane);
                    }
                    if (!parameters.emplace(key(entry.index, entry.subindex), entry).second) {
                        why = "parameter " + std::to_string(index) + "." + std::to_string(sub) + " is listed twice";
                        break;
                    }
                }
            for (auto* d : children(root, "diagnostic")) {
                std::uint64_t v = 0;
                if (why.empty() && number(d, "value", 0xFFFF, v, why))
                    diagnostic = static_cast<std::uint16_t>(v);
            }
            for (auto* group : children(root, "upload"))
                for (auto* b : children(group, "block")) {
                    if (!why.empty())
                        break;
                    std::string hex;
                    for (char c : narrow(b->getTextContent()))
                        if (!std::isspace(static_cast<unsigned char>(c)))
                            hex.push_back(c);
                    std::vector<std::uint8_t> bytes;
                    std::uint64_t v = 0;
                    for (std::size_t i = 0; i + 1 < hex.size() && why.empty(); i += 2) {
                        if (!parseNumber("0x" + hex.substr(i, 2), v))
                            why = "upload block " + std::to_string(uploadBlocks.size() + 1) + " holds non-hex text";
                        bytes.push_back(static_cast<std::uint8_t>(v));
                    }
                    if (why.empty() && hex.size() % 2 != 0)
                        why = "upload block " + std::to_string(uploadBlocks.size() + 1) + " has an odd digit count";
                    if (why.empty() && bytes.size() > 240)
                        why = "upload block " + std::to_string(uploadBlocks.size() + 1) + " is longer than 240 bytes";
                    uploadBlocks.push_back(std::move(bytes));
                }
            if (!why.empty()) {
                error = "'" + file + "': " + why;
                ok = false;
            }
        }
    }
    XMLPlatformUtils::Terminate();
    return ok;
}

} // namespace drivesim
