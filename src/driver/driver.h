// The extraction run: the self-extractor's whole life, and `zqpack extract`.
#pragma once

#include <cstdint>

namespace zq {

// Exit codes; each is also the index of the message printed before exit.
constexpr int kExitOk = 0;
constexpr int kExitAbort = 1;          // "Abort !"
constexpr int kExitNoDiskSpace = 2;    // "No disk space"
// 3 "File I/O error", 5 "Out of memory", 8 "Invalid archive": archive/catalogue.h
constexpr int kExitPasswordFail = 4;   // printed after a wrong password; never an exit status
constexpr int kExitTempFail = 6;       // "mktemp() fail"
constexpr int kExitDecodeFailed = 7;   // "Decode failed"

// The self-extractor: extracts the archive carried by its own executable into
// the current directory. Never returns.
[[noreturn]] void self_extract_main();

// The same run on an archive file given by path (a self-extractor or a bare
// archive, found through its trailer), into the current directory.
// `overwrite_all` answers All to every overwrite question. `host_names`
// (with its context) becomes the catalogue's hook of the same name, so that
// a tool can take names packed for another system into its own. Never
// returns.
struct Catalogue;
struct LeadBytes;
[[noreturn]] void extract_archive(const char* archive_path, bool overwrite_all,
                                  int (*host_names)(Catalogue*, LeadBytes*) = nullptr,
                                  void* host_names_context = nullptr);

// Ends the run: prints the code's message, closes the open files, removes the
// pending temporary file and ends the process with the code.
[[noreturn]] void terminate(int code);

}  // namespace zq
