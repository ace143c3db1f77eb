// The driver's process-wide state and texts. terminate() reads the state from
// a signal handler (Linux) or the console's own thread (Windows), so the
// fields it reads are volatile and are only changed in an order that keeps
// them true at every moment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/catalogue.h"
#include "archive/pipeline.h"
#include "driver/dir_tree.h"
#include "driver/driver.h"
#include "driver/paths.h"

namespace zq {

constexpr uint32_t kProgressMarks = 49;
// The bar, '|' and ten groups "----+", the last '+' a '|'.
extern const char kProgressBar[];
constexpr uint32_t kProgressWidth = 51;
// "done." and "Copying original data...", shown padded with blanks to the
// bar's width (pad_line).
extern const char kDoneLine[];
extern const char kCopyingLine[];
// The banner, shown over a line of as many '~'.
extern const char kBannerLine[];
constexpr uint32_t kBannerWidth = 41;
extern const char kOverwritePrompt[];

struct DriverState {
    volatile FileHandle exe_file;  // the archive; kNoFile when not open
    ArchiveSpot spot;              // where the archive and its catalogue lie
    uint32_t file_count;
    volatile FileHandle output_file;  // the temporary file; kNoFile when closed
    // 1 while a temporary file of ours exists at temp_path: terminate deletes
    // only then, so it never removes a name it did not create.
    volatile int32_t temp_pending;
    // 1 once a console control event (a signal on Linux) is ending the run.
    volatile int32_t ending_on_event;
    bool overwrite_all;
    // No progress bars: asked to be quiet, or the console draws none (a
    // Linux pipe or file). Set at start-up; zero draws them.
    bool progress_hidden;
    // All defaults in the self-extractor; the hooks are read from caller_options.
    ExtractOptions options;
    uint32_t progress_step;
    int32_t progress_marks;
    uint32_t run_file;     // 1 + the index of the file to run after extraction; 0: none
    bool run_file_placed;  // this run put that file in place (not kept from before)
    // 1 while the installer's private folder exists at private_folder:
    // terminate removes it, with all it holds, whatever the run's end.
    volatile int32_t private_folder_made;
    char temp_path[kPathBufferSize];
    char temp_prefix[kPathBufferSize];
    char target_name[kPathBufferSize];
    char full_path[kPathBufferSize];
    char progress_line[kPathBufferSize];
    char link_target[kPathBufferSize];  // the target of the link record in hand
    char marks[kProgressMarks + 1];     // the bar's marks, a tail written as it grows
    char private_folder[kOwnPathBufferSize];
    char start_folder[kOwnPathBufferSize];  // where the user started the run
};

// Ends the run with `code` after a line on standard error that names `path`
// and the reason: in our own words, or the system's for `error` (from
// last_system_error, read right after the call that failed). Always inline:
// where no note is kept (the Windows stub) each is the bare terminate.
[[noreturn, gnu::always_inline]] inline void fail(int code, const char* path, const char* reason) {
    error_note(path, reason);
    terminate(code);
}
[[noreturn, gnu::always_inline]] inline void fail_system(int code, const char* path,
                                                         int32_t error) {
    fail(code, path, system_error_text(error));
}

// Moves temp_path on to the first free name after number `*number`; false
// when none is left.
bool next_temp_name(uint32_t* number);

// Makes the temporary entry at temp_path through `make` (true when made).
// The entry and the note that it is ours must appear together, or an event
// in between would leave it behind.
template <typename Make>
bool make_temp_entry(Make make);

// Puts the finished temporary entry in the target's place in one step, so
// that a failure leaves the old target as it was. `existing` holds the
// target's attributes as read before the question.
void replace_target(uint32_t existing);

// `object`'s address as code generation cannot foresee it. The state below
// has one instance each, and 32-bit code reaches a field of a known address
// absolutely: an image that keeps its relocations carries an entry for each
// such access. Through this pointer the fields are register-relative, with
// shorter encodings and no relocations.
template <typename T>
[[gnu::always_inline]] inline T* unfolded(T* object) {
    asm("" : "+r"(object));
    return object;
}

extern DriverState driver_state;
// The driver's state, reached through a register: its scalar fields come
// ahead of the buffers, in 32-bit code within a byte's displacement, so most
// accesses are short and none needs a relocation (unfolded).
static_assert(sizeof(void*) != 4 || offsetof(DriverState, temp_path) <= 128,
              "the scalar fields within a byte's displacement");
[[gnu::always_inline]] inline DriverState& driver() { return *unfolded(&driver_state); }
// extract_archive's options once more, read for the hooks only a tool gives
// (the selection and its end). Written by extract_archive
// alone, apart from driver().options, so that in a program that never calls it
// (the self-extractor) they are null by construction and the link drops the
// code that serves them.
extern ExtractOptions caller_options;
extern StreamContext stream_context;
extern BlockPipeline pipeline;
extern Catalogue catalogue;

// The progress callback of block-coded files; called once by hand with
// plain_done 0 (stop may be null then) to start a new bar.
void progress_update(StreamContext* context, int16_t* stop);

// The file's stored path (in driver().full_path when it has folders).
const char* stored_path(const FileRecord& file);
// Whether the caller's selection takes the file.
bool is_selected(uint32_t index);
// With decoding threads, has them read ahead into the files to come.
void plan_reading();
// The file whose data is read next is the catalogue's `index`.
void reading_file(uint32_t index);
// The runs that only read (list, test): a line per selected file, then the
// end of the run.
[[noreturn]] void list_or_test();
// Finds the file the archive marks to run and reads its arguments (the
// archive is refused when they lie outside their pool); nothing when the
// options leave running out.
void prepare_run();
// Runs that file, if there is one, and ends the process with its status.
void run_marked_file();
// Enters the folder the files go to: -d's, or for an installer packed to
// leave nothing behind a private folder made for the run; otherwise stays.
void enter_run_folder();
// When the archive asks for it (and the options do not skip it), checks
// every selected file as a test does before anything is written; the first
// that fails ends the run with the status its extraction would have had.
void check_before_writing();
// Makes the folder `target` with its parents as needed and moves into it.
void enter_target(const char* target);
// Ends the process as terminate() does, without a message: for the status
// of the program an installer ran, or a run whose own line said why.
[[noreturn]] void terminate_silently(int code);

// Ends the decoding threads (when there are any) and goes on serially: once
// every regular file is in place, so that the run's last steps (links, the
// folders' times and modes, closing) leave no thread behind if an event ends
// the run during them.
void stop_workers();

// The extraction run on the archive file at `archive_path`, or on our own
// executable when it is null.
[[noreturn]] void run_extraction(const char* archive_path);

template <typename Make>
bool make_temp_entry(Make make) {
    control_events_hold();
    const bool made = make();
    if (made) driver().temp_pending = 1;
    control_events_release();
    return made;
}

}  // namespace zq
