// Byte-exact behaviour of the codec: the fixed tables, the initial and
// adapted codes, and known frames.
#include <cstring>
#include <random>

#include "codec_test_support.h"

namespace zq::test {
namespace {

// The code of `leaf`, root end first, as a string of '0' and '1'.
std::string code_of(SplayTree tree, uint32_t leaf) {
    std::string bits;
    for (uint32_t a = leaf; a != 0; a = tree.parent[a]) {
        bits.insert(bits.begin(), tree.children[2 * tree.parent[a] + 1] == a ? '1' : '0');
    }
    return bits;
}

std::string literal_code(CodecState& state, uint32_t context, uint32_t symbol) {
    return code_of(literal_tree(state, context), symbol + kLiteralNodes);
}

std::string length_code(CodecState& state, uint32_t length) {
    return code_of(length_tree(state), length + kLengthNodes);
}

// Points the encoder at `out` (whole bytes only) with an empty bit writer.
void start_writer(CodecState& state, uint8_t* out, size_t capacity) {
    state.write_bits = 0;
    state.write_count = 0;
    state.coded_out = out;
    state.coded_out_limit = out + capacity;
}

TEST(CodecTables, SubstitutionIsTheFieldPowersOfTwo) {
    OwnedCodec codec;
    const uint8_t* subst = codec.state().subst_table;
    const uint8_t* unsubst = codec.state().unsubst_table;
    const uint8_t first[] = {0, 2, 4, 8, 16, 32, 64, 128, 45, 90, 180, 69};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(subst[i], first[i]) << i;
    EXPECT_EQ(subst[255], 1);
    EXPECT_EQ(unsubst[1], 255);
    EXPECT_EQ(unsubst[0], 0);
    bool seen[256] = {};
    for (int i = 0; i < 256; ++i) {
        EXPECT_FALSE(seen[subst[i]]) << "not a permutation at " << i;
        seen[subst[i]] = true;
        EXPECT_EQ(unsubst[subst[i]], i);
    }
}

TEST(CodecTables, ResetGivesIdenticalHeapOrderTrees) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    // Dirty everything first, so the reset has to do the work.
    std::memset(s.prediction_table, 0x5A, kPredictionBytes);
    std::memset(s.literal_parent, 0x33, kLiteralParentBytes);
    std::memset(s.literal_children, 0x44, kLiteralChildrenBytes);
    codec_reset(s);
    for (uint32_t i = 0; i < kPredictionSlots; ++i) ASSERT_EQ(s.prediction_table[i], 0) << i;
    for (uint32_t c = 0; c < kLiteralContexts; ++c) {
        SplayTree t = literal_tree(s, c);
        for (uint32_t i = 1; i <= 512; ++i) ASSERT_EQ(t.parent[i], (i - 1) / 2) << c << " " << i;
        for (uint32_t i = 0; i < 256; ++i) {
            ASSERT_EQ(t.children[2 * i], 2 * i + 1);
            ASSERT_EQ(t.children[2 * i + 1], 2 * i + 2);
        }
        ASSERT_EQ(literal_code(s, c, 0x61), "01100010");
    }
    EXPECT_EQ(literal_code(s, 5, 0), "00000001");
    EXPECT_EQ(literal_code(s, 5, 254), "11111111");
    EXPECT_EQ(literal_code(s, 5, 255), "000000000");
    EXPECT_EQ(literal_code(s, 5, 256), "000000001");
    for (uint32_t k = 0; k < 32; ++k) {
        std::string want;
        for (int b = 4; b >= 0; --b) want += ((k >> b) & 1) ? '1' : '0';
        EXPECT_EQ(length_code(s, k), want);
    }
}

TEST(CodecTables, InitReleasesEverythingWhenAnAllocationFails) {
    // Fail the n-th allocation and check that every other one is released.
    static int calls, fail_at, live;
    CodecAllocator failing{[](uint32_t bytes) -> void* {
                               if (++calls == fail_at) return nullptr;
                               ++live;
                               return std::calloc(1, bytes);
                           },
                           [](void* block) {
                               --live;
                               std::free(block);
                           }};
    for (fail_at = 1; fail_at <= 7; ++fail_at) {
        calls = 0;
        live = 0;
        CodecState state{};
        EXPECT_EQ(codec_init(state, failing), kCodecNoMemory) << fail_at;
        EXPECT_EQ(calls, 7) << "every allocation is attempted";
        EXPECT_EQ(live, 0) << fail_at;
        EXPECT_EQ(state.literal_parent, nullptr);
        EXPECT_EQ(state.unsubst_table, nullptr);
    }
}

TEST(CodecTables, SlotHashOfTheLastThreeBytes) {
    EXPECT_EQ(slot_hash(0x61, 0x61, 0x61), 73u);
    EXPECT_EQ(slot_hash(0x61, 0x62, 0x63), 83u);
    EXPECT_EQ(slot_hash(0, 0, 0), 0u);
    // For fixed x2 and x1, every x3 has its own slot: confirming a slot
    // needs only the two later bytes.
    bool seen[kPredictionSlots] = {};
    for (uint32_t x3 = 0; x3 < 256; ++x3) {
        uint32_t h = slot_hash(x3, 0x9C, 0x41);
        ASSERT_LT(h, kPredictionSlots);
        EXPECT_FALSE(seen[h]) << x3;
        seen[h] = true;
    }
}

TEST(SplayCoder, CodesAfterOneLiteral) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    uint8_t out[8] = {};
    start_writer(s, out, sizeof out);
    ASSERT_EQ(encode_literal(s, 7, 0), kCodecOk);
    EXPECT_EQ(literal_code(s, 7, 0), "1111");
    EXPECT_EQ(literal_code(s, 7, 1), "111010");
    EXPECT_EQ(literal_code(s, 7, 2), "111011");
    EXPECT_EQ(literal_code(s, 7, 3), "110100");
    EXPECT_EQ(literal_code(s, 7, 4), "110101");
    EXPECT_EQ(literal_code(s, 7, 255), "111000");
    EXPECT_EQ(literal_code(s, 7, 256), "111001");
    EXPECT_EQ(literal_code(s, 7, 128), "000000001");
    // Only the tree that coded changed.
    EXPECT_EQ(literal_code(s, 6, 0), "00000001");
    // The code written was the old one, 00000001.
    EXPECT_EQ(s.coded_out, out + 1);
    EXPECT_EQ(out[0], 0x01);
}

TEST(SplayCoder, CodesAfterOneLength) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    uint8_t out[8] = {};
    start_writer(s, out, sizeof out);
    ASSERT_EQ(encode_length(s, 0), kCodecOk);
    EXPECT_EQ(length_code(s, 0), "011");
    EXPECT_EQ(length_code(s, 1), "0101");
    EXPECT_EQ(length_code(s, 2), "01000");
    EXPECT_EQ(length_code(s, 3), "01001");
    EXPECT_EQ(length_code(s, 16), "10000");
    EXPECT_EQ(length_code(s, 31), "11111");
}

TEST(SplayCoder, LeafUnderTheRootStaysPut) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    uint8_t out[64] = {};
    start_writer(s, out, sizeof out);
    SplayTree t = literal_tree(s, 0);
    int rounds = 0;
    while (literal_code(s, 0, 'x').size() > 1 && rounds < 40) {
        ASSERT_EQ(encode_literal(s, 0, 'x'), kCodecOk);
        ++rounds;
    }
    ASSERT_EQ(literal_code(s, 0, 'x').size(), 1u) << "repeated coding lifts a leaf to the root";
    std::vector<uint8_t> parent(t.parent, t.parent + 513);
    std::vector<uint16_t> children(t.children, t.children + 512);
    ASSERT_EQ(encode_literal(s, 0, 'x'), kCodecOk);
    EXPECT_EQ(literal_code(s, 0, 'x').size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(t.parent, t.parent + 513), parent);
    EXPECT_EQ(std::vector<uint16_t>(t.children, t.children + 512), children);
}

TEST(SplayCoder, BitWriterFlushAndCapacity) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    uint8_t out[2] = {0xEE, 0xEE};
    start_writer(s, out, 2);
    flush_bits(s);
    EXPECT_EQ(s.coded_out, out) << "nothing pending, nothing written";
    // Length 31 is 11111 in a fresh length tree: pending bits go to the top.
    ASSERT_EQ(encode_length(s, 31), kCodecOk);
    EXPECT_EQ(s.coded_out, out);
    flush_bits(s);
    EXPECT_EQ(s.coded_out, out + 1);
    EXPECT_EQ(out[0], 0xF8);

    // With no room left, the bit that completes a byte reports a full output.
    codec_reset(s);
    start_writer(s, out, 0);
    EXPECT_EQ(encode_length(s, 1), kCodecOk);          // 5 bits pending
    EXPECT_EQ(encode_length(s, 2), kCodecOutputFull);  // the 8th bit is due
    EXPECT_EQ(s.coded_out, out);
    flush_bits(s);
    EXPECT_EQ(s.coded_out, out);
}

TEST(SplayCoder, SymbolsRoundTripThroughMixedTrees) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    std::mt19937 rng(7);
    struct Step {
        bool literal;
        uint32_t context, symbol;
    };
    std::vector<Step> steps;
    for (int i = 0; i < 5000; ++i) {
        bool literal = rng() % 3 != 0;
        uint32_t skew = rng() % 4 == 0 ? rng() : rng() % 8;  // repeats make trees adapt
        steps.push_back(
            {literal, static_cast<uint32_t>(rng() % 128), literal ? skew % 257 : skew % 32});
    }
    Bytes out(5000 * 40);
    start_writer(s, out.data(), out.size());
    for (const Step& st : steps) {
        ASSERT_EQ(
            st.literal ? encode_literal(s, st.context, st.symbol) : encode_length(s, st.symbol),
            kCodecOk);
    }
    flush_bits(s);
    size_t written = static_cast<size_t>(s.coded_out - out.data());
    ExactBuffer coded(out.data(), written);

    reset_for_decoding(s);
    BitReader reader = start_reader(coded.data(), static_cast<uint32_t>(written));
    for (const Step& st : steps) {
        uint32_t got = 0;
        ASSERT_EQ(st.literal ? decode_literal(s, reader, st.context, &got)
                             : decode_length(s, reader, &got),
                  kCodecOk);
        ASSERT_EQ(got, st.symbol);
    }
    EXPECT_EQ(unread_bytes(reader), 0u) << "every byte was needed";
    // With the payload used up and no bit buffered, any symbol fails.
    reader = start_reader(coded.data() + written, 0);
    uint32_t got = 0;
    EXPECT_EQ(decode_literal(s, reader, 0, &got), kCodecBadBlock);
    EXPECT_EQ(decode_length(s, reader, &got), kCodecBadBlock);
}

// Literal tree 0 as a caterpillar: internal node i has internal node i+1 on
// bit 0 and the leaf of symbol i on bit 1, so symbol 256 lies 256 levels deep.
SplayTree caterpillar(CodecState& s) {
    SplayTree t = literal_tree(s, 0);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t next = i < 255 ? i + 1 : 511;
        t.children[2 * i] = static_cast<uint16_t>(next);
        t.children[2 * i + 1] = static_cast<uint16_t>(256 + i);
        t.parent[next] = static_cast<uint8_t>(i);
        t.parent[256 + i] = static_cast<uint8_t>(i);
    }
    t.parent[512] = 255;
    t.children[511] = 512;
    t.children[510] = 511;
    t.parent[511] = 255;
    return t;
}

// A literal tree's child entries from node numbers to the decoder's offsets.
void in_decoder_form(uint16_t* children) {
    for (uint32_t j = 0; j < 512; ++j)
        children[j] = static_cast<uint16_t>(children[j] * kPairBytes);
}
void in_decoder_form(SplayTree tree) { in_decoder_form(tree.children); }

TEST(SplayCoder, CodesLongerThanTheBitRegisters) {
    OwnedCodec codec;
    CodecState& s = codec.state();
    const uint32_t symbols[] = {256, 255, 256, 130, 0, 77, 255, 254, 256, 3};
    codec_reset(s);
    caterpillar(s);
    EXPECT_EQ(literal_code(s, 0, 256), std::string(255, '0') + "1");
    Bytes out(400);
    start_writer(s, out.data(), out.size());
    for (uint32_t sym : symbols) ASSERT_EQ(encode_literal(s, 0, sym), kCodecOk);
    flush_bits(s);
    for (int i = 0; i < 31; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[31], 0x01);
    SplayTree t = literal_tree(s, 0);
    std::vector<uint16_t> encoded_children(t.children, t.children + 512);

    // The encoder's climbs kept every parent entry in step with the children.
    for (uint32_t j = 0; j < 512; ++j) ASSERT_EQ(t.parent[t.children[j]], j / 2) << j;

    ExactBuffer coded(out.data(), static_cast<size_t>(s.coded_out - out.data()));
    reset_for_decoding(s);
    in_decoder_form(caterpillar(s));
    BitReader reader = start_reader(coded.data(), static_cast<uint32_t>(coded.size));
    for (uint32_t sym : symbols) {
        uint32_t got = 0;
        ASSERT_EQ(decode_literal(s, reader, 0, &got), kCodecOk);
        ASSERT_EQ(got, sym);
    }
    EXPECT_EQ(unread_bytes(reader), 0u);
    // The decoder keeps only the child entries; they define the codes.
    in_decoder_form(encoded_children.data());
    EXPECT_EQ(std::vector<uint16_t>(t.children, t.children + 512), encoded_children);
}

struct FrameCase {
    const char* name;
    Bytes input;
    Bytes frame;
};

TEST(BlockFrames, KnownFrames) {
    Bytes seventy_one = repeat("a", 64);
    for (char c : std::string("bcdXbcd")) seventy_one.push_back(static_cast<uint8_t>(c));
    const FrameCase cases[] = {
        {"one byte", repeat("a", 1), hex({0x80, 0x01, 0x46})},
        {"five a", repeat("a", 5), hex({0x80, 0x05, 0x46, 0x46, 0x46, 0x46, 0x46})},
        {"six a", repeat("a", 6), hex({0x00, 0x05, 0x62, 0x62, 0xA0, 0x40, 0x04})},
        {"64 a", repeat("a", 64), hex({0x00, 0x06, 0x62, 0x62, 0xA3, 0xF7, 0x00, 0x20})},
        {"ab x10", repeat("ab", 10), hex({0x00, 0x06, 0x62, 0x63, 0x62, 0xAA, 0x7C, 0x02})},
        {"abc x11", repeat("abc", 11), hex({0x00, 0x07, 0x62, 0x63, 0x64, 0x62, 0xAB, 0xD8, 0x04})},
        {"71 bytes", seventy_one,
         hex({0x00, 0x0C, 0x62, 0x62, 0xA3, 0xF7, 0x76, 0x46, 0x55, 0x96, 0x3B, 0xB0, 0x00, 0x40})},
    };
    OwnedCodec codec;
    for (const FrameCase& c : cases) {
        EXPECT_EQ(encode_frame(codec.state(), c.input), c.frame) << c.name;
        Decoded back = decode_frame(codec.state(), c.frame);
        EXPECT_EQ(back.status, kCodecOk) << c.name;
        EXPECT_EQ(back.produced, c.input.size()) << c.name;
        EXPECT_EQ(back.plain, c.input) << c.name;
    }
}

TEST(BlockFrames, FullBlockHeaders) {
    OwnedCodec codec;
    Bytes zeros(kBlockSize, 0);
    Bytes frame = encode_frame(codec.state(), zeros);
    ASSERT_EQ(frame.size(), 2u + 0x88);
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x88);
    Decoded back = decode_frame(codec.state(), frame);
    EXPECT_EQ(back.produced, 0x8000);
    EXPECT_EQ(back.plain, zeros);

    Bytes as(kBlockSize, 'a');
    frame = encode_frame(codec.state(), as);
    ASSERT_EQ(frame.size(), 2u + 0x8A);
    EXPECT_EQ(frame[1], 0x8A);
    EXPECT_EQ(decode_frame(codec.state(), frame).plain, as);

    // Noise does not compress: the whole block is substituted.
    const Bytes noise = zq::test::noise(kBlockSize, 1);
    frame = encode_frame(codec.state(), noise);
    ASSERT_EQ(frame.size(), kFrameCapacity);
    EXPECT_EQ(frame[0], 0x80);
    EXPECT_EQ(frame[1], 0x00);
    for (uint32_t i = 0; i < kBlockSize; ++i) {
        ASSERT_EQ(frame[2 + i], codec.state().subst_table[noise[i]]);
    }
    EXPECT_EQ(decode_frame(codec.state(), frame).plain, noise);
}

TEST(BlockFrames, EncoderRefusesEmptyAndOversizedBlocks) {
    OwnedCodec codec;
    Bytes input(kBlockSize + 1, 'a');
    for (uint32_t count : {0u, kBlockSize + 1, 0x10000u + 5}) {
        Bytes frame(kFrameCapacity, 0xEE);
        uint32_t length = 1234;
        EXPECT_NE(encode_block(codec.state(), input.data(), frame.data(), count, &length),
                  kCodecOk);
        EXPECT_EQ(length, 1234u);
        EXPECT_EQ(frame, Bytes(kFrameCapacity, 0xEE));
    }
}

TEST(BlockDecoder, SubstitutedBytesMapBack) {
    OwnedCodec codec;
    Decoded d = decode_payload(codec.state(), hex({0x02, 0x01, 0x00, 0x2D}).data(), 4, true);
    EXPECT_EQ(d.status, kCodecOk);
    EXPECT_EQ(d.plain, hex({0x01, 0xFF, 0x00, 0x08}));
}

TEST(BlockDecoder, PayloadMustEndWithTheEndSymbol) {
    OwnedCodec codec;
    const Bytes payload = hex({0x62, 0x62, 0xA3, 0xF7, 0x00, 0x20});
    Decoded ok = decode_payload(codec.state(), payload.data(), payload.size(), false);
    EXPECT_EQ(ok.status, kCodecOk);
    EXPECT_EQ(ok.plain, repeat("a", 64));

    Bytes longer = payload;
    longer.push_back(0x00);
    Decoded extra = decode_payload(codec.state(), longer.data(), longer.size(), false);
    EXPECT_EQ(extra.status, kCodecBadBlock);
    EXPECT_EQ(extra.produced, 0xBEEF) << "count untouched on failure";

    Decoded cut = decode_payload(codec.state(), payload.data(), payload.size() - 1, false);
    EXPECT_EQ(cut.status, kCodecBadBlock);
    EXPECT_EQ(cut.produced, 0xBEEF);
}

TEST(BlockDecoder, TwoLiteralsAndTheEndSymbol) {
    // The encoder substitutes such short blocks, but the format allows them.
    OwnedCodec codec;
    CodecState& s = codec.state();
    codec_reset(s);
    uint8_t out[8] = {};
    start_writer(s, out, sizeof out);
    ASSERT_EQ(encode_literal(s, 0, 'x'), kCodecOk);
    ASSERT_EQ(encode_literal(s, 'x' & 0x7F, 'y'), kCodecOk);
    ASSERT_EQ(encode_literal(s, 'y' & 0x7F, kEndOfBlock), kCodecOk);
    flush_bits(s);
    Decoded d = decode_payload(s, out, static_cast<size_t>(s.coded_out - out), false);
    EXPECT_EQ(d.status, kCodecOk);
    EXPECT_EQ(d.plain, hex({'x', 'y'}));
}

TEST(BlockDecoder, AnEndSymbolAmongTheFirstTwoStoresItsLowByte) {
    // Only from the third symbol on does the end symbol end the block.
    for (const uint32_t first : {uint32_t{'x'}, kEndOfBlock}) {
        OwnedCodec codec;
        CodecState& s = codec.state();
        codec_reset(s);
        uint8_t out[8] = {};
        start_writer(s, out, sizeof out);
        ASSERT_EQ(encode_literal(s, 0, first), kCodecOk);
        ASSERT_EQ(encode_literal(s, first & 0x7F, kEndOfBlock), kCodecOk);
        ASSERT_EQ(encode_literal(s, 0, kEndOfBlock), kCodecOk);
        flush_bits(s);
        Decoded d = decode_payload(s, out, static_cast<size_t>(s.coded_out - out), false);
        EXPECT_EQ(d.status, kCodecOk) << first;
        EXPECT_EQ(d.plain, hex({uint8_t(first & 0xFF), 0x00})) << first;
    }
}

}  // namespace
}  // namespace zq::test
