// A tree as real installers ship it, with everything the tree supplement
// keeps, and the check that an extracted copy of it came back whole.
#pragma once

#include <filesystem>
#include <string>

namespace zq::test {

// Makes `top` holding: a 0700 folder, a set-group-id folder (02775), an
// empty 0750 folder, a file with three names (hard links in three folders),
// a symbolic link, and distinct times on every folder (set last, after the
// folders' contents). `plain` makes the tree an archive without the
// supplement describes: the same names, contents, file modes and times, but
// copies in place of the hard links and every folder 0755.
void make_real_tree(const std::filesystem::path& top, bool plain = false);

// Failures (one line each) where the tree at `copy` differs from `original`:
// types, contents, symbolic link targets, write times of files and folders,
// file modes and folder modes (under the umask in force, set-group-id and
// sticky kept), and which names are one file (link counts and inodes).
// Empty when the copy is whole.
std::string tree_differences(const std::filesystem::path& original,
                             const std::filesystem::path& copy);

}  // namespace zq::test
