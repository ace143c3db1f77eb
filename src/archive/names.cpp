#include "archive/names.h"

#include "platform/platform.h"

namespace zq {

LeadBytes platform_lead_bytes() {
    LeadBytes set{};
    for (uint32_t byte = 0x80; byte <= 0xFF; ++byte) {
        if (is_lead_byte(uint8_t(byte))) set.add(uint8_t(byte));
    }
    return set;
}

LeadBytes fixed_lead_bytes() {
    LeadBytes set{};
    for (uint32_t byte = 0x81; byte <= 0xFC; ++byte) {
        if (byte <= 0x9F || byte >= 0xE0) set.add(uint8_t(byte));
    }
    return set;
}

namespace {
bool is_dot_part(const uint8_t* part, uint32_t length) {
    return (length == 1 && part[0] == '.') || (length == 2 && part[0] == '.' && part[1] == '.');
}
}  // namespace

bool is_safe_name(const uint8_t* name, uint32_t length, const LeadBytes& lead) {
    if (length == 0) return false;
    bool trail = false;
    uint32_t part = 0;  // start of the text since the last 0x5C
    for (uint32_t i = 0; i <= length; ++i) {
        if (i == length || name[i] == '\\') {
            if (is_dot_part(name + part, i - part)) return false;
            part = i + 1;
        }
        if (i == length) break;
        uint8_t c = name[i];
        if (c < 0x20 || c == '/' || c == ':') return false;
        if (trail) {
            trail = false;
        } else if (c == '\\') {
            return false;
        } else if (lead.contains(c)) {
            trail = true;
        }
    }
    return true;
}

}  // namespace zq
