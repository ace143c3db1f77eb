// The console routines: plain byte reads and writes on the standard handles,
// so that redirected input and output behave like a console.
#include "platform/console.h"

#include "platform/platform.h"

namespace zq {

void console_write(const char* text, int mode) {
    const FileHandle output = std_output();
    // Text first, then the ending: the progress line repaints itself with a
    // bare CR after partial texts. Empty writes are left out.
    const uint32_t length = str_length(text);
    if (length != 0) file_write(output, text, length);
    if (mode > kEndNone && mode < kConsoleModes) {
        const char* ending = kConsoleEndings[mode];
        file_write(output, ending, str_length(ending));
    }
}

namespace {
// One answer: up to `size` bytes of one line, its line feed included when it
// fits. A console hands over one typed line per read. A pipe or a file hands
// over whatever is there, the answers to later questions too, so there the
// line is taken a byte at a time up to its line feed, and what does not fit
// is passed over. Bytes kept; 0 at end of input, -1 on error.
int32_t read_line(FileHandle input, void* buffer, uint32_t size) {
    if (is_console(input)) return std_read(input, buffer, size);
    uint8_t* line = static_cast<uint8_t*>(buffer);
    uint32_t kept = 0;
    for (;;) {
        uint8_t byte = 0;
        const int32_t n = std_read(input, &byte, 1);
        if (n < 0) return kept > 0 ? int32_t(kept) : -1;
        if (n == 0) return int32_t(kept);
        if (kept < size) line[kept++] = byte;
        if (byte == '\n') return int32_t(kept);
    }
}
}  // namespace

int read_key() {
    // The first byte of the line is the answer; the rest is not part of it.
    uint8_t line[256];
    const int32_t n = read_line(std_input(), line, sizeof line);
    if (n <= 0) return -1;
    return line[0];
}

int read_password(char* buffer) {
    const FileHandle input = std_input();
    console_password_mode(input);
    // At most 255 bytes, so that the NUL always fits the 256-byte buffer.
    const int32_t n = read_line(input, buffer, kPasswordBufferSize - 1);
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
