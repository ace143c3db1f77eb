// The self-extractor's start from its command line, and the runs that only
// read: listing and testing.
#include "codec/crc32.h"
#include "driver/options.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {

void list_file(const FileRecord& file, const char* path) {
    format_size_and_time(driver.progress_line, file.original_size(), file.write_time());
    console_write(driver.progress_line, kEndNone);
    console_write_path(path, kEndLine);
}

// Bytes decoded so far for the file under test, in 64 bits (plain_done wraps).
uint64_t decoded = 0;
uint32_t decoded_seen = 0;

void count_decoded(StreamContext* context, int16_t*) {
    decoded += uint32_t(context->plain_done - decoded_seen);
    decoded_seen = context->plain_done;
}

// Decodes the file's data into nothing; true when its size (and CRC, when
// recorded) come out as the record says.
bool file_is_sound(const FileRecord& file) {
    seek_to_data(file);
    const uint32_t size = file.original_size();
    checksum_start(&stream_context, file.has_crc());
    int16_t status = kStreamOk;
    decoded = 0;
    decoded_seen = 0;
    if (size != 0 && file.block_coded()) {
        stream_start(&stream_context, int32_t(file.stored_size()));
        status = stream_to_file(&stream_context, kNoFile, count_decoded);
    } else if (size != 0) {
        status = int16_t(copy_raw(&stream_context, kNoFile, size));
        decoded = size;
    }
    if (status != kStreamOk || decoded != size) return false;
    return !file.has_crc() || crc32_final(stream_context.crc) == file.crc32();
}

}  // namespace

void list_or_test() {
    const bool testing = driver.options.mode == kModeTest;
    bool all_sound = true;
    for (uint32_t i = 0; i < driver.file_count; ++i) {
        if (!is_selected(uint16_t(i))) continue;
        const FileRecord& file = *catalogue.file_table[i];
        const char* path = stored_path(file);
        if (!testing) {
            list_file(file, path);
            continue;
        }
        const bool sound = file_is_sound(file);
        all_sound = all_sound && sound;
        if (sound && driver.options.quiet) continue;
        console_write(sound ? "ok      " : "FAILED  ", kEndNone);
        console_write_path(path, kEndLine);
    }
    const FileHandle archive = driver.exe_file;
    driver.exe_file = kNoFile;
    if (file_close(archive) != 0) terminate(kExitIoError);
    terminate(all_sound ? kExitOk : kExitDecodeFailed);
}

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

void enter_target(const char* target) {
    char* path = driver.temp_path;
    if (str_length(target) >= kPathBufferSize) terminate(kExitIoError);
    str_copy(path, target);
    // Each folder on the way, then the target itself. A leading separator
    // (an absolute path) makes no empty folder name.
    for (char* p = path + 1; *p != '\0'; ++p) {
        if (*p != '\\' && *p != '/') continue;
        const char separator = *p;
        *p = '\0';
        const bool made = ensure_directory(path);
        *p = separator;
        if (!made) terminate(kExitIoError);
    }
    if (!ensure_directory(path) || !dir_set_current(path)) terminate(kExitIoError);
}

void self_extract_main(uint32_t count, const char* const* words) {
    StubOptions options{};
    const int status = parse_stub_options(count, words, &options);
    if (status != 0 || options.help) {
        if (options.refused != nullptr) {
            console_write("Unknown or misplaced option: ", kEndNone);
            console_write(options.refused, kEndLine);
        }
        // Line by line, so that each ends as this console ends lines.
        for (const char* line = kUsage; *line != '\0'; line += str_length(line) + 1) {
            console_write(line, kEndLine);
        }
        exit_process(status);
    }
    if (options.version) {
        console_write(kBannerLine, kEndLine);
        exit_process(kExitOk);
    }
    driver.options = options.extract;
    driver.overwrite_all = options.extract.overwrite_all;
    run_extraction(nullptr);
}

}  // namespace zq
