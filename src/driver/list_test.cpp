// The runs that only read: listing and testing.
#include "archive/file_data.h"
#include "archive/links.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

namespace {

void list_file(const FileRecord& file, const char* path) {
    format_size_and_time(driver().progress_line, file.original_size(), file.write_time());
    console_write(driver().progress_line, kEndNone);
    console_write_path(path, kEndLine);
}

// Decodes the file's data into nothing: 0 when its size (and CRC, when
// recorded) come out as the record says, as extraction requires, else the
// status its extraction would end with. A link, on a system that makes
// links, must also have a target that extraction would make (one that
// cannot lead out of the run folder from `path`).
int file_check_status(const FileRecord& file, const char* path) {
    if (file.is_symlink() && platform_makes_links()) {
        char* target = driver().link_target;
        const FileData data =
            read_link_target(&stream_context, driver().spot.archive_offset, file, target);
        if (data.outcome != kDataOk) return extraction_status(data.outcome, file.block_coded());
        return link_target_is_safe(reinterpret_cast<const uint8_t*>(target), file.original_size(),
                                   path_depth(path))
                   ? kExitOk
                   : kExitInvalidArchive;
    }
    const FileData data =
        read_file_data(&stream_context, driver().spot.archive_offset, file, kNoFile, nullptr);
    return data.outcome == kDataOk ? kExitOk : extraction_status(data.outcome, file.block_coded());
}

// Lists or tests every selected file, as the mode says; true when every
// test came out sound. Before writing (`first`), a test prints nothing for a
// sound file, and the first that fails ends the run with the status its
// extraction would have had.
bool read_selected(bool listing, bool first) {
    bool all_sound = true;
    for (uint32_t i = 0; i < driver().file_count; ++i) {
        if (!is_selected(i)) continue;
        const FileRecord& file = *catalogue.file_table[i];
        const char* path = stored_path(file);
        if (listing) {
            list_file(file, path);
            continue;
        }
        reading_file(i);
        const int status = file_check_status(file, path);
        if (status == kExitOk && (first || driver().options.quiet)) continue;
        console_write(status == kExitOk ? "ok      " : "FAILED  ", kEndNone);
        console_write_path(path, kEndLine);
        if (status != kExitOk && first) fail(status, path, "damaged, so nothing was written");
        all_sound = all_sound && status == kExitOk;
    }
    return all_sound;
}

}  // namespace

void list_or_test() {
    const bool all_sound = read_selected(driver().options.mode == kModeList, false);
    const FileHandle archive = driver().exe_file;
    driver().exe_file = kNoFile;
    if (file_close(archive) != 0) terminate(kExitIoError);
    terminate(all_sound ? kExitOk : kExitDecodeFailed);
}

void check_before_writing() {
    if (catalogue.check_first && !driver().options.no_check_first) read_selected(false, true);
}

}  // namespace zq
