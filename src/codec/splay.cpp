// The out-of-line parts of the symbol coder; the per-symbol paths are
// inline in splay.h.
#include "codec/splay.h"

namespace zq {

namespace {

// Heap order: node i has children 2i+1 and 2i+2, i.e. child entry j holds
// j+1, and the parent of nodes 2k+1 and 2k+2 is k. With the size fixed the
// compiler turns both loops into wide stores; this runs for every tree a
// block uses.
template <uint32_t nodes>
void shape_children(uint16_t* children) {
    for (uint32_t j = 0; j < 2 * nodes; ++j) children[j] = static_cast<uint16_t>(j + 1);
}

// The same shape in the decoder's form: entry j leads to node j + 1. A pair
// of entries per store, each store's pair the last one plus 2 nodes: a
// 32-bit build has no vector stores to turn the loop into, and this runs for
// every tree a block uses.
template <uint32_t nodes>
void shape_decoder_children(uint16_t* children) {
    constexpr uint32_t first = kPairBytes, second = 2 * kPairBytes;
    constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    uint32_t pair = little_endian ? first | second << 16 : first << 16 | second;
#if UINTPTR_MAX > 0xFFFFFFFFu
    // Eight stores per turn: the loop's own work then costs less than them.
    // The 32-bit stub, built for size, keeps the plain loop.
#pragma GCC unroll 8
#endif
    for (uint32_t k = 0; k < nodes; ++k) {
        std::memcpy(children + 2 * k, &pair, 4);
        pair += 2 * kPairBytes * 0x00010001u;
    }
}

template <uint32_t nodes>
void shape_tree(SplayTree tree) {
    for (uint32_t k = 0; k < nodes; ++k) {
        uint16_t pair = static_cast<uint16_t>(k * 0x0101u);
        std::memcpy(tree.parent + 1 + 2 * k, &pair, 2);
    }
    shape_children<nodes>(tree.children);
}

}  // namespace

void shape_literal_tree(SplayTree tree) { shape_tree<kLiteralNodes>(tree); }
void shape_length_tree(SplayTree tree) { shape_tree<kLengthNodes>(tree); }
void shape_literal_children(uint16_t* children) { shape_decoder_children<kLiteralNodes>(children); }
void shape_length_children(uint16_t* children) { shape_decoder_children<kLengthNodes>(children); }

void reset_for_decoding(CodecState& state) {
    codec_reset(state);
    shape_length_children(state.length_children);
}

int put_long_code(CodecState& state, uint64_t top, uint32_t top_bits, const uint64_t* low_words,
                  uint32_t low_count) {
    // Root end first: the top part, then the full words from the highest.
    if (top_bits > 32) {
        if (put_bits(state, top >> 32, top_bits - 32) != kCodecOk) return kCodecOutputFull;
        top_bits = 32;
        top &= 0xFFFFFFFFu;
    }
    if (put_bits(state, top, top_bits) != kCodecOk) return kCodecOutputFull;
    while (low_count > 0) {
        uint64_t word = low_words[--low_count];
        if (put_bits(state, word >> 32, 32) != kCodecOk) return kCodecOutputFull;
        if (put_bits(state, word & 0xFFFFFFFFu, 32) != kCodecOk) return kCodecOutputFull;
    }
    return kCodecOk;
}

void flush_bits(CodecState& state) {
    if (state.write_count == 0) return;
    if (state.coded_out == state.coded_out_limit) return;
    *state.coded_out++ = static_cast<uint8_t>(state.write_bits << (8 - state.write_count));
    state.write_count = 0;
}

}  // namespace zq
