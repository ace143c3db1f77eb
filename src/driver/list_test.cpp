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

// Decodes the file's data into nothing; true when its size (and CRC, when
// recorded) come out as the record says, as extraction requires. A link, on
// a system that makes links, must also have a target that extraction would
// make (one that cannot lead out of the run folder from `path`).
bool file_is_sound(const FileRecord& file, const char* path) {
    if (file.is_symlink() && platform_makes_links()) {
        char* target = driver.link_target;
        return read_link_target(&stream_context, driver.spot.archive_offset, file, target)
                       .outcome == kDataOk &&
               link_target_is_safe(reinterpret_cast<const uint8_t*>(target), file.original_size(),
                                   path_depth(path));
    }
    return read_file_data(&stream_context, driver.spot.archive_offset, file, kNoFile, nullptr)
               .outcome == kDataOk;
}

}  // namespace

void list_or_test() {
    const bool testing = driver.options.mode == kModeTest;
    bool all_sound = true;
    for (uint32_t i = 0; i < driver.file_count; ++i) {
        if (!is_selected(i)) continue;
        const FileRecord& file = *catalogue.file_table[i];
        const char* path = stored_path(file);
        if (!testing) {
            list_file(file, path);
            continue;
        }
        const bool sound = file_is_sound(file, path);
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

}  // namespace zq
