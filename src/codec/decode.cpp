// The block decoder: a substituted block maps byte by byte; a compressed one
// is a stream of literals in 128 order-1 contexts, interleaved with matches
// that a hashed order-3 predictor proposes and the payload sizes.
//
// The whole block runs in one function with the bit reader and the plain
// position in locals, so they live in registers across symbols.
#include "codec/splay.h"

namespace zq {

namespace {

// Copies plain[src..src + k) to plain[pos..pos + k), src < pos, k <= 31, as
// a byte loop does: where the two overlap, bytes copied earlier in the same
// match repeat. On 64-bit builds, when the source lies 8 bytes or more
// behind, every word read is complete before it is read, so four 8-byte
// words give the same bytes without a loop whose exit depends on k. They
// cover 32 bytes whatever k is: the bytes past k are those a longer match
// would copy, and they stay unread until the block overwrites them; the
// block has room for them below 32768. The 32-bit stub, built for size,
// keeps the byte loop.
__attribute__((always_inline)) inline void copy_match(uint8_t* plain, uint32_t pos, uint32_t src,
                                                      uint32_t k) {
    uint8_t* to = plain + pos;
    const uint8_t* from = plain + src;
    constexpr uint32_t word = 8;
    if (sizeof(uintptr_t) == word && k != 0 && pos - src >= word && pos + 32 <= kBlockSize) {
        for (uint32_t j = 0; j < 32; j += word) {
            uint64_t bytes;
            std::memcpy(&bytes, from + j, word);
            std::memcpy(to + j, &bytes, word);
        }
        return;
    }
    for (uint32_t j = 0; j < k; ++j) to[j] = from[j];
}

// The prediction step after each literal from the third on: plain[0..*pos)
// is decoded. Advances *pos past the bytes a confirmed prediction copies.
// `*last` is the byte before *pos, kept in a register for the next literal's
// context; a copy updates it.
__attribute__((always_inline)) inline int decode_match(CodecState& state, BitReader& reader,
                                                       uint8_t* plain, uint32_t* pos_io,
                                                       uint32_t* last) {
    uint32_t pos = *pos_io;
    uint16_t* slot = nullptr;
    const uint32_t v = confirmed_prediction(state.prediction_table, plain, pos, &slot);
    if (v == 0) return kCodecOk;
    // Lengths follow while each is the longest; the first also decides
    // whether this prediction is tried again. A prediction that was wrong
    // from its first byte is not, unless the context is a run, where it may
    // well come right later.
    uint32_t src = v;
    uint32_t k = 0;
    do {
        if (decode_length(state, reader, &k) != kCodecOk) return kCodecBadBlock;
        if (slot != nullptr) {
            *slot = (k == 0 && plain[pos - 1] != plain[pos - 2]) ? kSlotDisabled
                                                                 : static_cast<uint16_t>(pos);
            slot = nullptr;
        }
        if (pos + k > kBlockSize) return kCodecBadBlock;
        copy_match(plain, pos, src, k);
        pos += k;
        src += k;
    } while (k == kLongestLength);
    *pos_io = pos;
    *last = plain[pos - 1];
    return kCodecOk;
}

CodecStatus decode_compressed(CodecState& state, const uint8_t* coded, uint8_t* plain,
                              uint32_t length, uint16_t* produced) {
    reset_for_decoding(state);
    BitReader reader = start_reader(coded, length);

    // Every symbol is read at one place in the loop, so the symbol coder is
    // laid out once for literals. The first two symbols are always literals
    // (an end symbol among them stores its low byte), and no prediction
    // follows them.
    uint32_t symbol = 0;
    uint32_t pos = 0;
    uint32_t last = 0;  // plain[pos - 1], 0 before the first
    for (;;) {
        if (decode_literal(state, reader, last & 0x7F, &symbol) != kCodecOk) return kCodecBadBlock;
        if (symbol == kEndOfBlock && pos >= 2) {
            // The payload must end with the end symbol's byte.
            if (unread_bytes(reader) != 0) return kCodecBadBlock;
            *produced = static_cast<uint16_t>(pos);
            return kCodecOk;
        }
        if (pos == kBlockSize) return kCodecBadBlock;
        last = symbol & 0xFF;
        plain[pos++] = static_cast<uint8_t>(last);
        if (pos >= 3 && decode_match(state, reader, plain, &pos, &last) != kCodecOk) {
            return kCodecBadBlock;
        }
    }
}

}  // namespace

CodecStatus decode_block(CodecState& state, const uint8_t* coded, uint8_t* plain, uint16_t length,
                         uint16_t* produced, uint16_t substituted) {
    // No frame header can announce more; a caller that passes more would
    // have a substituted block write past the 32768-byte plain area.
    if (length > kBlockSize) return kCodecBadBlock;
    if (substituted != 0) {
        const uint8_t* table = state.unsubst_table;
        for (uint32_t i = 0; i < length; ++i) plain[i] = table[coded[i]];
        *produced = length;
        return kCodecOk;
    }
    return decode_compressed(state, coded, plain, length, produced);
}

}  // namespace zq
