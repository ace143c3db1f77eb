// Internal routines of the block codec, shared by its sources and reachable
// by the codec's own tests. The stream layer and the packer use codec.h only.
//
// The symbol coder is inline: the block loops call it once per symbol and
// the per-bit work is a handful of instructions.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/codec.h"

namespace zq {

constexpr uint32_t kLiteralNodes = 256;  // internal nodes of a literal tree
constexpr uint32_t kLengthNodes = 31;    // internal nodes of the length tree
constexpr uint32_t kLiteralContexts = 128;
constexpr uint32_t kEndOfBlock = 256;    // literal symbol that ends a block
constexpr uint32_t kLongestLength = 31;  // a length symbol that continues the match
constexpr uint32_t kPredictionSlots = 8192;
constexpr uint32_t kLongestCode = 256;  // a literal tree is at most 256 levels deep

// Sizes of the tables, in bytes.
constexpr uint32_t kLiteralParentBytes = kLiteralContexts * 513;
constexpr uint32_t kLiteralChildrenBytes = kLiteralContexts * 512 * 2;
constexpr uint32_t kLengthParentBytes = 64;
constexpr uint32_t kLengthChildrenBytes = 128;
constexpr uint32_t kPredictionBytes = kPredictionSlots * 2;

// Prediction slot values besides a position.
constexpr uint16_t kSlotEmpty = 0;
constexpr uint16_t kSlotDisabled = 1;

// Give a tree its initial shape: the complete binary tree in heap order.
void shape_literal_tree(SplayTree tree);
void shape_length_tree(SplayTree tree);

// Literal tree `context`, first put back into its initial shape if this
// block has not used it yet.
inline SplayTree literal_tree(CodecState& state, uint32_t context) {
    SplayTree tree{state.literal_parent + context * 513, state.literal_children + context * 512};
    uint32_t& word = state.stale_trees[context >> 5];
    uint32_t bit = 1u << (context & 31);
    if (word & bit) {
        word &= ~bit;
        shape_literal_tree(tree);
    }
    return tree;
}

inline SplayTree length_tree(CodecState& state) {
    return {state.length_parent, state.length_children};
}

// ------------------------------------------------------------------ splaying

// The tree change after every coded symbol, on both sides: the coded leaf
// `a` swaps places with its uncle, then its old grandparent does the same,
// and so on up to the root, which roughly halves the leaf's depth. The
// block coders run the same change fused into their own walks (the encoder
// while it climbs, the decoder along the path it descended); this
// stand-alone form is for a leaf without a known path.
void splay_leaf(SplayTree tree, uint32_t a);

// The decoder's form of the same change, along the path its descent took:
// slots[i] is the child entry (2 * node + bit) taken from level i to level
// i + 1, and the leaf sits at level `depth`. Only the encoder climbs through
// `parent`, so this leaves it alone: fewer stores, and half the tree bytes
// stay out of the cache. Every block starts from freshly shaped trees, so
// the stale parents never meet the encoder.
inline void splay_path(SplayTree tree, const uint16_t* slots, uint32_t depth, uint32_t a) {
    uint16_t* children = tree.children;
    for (uint32_t level = depth; level >= 2; level -= 2) {
        uint32_t in_parent = slots[level - 1];
        uint32_t parent_in_grand = slots[level - 2];
        uint32_t uncle_slot = parent_in_grand ^ 1;
        children[in_parent] = children[uncle_slot];
        children[uncle_slot] = static_cast<uint16_t>(a);
        a = parent_in_grand >> 1;
    }
}

// ------------------------------------------------------------------ decoding

// Tops the bit reader up from the payload without reading past its end.
// Bits below the count are either zero or the true bits that follow, so
// or-ing a wider load over them is harmless.
inline void refill_bits(CodecState& state) {
    const uint8_t* at = state.coded_cursor;
    uint32_t count = state.read_count;
    if (state.coded_limit - at >= 8) {
        uint64_t word;
        std::memcpy(&word, at, 8);
        word = __builtin_bswap64(word);
        uint32_t take = (63 - count) >> 3;
        state.read_bits |= word >> count;
        state.coded_cursor = at + take;
        state.read_count = count + take * 8;
        return;
    }
    while (count <= 56 && at < state.coded_limit) {
        state.read_bits |= uint64_t{*at++} << (56 - count);
        count += 8;
    }
    state.coded_cursor = at;
    state.read_count = count;
}

// Payload bytes that no bit has been taken from yet: fetched bytes whose
// bits are all still in the reader, and bytes never fetched.
inline uint32_t unread_bytes(const CodecState& state) {
    return static_cast<uint32_t>(state.coded_limit - state.coded_cursor) + (state.read_count >> 3);
}

// Descends `tree` with bits from the payload, splays it and stores the
// symbol. 0, or 1 when the payload ran out first (the tree is unchanged).
// The tree's `parent` entries are left as they were (see splay_path).
__attribute__((always_inline)) inline int decode_symbol(CodecState& state, SplayTree tree,
                                                        uint32_t nodes, uint16_t* symbol) {
    uint16_t slots[kLongestCode];
    uint32_t depth = 0;
    uint32_t node = 0;
    uint64_t bits = state.read_bits;
    uint32_t count = state.read_count;
    const uint16_t* children = tree.children;
    do {
        if (count == 0) {
            state.read_bits = bits;
            state.read_count = 0;
            refill_bits(state);
            bits = state.read_bits;
            count = state.read_count;
            if (count == 0) return kCodecBadBlock;
        }
        uint32_t slot = 2 * node + static_cast<uint32_t>(bits >> 63);
        bits <<= 1;
        --count;
        slots[depth++] = static_cast<uint16_t>(slot);
        node = children[slot];
    } while (node < nodes);
    state.read_bits = bits;
    state.read_count = count;
    splay_path(tree, slots, depth, node);
    *symbol = static_cast<uint16_t>(node - nodes);
    return kCodecOk;
}

inline int decode_literal(CodecState& state, uint32_t context, uint16_t* symbol) {
    return decode_symbol(state, literal_tree(state, context), kLiteralNodes, symbol);
}

inline int decode_length(CodecState& state, uint16_t* length) {
    return decode_symbol(state, length_tree(state), kLengthNodes, length);
}

// ------------------------------------------------------------------ encoding

// Appends `n` bits (n <= 56), most significant first, storing each byte as
// it completes. 2 when a byte is due and the output has no room left.
inline int put_bits(CodecState& state, uint64_t value, uint32_t n) {
    uint64_t bits = (state.write_bits << n) | value;
    uint32_t count = state.write_count + n;
    int status = kCodecOk;
    while (count >= 8) {
        if (state.coded_out == state.coded_out_limit) {
            status = kCodecOutputFull;
            break;
        }
        count -= 8;
        *state.coded_out++ = static_cast<uint8_t>(bits >> count);
    }
    state.write_bits = bits;
    state.write_count = count;
    return status;
}

// Codes of more than 64 bits, which only a badly skewed tree produces.
int put_long_code(CodecState& state, uint64_t top, uint32_t top_bits, const uint64_t* low_words,
                  uint32_t low_count);

// Writes the code of `leaf` (its path from the root as it was before this
// symbol) and splays the tree, climbing from the leaf and splaying on the
// way: an exchange never touches anything above the grandparent, so the bits
// still above are those of the old path. 0, or 2 when the output is full.
inline int encode_symbol(CodecState& state, SplayTree tree, uint32_t leaf) {
    uint16_t* children = tree.children;
    uint8_t* parent = tree.parent;
    uint64_t code = 0;  // bits noted so far, the leaf's own bit lowest
    uint32_t length = 0;
    uint64_t low_words[kLongestCode / 64];
    uint32_t low_count = 0;
    // Notes the next bit up, spilling each full 64 bits into low_words.
    auto note = [&](uint32_t bit) {
        code |= uint64_t{bit} << length;
        if (++length == 64) {
            low_words[low_count++] = code;
            code = 0;
            length = 0;
        }
    };
    uint32_t a = leaf;
    for (;;) {
        uint32_t p = parent[a];
        uint32_t a_side = children[2 * p + 1] == a;
        note(a_side);
        if (p == 0) break;
        uint32_t g = parent[p];
        uint32_t p_side = children[2 * g + 1] == p;
        note(p_side);
        uint32_t uncle_slot = 2 * g + (p_side ^ 1);
        uint32_t uncle = children[uncle_slot];
        children[uncle_slot] = static_cast<uint16_t>(a);
        children[2 * p + a_side] = static_cast<uint16_t>(uncle);
        parent[a] = static_cast<uint8_t>(g);
        parent[uncle] = static_cast<uint8_t>(p);
        if (g == 0) break;
        a = g;
    }
    if (low_count == 0 && length <= 56) return put_bits(state, code, length);
    return put_long_code(state, code, length, low_words, low_count);
}

inline int encode_literal(CodecState& state, uint32_t context, uint32_t symbol) {
    return encode_symbol(state, literal_tree(state, context), symbol + kLiteralNodes);
}

inline int encode_length(CodecState& state, uint32_t length) {
    return encode_symbol(state, length_tree(state), length + kLengthNodes);
}

// Writes the pending bits of the last byte at its top, zero bits below.
// Nothing is written when no bit is pending or the output is full; in the
// latter case the bits stay pending.
void flush_bits(CodecState& state);

// The prediction steps that run after each literal from the third on.
int decode_match(CodecState& state);
int encode_match(CodecState& state);

// The 13-bit slot of the three plain bytes before the current position
// (x1 the last one).
inline uint32_t slot_hash(uint32_t x3, uint32_t x2, uint32_t x1) {
    return (((((x2 & 0xF8) ^ x3) << 2) ^ (x2 & 7)) << 3) ^ x1;
}

// The half of the prediction step that the decoder and the encoder share:
// finds the slot of the three bytes before `pos` in `bytes` (the block so
// far) and tells whether it is confirmed, i.e. the two bytes before its
// position match the last two. An unconfirmed slot is settled here: a
// disabled one stays so, any other moves to `pos`. Returns the confirmed
// position (at least 3), or 0 with nothing more to do; `*slot` is the slot.
inline uint32_t confirmed_prediction(uint16_t* table, const uint8_t* bytes, uint32_t pos,
                                     uint16_t** slot) {
    const uint32_t x1 = bytes[pos - 1];
    const uint32_t x2 = bytes[pos - 2];
    uint16_t& entry = table[slot_hash(bytes[pos - 3], x2, x1)];
    *slot = &entry;
    const uint32_t v = entry;
    // Slots only ever hold positions below the current one, so v-2..v are
    // bytes already there. An empty or disabled slot probes positions 0 and
    // 1 instead, which always exist, and the answer is thrown away: one
    // hard-to-predict branch per literal instead of three.
    const uint32_t probe = v < 2 ? 2 : v;
    const uint32_t differ = (bytes[probe - 1] ^ x1) | (bytes[probe - 2] ^ x2);
    if ((v < 2) | (differ != 0)) {
        entry = v == kSlotDisabled ? kSlotDisabled : static_cast<uint16_t>(pos);
        return 0;
    }
    return v;
}

}  // namespace zq
