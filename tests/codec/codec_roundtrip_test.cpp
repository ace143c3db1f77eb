// Round trips over every length class and shape, frame-for-frame agreement
// with the plain reference coder, and the 32768-byte bound of the decoder.
#include <random>

#include "codec_inputs.h"
#include "codec_test_support.h"
#include "reference_codec.h"

namespace zq::test {
namespace {

const size_t kLengths[] = {1, 2, 3, 5, 6, 31, 32, 62, 100, 1000, 4097, 32767, 32768};

TEST(BlockRoundTrip, EveryShapeAndLengthMatchesTheReference) {
    OwnedCodec codec;
    uint32_t seed = 1;
    for (Shape shape : kAllShapes) {
        for (size_t n : kLengths) {
            Bytes input = make_input(shape, n, seed++);
            Bytes frame = encode_frame(codec.state(), input);
            ASSERT_EQ(frame, reference::encode(input)) << shape_name(shape) << " " << n;
            Decoded back = decode_frame(codec.state(), frame);
            ASSERT_EQ(back.status, kCodecOk) << shape_name(shape) << " " << n;
            ASSERT_EQ(back.plain, input) << shape_name(shape) << " " << n;
            if (n <= 2) {
                EXPECT_EQ(frame[0] & 0x80, 0x80) << "short blocks are substituted";
            }
            if ((frame[0] & 0x80) == 0) {
                EXPECT_LT(frame.size() - 2, n);
            }
        }
    }
}

TEST(BlockRoundTrip, RandomMixturesMatchTheReference) {
    // Splices of different shapes, so matches, disabled slots and context
    // switches meet in one block.
    OwnedCodec codec;
    std::mt19937 rng(99);
    for (int round = 0; round < 60; ++round) {
        Bytes input;
        size_t n = 3 + rng() % 9000;
        while (input.size() < n) {
            Bytes part = make_input(kAllShapes[rng() % 7], 1 + rng() % 600, rng());
            input.insert(input.end(), part.begin(), part.end());
        }
        input.resize(n);
        Bytes frame = encode_frame(codec.state(), input);
        ASSERT_EQ(frame, reference::encode(input)) << "round " << round;
        ASSERT_EQ(decode_frame(codec.state(), frame).plain, input) << "round " << round;
    }
}

TEST(BlockRoundTrip, ResultsDoNotDependOnEarlierBlocks) {
    OwnedCodec fresh_codec, used_codec;
    Bytes text = make_input(Shape::Text, 20000, 5);
    Bytes first = encode_frame(fresh_codec.state(), text);
    Bytes plain_first = decode_frame(fresh_codec.state(), first).plain;
    // Put the second state through other work, including a failed decode.
    for (Shape s : kAllShapes)
        decode_frame(used_codec.state(), encode_frame(used_codec.state(), make_input(s, 7000, 3)));
    Bytes junk = make_input(Shape::Noise, 500, 4);
    decode_payload(used_codec.state(), junk.data(), junk.size(), false);
    EXPECT_EQ(encode_frame(used_codec.state(), text), first);
    EXPECT_EQ(decode_frame(used_codec.state(), first).plain, plain_first);
}

// Matches whose source lies 1 to 17 bytes behind (a repeat of that period)
// at every offset from the end of the block, also of a full block: the copy
// by words and the copy by bytes meet at 8 bytes behind and 32 bytes before
// the end, and both must give the bytes a byte loop gives, never writing
// past 32768 (the sanitizer build's plain area ends there).
TEST(BlockRoundTrip, MatchCopiesAtEveryDistanceMatchTheReference) {
    OwnedCodec codec;
    for (size_t period = 1; period <= 17; ++period) {
        const Bytes cycle = noise(period, uint32_t(period));
        for (size_t total : {size_t{2000}, size_t{kBlockSize}}) {
            for (size_t tail = 40; tail < 72; ++tail) {
                Bytes input = make_input(Shape::Text, total - tail, uint32_t(tail + period));
                while (input.size() < total) input.push_back(cycle[input.size() % period]);
                Bytes frame = encode_frame(codec.state(), input);
                ASSERT_EQ(frame, reference::encode(input)) << period << " " << tail;
                ASSERT_EQ(decode_frame(codec.state(), frame).plain, input)
                    << period << " " << tail << " " << total;
            }
        }
    }
}

// Codes `input` with the block encoder's symbol sequence but without its
// 32768-byte limit, so payloads that overrun the decoder's bound can be made.
Bytes encode_unbounded(CodecState& s, const Bytes& input) {
    Bytes out(input.size() + 64);
    codec_reset(s);
    s.write_bits = 0;
    s.write_count = 0;
    s.input_base = s.input_cursor = input.data();
    s.input_limit = input.data() + input.size();
    s.coded_out = out.data();
    s.coded_out_limit = out.data() + out.size();
    EXPECT_EQ(encode_literal(s, 0, input[0]), kCodecOk);
    EXPECT_EQ(encode_literal(s, input[0] & 0x7F, input[1]), kCodecOk);
    s.input_cursor += 2;
    while (s.input_cursor < s.input_limit) {
        EXPECT_EQ(encode_literal(s, s.input_cursor[-1] & 0x7F, *s.input_cursor), kCodecOk);
        ++s.input_cursor;
        EXPECT_EQ(encode_match(s), kCodecOk);
    }
    EXPECT_EQ(encode_literal(s, input.back() & 0x7F, kEndOfBlock), kCodecOk);
    flush_bits(s);
    out.resize(static_cast<size_t>(s.coded_out - out.data()));
    return out;
}

TEST(BlockDecoder, PlainBytesStopAtTheBlockSize) {
    OwnedCodec codec;
    // Exactly 32768 bytes through literals and matches: accepted.
    Bytes full = make_input(Shape::Text, kBlockSize, 8);
    Bytes payload = encode_unbounded(codec.state(), full);
    Decoded d = decode_payload(codec.state(), payload.data(), payload.size(), false);
    ASSERT_EQ(d.status, kCodecOk);
    EXPECT_EQ(d.produced, 0x8000);
    EXPECT_EQ(d.plain, full);

    // One more byte as a literal: the run of 'a' ends as a match at 32768,
    // then 'b' would be the 32769th byte.
    Bytes literal_over(kBlockSize, 'a');
    literal_over.push_back('b');
    payload = encode_unbounded(codec.state(), literal_over);
    EXPECT_EQ(decode_payload(codec.state(), payload.data(), payload.size(), false).status,
              kCodecBadBlock);

    // A match whose lengths run to 32769.
    Bytes match_over(kBlockSize + 1, 'a');
    payload = encode_unbounded(codec.state(), match_over);
    EXPECT_EQ(decode_payload(codec.state(), payload.data(), payload.size(), false).status,
              kCodecBadBlock);
}

}  // namespace
}  // namespace zq::test
