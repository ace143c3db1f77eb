// The installer: the file an archive marks to run once every file is in
// place, with its stored arguments and the user's.
#include "driver/options.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {
// The words the marked file runs with: its stored arguments, then the user's.
constexpr uint32_t kMaxRunWords = 1024;
char run_word_storage[32768];  // a name pool, and so the arguments, is smaller
const char* run_words[kMaxRunWords];
uint32_t run_word_count;
}  // namespace

void prepare_run() {
    if (!driver.options.run_marked) return;
    for (uint32_t i = 0; i < driver.file_count; ++i) {
        const FileRecord& file = *catalogue.file_table[i];
        if (!file.runs_after() || file.is_symlink()) continue;
        const char* stored = run_arguments(catalogue, file.name());
        if (stored == nullptr) terminate(kExitInvalidArchive);
        run_word_count =
            split_command_line(stored, false, run_word_storage, run_words, kMaxRunWords);
        for (uint32_t k = 0; k < driver.options.run_arg_count && run_word_count < kMaxRunWords;
             ++k) {
            run_words[run_word_count++] = driver.options.run_args[k];
        }
        driver.run_file = i + 1;
        return;
    }
}

void run_marked_file() {
    if (driver.run_file == 0) return;
    const char* path = stored_path(*catalogue.file_table[driver.run_file - 1]);
    file_make_executable(path);
    const int32_t status = process_run(path, run_words, run_word_count);
    if (status < 0) {
        console_write_path(path, kEndNone);
        console_write(" : cannot run", kEndLine);
        terminate(kExitIoError);
    }
    exit_process(status);
}

}  // namespace zq
