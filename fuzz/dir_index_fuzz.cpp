// check_catalogue on folder and file tables taken straight from the input
// (catalogue_from_bytes), then the folder index it builds: walk_dirs,
// record_path, dir_path and the driver's build_file_path. Byte 2's low bit
// picks the lead bytes the names are checked with (the fixed two-byte set or
// this platform's).
//
// A model of its own decides independently which tables are sound (every
// name safe, every link inside the table, each folder met once in a walk
// from record 0, each folder path and file path within 511 bytes, every
// file's folder id present) and what each path is; the checks and the index
// must agree with it exactly.
#include <map>
#include <string>
#include <vector>

#include "archive/dir_index.h"
#include "archive/release.h"
#include "driver/dir_tree.h"
#include "fuzz_support.h"

namespace {

using zq::fuzz::check;

struct Model {
    bool sound = false;
    std::vector<int32_t> parent;  // record + 1, 0 at the top level; -1 not reached
    std::vector<std::string> path;
    std::map<uint16_t, uint16_t> first_by_id;  // id -> first record in walk order
};

bool safe_name(const zq::Catalogue& c, uint32_t ref, const zq::LeadBytes& lead, std::string* out) {
    const char* text = nullptr;
    size_t length = 0;
    if (!zq::fuzz::text_at(c, ref, &text, &length)) return false;
    if (!zq::is_safe_name(reinterpret_cast<const uint8_t*>(text), uint32_t(length), lead))
        return false;
    out->assign(text, length);
    return true;
}

Model model_of(const zq::Catalogue& c, const zq::LeadBytes& lead) {
    Model m;
    const uint32_t count = c.dir_count;
    m.parent.assign(count, -1);
    m.path.resize(count);
    std::vector<std::string> names(count);
    for (uint32_t i = 0; i < count; ++i) {
        const zq::DirRecord& dir = c.dir_table[i];
        if (!safe_name(c, dir.name(), lead, &names[i])) return m;
        if (dir.next() >= count || dir.child() >= count) return m;
    }
    // Depth first from record 0: a folder, its subfolders, then its sibling.
    std::vector<std::pair<uint32_t, int32_t>> pending;  // record, parent + 1
    if (count != 0) pending.push_back({0, 0});
    while (!pending.empty()) {
        const auto [record, parent] = pending.back();
        pending.pop_back();
        if (m.parent[record] >= 0) return m;  // met twice
        m.parent[record] = parent;
        m.path[record] = (parent == 0 ? "" : m.path[parent - 1]) + names[record] + "/";
        if (m.path[record].size() > zq::kMaxPath) return m;
        m.first_by_id.emplace(uint16_t(c.dir_table[record].id()), uint16_t(record));
        const zq::DirRecord& dir = c.dir_table[record];
        if (dir.next() != 0) pending.push_back({dir.next(), parent});
        if (dir.child() != 0) pending.push_back({dir.child(), int32_t(record) + 1});
    }
    for (uint32_t i = 0; i < c.file_count; ++i) {
        const zq::FileRecord& file = *c.file_table[i];
        std::string name;
        if (!safe_name(c, file.name(), lead, &name)) return m;
        size_t full = name.size();
        if (count != 0 && file.dir_id() != 0) {
            const auto folder = m.first_by_id.find(file.dir_id());
            if (folder == m.first_by_id.end()) return m;
            full += m.path[folder->second].size();
        }
        if (full > zq::kMaxPath) return m;
    }
    m.sound = true;
    return m;
}

std::string with_separator(std::string path, char separator) {
    for (char& ch : path) {
        if (ch == '/') ch = separator;
    }
    return path;
}

void check_index(const zq::Catalogue& c, const Model& m) {
    char out[zq::kPathBufferSize];
    uint32_t visits = 0;
    const int walked = zq::walk_dirs(c, [&](uint16_t record, uint16_t parent) {
        check(record < c.dir_count && m.parent[record] == parent);
        ++visits;
        return 0;
    });
    check(walked == 0);
    uint32_t reached = 0;
    for (uint32_t r = 0; r < c.dir_count; ++r) {
        if (m.parent[r] < 0) continue;  // not in the tree: no path
        ++reached;
        check(c.dir_parent[r] == uint16_t(m.parent[r]));
        const int32_t length = zq::record_path(c, uint16_t(r), '\\', out);
        check(length >= 0 && std::string(out, size_t(length)) == with_separator(m.path[r], '\\'));
    }
    check(visits == reached);  // each folder of the tree once
    for (uint32_t id = 0; id < 0x10000; id += 0x101) {
        // A sample of ids with none, and every id the tree has.
        if (m.first_by_id.count(uint16_t(id)) == 0) check(zq::dir_path(c, id, '/', out) == -1);
    }
    for (const auto& [id, record] : m.first_by_id) {
        const int32_t length = zq::dir_path(c, id, '/', out);
        check(length >= 0 && std::string(out, size_t(length)) == m.path[record]);
    }
    for (uint32_t i = 0; i < c.file_count; ++i) {
        const zq::FileRecord& file = *c.file_table[i];
        check(zq::build_file_path(c, file, out) == 0);
        std::string expected;
        if (c.dir_count != 0 && file.dir_id() != 0)
            expected = with_separator(m.path[m.first_by_id.at(file.dir_id())], '\\');
        expected += zq::name_text(c, file.name());
        check(out == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zq::Catalogue catalogue{};
    if (!zq::fuzz::catalogue_from_bytes(data, size, &catalogue)) return 0;
    const zq::LeadBytes lead = (data[2] & 1) ? zq::fixed_lead_bytes() : zq::platform_lead_bytes();
    const Model model = model_of(catalogue, lead);
    const int result = zq::check_catalogue(&catalogue, lead);
    check(result == 0 || result == zq::kExitInvalidArchive);
    check((result == 0) == model.sound);
    if (result == 0) check_index(catalogue, model);
    zq::release_catalogue(&catalogue);
    return 0;
}
