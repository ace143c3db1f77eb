// The extraction run: the self-extractor's whole life, and `zqpack extract`.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "status.h"

namespace zq {

// The self-extractor: extracts the archive carried by its own executable into
// the current directory. Never returns.
[[noreturn]] void self_extract_main();

// The same run on an archive file given by path (a self-extractor or a bare
// archive, found through its trailer), into the current directory.
// `overwrite_all` answers All to every overwrite question. Never returns.
[[noreturn]] void extract_archive(const char* archive_path, bool overwrite_all);

// The password asked for on the console: "Password: ", the typed line (not
// echoed), and the wrong-password message after each wrong one. No answer at all ends
// the reading with kExitAbort.
PasswordDialogue console_password_dialogue();

// Ends the run: prints the code's message, closes the open files, removes the
// pending temporary file and ends the process with the code.
[[noreturn]] void terminate(int code);

}  // namespace zq
