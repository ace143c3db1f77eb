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
#include "archive_builder.h"
#include "child.h"
#include "json_check.h"
#include "support.h"
#include "writer/writer.h"

namespace rel {

using zq::Bytes;
using zq::test::bytes_of;
using zq::test::flat_archive;
using zq::test::mixed_data;
using zq::test::PlainFile;
using zq::test::read_bytes;
using zq::test::stub_path;
using zq::test::write_bytes;
using zq::test::write_sfx;
using zq::test::zqpack_path;

using zq::test::HeldOutcome;
using zq::test::Outcome;
using zq::test::run_held;
using zq::test::run_program;
using zq::test::RunOptions;

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

// A scratch folder with a nested run folder root/outer/inner/work; anything
// that escapes the run folder upwards lands in root or outer, which the tests
// watch.
class Scratch {
public:
    Scratch();
    const std::string& root() const { return root_; }
    const std::string& work() const { return work_; }
    // Empties the run folder again.
    void clear_work() const;
    // Names under root that are not under the run folder and not in `known`.
    std::vector<std::string> strays(const std::vector<std::string>& known) const;

private:
    zq::test::ScratchDir dir_{"rel"};
    std::string root_ = dir_.string();
    std::string work_ = root_ + "/outer/inner/work";
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
