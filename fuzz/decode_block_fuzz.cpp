// decode_block on raw payloads. The first input byte picks the block kind
// (bit 0: substituted); the rest is the payload, at most 32768 bytes, copied
// into a heap area of exactly its size so that any read past it is caught.
// The same payload is decoded twice: a block must decode the same whatever
// block came before it.
#include <cstring>
#include <memory>

#include "codec/codec.h"
#include "fuzz_support.h"

namespace {

void* allocate(uint32_t bytes) { return std::calloc(bytes, 1); }
void release(void* block) { std::free(block); }

zq::CodecState& codec() {
    static zq::CodecState* state = [] {
        auto* s = new zq::CodecState{};
        zq::fuzz::check(zq::codec_init(*s, zq::CodecAllocator{allocate, release}) == zq::kCodecOk);
        return s;
    }();
    return *state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zq::fuzz::check;
    if (size < 2) return 0;
    const uint16_t substituted = (data[0] & 1) ? 0x8000 : 0;
    size_t length = size - 1;
    if (length > zq::kBlockSize) length = zq::kBlockSize;
    std::unique_ptr<uint8_t[]> payload(new uint8_t[length]);
    std::memcpy(payload.get(), data + 1, length);
    std::unique_ptr<uint8_t[]> first(new uint8_t[zq::kBlockSize]);
    std::unique_ptr<uint8_t[]> second(new uint8_t[zq::kBlockSize]);

    uint16_t n1 = 0xABCD;
    const int r1 =
        zq::decode_block(codec(), payload.get(), first.get(), uint16_t(length), &n1, substituted);
    check(r1 == 0 || r1 == 1);
    if (substituted) check(r1 == 0 && n1 == uint16_t(length));
    if (r1 != 0) check(n1 == 0xABCD);  // untouched on failure

    uint16_t n2 = 0xABCD;
    const int r2 =
        zq::decode_block(codec(), payload.get(), second.get(), uint16_t(length), &n2, substituted);
    check(r1 == r2);
    if (r1 == 0) {
        check(n1 == n2);
        const size_t produced = n1 == 0 ? zq::kBlockSize : n1;  // 32768 wraps to 0 in 16 bits
        check(produced >= 1);
        check(std::memcmp(first.get(), second.get(), produced) == 0);
    }
    return 0;
}
