// The plan of a pack: the files and folders found under the inputs, with
// their stored names, sizes and times, checked against what the archive and
// the extractor can hold before a byte is written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/host_files.h"
#include "writer/stored_names.h"
#include "writer/writer.h"

namespace zq::packing {

constexpr size_t kNoDir = SIZE_MAX;

// What a link in the packed tree becomes.
enum class LinkPolicy {
    kKeep,           // a link record, when its target stays inside the tree
    kFollowWarning,  // the stub cannot make links: store what it leads to, and say so
    kFollowQuietly,  // records without the extension: store what it leads to, silently
};

struct PlanDir {
    std::string name;
    std::vector<size_t> subdirs;
    std::vector<size_t> files;
    size_t path_length = 0;  // names each followed by '\'
    uint32_t depth = 0;      // folders from the run folder down to this one
    uint32_t record = 0;
    HostFileInfo info;  // its mode, times and owner
};

struct PlanFile {
    std::string name;
    std::string source;
    uint64_t size = 0;
    HostFileInfo info;
    size_t dir = kNoDir;
    bool link = false;  // the data is link_target
    std::string link_target;
};

class Plan {
public:
    explicit Plan(const NameForm& form) : form_(form) {}
    std::vector<PlanDir> dirs;
    std::vector<PlanFile> files;
    std::vector<size_t> top_dirs;
    std::vector<size_t> top_files;
    std::vector<std::string> skipped;
    std::vector<std::string> warnings;
    LinkPolicy links = LinkPolicy::kFollowQuietly;
    bool full_path = true;
    bool inputs_share_folder = false;                  // see PackOptions
    bool for_windows = false;                          // the stub is a Windows one
    std::function<bool(const std::string&)> excluded;  // see PackOptions

    bool left_out(const std::string& relative) const { return excluded && excluded(relative); }

    // A folder with neither files nor subfolders exists only in the folder
    // tree, so it survives only when the extractor is asked to make the tree.
    bool has_empty_folder() const {
        return std::any_of(dirs.begin(), dirs.end(), [](const PlanDir& dir) {
            return dir.files.empty() && dir.subdirs.empty();
        });
    }

    // Each input under its own name: a folder with everything below it.
    // Throws with a one-line message when something cannot be packed.
    void add_inputs(const std::vector<std::filesystem::path>& inputs);

private:
    const NameForm& form_;

    static std::string input_name(const std::filesystem::path& input);
    size_t add_dir(const std::filesystem::path& path, const std::string& disk_name,
                   const std::string& relative, size_t parent_length, uint32_t parent_depth);
    uint32_t link_depth(size_t dir) const;
    bool placed_link(const std::filesystem::path& path, const std::string& name, size_t dir,
                     std::filesystem::file_status target_status);
    void check_extractor_paths(const std::filesystem::path& path, size_t dir_length,
                               size_t name_length);
    size_t add_file(const std::filesystem::path& path, const std::string& disk_name, size_t dir,
                    const std::string* link_target = nullptr);
};

// Directory records in the order the extractor walks them: each directory,
// then its subdirectories, then its next sibling. Ids are record index + 1
// (as 16-bit values, never 0). Returns the catalogue order of the files: loose
// files first, then each directory's files together.
std::vector<size_t> lay_out_tree(Plan& plan, NamePools& names, std::vector<DirEntry>& records);

// The index of the regular file stored as `path` ('/' between folders);
// throws when there is none.
size_t find_run_file(const Plan& plan, const std::string& path);

}  // namespace zq::packing
