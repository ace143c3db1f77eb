#include "codec/crc32.h"

namespace zq {
namespace {

// In .bss: the Windows stub's file does not grow by the table's kilobyte.
uint32_t crc_table[256];

}  // namespace

void crc32_prepare() {
    if (crc_table[1] != 0) return;  // entry 1 is never 0 once built
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

uint32_t crc32_update(uint32_t running, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        running = crc_table[(running ^ bytes[i]) & 0xFF] ^ (running >> 8);
    return running;
}

}  // namespace zq
