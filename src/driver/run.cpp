// Start-up, the extraction run and its per-file loop.
#include "archive/file_data.h"
#include "archive/links.h"
#include "driver/driver.h"
#include "driver/state.h"
#include "driver/tree_restore.h"
#include "platform/console.h"

namespace zq {
namespace {

// Every console control event is an interruption, never a success: the run
// ends as an abort and the pending temporary file goes.
void on_control_event(int) {
    driver().ending_on_event = 1;
    terminate(kExitAbort);
}

// Fills `line` from its end on with `fill` to `width` characters: the lines
// of one character repeated, and the texts as wide as the bar, are made here
// rather than kept whole.
char* pad_line(char* line, char fill, uint32_t width) {
    for (uint32_t i = str_length(line); i < width; ++i) line[i] = fill;
    line[width] = '\0';
    return line;
}

// Null `archive_path`: the archive rides in our own executable.
void start_up(const char* archive_path) {
    install_control_handler(on_control_event);
    // The state starts zeroed: the line padded here is still empty.
    if (!driver().options.quiet) {
        console_write(kBannerLine, kEndLine);
        console_write(pad_line(driver().progress_line, '~', kBannerWidth), kEndLine);
    }
    driver().progress_hidden = driver().options.quiet || !console_draws_progress();

    // Our own path may be as long as the system allows, not only as long as
    // the paths we extract to.
    char own_path[kOwnPathBufferSize];
    if (archive_path == nullptr) {
        if (own_executable_path(own_path, sizeof own_path) == 0) terminate(kExitIoError);
        archive_path = own_path;
    }
    driver().exe_file = file_open_read(archive_path);
    if (driver().exe_file == kNoFile) fail_system(kExitIoError, archive_path, last_system_error());
    // Whatever is wrong with the trailer, the archive cannot be read where
    // it is said to be: a file I/O error, as a seek or read there would give.
    if (read_trailer(driver().exe_file, &driver().spot) != 0)
        fail(kExitIoError, archive_path, "no archive at its end");
}

// Asks whether an existing target may be replaced; false to skip the file.
bool may_overwrite() {
    for (;;) {
        console_write_path(driver().target_name, kEndLine);
        console_write(kOverwritePrompt, kEndNone);
        int answer = read_key();
        // No answer will ever come: asking again would loop for good.
        if (answer < 0) terminate(kExitAbort);
        if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
        console_write("", kEndLine);
        if (answer == 'n') return false;
        if (answer == 'y') return true;
        if (answer == 'a') {
            driver().overwrite_all = true;
            return true;
        }
    }
}

int ask_on_console(void*, char* typed) {
    console_write("Password: ", kEndNone);
    static_assert(kPasswordBufferSize == kPasswordSize, "one size for a typed password");
    return read_password(typed) == 0 ? 0 : kExitAbort;
}

void answer_on_console(void*, bool accepted) {
    if (accepted) {
        // The typed Enter was not echoed.
        console_write("", kEndAnswer);
        return;
    }
    console_write("", kEndLine);
    console_write(exit_message(kExitPasswordFail), kEndLine);
}

void draw_progress_start(bool block_coded) {
    char* line = driver().progress_line;
    line[0] = '\0';
    console_write(pad_line(line, ' ', 18), kEndNone);
    if (block_coded) {
        console_write(kProgressBar + 1, kEndCr);
    } else {
        console_write(pad_line(str_copy(line + 18, kCopyingLine), ' ', kProgressWidth), kEndCr);
    }
    line[15] = ':';
    line[17] = '\0';
    console_write(line, kEndNone);
}

}  // namespace

bool next_temp_name(uint32_t* number) {
    str_copy(driver().temp_path, driver().temp_prefix);
    return *number < kLastTempNumber &&
           make_temp_name(driver().temp_path, *number + 1, number) != nullptr;
}

namespace {

// Creates the temporary file named in temp_path (number `number`)
// exclusively, with the record's mode where it has one. A name that turns
// out to be taken (made by someone else since it was chosen) is left alone
// and the next free number is tried.
void create_temp_file(uint32_t number, const FileRecord& record) {
    const uint32_t mode = record.has_mode() ? record.mode() & 0777 : kNewFileMode;
    for (;;) {
        FileHandle file = kNoFile;
        const bool made = make_temp_entry([&file, mode] {
            file = create_file_with_parents(driver().temp_path, mode);
            if (file > 0) driver().output_file = file;
            return file > 0;
        });
        const int32_t error = last_system_error();
        if (made) return;
        if (file < 0 && file_get_attributes(driver().temp_path) != kNoAttributes &&
            next_temp_name(&number)) {
            continue;
        }
        // A link on the way is refused before anything goes through it; that
        // is the surroundings at fault, not the temporary name.
        if (path_crosses_link(driver().temp_path))
            fail(kExitIoError, driver().temp_path, "a symbolic link on the way");
        fail(kExitTempFail, driver().temp_path,
             file == 0 ? "a folder on the way cannot be made" : system_error_text(error));
    }
}

// Like create_temp_file, for a link holding driver().link_target.
void create_temp_link(uint32_t number) {
    for (;;) {
        if (make_temp_entry(
                [] { return create_link_with_parents(driver().link_target, driver().temp_path); }))
            return;
        // A link on the way is refused, as for files: the surroundings (or
        // an earlier link of the archive) are at fault, not the name.
        if (path_crosses_link(driver().temp_path))
            fail(kExitIoError, driver().temp_path, "a symbolic link on the way");
        if (!next_temp_name(&number)) terminate(kExitTempFail);
    }
}

// The bar of the block-coded file in hand: its opening '|' once the data has
// been found (the call before the first frame, when no coded byte is read
// yet; every frame takes at least its header), then the marks.
void show_progress(StreamContext* context) {
    if (context->coded_done == 0 && !driver().progress_hidden) console_write("|", kEndNone);
    progress_update(context, nullptr);
}

// What went wrong with a file's data, for the line that names it.
const char* outcome_reason(DataOutcome outcome) {
    static const char* const kReasons[] = {
        "",
        "its data lies beyond the archive",
        "the archive ends within its data",
        "a block of its data does not decode",
        "the disk is full",
        "more data than its recorded size",
        "less data than its recorded size",
        "checksum mismatch",
        "its link target is empty or too long",
    };
    static_assert(sizeof kReasons / sizeof kReasons[0] == kDataBadLink + 1, "every outcome");
    return kReasons[outcome];
}

}  // namespace

void replace_target(uint32_t existing) {
    bool cleared = false;
    if (existing != kNoAttributes) {
        if (existing & kAttrDirectory)
            fail(kExitAbort, driver().target_name, "a folder is in the way");
        if (existing & kAttrReadOnly) {
            cleared = file_set_attributes(driver().target_name, existing & ~kAttrReadOnly);
        }
    }
    if (!file_move_replace(driver().temp_path, driver().target_name)) {
        const int32_t error = last_system_error();
        if (cleared) file_set_attributes(driver().target_name, existing);
        fail_system(kExitIoError, driver().target_name, error);
    }
    driver().temp_pending = 0;
}

namespace {

// Sets target_name for the file; returns what its file line names.
const char* choose_target(const FileRecord& file) {
    str_copy(driver().target_name, stored_path(file));
    return console_file_label(name_text(catalogue, file.name()), driver().target_name);
}

// Sets temp_prefix and temp_path beside the target; returns the number chosen.
uint32_t choose_temp_name() {
    copy_dir_part(driver().temp_prefix, driver().target_name);
    if (append_path(driver().temp_prefix, "zq", kPathBufferSize) == nullptr)
        fail(kExitTempFail, driver().target_name, "the path is too long");
    str_copy(driver().temp_path, driver().temp_prefix);
    uint32_t temp_number = 0;
    if (make_temp_name(driver().temp_path, 0, &temp_number) == nullptr)
        fail(kExitTempFail, driver().temp_prefix, "no free temporary name");
    return temp_number;
}

// Whether something already at target_name (its attributes in `existing`)
// may be replaced: never with the never-overwrite option (said so), always
// after an All, otherwise as the user answers.
bool may_replace(uint32_t existing) {
    if (existing == kNoAttributes) return true;
    if (driver().options.never_overwrite) {
        console_write_path(driver().target_name, kEndNone);
        console_write(" exists: kept", kEndLine);
        return false;
    }
    return driver().overwrite_all || may_overwrite();
}

// ------------------------------------------------------ symbolic links
// Link records carry their target as data. They are checked all together
// before anything is written, and made only after every regular file, so
// that no file is ever written through one of them.

// Reads a link record's target into driver().link_target, NUL-terminated.
void read_link_target(const FileRecord& file) {
    const FileData data =
        read_link_target(&stream_context, driver().spot.archive_offset, file, driver().link_target);
    if (data.outcome != kDataOk)
        fail(extraction_status(data.outcome, file.block_coded()), driver().target_name,
             outcome_reason(data.outcome));
}

// Refuses the archive (8) when any link could lead out of the run folder.
void check_links() {
    for (uint32_t i = 0; i < driver().file_count; ++i) {
        const FileRecord& file = *catalogue.file_table[i];
        if (!file.is_symlink()) continue;
        choose_target(file);
        read_link_target(file);
        if (!link_target_is_safe(reinterpret_cast<const uint8_t*>(driver().link_target),
                                 file.original_size(), path_depth(driver().target_name))) {
            fail(kExitInvalidArchive, driver().target_name, "the link leads out of the folder");
        }
    }
}

// The steps every record takes before anything is made for it, its target
// chosen: a free temporary name beside the target, the overwrite question
// and the file line. False when the target is kept; otherwise the number of
// the temporary name and the target's attributes as they were.
bool begin_record(const FileRecord& file, const char* name, uint32_t* temp_number,
                  uint32_t* existing) {
    *temp_number = choose_temp_name();
    *existing = file_get_attributes(driver().target_name);
    if (!may_replace(*existing)) return false;
    if (!driver().options.quiet) {
        console_write((file.method() & kMethodMarker) ? "+" : " ", kEndNone);
        console_write(name, kEndLine);
    }
    return true;
}

void extract_link(uint32_t index) {
    const FileRecord& file = *catalogue.file_table[index];
    const char* name = choose_target(file);
    read_link_target(file);
    uint32_t temp_number = 0;
    uint32_t existing = 0;
    if (!begin_record(file, name, &temp_number, &existing)) return;
    create_temp_link(temp_number);
    replace_target(existing);
    note_placed(index);
}

// A platform without links says so and writes nothing for the record.
void report_skipped_link(const char* name) {
    console_write(" ", kEndNone);
    console_write(name, kEndNone);
    console_write(" : symbolic link, not extracted", kEndLine);
}

// ------------------------------------------------------ the per-file loop

// Gives the finished file, still open, its recorded times, and its attributes
// and mode where the platform keeps them with the open file (false: they are
// to be set by name once it has one). No name is looked up for it again.
bool stamp_open_file(FileHandle output, const FileRecord& file) {
    set_open_file_times(output, file.access_time(), file.write_time(), file.create_time());
    return file_set_attributes_open(output, file.attributes(), file.has_mode());
}

// The file is in place, put there by this run.
void mark_placed(uint32_t index) {
    if (index + 1u == driver().run_file) driver().run_file_placed = true;
    note_placed(index);
}

void extract_file(uint32_t index) {
    const FileRecord& file = *catalogue.file_table[index];
    const char* name = choose_target(file);
    if (file.is_symlink()) {
        // Links come after all files (extract_link), or not at all.
        if (!platform_makes_links()) report_skipped_link(name);
        return;
    }
    uint32_t temp_number = 0;
    uint32_t existing = 0;
    if (!begin_record(file, name, &temp_number, &existing)) return;
    if (place_second_name(index, temp_number, existing)) return mark_placed(index);
    const bool bar = !driver().progress_hidden;
    if (bar) draw_progress_start(file.block_coded());

    create_temp_file(temp_number, file);
    reading_file(index);
    const FileData data = read_file_data(unfolded(&stream_context), driver().spot.archive_offset,
                                         file, driver().output_file, show_progress);
    // Data that cannot be read or written ends the run at once; data that
    // came out other than recorded is reported once the file is closed.
    const int status = extraction_status(data.outcome, file.block_coded());
    if (is_transfer_failure(data.outcome))
        fail(status, driver().target_name, outcome_reason(data.outcome));
    if (bar) console_write("", kEndCr);

    const FileHandle output = driver().output_file;
    const bool stamped = stamp_open_file(output, file);
    driver().output_file = kNoFile;
    if (file_close(output) != 0)
        fail_system(kExitIoError, driver().target_name, last_system_error());

    if (bar) {
        pad_line(str_copy(driver().progress_line + 17, kDoneLine), ' ', kProgressWidth);
        console_write(driver().progress_line, kEndLine);
    }
    if (status != kExitOk) fail(status, driver().target_name, outcome_reason(data.outcome));

    replace_target(existing);
    mark_placed(index);
    if (!stamped) file_set_attributes(driver().target_name, file.attributes());
}

// The files' blocks are decoded on worker threads when there is more than one
// processor to run them; a pipeline that cannot be had leaves the serial path,
// which gives the same result. The end of the run (terminate) ends the
// workers with the process.
void start_workers() {
    const uint32_t workers = pipeline_worker_count(driver().options.workers);
    if (workers > 1 && pipeline_start(&pipeline, workers) == kStreamOk)
        stream_context.pipeline = &pipeline;
    plan_reading();
}

}  // namespace

void progress_update(StreamContext* context, int16_t*) {
    uint32_t total = uint32_t(context->plain_total);
    uint32_t done = uint32_t(context->plain_done);
    if (platform_reads_wide()) {
        // Past 4 GiB both counts drop the same low bits, so the bar's
        // arithmetic stays 32-bit; below, it is exact.
        uint64_t total_all = context->plain_total;
        uint64_t done_all = context->plain_done;
        while (total_all >> 32 != 0) {
            total_all >>= 1;
            done_all >>= 1;
        }
        total = uint32_t(total_all);
        // done may pass total by a block (the last one read past the size).
        done = done_all >> 32 != 0 ? 0xFFFFFFFFu : uint32_t(done_all);
    }
    if (context->plain_done == 0) {
        pad_line(driver().marks, '#', kProgressMarks);
        driver().progress_marks = 0;
        driver().progress_step = total >= kProgressMarks ? total / kProgressMarks : total;
        return;
    }
    uint32_t target = kProgressMarks;
    if (total > done) {
        target = done / driver().progress_step;
        if (target > kProgressMarks) target = kProgressMarks;
    }
    if (int32_t(target) > driver().progress_marks && !driver().progress_hidden) {
        console_write(
            driver().marks + (kProgressMarks - (target - uint32_t(driver().progress_marks))),
            kEndNone);
        driver().progress_marks = int32_t(target);
    }
}

const char* stored_path(const FileRecord& file) {
    if (build_file_path(catalogue, file, driver().full_path) != 0) {
        terminate(kExitInvalidArchive);
    }
    return catalogue.full_path ? driver().full_path : name_text(catalogue, file.name());
}

// A file the caller's selection leaves out is not looked at again: no
// question, no temporary file, no line.
bool is_selected(uint32_t index) {
    if (caller_options.select == nullptr) return true;
    return caller_options.select(stored_path(*catalogue.file_table[index]),
                                 caller_options.select_context);
}

namespace {
// Ends the run on a folder of the target that can be neither found nor made.
[[noreturn, gnu::always_inline]] inline void fail_target(const char* path) {
    error_note_folder(path);
    terminate(kExitIoError);
}
}  // namespace

void enter_target(const char* target) {
    if (!dir_enter_user(target)) fail_target(target);
}

namespace {
// A selection is shown every path before anything is written, so that the
// caller can refuse one that takes nothing (or less than it asked for).
void check_selection() {
    if (caller_options.select == nullptr || caller_options.selection_done == nullptr) return;
    for (uint32_t i = 0; i < driver().file_count; ++i) is_selected(i);
    const int status = caller_options.selection_done(caller_options.select_context);
    if (status != 0) terminate_silently(status);
}

// The password a tool gave, and the dialogue that offers it: made by
// extract_archive alone, so where that is never called (the self-extractor)
// the dialogue stays empty and the offering code is not linked in.
GivenPassword given_password;
PasswordDialogue given_dialogue;
}  // namespace

void run_extraction(const char* archive_path) {
    // Before the control handler exists: from here on terminate() may run.
    driver().exe_file = kNoFile;
    driver().output_file = kNoFile;
    start_up(archive_path);
    StreamContext* const context = unfolded(&stream_context);
    if (stream_init(context) != kStreamOk) terminate(kExitNoMemory);
    context->archive_file = driver().exe_file;

    uint32_t file_count = 0;
    // A tool may give the password beforehand; the stub asks on the console.
    const PasswordDialogue dialogue =
        given_dialogue.ask != nullptr ? given_dialogue : console_password_dialogue();
    const int status =
        read_catalogue(context, unfolded(&catalogue), driver().spot, &file_count, dialogue);
    if (status != 0) terminate(status);
    driver().file_count = file_count;
    load_tree();
    check_selection();
    start_workers();
    if (driver().options.mode != kModeExtract) list_or_test();
    prepare_run();
    check_before_writing();
    enter_run_folder();

    const bool makes_links = platform_makes_links();
    if (makes_links) check_links();
    if (catalogue.dir_tree && catalogue.full_path) create_dir_tree(catalogue);
    for (uint32_t i = 0; i < driver().file_count; ++i) {
        if (is_selected(i)) extract_file(i);
    }
    stop_workers();
    for (uint32_t i = 0; makes_links && i < driver().file_count; ++i) {
        if (catalogue.file_table[i]->is_symlink() && is_selected(i)) extract_link(i);
    }
    restore_tree();

    const FileHandle archive = driver().exe_file;
    driver().exe_file = kNoFile;
    if (file_close(archive) != 0) terminate(kExitIoError);
    run_marked_file();
    terminate(kExitOk);
}

PasswordDialogue console_password_dialogue() {
    return PasswordDialogue{ask_on_console, answer_on_console, nullptr};
}

void extract_archive(const char* archive_path, const ExtractOptions& options) {
    driver().options = options;
    caller_options = options;
    if (options.password != nullptr) {
        given_password.text = options.password;
        given_dialogue = given_password_dialogue(&given_password);
    }
    driver().overwrite_all = options.overwrite_all;
    catalogue.host_names = options.host_names;
    catalogue.host_names_context = options.host_names_context;
    run_extraction(archive_path);
}

}  // namespace zq
