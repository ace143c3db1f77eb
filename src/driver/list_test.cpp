// The runs that only read: listing and testing.
#include "archive/file_data.h"
#include "archive/links.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {

void list_file(const FileRecord& file, const char* path) {
    format_size_and_time(driver.progress_line, file.original_size(), file.write_time());
    console_write(driver.progress_line, kEndNone);
    console_write_path(path, kEndLine);
}

// Decodes the file's data into nothing: 0 when its size (and CRC, when
// recorded) come out as the record says, as extraction requires, else the
// status its extraction would end with. A link, on a system that makes
// links, must also have a target that extraction would make (one that
// cannot lead out of the run folder from `path`).
int file_check_status(const FileRecord& file, const char* path) {
    if (file.is_symlink() && platform_makes_links()) {
        char* target = driver.link_target;
        const FileData data =
            read_link_target(&stream_context, driver.archive_offset, file, target);
        if (data.outcome != kDataOk) return extraction_status(data.outcome, file.block_coded());
        return link_target_is_safe(reinterpret_cast<const uint8_t*>(target), file.original_size(),
                                   path_depth(path))
                   ? kExitOk
                   : kExitInvalidArchive;
    }
    const FileData data =
        read_file_data(&stream_context, driver.archive_offset, file, kNoFile, nullptr);
    return data.outcome == kDataOk ? kExitOk : extraction_status(data.outcome, file.block_coded());
}

void write_failed(const char* path) {
    console_write("FAILED  ", kEndNone);
    console_write_path(path, kEndLine);
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
        const bool sound = file_check_status(file, path) == kExitOk;
        all_sound = all_sound && sound;
        if (!sound) {
            write_failed(path);
        } else if (!driver.options.quiet) {
            console_write("ok      ", kEndNone);
            console_write_path(path, kEndLine);
        }
    }
    const FileHandle archive = driver.exe_file;
    driver.exe_file = kNoFile;
    if (file_close(archive) != 0) terminate(kExitIoError);
    terminate(all_sound ? kExitOk : kExitDecodeFailed);
}

}  // namespace zq

namespace zq {

void check_before_writing() {
    if (!catalogue.check_first || driver.options.no_check_first) return;
    for (uint32_t i = 0; i < driver.file_count; ++i) {
        if (!is_selected(uint16_t(i))) continue;
        const FileRecord& file = *catalogue.file_table[i];
        const char* path = stored_path(file);
        const int status = file_check_status(file, path);
        if (status == kExitOk) continue;
        write_failed(path);
        fail(status, path, "damaged, so nothing was written");
    }
}

}  // namespace zq
