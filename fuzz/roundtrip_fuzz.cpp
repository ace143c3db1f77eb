// encode_block, then decode_block on the frame it wrote: the plain bytes must
// come back exactly, and the frame must obey the framing rules the extractor
// relies on (its header's length matches, it fits the frame capacity).
#include <cstring>
#include <memory>

#include "codec/codec.h"
#include "fuzz_support.h"

namespace {

void* allocate(uint32_t bytes) { return std::calloc(bytes, 1); }
void release(void* block) { std::free(block); }

// Separate states for the two sides, as in the real system (packer and stub).
zq::CodecState& make_state() {
    auto* s = new zq::CodecState{};
    zq::fuzz::check(zq::codec_init(*s, zq::CodecAllocator{allocate, release}) == zq::kCodecOk);
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zq::fuzz::check;
    static zq::CodecState& encoder = make_state();
    static zq::CodecState& decoder = make_state();
    if (size == 0) return 0;
    const uint32_t count = uint32_t(size > zq::kBlockSize ? zq::kBlockSize : size);
    std::unique_ptr<uint8_t[]> input(new uint8_t[count]);
    std::memcpy(input.get(), data, count);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[zq::kFrameCapacity]);
    uint32_t frame_length = 0;
    check(zq::encode_block(encoder, input.get(), frame.get(), count, &frame_length) ==
          zq::kCodecOk);
    check(frame_length >= 3 && frame_length <= zq::kFrameCapacity);

    const zq::FrameHeader header = zq::parse_frame_header(frame.get());
    const uint32_t length = header.payload;
    check(length == frame_length - 2);
    // A block that does not compress is substituted, and so never longer
    // than its plain bytes.
    check(length <= count);

    std::unique_ptr<uint8_t[]> payload(new uint8_t[length]);
    std::memcpy(payload.get(), frame.get() + 2, length);
    std::unique_ptr<uint8_t[]> plain(new uint8_t[zq::kBlockSize]);
    uint16_t produced = 0;
    check(zq::decode_block(decoder, payload.get(), plain.get(), uint16_t(length), &produced,
                           header.substituted) == zq::kCodecOk);
    check(produced == uint16_t(count));
    check(std::memcmp(plain.get(), input.get(), count) == 0);
    return 0;
}
