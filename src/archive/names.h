// The rule a stored name must pass, shared by the reader (which refuses an
// archive holding anything else) and the writer (which refuses to store it).
#pragma once

#include <cstdint>

#include "platform/platform.h"  // is_lead_byte

namespace zq {

// One path component: not empty, not "." or "..", no '/', ':' or control
// byte anywhere, and no '\' except as the second byte of a two-byte
// character. '/' is refused even there, since the Linux side would hand it to
// the kernel as a separator.
bool is_safe_name(const uint8_t* name, uint32_t length);

}  // namespace zq
