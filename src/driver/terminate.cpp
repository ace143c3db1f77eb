// The one way out, and the texts the user sees.
#include "driver/driver.h"
#include "driver/state.h"
#include "platform/console.h"

namespace zq {

const char kBannerLine[] = "Crateworks(WOX 32)  Self-Extractor V01L09";
static_assert(sizeof kBannerLine == kBannerWidth + 1, "the banner's width");
const char kOverwritePrompt[] = " is exist, overwrite(Yes/No/All)? ";

const char kProgressBar[] = "|----+----+----+----+----+----+----+----+----+----|";
static_assert(sizeof kProgressBar == kProgressWidth + 1, "the bar's width");
const char kDoneLine[] = "done.";
const char kCopyingLine[] = "Copying original data...";

// Zero-initialised, so its path buffers cost nothing in the stub's file; the
// run marks both handles closed before anything can call terminate().
DriverState driver_state;
ExtractOptions caller_options;
StreamContext stream_context;
BlockPipeline pipeline;
Catalogue catalogue;

void stop_workers() {
    if (stream_context.pipeline == nullptr) return;
    BlockPipeline* running = stream_context.pipeline;
    stream_context.pipeline = nullptr;
    pipeline_finish(running);
}

namespace {

[[noreturn]] void end_run(int code, bool with_message) {
    // Worker threads still waiting when the process ends can bring a Windows
    // emulation down with them, so the run's own thread lets them go first.
    // Not after a control event: it may have come in the middle of the
    // pipeline's own bookkeeping. Done before the hold, so that an event
    // meanwhile can still end the run.
    if (!driver().ending_on_event) stop_workers();
    // Once here, no further control event may start a second termination.
    control_events_hold();
    // An event during the password prompt must not leave the terminal mute.
    console_restore_mode(std_input());
    if (code != 0 && with_message && !driver().ending_on_event) error_note_write();
    if (code != 0 && with_message) {
        console_write("", kEndLine);
        const char* message = exit_message(code);
        if (message != nullptr) console_write(message, kEndLine);
    }
    const FileHandle exe_file = driver().exe_file;
    if (exe_file != kNoFile) {
        driver().exe_file = kNoFile;
        file_close(exe_file);
    }
    const FileHandle output_file = driver().output_file;
    if (output_file != kNoFile) {
        driver().output_file = kNoFile;
        file_close(output_file);
    }
    // Closed first: an open file cannot be deleted everywhere.
    if (driver().temp_pending) delete_file(driver().temp_path);
    if (driver().private_folder_made) dir_remove_tree(driver().private_folder);
    exit_process(code);
}

}  // namespace

void terminate(int code) { end_run(code, true); }
void terminate_silently(int code) { end_run(code, false); }

}  // namespace zq
