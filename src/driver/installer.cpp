// The installer: the file an archive marks to run once every file is in
// place, with its stored arguments and the user's.
#include "driver/options.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {
// The words the marked file runs with: its stored arguments, then the user's.
char run_word_storage[32768];  // a name pool, and so the arguments, is smaller
const char* run_words[kMaxRunWords + 1];
uint32_t run_word_count;

// No word is ever dropped: a program that cannot be given all of them is
// not started, and the run ends as for a command line that makes no sense.
[[noreturn]] void refuse_words() {
    static_assert(kMaxRunWords == 1000, "the message names the limit");
    console_write("Too many words for the program: at most 1000 (32767 characters on Windows)",
                  kEndLine);
    terminate_silently(kExitUsage);
}
}  // namespace

void prepare_run() {
    if (!driver.options.run_marked) return;
    for (uint32_t i = 0; i < driver.file_count; ++i) {
        const FileRecord& file = *catalogue.file_table[i];
        if (!file.runs_after() || file.is_symlink()) continue;
        const char* stored = run_arguments(catalogue, file.name());
        if (stored == nullptr) terminate(kExitInvalidArchive);
        // One word more than the limit shows that the stored ones exceed it.
        run_word_count =
            split_command_line(stored, false, run_word_storage, run_words, kMaxRunWords + 1);
        if (run_word_count + driver.options.run_arg_count > kMaxRunWords) refuse_words();
        for (uint32_t k = 0; k < driver.options.run_arg_count; ++k) {
            run_words[run_word_count++] = driver.options.run_args[k];
        }
        driver.run_file = i + 1;
        return;
    }
}

void run_marked_file() {
    if (driver.run_file == 0) return;
    const char* path = stored_path(*catalogue.file_table[driver.run_file - 1]);
    // A file kept from before (-n, or an "n" answer) is not this archive's
    // program: it is neither touched nor run.
    if (!driver.run_file_placed) {
        console_write_path(path, kEndNone);
        console_write(" : kept, not run", kEndLine);
        terminate_silently(kExitAbort);
    }
    file_make_executable(path);
    int32_t status = 0;
    const int32_t started = process_run(path, run_words, run_word_count, &status);
    if (started == kRunTooLong) refuse_words();
    if (started != kRunEnded) {
        console_write_path(path, kEndNone);
        console_write(" : cannot run", kEndLine);
        terminate(kExitIoError);
    }
    terminate_silently(status);
}

}  // namespace zq
