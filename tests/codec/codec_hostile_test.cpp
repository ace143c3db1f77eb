// Payloads from a damaged or hostile archive: the decoder must fail cleanly
// or produce at most 32768 bytes, reading nothing outside the payload. The
// payloads sit at the end of exactly-sized allocations, so the sanitizer
// build catches any read past them.
#include <random>

#include "codec_inputs.h"
#include "codec_test_support.h"
#include "reference_codec.h"

namespace zq::test {
namespace {

// Decodes and checks the result against the reference decoder.
void expect_like_reference(CodecState& state, const Bytes& payload, const std::string& what) {
    Decoded got = decode_payload(state, payload.data(), payload.size(), false);
    Bytes want;
    bool ok = reference::decode(payload, false, want);
    ASSERT_EQ(got.status, ok ? kCodecOk : kCodecBadBlock) << what;
    if (ok) {
        ASSERT_EQ(got.produced, want.size()) << what;
        ASSERT_EQ(got.plain, want) << what;
    }
}

TEST(HostilePayloads, RandomBytes) {
    OwnedCodec codec;
    std::mt19937 rng(2024);
    for (int round = 0; round < 400; ++round) {
        size_t n = round < 200 ? 1 + rng() % 64 : 1 + rng() % kBlockSize;
        Bytes payload = make_input(round % 3 ? Shape::Noise : Shape::Skewed, n, rng());
        expect_like_reference(codec.state(), payload, "round " + std::to_string(round));
    }
}

TEST(HostilePayloads, LargestAndEmptyPayloads) {
    OwnedCodec codec;
    for (uint32_t seed = 0; seed < 6; ++seed) {
        Bytes payload = make_input(seed % 2 ? Shape::Noise : Shape::Runs, kBlockSize, seed);
        expect_like_reference(codec.state(), payload, "seed " + std::to_string(seed));
    }
    // An empty compressed payload has no bit to give.
    uint8_t none = 0;
    uint16_t produced = 7;
    std::unique_ptr<uint8_t[]> plain(new uint8_t[kBlockSize]);
    EXPECT_EQ(decode_block(codec.state(), &none, plain.get(), 0, &produced, 0), kCodecBadBlock);
    EXPECT_EQ(produced, 7);

    // No header announces more than 32768 bytes; a longer payload is
    // refused rather than expanded past the plain area.
    Bytes longer(kBlockSize + 1, 0x02);
    for (uint16_t substituted : {uint16_t{0}, uint16_t{0x8000}}) {
        EXPECT_EQ(decode_block(codec.state(), longer.data(), plain.get(), kBlockSize + 1, &produced,
                               substituted),
                  kCodecBadBlock);
        EXPECT_EQ(produced, 7);
    }
}

TEST(HostilePayloads, DamagedFrames) {
    OwnedCodec codec;
    std::mt19937 rng(77);
    for (int round = 0; round < 120; ++round) {
        Bytes input = make_input(kAllShapes[1 + round % 6], 3 + rng() % 20000, rng());
        Bytes frame = encode_frame(codec.state(), input);
        if (frame[0] & 0x80) continue;
        Bytes payload(frame.begin() + 2, frame.end());
        std::string what = "round " + std::to_string(round);

        Bytes cut(payload.begin(), payload.begin() + static_cast<long>(rng() % payload.size()));
        if (!cut.empty()) {
            EXPECT_EQ(decode_payload(codec.state(), cut.data(), cut.size(), false).status,
                      kCodecBadBlock)
                << what;
        }
        Bytes extended = payload;
        extended.push_back(static_cast<uint8_t>(rng()));
        EXPECT_EQ(decode_payload(codec.state(), extended.data(), extended.size(), false).status,
                  kCodecBadBlock)
            << what;

        Bytes flipped = payload;
        for (int f = 0; f < 1 + round % 4; ++f)
            flipped[rng() % flipped.size()] ^= 1u << (rng() % 8);
        expect_like_reference(codec.state(), flipped, what + " flipped");
    }
}

TEST(HostilePayloads, SubstitutedPayloadsNeverFail) {
    OwnedCodec codec;
    for (size_t n : {size_t{1}, size_t{777}, size_t{kBlockSize}}) {
        Bytes payload = make_input(Shape::Noise, n, static_cast<uint32_t>(n));
        Decoded d = decode_payload(codec.state(), payload.data(), n, true);
        Bytes want;
        ASSERT_TRUE(reference::decode(payload, true, want));
        EXPECT_EQ(d.status, kCodecOk);
        EXPECT_EQ(d.produced, n);
        EXPECT_EQ(d.plain, want);
    }
}

}  // namespace
}  // namespace zq::test
