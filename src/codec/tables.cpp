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

constexpr int kTableCount = 9;

void table_slots(CodecState& state, TableSlot (&slots)[kTableCount]) {
    slots[0] = {reinterpret_cast<void**>(&state.literal_parent), kLiteralParentBytes};
    slots[1] = {reinterpret_cast<void**>(&state.literal_child0), kLiteralChildBytes};
    slots[2] = {reinterpret_cast<void**>(&state.literal_child1), kLiteralChildBytes};
    slots[3] = {reinterpret_cast<void**>(&state.length_parent), kLengthParentBytes};
    slots[4] = {reinterpret_cast<void**>(&state.length_child0), kLengthChildBytes};
    slots[5] = {reinterpret_cast<void**>(&state.length_child1), kLengthChildBytes};
    slots[6] = {reinterpret_cast<void**>(&state.prediction_table), kPredictionBytes};
    slots[7] = {reinterpret_cast<void**>(&state.subst_table), 256};
    slots[8] = {reinterpret_cast<void**>(&state.unsubst_table), 256};
}

// The complete binary tree in heap order: the children of node i are 2i+1
// and 2i+2, so leaves sit at depth log2 and the codes start nearly flat.
void shape_tree(SplayTree tree, uint32_t nodes) {
    for (uint32_t i = 1; i <= 2 * nodes; ++i) tree.parent[i] = static_cast<uint8_t>((i - 1) / 2);
    for (uint32_t i = 0; i < nodes; ++i) {
        tree.child0[i] = static_cast<uint16_t>(2 * i + 1);
        tree.child1[i] = static_cast<uint16_t>(2 * i + 2);
    }
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

SplayTree literal_tree(CodecState& state, uint32_t context) {
    return {state.literal_parent + context * 513, state.literal_child0 + context * 256,
            state.literal_child1 + context * 256};
}

SplayTree length_tree(CodecState& state) {
    return {state.length_parent, state.length_child0, state.length_child1};
}

void codec_reset(CodecState& state) {
    std::memset(state.prediction_table, 0, kPredictionBytes);
    SplayTree first = literal_tree(state, 0);
    first.parent[0] = 0;
    shape_tree(first, kLiteralNodes);
    for (uint32_t c = 1; c < kLiteralContexts; ++c) {
        SplayTree tree = literal_tree(state, c);
        std::memcpy(tree.parent, first.parent, 513);
        std::memcpy(tree.child0, first.child0, 256 * 2);
        std::memcpy(tree.child1, first.child1, 256 * 2);
    }
    shape_tree(length_tree(state), kLengthNodes);
}

}  // namespace zq
