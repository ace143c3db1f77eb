#include "writer/pack_tree.h"

#include <algorithm>
#include <climits>
#include <map>
#include <utility>

namespace zq::packing {

namespace {
int32_t clamp_time(int64_t t) { return int32_t(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX)); }
}  // namespace

std::vector<int64_t> second_names(const Plan& plan, const std::vector<size_t>& order) {
    std::vector<int64_t> firsts(order.size(), -1);
    std::map<std::pair<uint64_t, uint64_t>, int64_t> seen;
    for (size_t at = 0; at < order.size(); ++at) {
        const PlanFile& file = plan.files[order[at]];
        // A link record's data is its target, not the file it leads to.
        if (file.link || file.info.link_count < 2) continue;
        const auto [where, fresh] =
            seen.emplace(std::make_pair(file.info.device, file.info.inode), int64_t(at));
        if (!fresh) firsts[at] = where->second;
    }
    return firsts;
}

TreeImage tree_of(const Plan& plan, const std::vector<size_t>& order,
                  const std::vector<int64_t>& firsts, bool owners) {
    TreeImage tree;
    tree.owners = owners;
    for (const PlanDir& dir : plan.dirs) {
        TreeFolderEntry entry;
        entry.record = dir.record;
        entry.mode = uint16_t(dir.info.mode & kTreeFolderModeMask);
        entry.access_time = clamp_time(dir.info.access_time);
        entry.write_time = clamp_time(dir.info.write_time);
        if (owners) {
            entry.uid = dir.info.uid;
            entry.gid = dir.info.gid;
        }
        tree.folders.push_back(entry);
    }
    std::sort(tree.folders.begin(), tree.folders.end(),
              [](const auto& a, const auto& b) { return a.record < b.record; });
    for (size_t at = 0; at < order.size(); ++at) {
        if (firsts[at] >= 0)
            tree.links.push_back(TreeLinkEntry{uint32_t(at), uint32_t(firsts[at])});
        if (owners) {
            const HostFileInfo& info = plan.files[order[at]].info;
            tree.file_owners.push_back(TreeOwnerEntry{uint32_t(at), info.uid, info.gid});
        }
    }
    return tree;
}

}  // namespace zq::packing
