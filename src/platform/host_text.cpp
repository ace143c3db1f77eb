#include "platform/host_text.h"

#include <iconv.h>
#include <locale.h>

#include <cerrno>
#include <clocale>
#include <cwctype>

namespace zq {

namespace {

iconv_t as_iconv(void* handle) { return static_cast<iconv_t>(handle); }

}  // namespace

TextConversion::TextConversion(const std::string& to, const std::string& from)
    : handle_(iconv_open(to.c_str(), from.c_str())) {}

TextConversion::~TextConversion() {
    if (ready()) iconv_close(as_iconv(handle_));
}

bool TextConversion::ready() const { return as_iconv(handle_) != iconv_t(-1); }

bool TextConversion::convert(const std::string& text, std::string* out) const {
    if (!ready()) return false;
    iconv_t cd = as_iconv(handle_);
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

std::string code_page_charset(uint32_t code_page) { return "CP" + std::to_string(code_page); }

std::vector<uint8_t> code_page_lead_bytes(uint32_t code_page) {
    std::vector<uint8_t> lead;
    iconv_t cd = iconv_open("UTF-8", code_page_charset(code_page).c_str());
    if (cd == iconv_t(-1)) return lead;
    for (uint32_t byte = 0x80; byte <= 0xFF; ++byte) {
        char in_byte = char(byte);
        char out_bytes[8];
        char* in = &in_byte;
        char* to = out_bytes;
        size_t in_left = 1;
        size_t to_left = sizeof out_bytes;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in, &in_left, &to, &to_left) == size_t(-1) && errno == EINVAL)
            lead.push_back(uint8_t(byte));
    }
    iconv_close(cd);
    return lead;
}

std::wstring upper_case_key(const std::string& utf8) {
    static locale_t utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t c = uint8_t(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra != 0) c &= 0x3F >> extra;
        for (++i; extra > 0 && i < utf8.size(); --extra, ++i)
            c = (c << 6) | (uint8_t(utf8[i]) & 0x3F);
        wint_t w = wint_t(c);
        out += wchar_t(utf8_locale != locale_t(0) ? towupper_l(w, utf8_locale) : std::towupper(w));
    }
    return out;
}

}  // namespace zq
