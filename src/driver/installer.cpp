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
    if (!driver().options.run_marked) return;
    for (uint32_t i = 0; i < driver().file_count; ++i) {
        const FileRecord& file = *catalogue.file_table[i];
        if (!file.runs_after() || file.is_symlink()) continue;
        const char* stored = run_arguments(catalogue, file.name());
        if (stored == nullptr) terminate(kExitInvalidArchive);
        // One word more than the limit shows that the stored ones exceed it.
        run_word_count =
            split_command_line(stored, false, run_word_storage, run_words, kMaxRunWords + 1);
        if (run_word_count + driver().options.run_arg_count > kMaxRunWords) refuse_words();
        for (uint32_t k = 0; k < driver().options.run_arg_count; ++k) {
            run_words[run_word_count++] = driver().options.run_args[k];
        }
        driver().run_file = i + 1;
        return;
    }
}

namespace {
// Where the user started the run and the self-extractor's own path, for the
// program: environment variables under the names the manual gives. One
// that cannot be had is left as the environment had it.
void tell_the_program() {
    if (driver().start_folder[0] != '\0') environment_set("ZQSFX_USER_PWD", driver().start_folder);
    static char own_path[kOwnPathBufferSize];
    if (own_executable_path(own_path, sizeof own_path) != 0)
        environment_set("ZQSFX_SELF", own_path);
}
}  // namespace

void enter_run_folder() {
    const char* target = driver().options.target;
    if (driver().run_file != 0) {
        // Noted before anything moves the run elsewhere; empty when it
        // cannot be had.
        dir_get_current(driver().start_folder, sizeof driver().start_folder);
        // -d names where the files are to stay: a folder of the user's, kept.
        if (catalogue.temp_folder && target == nullptr) {
            // The folder and the note that it is ours appear together, or an
            // event in between would leave it behind.
            control_events_hold();
            const bool made =
                dir_make_private(driver().private_folder, sizeof driver().private_folder);
            const int32_t error = last_system_error();
            if (made) driver().private_folder_made = 1;
            control_events_release();
            if (!made) fail_system(kExitTempFail, driver().private_folder, error);
            target = driver().private_folder;
        }
    }
    if (target != nullptr) enter_target(target);
}

void run_marked_file() {
    if (driver().run_file == 0) return;
    const char* path = stored_path(*catalogue.file_table[driver().run_file - 1]);
    // A file kept from before (-n, or an "n" answer) is not this archive's
    // program: it is neither touched nor run.
    if (!driver().run_file_placed) {
        console_write_path(path, kEndNone);
        console_write(" : kept, not run", kEndLine);
        terminate_silently(kExitAbort);
    }
    file_make_executable(path);
    tell_the_program();
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
