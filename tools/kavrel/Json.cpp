#include "Json.h"

#include <cstdio>

namespace kavrelcli {

std::string Json::quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += "\"";
    return out;
}

Json::Object& Json::Object::add(const std::string& key, const std::string& text)
{
    members.emplace_back(key, quote(text));
    return *this;
}

Json::Object& Json::Object::addNumber(const std::string& key, std::int64_t value)
{
    members.emplace_back(key, std::to_string(value));
    return *this;
}

Json::Object& Json::Object::addBool(const std::string& key, bool value)
{
    members.emplace_back(key, value ? "true" : "false");
    return *this;
}

Json::Object& Json::Object::addRaw(const std::string& key, std::string json)
{
    members.emplace_back(key, std::move(json));
    return *this;
}

std::string Json::Object::str() const
{
    std::string out = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) out += ",";
        out += quote(members[i].first) + ":" + members[i].second;
    }
    return out + "}";
}

std::string Json::stringArray(const std::vector<std::string>& items)
{
    std::vector<std::string> quoted;
    quoted.reserve(items.size());
    for (const auto& item : items) quoted.push_back(quote(item));
    return array(quoted);
}

std::string Json::array(const std::vector<std::string>& jsonItems)
{
    std::string out = "[";
    for (std::size_t i = 0; i < jsonItems.size(); ++i) {
        if (i) out += ",";
        out += jsonItems[i];
    }
    return out + "]";
}

} // namespace kavrelcli
