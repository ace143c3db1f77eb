// How the Linux console shows text: lines end with a line feed, paths use
// '/', and progress bars are drawn only for a person at a terminal; a pipe or
// a log file gets one line per file, with no carriage return anywhere.
#include "platform/console.h"

#include "platform/platform.h"

namespace zq {

// A password's unechoed Enter still ends its line here: a carriage return
// would leave the next text over "Password: " and put a CR in a log.
const char kConsoleEndings[kConsoleModes][3] = {"", "\n", "\r", "\n"};

bool console_draws_progress() {
    // Asked once: standard output does not change during a run, and the
    // question is put for every block of every file. ZQSFX_PROGRESS=1 asks
    // for the bars in a pipe too, for whoever wants to watch them there.
    static int answer = -1;
    if (answer < 0)
        answer = is_console(std_output()) || environment_number(kProgressVariable) == 1 ? 1 : 0;
    return answer == 1;
}

const char* console_file_label(const char* name, const char* path) {
    // Where the bars are drawn the lines are a terminal's, with bare names.
    if (console_draws_progress()) return name;
    static char shown[512];
    uint32_t used = 0;
    for (; path[used] != '\0' && used + 1 < sizeof shown; ++used)
        shown[used] = path[used] == '\\' ? '/' : path[used];
    shown[used] = '\0';
    return shown;
}

void console_write_path(const char* path, int mode) {
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
}

namespace {
const char* note_path = nullptr;
const char* note_reason = nullptr;
}  // namespace

void error_note(const char* path, const char* reason) {
    note_reason = reason;
    note_path = path;
}

void error_note_write() {
    if (note_path == nullptr) return;
    // One write, so that the line arrives whole between other output.
    char line[1024];
    uint32_t used = 0;
    for (const char* p = note_path; *p != '\0' && used + 1 < sizeof line / 2; ++p) {
        line[used++] = *p == '\\' ? '/' : *p;
    }
    const char* const rest[2] = {": ", note_reason};
    for (const char* part : rest) {
        for (const char* p = part; *p != '\0' && used + 1 < sizeof line; ++p) line[used++] = *p;
    }
    line[used++] = '\n';
    file_write(std_error(), line, used);
}

}  // namespace zq
