#include "writer/tree_image.h"

#include "codec/crc32.h"

namespace zq {

Bytes tree_plain_bytes(const TreeImage& tree) {
    Bytes out;
    put_u16(out, kTreeVersion);
    put_u16(out, tree.owners ? kTreeOwners : 0);
    put_u32(out, uint32_t(tree.folders.size()));
    put_u32(out, uint32_t(tree.links.size()));
    put_u32(out, uint32_t(tree.file_owners.size()));
    for (const TreeFolderEntry& folder : tree.folders) {
        put_u32(out, folder.record);
        put_u16(out, folder.mode);
        put_u16(out, 0);
        put_u32(out, uint32_t(folder.access_time));
        put_u32(out, uint32_t(folder.write_time));
        put_u32(out, folder.uid);
        put_u32(out, folder.gid);
    }
    for (const TreeLinkEntry& link : tree.links) {
        put_u32(out, link.file);
        put_u32(out, link.first);
    }
    for (const TreeOwnerEntry& owner : tree.file_owners) {
        put_u32(out, owner.file);
        put_u32(out, owner.uid);
        put_u32(out, owner.gid);
    }
    return out;
}

Bytes tree_section_bytes(CodecState& codec, const Bytes& plain) {
    Bytes out = code_frames(codec, plain);
    const uint64_t coded = out.size();
    out.insert(out.end(), kTreeMagic, kTreeMagic + 4);
    put_u64(out, coded);
    put_u64(out, plain.size());
    put_u32(out, crc32_of(plain.data(), plain.size()));
    return out;
}

}  // namespace zq
