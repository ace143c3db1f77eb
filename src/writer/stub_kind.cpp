// What kind of program a stub is, from the first bytes of its image.
#include "writer/packer.h"

#include <algorithm>
#include <iterator>

#include "format/archive_format.h"
#include "format/sealed_format.h"

namespace zq {

StubKind stub_kind(const Bytes& stub) {
    if (stub.size() >= 4 && stub[0] == 0x7F && stub[1] == 'E' && stub[2] == 'L' && stub[3] == 'F') {
        return StubKind::kLinuxElf;
    }
    if (stub.size() < 0x40 || stub[0] != 'M' || stub[1] != 'Z') return StubKind::kNotExecutable;
    const size_t pe = size_t(stub[0x3C]) | size_t(stub[0x3D]) << 8 | size_t(stub[0x3E]) << 16 |
                      size_t(stub[0x3F]) << 24;
    if (pe > stub.size() - 4 || stub[pe] != 'P' || stub[pe + 1] != 'E' || stub[pe + 2] != 0 ||
        stub[pe + 3] != 0) {
        return StubKind::kNotExecutable;
    }
    return StubKind::kWindowsPe;
}

namespace {

// Whether the image holds a mark, its terminator too.
bool carries_mark(const Bytes& stub, const char* mark, size_t size) {
    return std::search(stub.begin(), stub.end(), mark, mark + size) != stub.end();
}

}  // namespace

bool stub_reads_encrypted(const Bytes& stub) {
    return carries_mark(stub, kEncryptedReaderMark, sizeof kEncryptedReaderMark);
}

bool stub_reads_wide(const Bytes& stub) {
    return carries_mark(stub, kWideReaderMark, sizeof kWideReaderMark) ||
           stub_reads_wide_only(stub);
}

bool stub_reads_wide_only(const Bytes& stub) {
    return carries_mark(stub, kWideOnlyReaderMark, sizeof kWideOnlyReaderMark);
}

}  // namespace zq
