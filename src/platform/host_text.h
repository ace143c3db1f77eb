// What the packing tools ask of the host about text: conversions between
// character sets (names stored in a Windows code page, and read back), and
// letter case as the host's Unicode tables give it. Never part of the stub.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq {

// A conversion from one character set to another, each named as the host
// knows it ("UTF-8", or code_page_charset's names).
class TextConversion {
public:
    TextConversion(const std::string& to, const std::string& from);
    ~TextConversion();
    TextConversion(const TextConversion&) = delete;
    TextConversion& operator=(const TextConversion&) = delete;

    // False when the host cannot convert between the two sets.
    bool ready() const;
    // Bytes of `text` in the target set; false when a character has no place
    // there (or `text` is not in the source set).
    bool convert(const std::string& text, std::string* out) const;

private:
    void* handle_;  // the host's conversion descriptor
};

// The host's name for Windows code page `code_page`.
std::string code_page_charset(uint32_t code_page);

// The bytes (0x80-0xFF) that code page `code_page` reads as the unfinished
// start of a character; none when the host cannot convert from the page.
std::vector<uint8_t> code_page_lead_bytes(uint32_t code_page);

// `utf8` in upper case the way a Windows file system compares names, one
// wide character per code point; names that differ only in letter case give
// the same key.
std::wstring upper_case_key(const std::string& utf8);

}  // namespace zq
