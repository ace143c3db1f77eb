// Support for the reliability tests: scratch folders, running the real
// self-extractor (or zqpack) as a child with a deadline, and looking at what
// it left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "json_check.h"
#include "support.h"
#include "writer/writer.h"

namespace rel {

using zq::Bytes;
using zq::test::bytes_of;
using zq::test::mixed_data;
using zq::test::read_bytes;
using zq::test::stub_path;
using zq::test::write_bytes;
using zq::test::write_sfx;
using zq::test::zqpack_path;

// How a child ended.
struct Outcome {
    int status = -1;        // exit status when it exited
    int signal = 0;         // signal that ended it, 0 when it exited
    bool timed_out = false; // killed at the deadline
    std::string out;        // its standard output
    bool exited() const { return signal == 0 && !timed_out && status >= 0; }
};

struct RunOptions {
    std::string cwd;
    std::string input;        // standard input; it ends after these bytes
    int timeout_ms = 20000;
    // Sent after `signal_delay_us` (when `signal` is not 0), counted from the
    // start, or from the moment the output first holds `signal_after_output`
    // when that is not empty.
    int signal = 0;
    long signal_delay_us = 0;
    std::string signal_after_output;
    uid_t run_as = 0;         // 0: as we are; else drop to this uid (and gid)
};

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
HeldOutcome run_held(const std::vector<std::string>& argv, const std::string& cwd, size_t room, int event);

// The console's last message line, as terminate() prints it.
std::string last_line(const std::string& out);

// Every name under `dir`, relative, sorted, folders ending in '/'; regular
// files map to their contents.
struct Tree {
    std::vector<std::string> names;
    std::map<std::string, Bytes> files;
};
Tree scan(const std::string& dir);
// Names of the form zq + six digits anywhere in the tree.
std::vector<std::string> temp_files(const Tree& tree);

// A fresh folder /tmp/zq_rel_XXXXXX with a nested run folder
// root/outer/inner/work; anything that escapes the run folder upwards lands
// in root or outer, which the tests watch.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& root() const { return root_; }
    const std::string& work() const { return work_; }
    // Empties the run folder again.
    void clear_work() const;
    // Names under root that are not under the run folder and not in `known`.
    std::vector<std::string> strays(const std::vector<std::string>& known) const;

private:
    std::string root_;
    std::string work_;
};

}  // namespace rel

namespace rel {

// The catalogue of a self-extractor as the extractor's own reader sees it,
// read in this process: the oracle for what a run may write.
struct Parsed {
    int result = -1;  // what the run must end with when it is not 0
    struct Entry {
        std::string target;  // '/'-separated, as it lands under the run folder
        zq::FileRecord record;
    };
    std::vector<Entry> files;
};
Parsed parse_sfx(const std::string& path);

}  // namespace rel

namespace rel {

// A flat archive of the given files, in this order, each block-coded or raw.
struct PlainFile {
    std::string name;
    Bytes content;
    bool coded = true;
};
Bytes flat_archive(const std::vector<PlainFile>& files);

}  // namespace rel
