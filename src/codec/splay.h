// Internal routines of the block codec, shared by its sources and reachable
// by the codec's own tests. The stream layer and the packer use codec.h only.
#pragma once

#include <cstdint>

#include "codec/codec.h"

namespace zq {

constexpr uint32_t kLiteralNodes = 256;  // internal nodes of a literal tree
constexpr uint32_t kLengthNodes = 31;    // internal nodes of the length tree
constexpr uint32_t kLiteralContexts = 128;
constexpr uint32_t kEndOfBlock = 256;    // literal symbol that ends a block
constexpr uint32_t kLongestLength = 31;  // a length symbol that continues the match
constexpr uint32_t kPredictionSlots = 8192;

// Sizes of the tables, in bytes.
constexpr uint32_t kLiteralParentBytes = kLiteralContexts * 513;
constexpr uint32_t kLiteralChildBytes = kLiteralContexts * 256 * 2;
constexpr uint32_t kLengthParentBytes = 64;
constexpr uint32_t kLengthChildBytes = 64;
constexpr uint32_t kPredictionBytes = kPredictionSlots * 2;

// Prediction slot values besides a position.
constexpr uint16_t kSlotEmpty = 0;
constexpr uint16_t kSlotDisabled = 1;

SplayTree literal_tree(CodecState& state, uint32_t context);
SplayTree length_tree(CodecState& state);

// The tree change after every coded symbol, on both sides.
void splay_leaf(SplayTree tree, uint32_t leaf);

// Decoding side: 0, or 1 when the payload ran out in the middle of a symbol.
int decode_symbol(CodecState& state, SplayTree tree, uint32_t nodes, uint16_t* symbol);
int decode_literal(CodecState& state, uint32_t context, uint16_t* symbol);
int decode_length(CodecState& state, uint16_t* length);

// Encoding side: 0, or 2 when a coded byte was due and the output was full.
int encode_symbol(CodecState& state, SplayTree tree, uint32_t leaf);
int encode_literal(CodecState& state, uint32_t context, uint32_t symbol);
int encode_length(CodecState& state, uint32_t length);
// Writes the pending bits of the last byte, zero-padded below.
void flush_bits(CodecState& state);

// The prediction steps that run after each literal from the third on.
int decode_match(CodecState& state);
int encode_match(CodecState& state);

// The 13-bit slot of the three plain bytes before the current position
// (x1 the last one).
inline uint32_t slot_hash(uint32_t x3, uint32_t x2, uint32_t x1) {
    return (((((x2 & 0xF8) ^ x3) << 2) ^ (x2 & 7)) << 3) ^ x1;
}

}  // namespace zq
