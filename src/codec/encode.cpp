// The block encoder: tries the same models the decoder mirrors and falls
// back to the substitution when the compressed payload is not shorter.
#include "codec/splay.h"

namespace zq {

namespace {

// How many leading bytes of `a` and `b` agree, at most `most` (<= 31).
// With 31 to compare, four overlapping 8-byte words cover the bytes.
uint32_t common_prefix(const uint8_t* a, const uint8_t* b, uint32_t most) {
    if (most == kLongestLength) {
        static const uint32_t offsets[4] = {0, 8, 16, 23};
        for (uint32_t offset : offsets) {
            uint64_t wa, wb;
            std::memcpy(&wa, a + offset, 8);
            std::memcpy(&wb, b + offset, 8);
            uint64_t diff = wa ^ wb;
            if (diff != 0) {
                // Little-endian: the lowest set bit marks the first byte that
                // differs. Two 32-bit halves, so a 32-bit build needs no helper.
                uint32_t low = static_cast<uint32_t>(diff);
                uint32_t high = static_cast<uint32_t>(diff >> 32);
                uint32_t bit = low != 0 ? static_cast<uint32_t>(__builtin_ctz(low))
                                        : 32 + static_cast<uint32_t>(__builtin_ctz(high));
                uint32_t k = offset + (bit >> 3);
                return k < most ? k : most;
            }
        }
        return most;
    }
    uint32_t k = 0;
    while (k < most && a[k] == b[k]) ++k;
    return k;
}

// Codes the whole block; 2 as soon as the output capacity is used up.
int encode_compressed(CodecState& state) {
    const uint8_t* input = state.input_base;
    const uint8_t* limit = state.input_limit;
    if (encode_literal(state, 0, input[0]) != kCodecOk) return kCodecOutputFull;
    if (encode_literal(state, input[0] & 0x7F, input[1]) != kCodecOk) return kCodecOutputFull;
    state.input_cursor = input + 2;
    while (state.input_cursor < limit) {
        const uint8_t* at = state.input_cursor;
        if (encode_literal(state, at[-1] & 0x7F, at[0]) != kCodecOk) return kCodecOutputFull;
        state.input_cursor = at + 1;
        if (encode_match(state) != kCodecOk) return kCodecOutputFull;
    }
    if (encode_literal(state, limit[-1] & 0x7F, kEndOfBlock) != kCodecOk) return kCodecOutputFull;
    flush_bits(state);
    return kCodecOk;
}

}  // namespace

int encode_match(CodecState& state) {
    const uint8_t* input = state.input_base;
    uint32_t n = static_cast<uint32_t>(state.input_limit - input);
    uint32_t pos = static_cast<uint32_t>(state.input_cursor - input);
    uint16_t* slot = nullptr;
    const uint32_t v = confirmed_prediction(state.prediction_table, input, pos, &slot);
    if (v == 0) return kCodecOk;
    // Confirmed: the decoder will read a length, so one is coded even when
    // the prediction is wrong from the first byte. The slot gets the value
    // the decoder will give it (at the end of the input it is never read).
    bool hits = pos == n || input[v] == input[pos] || input[pos - 1] == input[pos - 2];
    *slot = hits ? static_cast<uint16_t>(pos) : kSlotDisabled;
    uint32_t src = v;
    for (;;) {
        uint32_t left = n - pos;
        uint32_t k =
            common_prefix(input + pos, input + src, left < kLongestLength ? left : kLongestLength);
        pos += k;
        src += k;
        state.input_cursor = input + pos;
        if (encode_length(state, k) != kCodecOk) return kCodecOutputFull;
        // A match ends with a length below 31; with fewer than 31 bytes
        // left, k is below 31 whatever the bytes are.
        if (k < kLongestLength) return kCodecOk;
    }
}

CodecStatus encode_block(CodecState& state, const uint8_t* input, uint8_t* frame, uint32_t count,
                         uint32_t* frame_length) {
    if (count == 0 || count > kBlockSize) return kCodecBadBlock;

    // Blocks of one or two bytes cannot come out shorter: the decoder needs
    // two literals and an end symbol. Otherwise the payload may use no more
    // than count bytes: reaching that many already means substitution, so
    // coding stops there.
    uint32_t payload = count;
    if (count > 2) {
        codec_reset(state);
        state.write_bits = 0;
        state.write_count = 0;
        state.input_base = input;
        state.input_cursor = input;
        state.input_limit = input + count;
        state.coded_out = frame + 2;
        state.coded_out_limit = frame + 2 + count;
        int status = encode_compressed(state);
        payload = static_cast<uint32_t>(state.coded_out - (frame + 2));
        // Bits left pending mean the last byte found no room.
        if (status != kCodecOk || state.write_count != 0) payload = count;
    }
    if (payload < count) {
        frame[0] = static_cast<uint8_t>(payload >> 8);
        frame[1] = static_cast<uint8_t>(payload);
        *frame_length = 2 + payload;
        return kCodecOk;
    }
    // Substituted: the length bits of 32768 are 0.
    frame[0] = static_cast<uint8_t>(((count >> 8) & 0x7F) | 0x80);
    frame[1] = static_cast<uint8_t>(count);
    const uint8_t* table = state.subst_table;
    for (uint32_t i = 0; i < count; ++i) frame[2 + i] = table[input[i]];
    *frame_length = 2 + count;
    return kCodecOk;
}

}  // namespace zq
