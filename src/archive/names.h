// The rule a stored name must pass, shared by the reader (which refuses an
// archive holding anything else) and the writer (which refuses to store it).
#pragma once

#include <cstdint>

namespace zq {

// The bytes that begin a two-byte character in the names being checked. The
// extractor checks with its platform's own set, so that what it accepts is
// exactly what its path code creates; zqpack checks with the set of the code
// page an archive was packed for.
struct LeadBytes {
    uint32_t bits[8];
    bool contains(uint8_t byte) const { return (bits[byte >> 5] >> (byte & 31)) & 1; }
    void add(uint8_t byte) { bits[byte >> 5] |= uint32_t(1) << (byte & 31); }
};

// The platform's set (is_lead_byte): none on Linux, the ANSI code page's on
// Windows.
LeadBytes platform_lead_bytes();
// 0x81-0x9F and 0xE0-0xFC: the set of code page 932, the rule for archives
// that carry no code page mark.
LeadBytes fixed_lead_bytes();

// One path component: not empty, not "." or "..", no '/', ':' or control
// byte anywhere, and no '\' except as the second byte of a two-byte
// character. '/' is refused even there, since the Linux side would hand it to
// the kernel as a separator. A system with a single-byte code page splits the
// name at every 0x5C, so no part between them may be "." or ".." either: the
// name then means the same folder under every code page.
bool is_safe_name(const uint8_t* name, uint32_t length, const LeadBytes& lead);

// Header byte 3 says which Windows code page the names were packed for, as an
// index into this table. 0 (what every archive had before the mark existed)
// means the names are as the packing system had them: UTF-8 from zqpack for a
// Linux stub or a bare archive, the system's own code page from elsewhere.
constexpr uint16_t kMarkedCodePages[] = {0,    874,  932,  936,  949,  950,  1250, 1251,
                                         1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr uint32_t kMarkedCodePageCount = sizeof kMarkedCodePages / sizeof kMarkedCodePages[0];

// The code page a mark stands for; 0 for no mark or one this reader does not know.
inline uint16_t code_page_of_mark(uint8_t mark) {
    return mark < kMarkedCodePageCount ? kMarkedCodePages[mark] : 0;
}
// The mark of a code page; 0 when it is not one that can be marked.
inline uint8_t mark_of_code_page(uint32_t code_page) {
    for (uint32_t i = 1; i < kMarkedCodePageCount; ++i) {
        if (kMarkedCodePages[i] == code_page) return uint8_t(i);
    }
    return 0;
}

}  // namespace zq
