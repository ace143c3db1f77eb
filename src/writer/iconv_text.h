// One conversion of a whole text with iconv, for the tools' name handling
// (the packer's code pages and zqpack's listings of Windows archives).
#pragma once

#include <iconv.h>

#include <string>

namespace zq {

// Bytes of `text` in the conversion's target set; false when a character has
// no place there (or `text` is not in the source set).
inline bool iconv_text(iconv_t cd, const std::string& text, std::string* out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string result(text.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* to = result.data();
    size_t to_left = result.size();
    if (iconv(cd, &in, &in_left, &to, &to_left) == size_t(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &to, &to_left) == size_t(-1)) return false;
    result.resize(result.size() - to_left);
    *out = std::move(result);
    return true;
}

}  // namespace zq
