#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Kavrel {

// Small-integer-keyed numbers and texts that carry bus settings to a hardware
// interface, and the frame bytes plus fields of one request or answer.
class GenericParameters {
public:
    virtual ~GenericParameters() = default;

    std::map<std::uint32_t, std::int32_t> numbers;
    std::map<std::uint32_t, std::string> texts;
    std::vector<std::uint8_t> bytes;

    std::int32_t getNumber(std::uint32_t key, std::int32_t fallback = 0) const
    {
        auto it = numbers.find(key);
        return it == numbers.end() ? fallback : it->second;
    }
    std::string getText(std::uint32_t key, const std::string& fallback = {}) const
    {
        auto it = texts.find(key);
        return it == texts.end() ? fallback : it->second;
    }
    void setNumber(std::uint32_t key, std::int32_t value) { numbers[key] = value; }
    void setText(std::uint32_t key, std::string value) { texts[key] = std::move(value); }
    void setBytes(const std::string& text) { bytes.assign(text.begin(), text.end()); }
    std::string bytesAsText() const { return std::string(bytes.begin(), bytes.end()); }
};

} // namespace Kavrel
