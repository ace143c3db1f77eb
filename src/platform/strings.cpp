// String routines both systems share. Plain loops: the Windows stub has no C
// runtime, and a system call for each would cost the stub an import apiece
// and a pass through the platform's call bookkeeping, for work that touches
// no system state.
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

}  // namespace zq
