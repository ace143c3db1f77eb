// The plan of a pack: walks the inputs, stores each name in the form the
// extractor reads, and refuses what the archive or the extractor could not
// hold.
#include "writer/pack_plan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "archive/links.h"
#include "format/archive_format.h"
#include "writer/tool_error.h"

namespace zq::packing {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxEntries = kWideMaxEntries;
constexpr size_t kTempNameLength = 8;      // "zq" and six digits
constexpr size_t kWindowsPathLimit = 259;  // characters before the terminating NUL
constexpr size_t kAssumedInstallFolder = 60;

bool time_fits(int64_t t) { return t >= INT32_MIN && t <= INT32_MAX; }

}  // namespace

void Plan::add_inputs(const std::vector<fs::path>& inputs) {
    std::vector<std::pair<std::string, fs::path>> named;
    for (const fs::path& input : inputs) {
        std::string name = input_name(input);
        if (!left_out(name)) named.emplace_back(std::move(name), input);
    }
    std::sort(named.begin(), named.end());
    std::vector<std::string> names;
    for (size_t i = 0; i < named.size(); ++i) {
        if (i > 0 && named[i].first == named[i - 1].first)
            fail("two inputs share the name " + named[i].first);
        names.push_back(named[i].first);
    }
    form_.check_distinct(std::move(names), "the archive's top level");
    for (const auto& [name, path] : named) {
        std::error_code ec;
        fs::file_status status = fs::status(path, ec);
        // What -C's folder holds follows the rule for links inside a tree;
        // a link named on the command line is what it leads to.
        if (inputs_share_folder && fs::is_symlink(fs::symlink_status(path, ec)) &&
            placed_link(path, name, kNoDir, status))
            continue;
        if (ec) fail("cannot read " + path.string() + ": " + ec.message());
        if (fs::is_directory(status)) {
            top_dirs.push_back(add_dir(path, name, name, 0, 0));
        } else if (fs::is_regular_file(status)) {
            top_files.push_back(add_file(path, name, kNoDir));
        } else {
            fail(path.string() + " is neither a file nor a folder");
        }
    }
}

std::string Plan::input_name(const fs::path& input) {
    fs::path full = fs::absolute(input).lexically_normal();
    if (full.filename().empty()) full = full.parent_path();
    std::string name = full.filename().string();
    if (name.empty()) fail("cannot pack " + input.string() + " under a name of its own");
    return name;
}

// `relative` is the folder's path from the top of what is packed, with '/'
// between the names as they are on disk.
size_t Plan::add_dir(const fs::path& path, const std::string& disk_name,
                     const std::string& relative, size_t parent_length, uint32_t parent_depth) {
    const std::string name = form_.stored(disk_name, path, true);
    size_t length = parent_length + name.size() + 1;
    if (length > kMaxPath) fail("path too long for the archive: " + path.string());
    if (dirs.size() >= kMaxEntries)
        fail("too many folders (at most " + std::to_string(kMaxEntries - 1) + ")");
    size_t index = dirs.size();
    dirs.push_back(PlanDir{name, {}, {}, length, parent_depth + 1, 0, {}});
    if (!host_file_info(path.string(), &dirs[index].info))
        fail("cannot read " + path.string() + ": " + std::strerror(errno));

    std::vector<std::pair<std::string, fs::directory_entry>> entries;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!left_out(relative + "/" + name)) entries.emplace_back(std::move(name), *it);
    }
    if (ec) fail("cannot list " + path.string() + ": " + ec.message());
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.first);
    form_.check_distinct(std::move(names), path);
    for (const auto& [child_name, entry] : entries) {
        fs::file_status own = entry.symlink_status(ec);
        fs::file_status target = entry.status(ec);
        if (fs::is_symlink(own) && placed_link(entry.path(), child_name, index, target)) continue;
        if (fs::is_directory(own)) {
            size_t child = add_dir(entry.path(), child_name, relative + "/" + child_name, length,
                                   dirs[index].depth);
            dirs[index].subdirs.push_back(child);
        } else if (fs::is_regular_file(target)) {
            size_t file = add_file(entry.path(), child_name, index);
            dirs[index].files.push_back(file);
        } else {
            // Devices, sockets and pipes have no contents to store.
            skipped.push_back(entry.path().string());
        }
    }
    return index;
}

// How far up a link in folder `dir` may lead and stay in its tree: the
// folder -C named, or else the input folder the link lies in.
uint32_t Plan::link_depth(size_t dir) const {
    if (!full_path || dir == kNoDir) return 0;
    return dirs[dir].depth - (inputs_share_folder ? 0 : 1);
}

// Deals with the link at `path` in folder `dir`: a link record when the
// policy and its target allow, else, for a link to a folder, nothing but
// one message (links to folders are not followed: they may loop). False
// leaves a link to a file to be stored as what it leads to (and a link that
// leads nowhere to be skipped).
bool Plan::placed_link(const fs::path& path, const std::string& name, size_t dir,
                       fs::file_status target_status) {
    std::string why;
    if (links == LinkPolicy::kFollowWarning) {
        why = "a Windows stub cannot make links";
    } else if (links == LinkPolicy::kKeep) {
        std::error_code ec;
        const std::string target = fs::read_symlink(path, ec).string();
        if (ec) fail("cannot read the link " + path.string() + ": " + ec.message());
        if (link_target_is_safe(reinterpret_cast<const uint8_t*>(target.data()),
                                uint32_t(target.size()), link_depth(dir))) {
            const size_t file = add_file(path, name, dir, &target);
            (dir == kNoDir ? top_files : dirs[dir].files).push_back(file);
            return true;
        }
        why = "it leads to " + target + ", out of the packed tree";
    }
    if (fs::is_directory(target_status)) {
        warnings.push_back(path.string() + " is a symbolic link to a folder and was skipped" +
                           (why.empty() ? std::string() : ": " + why) +
                           "; links to folders are not followed");
        return true;
    }
    if (!why.empty() && fs::is_regular_file(target_status)) {
        warnings.push_back(path.string() + " is a symbolic link and " + why +
                           ": the file it leads to is stored instead");
    }
    return false;
}

// The extractor writes each file first as "zq" and six digits beside its
// target, in the same 511-byte path buffers: a folder path it could not
// add that name to would stop the run half way, so it is refused here.
// Windows programs commonly cannot open paths of 260 characters or more;
// with the self-extractor run in an install folder of
// kAssumedInstallFolder characters (such as
// "C:\Users\someone\AppData\Local\Programs\Some Application\"), a
// longer path is named in a warning.
void Plan::check_extractor_paths(const fs::path& path, size_t dir_length, size_t name_length) {
    if (dir_length + kTempNameLength > kMaxPath) {
        fail("path too long for the self-extractor (its temporary file beside " + path.string() +
             " would pass 511 bytes)");
    }
    const size_t longest = dir_length + std::max(name_length, kTempNameLength);
    if (for_windows && kAssumedInstallFolder + longest > kWindowsPathLimit) {
        warnings.push_back(path.string() + ": its path of " + std::to_string(longest) +
                           " characters may be too long for Windows below an install folder of " +
                           std::to_string(kAssumedInstallFolder) + " characters");
    }
}

size_t Plan::add_file(const fs::path& path, const std::string& disk_name, size_t dir,
                      const std::string* link_target) {
    const std::string name = form_.stored(disk_name, path, false);
    size_t dir_length = dir == kNoDir ? 0 : dirs[dir].path_length;
    if (dir_length + name.size() > kMaxPath)
        fail("path too long for the archive: " + path.string());
    check_extractor_paths(path, full_path ? dir_length : 0, name.size());
    if (files.size() >= kMaxEntries)
        fail("too many files (at most " + std::to_string(kMaxEntries - 1) + ")");
    PlanFile file;
    file.name = name;
    file.source = path.string();
    file.dir = dir;
    std::error_code ec;
    if (link_target != nullptr) {
        file.link = true;
        file.link_target = *link_target;
        file.size = link_target->size();
    } else {
        file.size = fs::file_size(path, ec);
    }
    if (ec) fail("cannot read " + path.string() + ": " + ec.message());
    if (!host_file_info(file.source, &file.info, !file.link)) {
        fail("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    if (!time_fits(file.info.write_time) || !time_fits(file.info.access_time)) {
        warnings.push_back(path.string() +
                           ": its times lie outside 1901-12-13 to 2038-01-19 and are"
                           " stored as the nearest the archive can hold");
    }
    files.push_back(std::move(file));
    return files.size() - 1;
}

std::vector<size_t> lay_out_tree(Plan& plan, NamePools& names, std::vector<DirEntry>& records) {
    struct Emitter {
        Plan& plan;
        NamePools& names;
        std::vector<DirEntry>& records;
        void chain(const std::vector<size_t>& siblings) {
            size_t previous = SIZE_MAX;
            for (size_t dir : siblings) {
                uint32_t index = uint32_t(records.size());
                plan.dirs[dir].record = index;
                records.push_back(DirEntry{index + 1, names.add(plan.dirs[dir].name), 0, 0});
                if (previous != SIZE_MAX) records[previous].next = index;
                previous = index;
                if (!plan.dirs[dir].subdirs.empty()) {
                    records[index].child = index + 1;
                    chain(plan.dirs[dir].subdirs);
                }
            }
        }
    };
    Emitter{plan, names, records}.chain(plan.top_dirs);

    std::vector<size_t> order = plan.top_files;
    std::vector<size_t> dir_of_record(records.size());
    for (size_t dir = 0; dir < plan.dirs.size(); ++dir) dir_of_record[plan.dirs[dir].record] = dir;
    for (size_t dir : dir_of_record) {
        const std::vector<size_t>& files = plan.dirs[dir].files;
        order.insert(order.end(), files.begin(), files.end());
    }
    return order;
}

size_t find_run_file(const Plan& plan, const std::string& path) {
    std::vector<size_t> parent(plan.dirs.size(), kNoDir);
    for (size_t d = 0; d < plan.dirs.size(); ++d) {
        for (size_t sub : plan.dirs[d].subdirs) parent[sub] = d;
    }
    for (size_t f = 0; f < plan.files.size(); ++f) {
        std::string stored = plan.files[f].name;
        for (size_t d = plan.files[f].dir; d != kNoDir; d = parent[d])
            stored = plan.dirs[d].name + "/" + stored;
        if (stored != path) continue;
        if (plan.files[f].link)
            fail("--run: " + path + " is a symbolic link; name the packed file itself");
        return f;
    }
    fail("--run: no packed file is stored as " + path);
}

}  // namespace zq::packing
