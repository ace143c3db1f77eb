// How the Windows console shows text: CR LF line ends, paths with '\' and the
// progress bar drawn wherever the output goes, as this stub has always
// written them (scripts and tests compare these bytes).
#include "platform/console.h"

namespace zq {

// The typed Enter of a password is not echoed: a bare CR takes the cursor
// back to the start of the prompt's line.
const char kConsoleEndings[kConsoleModes][3] = {"", "\r\n", "\r", "\r"};

bool console_draws_progress() { return true; }

// The Windows stub's lines keep their bytes: the bare name, always.
const char* console_file_label(const char* name, const char*) { return name; }

void console_write_path(const char* path, int mode) { console_write(path, mode); }

// The console of a run keeps its bytes as they always were: no note is kept
// and no error line written.
void error_note(const char*, const char*) {}
void error_note_write() {}
void error_note_folder(const char*) {}

}  // namespace zq
