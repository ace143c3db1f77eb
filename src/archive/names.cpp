#include "archive/names.h"

namespace zq {

bool is_safe_name(const uint8_t* name, uint32_t length) {
    if (length == 0) return false;
    if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'))) return false;
    bool trail = false;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = name[i];
        if (c < 0x20 || c == '/' || c == ':') return false;
        if (trail) {
            trail = false;
        } else if (c == '\\') {
            return false;
        } else if (is_lead_byte(c)) {
            trail = true;
        }
    }
    return true;
}

}  // namespace zq
