// The rule a stored name must pass, shared by the reader (which refuses an
// archive holding anything else) and the writer (which refuses to store it).
#pragma once

#include <cstdint>

namespace zq {

// First byte of a two-byte character; its second byte is never a separator.
inline bool is_lead_byte(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// One path component: not empty, not "." or "..", no '/', ':' or control
// byte anywhere, and no '\' except as the second byte of a two-byte
// character. '/' is refused even there, since the Linux side would hand it to
// the kernel as a separator.
bool is_safe_name(const uint8_t* name, uint32_t length);

}  // namespace zq
