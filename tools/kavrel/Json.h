#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kavrelcli {

// A tiny JSON value writer: enough for the CLI's one document per command.
class Json {
public:
    static std::string quote(const std::string& text);

    // Builders for an object; values are already-encoded JSON texts.
    class Object {
    public:
        Object& add(const std::string& key, const std::string& text);
        Object& addNumber(const std::string& key, std::int64_t value);
        Object& addBool(const std::string& key, bool value);
        Object& addRaw(const std::string& key, std::string json);
        std::string str() const;

    private:
        std::vector<std::pair<std::string, std::string>> members;
    };

    static std::string stringArray(const std::vector<std::string>& items);
    static std::string array(const std::vector<std::string>& jsonItems);
};

} // namespace kavrelcli
