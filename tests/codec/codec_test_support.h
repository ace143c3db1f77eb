// Helpers shared by the codec tests: exactly-sized buffers that let the
// address sanitizer catch a read past their end, and the usual inputs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/splay.h"
#include "support.h"

namespace zq::test {

// A copy of `data` at the very end of its own allocation.
struct ExactBuffer {
    std::unique_ptr<uint8_t[]> storage;
    size_t size;
    explicit ExactBuffer(const uint8_t* data, size_t n) : storage(new uint8_t[n ? n : 1]), size(n) {
        for (size_t i = 0; i < n; ++i) storage[i] = data[i];
    }
    explicit ExactBuffer(const Bytes& data) : ExactBuffer(data.data(), data.size()) {}
    uint8_t* data() { return storage.get(); }
};

// Encodes `input` into one frame with encode_block.
inline Bytes encode_frame(CodecState& state, const Bytes& input) {
    Bytes frame(kFrameCapacity);
    uint32_t length = 0;
    EXPECT_EQ(encode_block(state, input.data(), frame.data(), static_cast<uint32_t>(input.size()),
                           &length),
              kCodecOk);
    frame.resize(length);
    return frame;
}

struct Decoded {
    int status;
    uint16_t produced;
    Bytes plain;
};

// Decodes a payload held at the end of an exactly-sized allocation into an
// exactly-sized 32768-byte plain area.
inline Decoded decode_payload(CodecState& state, const uint8_t* payload, size_t length,
                              bool substituted) {
    ExactBuffer coded(payload, length);
    std::unique_ptr<uint8_t[]> plain(new uint8_t[kBlockSize]);
    uint16_t produced = 0xBEEF;
    int status = decode_block(state, coded.data(), plain.get(), static_cast<uint16_t>(length),
                              &produced, substituted ? 0x8000 : 0);
    Decoded out{status, produced, {}};
    if (status == kCodecOk) {
        out.plain.assign(plain.get(), plain.get() + produced);
    }
    return out;
}

// Decodes a whole frame the way the block streams do: header, then payload.
inline Decoded decode_frame(CodecState& state, const Bytes& frame) {
    uint32_t header = (uint32_t{frame.at(0)} << 8) | frame.at(1);
    uint32_t length = header & 0x7FFF;
    if (length == 0) length = kBlockSize;
    EXPECT_EQ(frame.size(), 2 + length);
    return decode_payload(state, frame.data() + 2, length, (header & 0x8000) != 0);
}

inline Bytes repeat(const std::string& pattern, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

inline Bytes hex(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

}  // namespace zq::test
