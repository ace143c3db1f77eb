// The console routines: plain byte reads and writes on the standard handles,
// so that redirected input and output behave like a console.
#include "platform/console.h"

#include "platform/platform.h"

namespace zq {

namespace {
const char kLineEndings[4][3] = {"", "\n", "\r", "\r\n"};
}  // namespace

void console_write(const char* text, int mode) {
    const FileHandle output = std_output();
    // Text first, then the line ending: the progress line repaints itself
    // with a bare CR after partial texts. Empty writes are left out.
    const uint32_t length = str_length(text);
    if (length != 0) file_write(output, text, length);
    if (mode >= kEndLf && mode <= kEndCrLf) {
        const char* ending = kLineEndings[mode];
        file_write(output, ending, str_length(ending));
    }
}

void console_write_path(const char* path, int mode) {
#ifdef _WIN32
    console_write(path, mode);
#else
    // Names on Linux have no two-byte characters, so every '\' is a separator.
    char shown[512];
    uint32_t used = 0;
    for (const char* p = path;; ++p) {
        if (*p == '\0' || used + 1 == sizeof shown) {
            shown[used] = '\0';
            console_write(shown, *p == '\0' ? mode : kEndNone);
            if (*p == '\0') return;
            used = 0;
        }
        shown[used++] = *p == '\\' ? '/' : *p;
    }
#endif
}

int read_key() {
    // One read per answer: a console delivers one typed line; the rest of
    // what this read returned is not part of the answer.
    uint8_t line[256];
    const int32_t n = std_read(std_input(), line, sizeof line);
    if (n <= 0) return -1;
    return line[0];
}

int read_password(char* buffer) {
    const FileHandle input = std_input();
    console_password_mode(input);
    // At most 255 bytes, so that the NUL always fits the 256-byte buffer.
    const int32_t n = std_read(input, buffer, kPasswordBufferSize - 1);
    console_restore_mode(input);
    if (n <= 0) {
        buffer[0] = '\0';
        return -1;
    }
    // Only the line ending goes: CR LF from a console, LF from a Unix
    // terminal or file, a lone CR from some terminals.
    int32_t length = n;
    if (length > 0 && buffer[length - 1] == '\n') --length;
    if (length > 0 && buffer[length - 1] == '\r') --length;
    buffer[length] = '\0';
    return 0;
}

}  // namespace zq
