// String routines both systems share. Plain loops: the Windows stub has no C
// runtime, and a system call for each would cost the stub an import apiece
// and a pass through the platform's call bookkeeping, for work that touches
// no system state.
#include "platform/divide.h"
#include "platform/platform.h"

namespace zq {

char* str_copy(char* destination, const char* source) {
    char* out = destination;
    while ((*out++ = *source++) != '\0') {}
    return destination;
}

char* str_append(char* destination, const char* source) {
    str_copy(destination + str_length(destination), source);
    return destination;
}

uint32_t str_length(const char* text) {
    uint32_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

char* put_number(char* out, uint64_t value, uint32_t width, char pad) {
    // Divided through divide_u64_u32: two 32-bit divisions a digit in 32-bit
    // code, which then links no 64-bit division routine.
    char digits[20];
    uint32_t count = 0;
    do {
        uint32_t digit;
        value = divide_u64_u32(value, 10, &digit);
        digits[count++] = char('0' + digit);
    } while (value != 0);
    for (uint32_t filled = count; filled < width; ++filled) *out++ = pad;
    while (count != 0) *out++ = digits[--count];
    return out;
}

}  // namespace zq
