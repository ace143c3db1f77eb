#include "archive/links.h"

#include "archive/catalogue.h"

namespace zq {

bool link_target_is_safe(const uint8_t* target, uint32_t length, uint32_t depth) {
    if (length == 0 || length > kMaxPath || target[0] == '/') return false;
    uint32_t climbs = 0;
    bool named = false;  // a part other than "." or ".." came already
    for (uint32_t start = 0; start <= length;) {
        uint32_t end = start;
        while (end < length && target[end] != '/') {
            if (target[end] < 0x20 || target[end] == '\\') return false;
            ++end;
        }
        const uint32_t size = end - start;
        const bool dot = size == 1 && target[start] == '.';
        const bool dot_dot = size == 2 && target[start] == '.' && target[start + 1] == '.';
        if (dot_dot) {
            if (named || ++climbs > depth) return false;
        } else if (size != 0 && !dot) {
            named = true;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace zq
