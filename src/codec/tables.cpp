// The codec's tables: allocation, the fixed substitution tables and the
// per-block reset of the adaptive models.
#include <cstring>

#include "codec/splay.h"

namespace zq {

namespace {

// Every table pointer of the state, in allocation order, with its size.
struct TableSlot {
    void** pointer;
    uint32_t bytes;
};

constexpr int kTableCount = 7;

void table_slots(CodecState& state, TableSlot (&slots)[kTableCount]) {
    slots[0] = {reinterpret_cast<void**>(&state.literal_parent), kLiteralParentBytes};
    slots[1] = {reinterpret_cast<void**>(&state.literal_children), kLiteralChildrenBytes};
    slots[2] = {reinterpret_cast<void**>(&state.length_parent), kLengthParentBytes};
    slots[3] = {reinterpret_cast<void**>(&state.length_children), kLengthChildrenBytes};
    slots[4] = {reinterpret_cast<void**>(&state.prediction_table), kPredictionBytes};
    slots[5] = {reinterpret_cast<void**>(&state.subst_table), 256};
    slots[6] = {reinterpret_cast<void**>(&state.unsubst_table), 256};
}

}  // namespace

int codec_init(CodecState& state, const CodecAllocator& allocator) {
    state.allocator = allocator;
    TableSlot slots[kTableCount];
    table_slots(state, slots);
    bool complete = true;
    // Every allocation is attempted, so that a failure leaves no doubt about
    // which tables exist: codec_free releases exactly those.
    for (TableSlot& slot : slots) {
        *slot.pointer = allocator.allocate(slot.bytes);
        if (*slot.pointer == nullptr) complete = false;
    }
    if (!complete) {
        codec_free(state);
        return kCodecNoMemory;
    }
    build_subst_tables(state);
    return kCodecOk;
}

void codec_free(CodecState& state) {
    TableSlot slots[kTableCount];
    table_slots(state, slots);
    for (TableSlot& slot : slots) {
        if (*slot.pointer != nullptr) {
            state.allocator.release(*slot.pointer);
            *slot.pointer = nullptr;
        }
    }
}

void build_subst_tables(CodecState& state) {
    // Powers of 2 in GF(2^8) over x^8+x^5+x^3+x^2+1: a permutation of 1..255,
    // with 0 kept in place.
    state.subst_table[0] = 0;
    state.unsubst_table[0] = 0;
    uint32_t a = 1;
    for (uint32_t i = 1; i <= 255; ++i) {
        a <<= 1;
        if (a >= 256) a ^= 0x12D;
        state.subst_table[i] = static_cast<uint8_t>(a);
        state.unsubst_table[a] = static_cast<uint8_t>(i);
    }
}

void codec_reset(CodecState& state) {
    std::memset(state.prediction_table, 0, kPredictionBytes);
    // Most blocks use only some of the 128 contexts, so each literal tree is
    // reshaped when a block first reaches for it (literal_tree).
    for (uint32_t& word : state.stale_trees) word = 0xFFFFFFFFu;
    shape_length_tree(length_tree(state));
}

}  // namespace zq
