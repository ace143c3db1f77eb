// Writes hostile-but-valid bare archives for the benchmarks:
//   worst_catalogue OUT           the most memory the reader ever grants: name
//                                 pools filled up to the cap, a folder chain 250
//                                 deep and 65535 files at its bottom (so zqpack's
//                                 listed paths are as long as they get);
//   worst_catalogue OUT siblings  65535 empty files alternating between the last
//                                 two of 4000 sibling folders (folder lookups; the
//                                 directory table's coded size must fit 16 bits,
//                                 which caps the siblings this writer can store).
// Measure with: /usr/bin/time -v zqpack list OUT; zqpack extract OUT.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "archive/catalogue.h"
#include "writer/writer.h"

int main(int argc, char** argv) {
    if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "siblings") != 0) || argc > 3) {
        std::fprintf(stderr, "usage: worst_catalogue OUT [siblings]\n");
        return 2;
    }
    using namespace zq;
    ArchiveImage image;
    if (argc == 3) {
        constexpr uint16_t kSiblings = 4000;
        NamePools names;
        for (uint16_t i = 0; i < kSiblings; ++i) {
            image.dirs.push_back(DirEntry{uint32_t(i + 1), names.add("d" + std::to_string(i)),
                                          uint16_t(i + 1 < kSiblings ? i + 1 : 0), 0});
        }
        for (uint32_t i = 0; i < 65535; ++i) {
            FileEntry file;
            file.dir_id = uint16_t(kSiblings - 1 + i % 2);
            file.name = names.add("f" + std::to_string(i));
            file.data_offset = kHeaderSize;
            image.files.push_back(file);
        }
        image.pools = names.pools();
    } else {
        image.pools.push_back(Bytes{'d', 0, 'f', 0});
        Bytes full;
        for (int i = 0; i < 127; ++i) {
            full.insert(full.end(), 255, 'n');
            full.push_back(0);
        }
        const uint32_t pool_cost = uint32_t(full.size()) + 1;
        for (uint32_t total = 5 + pool_cost; total + pool_cost <= kMaxNameBytes; total += pool_cost)
            image.pools.push_back(full);
        for (uint16_t i = 0; i < 250; ++i)
            image.dirs.push_back(DirEntry{uint32_t(i + 1), make_name_ref(0, 0), 0,
                                          uint16_t(i + 1 < 250 ? i + 1 : 0)});
        for (uint32_t i = 0; i < 65535; ++i) {
            FileEntry file;
            file.dir_id = 250;
            file.name = make_name_ref(0, 2);
            file.data_offset = kHeaderSize;
            image.files.push_back(file);
        }
    }
    OwnedCodec codec;
    const Bytes archive = archive_bytes(codec.state(), image);
    Bytes out = archive;
    for (int k = 0; k < 4; ++k) out.push_back(0);  // trailer: the archive starts at 0
    std::ofstream(argv[1], std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    std::printf("%zu pools, %zu folders, %zu files, %zu bytes\n", image.pools.size(),
                image.dirs.size(), image.files.size(), out.size());
    return 0;
}
