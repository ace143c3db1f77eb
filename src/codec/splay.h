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
// The decoder's child entries hold byte offsets rather than node numbers:
// internal node i's pair of entries starts kPairBytes * i bytes into the
// tree's children, and an entry holds kPairBytes times the node it leads to.
// A descent step is then one load from (side + offset) with no scaling, a
// cycle less per bit on the machines we measured than (side + 4 * node).
// Only the decoder reads entries in this form; the encoder, which climbs
// through `parent`, keeps node numbers.
constexpr uint32_t kPairBytes = 4;

// The decoder's initial shapes: the child entries alone, all it reads.
void shape_literal_children(uint16_t* children);
void shape_length_children(uint16_t* children);

// Puts the models into their initial shape for decoding: codec_reset, and
// the length tree's child entries in the decoder's form.
void reset_for_decoding(CodecState& state);

// Whether literal tree `context` still has last block's shape; it counts as
// reshaped from then on.
inline bool take_stale_tree(CodecState& state, uint32_t context) {
    if (__builtin_expect(state.stale_trees[context] == 0, 1)) return false;
    state.stale_trees[context] = 0;
    return true;
}

// Literal tree `context`, first put back into its initial shape if this
// block has not used it yet.
inline SplayTree literal_tree(CodecState& state, uint32_t context) {
    SplayTree tree{state.literal_parent + context * 513, state.literal_children + context * 512};
    if (take_stale_tree(state, context)) shape_literal_tree(tree);
    return tree;
}

// The decoder's view of literal tree `context`: its child entries, reshaped
// alone when the block first uses the tree (see splay_path).
inline uint16_t* literal_children(CodecState& state, uint32_t context) {
    uint16_t* children = state.literal_children + context * 512;
    if (take_stale_tree(state, context)) shape_literal_children(children);
    return children;
}

inline SplayTree length_tree(CodecState& state) {
    return {state.length_parent, state.length_children};
}

// ------------------------------------------------------------------ splaying

// The tree change after every coded symbol, on both sides: the coded leaf
// `a` swaps places with its uncle, then its old grandparent does the same,
// and so on up to the root, which roughly halves the leaf's depth. The
// encoder runs it fused into its climb from the leaf (encode_symbol); the
// decoder runs it along the path it descended (splay_path).

// The decoder's form of the change: slots[i] is the byte offset of the child
// entry taken from level i to level i + 1, and the coded leaf sits one level
// below the last of them, just before `slots_end`. Seen along the path, each
// exchange swaps two child entries: the one that leads from the parent to
// the node being lifted (the leaf, then each old grandparent), and the
// uncle's entry beside the parent's own in the grandparent. Every pair of
// levels touches entries of its own two nodes only, so the swaps need no
// carried node and could run in any order. Only the encoder climbs through
// `parent`, so this leaves it alone: fewer stores, and half the tree bytes
// stay out of the cache. Every block starts from freshly shaped trees, so
// the stale parents never meet the encoder.
// `pairs_begin` is slots, or slots + 1 when the path has an odd length and
// its top entry has no partner.
inline uint16_t& entry_at(uint16_t* children, uint32_t offset) {
    return *reinterpret_cast<uint16_t*>(reinterpret_cast<char*>(children) + offset);
}

__attribute__((always_inline)) inline void splay_path(uint16_t* children,
                                                      const uint32_t* pairs_begin,
                                                      const uint32_t* slots_end) {
    while (slots_end != pairs_begin) {
        slots_end -= 2;
        const uint32_t uncle_slot = slots_end[0] ^ 2u;  // the other entry of the pair
        const uint32_t lifted_slot = slots_end[1];
        const uint16_t lifted = entry_at(children, lifted_slot);
        entry_at(children, lifted_slot) = entry_at(children, uncle_slot);
        entry_at(children, uncle_slot) = lifted;
    }
}

// ------------------------------------------------------------------ decoding

// The decoder's bit reader. `bits` holds the fetched bits not yet used, the
// next one on top, then a single 1 that marks where they end, then zeros.
// It is a machine word, so taking a bit is one shift on a 32-bit target as
// well, and the marker replaces a count: a shift that leaves the word zero
// has pushed out the marker, not a payload bit, and the reader is empty.
using BitWord = uintptr_t;
constexpr uint32_t kBitWordBits = sizeof(BitWord) * 8;
constexpr BitWord kMarkerOnly = BitWord{1} << (kBitWordBits - 1);

struct BitReader {
    BitWord bits;
    const uint8_t* cursor;  // next payload byte to fetch
    const uint8_t* limit;
};

inline BitReader start_reader(const uint8_t* payload, uint32_t length) {
    return {kMarkerOnly, payload, payload + length};
}

inline BitWord load_big_endian(const uint8_t* at) {
    BitWord word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (sizeof(BitWord) == 8) {
        return static_cast<BitWord>(__builtin_bswap64(word));
    } else {
        return static_cast<BitWord>(__builtin_bswap32(static_cast<uint32_t>(word)));
    }
}

// Fills an empty reader with as many whole payload bytes as fit above the
// marker, never reading past the payload. false when it is used up.
inline bool refill(BitReader& reader) {
    constexpr uint32_t room = sizeof(BitWord) - 1;
    const size_t left = static_cast<size_t>(reader.limit - reader.cursor);
    if (left > room) {
        reader.bits = (load_big_endian(reader.cursor) & ~BitWord{0xFF}) | 0x80;
        reader.cursor += room;
        return true;
    }
    if (left == 0) return false;
    BitWord bits = 0;
    uint32_t shift = kBitWordBits;
    for (size_t i = 0; i < left; ++i) {
        shift -= 8;
        bits |= BitWord{reader.cursor[i]} << shift;
    }
    reader.bits = bits | BitWord{1} << (shift - 1);
    reader.cursor += left;
    return true;
}

// Payload bytes that no bit has been taken from yet: fetched bytes whose
// bits are all still in the reader, and bytes never fetched.
inline uint32_t unread_bytes(const BitReader& reader) {
    uint32_t marker;
    if constexpr (sizeof(BitWord) == 8) {
        marker = static_cast<uint32_t>(__builtin_ctzll(reader.bits));
    } else {
        marker = static_cast<uint32_t>(__builtin_ctz(static_cast<uint32_t>(reader.bits)));
    }
    const uint32_t held = kBitWordBits - 1 - marker;
    return static_cast<uint32_t>(reader.limit - reader.cursor) + held / 8;
}

// Takes the next payload bit into `bit`: false when the payload is used up.
// A refilled word holds at least one payload byte above the marker, so the
// bit taken from it never leaves it empty.
__attribute__((always_inline)) inline bool take_bit(BitReader& reader, BitWord& bits,
                                                    BitWord& bit) {
    bit = bits >> (kBitWordBits - 1);
    bits <<= 1;
    if (__builtin_expect(bits != 0, 1)) return true;
    if (!refill(reader)) return false;
    bits = reader.bits;
    bit = bits >> (kBitWordBits - 1);
    bits <<= 1;
    return true;
}

// The entry on side `bit` of the node whose pair starts `at` bytes in,
// addressed as (children + 2 * bit bytes) + at: the side is known from the
// bit alone, so the load that the next level waits for is addressed straight
// from the entry just loaded, without an add or a scale in between. The
// empty asm keeps the compiler from folding the sum back.
__attribute__((always_inline)) inline uint32_t child_entry(const uint16_t* children, BitWord bit,
                                                           uint32_t at) {
    const char* side = reinterpret_cast<const char*>(children) + 2 * bit;
    __asm__("" : "+r"(side));
    return *reinterpret_cast<const uint16_t*>(side + at);
}

// Descends a tree of `nodes` internal nodes with bits from the payload,
// splays it and stores the symbol. 0, or 1 when the payload ran out first
// (the tree is unchanged). The tree's `parent` entries are left as they
// were (see splay_path). Two levels per turn: the path pointer moves once
// for both, the loop's own jump is paid every other bit, and the exit taken
// tells the path's parity, which is where the splay's pairs begin.
template <uint32_t nodes>
__attribute__((always_inline)) inline int decode_symbol(BitReader& reader, uint16_t* children,
                                                        uint32_t* symbol) {
    constexpr uint32_t first_leaf = kPairBytes * nodes;
    uint32_t slots[kLongestCode];  // 32-bit: read back, they need no widening
    uint32_t* path_end = slots;
    const uint32_t* pairs_begin = slots;
    uint32_t at = 0;  // the root's pair
    BitWord bit = 0;
    BitWord bits = reader.bits;
    for (;;) {
        if (!take_bit(reader, bits, bit)) return kCodecBadBlock;
        path_end[0] = static_cast<uint32_t>(at + 2 * bit);
        at = child_entry(children, bit, at);
        if (at >= first_leaf) {
            path_end += 1;
            pairs_begin = slots + 1;
            break;
        }
        if (!take_bit(reader, bits, bit)) return kCodecBadBlock;
        path_end[1] = static_cast<uint32_t>(at + 2 * bit);
        at = child_entry(children, bit, at);
        path_end += 2;
        if (at >= first_leaf) break;
    }
    reader.bits = bits;
    splay_path(children, pairs_begin, path_end);
    *symbol = at / kPairBytes - nodes;
    return kCodecOk;
}

__attribute__((always_inline)) inline int decode_literal(CodecState& state, BitReader& reader,
                                                         uint32_t context, uint32_t* symbol) {
    return decode_symbol<kLiteralNodes>(reader, literal_children(state, context), symbol);
}

__attribute__((always_inline)) inline int decode_length(CodecState& state, BitReader& reader,
                                                        uint32_t* length) {
    return decode_symbol<kLengthNodes>(reader, state.length_children, length);
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

// The encoder's prediction step, which runs after each literal from the
// third on.
int encode_match(CodecState& state);

// The 13-bit slot of the three plain bytes before the current position
// (x1 the last one).
inline uint32_t slot_hash(uint32_t x3, uint32_t x2, uint32_t x1) {
    return (((((x2 & 0xF8) ^ x3) << 2) ^ (x2 & 7)) << 3) ^ x1;
}

inline uint16_t byte_pair(const uint8_t* at) {
    uint16_t pair;
    std::memcpy(&pair, at, sizeof pair);
    return pair;
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
    // The two pairs of bytes compare as 16-bit words, in either byte order.
    // The last two bytes are built from the values in hand: the byte just
    // stored is still on its way to memory, and a 16-bit load that covers
    // it cannot take it from the store and waits for it.
    constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    const uint16_t last_pair = static_cast<uint16_t>(little_endian ? x2 | x1 << 8 : x2 << 8 | x1);
    const uint32_t probe = v < 2 ? 2 : v;
    if ((v < 2) | (byte_pair(bytes + probe - 2) != last_pair)) {
        entry = v == kSlotDisabled ? kSlotDisabled : static_cast<uint16_t>(pos);
        return 0;
    }
    return v;
}

}  // namespace zq
