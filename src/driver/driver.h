// The extraction run: the self-extractor's whole life, and `zqpack extract`.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "status.h"

namespace zq {

// What a run does with the archive.
constexpr int kModeExtract = 0;
constexpr int kModeList = 1;  // size, time and path of each file; writes nothing
constexpr int kModeTest = 2;  // decodes and checks each file; writes nothing

// The self-extractor: reads its options from the program's words (the
// program's own first) and extracts, lists or tests the archive carried by
// its own executable. With no options it extracts into the current
// directory. Never returns.
[[noreturn]] void self_extract_main(uint32_t count, const char* const* words);

// What a tool may ask of the run beyond what the self-extractor does. All
// zero (`ExtractOptions{}`) is the self-extractor's own behaviour; a plain
// aggregate, so the stub's state needs no start-up code.
struct ExtractOptions {
    bool overwrite_all;    // answer All to every overwrite question
    bool never_overwrite;  // keep every existing file, without asking
    bool quiet;            // no banner, file lines or progress bars
    // The password to answer the archive's prompt with; null asks on the
    // console. A wrong one ends the run with kExitPasswordFail.
    const char* password;
    // Takes only the files for which it returns true; null takes every file.
    // `path` is the file's stored path, folders separated by '\'.
    bool (*select)(const char* path, void* context);
    void* select_context;
    // Called once `select` has seen every file's path, before anything is
    // written; a status other than 0 ends the run with it, and no message
    // of the run's own (the caller says why). Null: every selection goes on.
    int (*selection_done)(void* context);
    int mode;            // kModeExtract, kModeList or kModeTest
    const char* target;  // extract into this folder (made when missing); null: the current one
    // Starts the file the archive marks to run once every file is in place,
    // in the extraction folder; the run's exit status is then the program's.
    // The user's words (`run_args`) follow the archive's own arguments.
    bool run_marked;
    const char* const* run_args;
    uint32_t run_arg_count;
    // Becomes the catalogue's hook of the same name, so that a tool can take
    // names packed for another system into its own; null for none.
    int (*host_names)(Catalogue* catalogue, LeadBytes* lead);
    void* host_names_context;
    // Threads that decode blocks; 0 leaves it to the environment variable
    // and the processor count (pipeline_worker_count), 1 decodes every block
    // on the run's own thread.
    uint32_t workers;
    // Writes at once even when the archive asks for every file to be checked
    // before the first is written (the stub's --nocheck).
    bool no_check_first;
};

// The same run on an archive file given by path (a self-extractor or a bare
// archive, found through its trailer), into the current directory. Never
// returns.
[[noreturn]] void extract_archive(const char* archive_path, const ExtractOptions& options);

// The password asked for on the console: "Password: ", the typed line (not
// echoed), and the wrong-password message after each wrong one. No answer at all ends
// the reading with kExitAbort.
PasswordDialogue console_password_dialogue();

// Ends the run: prints the code's message, closes the open files, removes the
// pending temporary file and ends the process with the code.
[[noreturn]] void terminate(int code);

}  // namespace zq
