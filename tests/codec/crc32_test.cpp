// The checksum of file data, against its definition and across pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec/crc32.h"

namespace {

const uint8_t* bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(Crc32, MatchesTheZipChecksumAndAddsUpAcrossPieces) {
    const std::string check = "123456789";
    EXPECT_EQ(zq::crc32_of(bytes(check), check.size()), 0xCBF43926u);
    EXPECT_EQ(zq::crc32_of(nullptr, 0), 0u);
    std::string text;
    for (int i = 0; i < 5000; ++i) text += char(i * 7 + i / 13);
    const uint32_t whole = zq::crc32_of(bytes(text), text.size());
    for (size_t split : {size_t(0), size_t(1), size_t(4095), text.size()}) {
        const uint32_t a = zq::crc32_of(bytes(text), split);
        const uint32_t b = zq::crc32_of(bytes(text) + split, text.size() - split);
        EXPECT_EQ(zq::crc32_combine(a, b, text.size() - split), whole) << split;
    }
}

// Straight from the definition, one bit at a time.
uint32_t bitwise_crc32(const uint8_t* bytes, size_t count) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) {
        c ^= bytes[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// Long enough for every path: the table's eight-byte steps and single bytes,
// and on processors that have it, 16-byte lanes four at a time, one at a
// time and the bytes after them.
TEST(Crc32, EveryLengthAndAlignmentAgreesWithTheDefinition) {
    uint8_t data[300];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = uint8_t(i * 151 + 7);
    for (size_t start = 0; start < 16; ++start) {
        for (size_t count = 0; start + count <= sizeof data; ++count) {
            ASSERT_EQ(zq::crc32_of(data + start, count), bitwise_crc32(data + start, count))
                << start << " " << count;
        }
    }
    // Fed in uneven pieces, the running form gives the same.
    uint32_t running = zq::kCrc32Start;
    for (size_t at = 0, piece = 1; at < sizeof data; at += piece, piece = piece % 97 + 1)
        running = zq::crc32_update(running, data + at, std::min(piece, sizeof data - at));
    EXPECT_EQ(zq::crc32_final(running), bitwise_crc32(data, sizeof data));
}

}  // namespace
