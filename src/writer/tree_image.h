// The tree supplement as the writer lays it out (format/tree_format.h):
// exactly the entries it is given, in the order given, so that tests can
// build damaged supplements as easily as sound ones.
#pragma once

#include <cstdint>
#include <vector>

#include "format/tree_format.h"
#include "writer/writer.h"

namespace zq {

struct TreeFolderEntry {
    uint32_t record = 0;
    uint16_t mode = 0;
    int32_t access_time = 0;
    int32_t write_time = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

struct TreeLinkEntry {
    uint32_t file = 0;
    uint32_t first = 0;
};

struct TreeOwnerEntry {
    uint32_t file = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

struct TreeImage {
    bool owners = false;
    std::vector<TreeFolderEntry> folders;
    std::vector<TreeLinkEntry> links;
    std::vector<TreeOwnerEntry> file_owners;
};

// The head and the three tables.
Bytes tree_plain_bytes(const TreeImage& tree);
// The frames of `plain` followed by their locator: the bytes that go right in
// front of the catalogue.
Bytes tree_section_bytes(CodecState& codec, const Bytes& plain);
inline Bytes tree_section_bytes(CodecState& codec, const TreeImage& tree) {
    return tree_section_bytes(codec, tree_plain_bytes(tree));
}

}  // namespace zq
