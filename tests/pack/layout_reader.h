// A reader that follows only the layout of docs/FORMAT.md without the tree
// supplement: the trailer, the header, the catalogue at the header's offset,
// and each file's data at its record's offset, frames decoded by the
// reference decoder. It shares no code with the extractor's reader, and
// knows nothing of what lies between the data and the catalogue.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "writer/writer.h"

namespace zq::test {

struct LayoutFile {
    std::string path;  // folders and name, '/' between them
    Bytes record;      // the 40 bytes of its record
    Bytes content;     // its data, decoded
};

struct Layout {
    uint16_t flags = 0;
    std::vector<LayoutFile> files;
};

// Throws std::runtime_error when anything lies outside the file or does not
// decode.
Layout read_layout(const Bytes& container);

}  // namespace zq::test
