#pragma once
#include <string>
#include <string_view>

namespace commonbase {

// UTF-16 text of the foundation (Xerces-C's XMLCh is char16_t). Narrow texts
// are UTF-8 in both directions.
class WString {
public:
    WString() = default;
    WString(const char* utf8);
    WString(const std::string& utf8);
    WString(std::string_view utf8);
    WString(std::u16string text) : text_(std::move(text)) {}
    WString(const char16_t* text) : text_(text ? text : u"") {}

    const std::u16string& str() const { return text_; }
    std::u16string& str() { return text_; }
    const char16_t* c_str() const { return text_.c_str(); }
    std::string toUtf8() const;
    bool empty() const { return text_.empty(); }
    std::size_t size() const { return text_.size(); }

    WString& operator+=(const WString& other) { text_ += other.text_; return *this; }
    friend WString operator+(WString a, const WString& b) { a += b; return a; }
    friend bool operator==(const WString& a, const WString& b) { return a.text_ == b.text_; }
    friend bool operator<(const WString& a, const WString& b) { return a.text_ < b.text_; }

private:
    std::u16string text_;
};

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);

} // namespace commonbase
