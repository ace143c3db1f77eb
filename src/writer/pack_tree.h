// What the packer puts into the tree supplement: the folders' modes, times
// and owners, which files are second names of an earlier one (hard links),
// and the files' owners when asked for.
#pragma once

#include <cstdint>
#include <vector>

#include "writer/pack_plan.h"
#include "writer/tree_image.h"

namespace zq::packing {

// For each position of `order` (the catalogue's order), the earlier position
// holding another name of the same regular file, or -1: those share its data.
std::vector<int64_t> second_names(const Plan& plan, const std::vector<size_t>& order);

// The supplement of the plan whose files are stored in `order`. `owners`
// adds the numeric owners of folders and files.
TreeImage tree_of(const Plan& plan, const std::vector<size_t>& order,
                  const std::vector<int64_t>& firsts, bool owners);

// Whether `tree` says anything at all: without it no supplement is written.
inline bool tree_has_content(const TreeImage& tree) {
    return tree.owners || !tree.folders.empty() || !tree.links.empty();
}

}  // namespace zq::packing
