// Programs under test run as child processes: standard input given all at
// once or answer by answer, the output collected, a signal sent at a chosen
// moment, and a deadline.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zq::test {

// How a child ended.
struct Outcome {
    int status = -1;         // exit status when it exited
    int signal = 0;          // signal that ended it, 0 when it exited
    bool timed_out = false;  // killed at the deadline
    std::string out;         // its standard output (and error, unless `errors_to` is named)
    bool exited() const { return signal == 0 && !timed_out && status >= 0; }
};

struct RunOptions {
    std::string cwd;
    // Standard input: these bytes, then its end, as a script or a file gives
    // them...
    std::string input;
    // ...or, when set, typed as the child asks: called whenever output
    // arrives, with all of it so far; it appends what to type to `typed` and
    // returns false to end the input after that.
    std::function<bool(const std::string& out, std::string& typed)> answer;
    // Sent `signal_delay_us` after the output first holds
    // `signal_after_output` (after the start when that is empty) and, when
    // set, `signal_ready` holds (checked closely, to catch a run mid-file).
    int signal = 0;
    std::string signal_after_output;
    long signal_delay_us = 0;
    std::function<bool()> signal_ready;
    int timeout_ms = 20000;
    // When named, standard error is appended to this file instead.
    std::string errors_to;
    // The reader of the output goes away after this many bytes, as with
    // `| head -c N`.
    size_t output_limit = SIZE_MAX;
    // When not 0, files the child writes cannot grow past this many bytes (a
    // full disk, as far as the program can tell).
    int64_t file_size_limit = 0;
    uid_t run_as = 0;       // 0: as we are; else drop to this uid (and gid)
    bool own_group = true;  // so that a signal meant for it never reaches the test
};

// Runs argv (argv[0] looked up on PATH when it has no '/') and waits for it.
Outcome run_program(const std::vector<std::string>& argv, const RunOptions& options);

// Runs `argv` in `cwd` with its output (standard output and error) going
// into a pipe that is already full but for `room` bytes. The child's output
// goes through up to that many bytes and its next write blocks; once the
// pipe is full the child is known to stand at that write, and `event` is
// sent. The pipe is then drained, so the handler can write. `room` must end
// on one of the child's writes, else it stops short and is never signalled
// (`held` stays false). The output returned is the child's own.
struct HeldOutcome : Outcome {
    bool held = false;
};
HeldOutcome run_held(const std::vector<std::string>& argv, const std::string& cwd, size_t room,
                     int event);

}  // namespace zq::test
