// The codec's tables: allocation, the fixed substitution tables and the
// per-block reset of the adaptive models.
#include <cstring>

#include "codec/splay.h"

namespace zq {

namespace {

// Calls visit(table pointer, size in bytes) for every table, in allocation
// order.
template <typename Visit>
void for_each_table(CodecState& state, Visit visit) {
    visit(state.literal_parent, kLiteralParentBytes);
    visit(state.literal_children, kLiteralChildrenBytes);
    visit(state.length_parent, kLengthParentBytes);
    visit(state.length_children, kLengthChildrenBytes);
    visit(state.prediction_table, kPredictionBytes);
    visit(state.subst_table, 256u);
    visit(state.unsubst_table, 256u);
}

template <typename T>
void assign(T*& table, void* block) {
    table = static_cast<T*>(block);
}

}  // namespace

CodecStatus codec_init(CodecState& state, const CodecAllocator& allocator) {
    state.allocator = allocator;
    bool complete = true;
    // Every allocation is attempted, so that a failure leaves no doubt about
    // which tables exist: codec_free releases exactly those.
    for_each_table(state, [&](auto*& table, uint32_t bytes) {
        assign(table, allocator.allocate(bytes));
        if (table == nullptr) complete = false;
    });
    if (!complete) {
        codec_free(state);
        return kCodecNoMemory;
    }
    build_subst_tables(state);
    return kCodecOk;
}

void codec_free(CodecState& state) {
    for_each_table(state, [&](auto*& table, uint32_t) {
        if (table != nullptr) {
            state.allocator.release(table);
            table = nullptr;
        }
    });
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
    std::memset(state.stale_trees, 1, sizeof state.stale_trees);
    shape_length_tree(length_tree(state));
}

}  // namespace zq
