// The adaptive prefix coder: a symbol's code is its leaf's path from the
// root, and after every symbol the tree is semi-splayed at that leaf so that
// recurring symbols get shorter codes. Bits go most significant first.
#include "codec/splay.h"

namespace zq {

void splay_leaf(SplayTree tree, uint32_t a) {
    for (;;) {
        uint32_t p = tree.parent[a];
        if (p == 0) return;  // hangs from the root: nothing above to swap with
        uint32_t g = tree.parent[p];
        uint32_t u;
        // a takes its uncle's place under g, the uncle takes a's place under p.
        if (tree.child0[g] == p) {
            u = tree.child1[g];
            tree.child1[g] = static_cast<uint16_t>(a);
        } else {
            u = tree.child0[g];
            tree.child0[g] = static_cast<uint16_t>(a);
        }
        if (tree.child0[p] == a) {
            tree.child0[p] = static_cast<uint16_t>(u);
        } else {
            tree.child1[p] = static_cast<uint16_t>(u);
        }
        tree.parent[a] = static_cast<uint8_t>(g);
        tree.parent[u] = static_cast<uint8_t>(p);
        a = g;
        if (a == 0) return;
    }
}

// One bit from the payload; -1 when the payload is used up. A byte is
// fetched only when its first bit is wanted, which lets the block decoder
// tell exactly whether the payload ended with the end-of-block symbol.
static int read_bit(CodecState& state) {
    int32_t reg = state.read_register;
    if (reg < 0) {
        if (state.coded_cursor == state.coded_limit) return -1;
        uint32_t byte = *state.coded_cursor++;
        state.read_register = static_cast<int16_t>((byte | 0x80) << 1);
        return static_cast<int>(byte >> 7);
    }
    state.read_register = static_cast<int16_t>(static_cast<uint16_t>(reg << 1));
    return (reg >> 7) & 1;
}

int decode_symbol(CodecState& state, SplayTree tree, uint32_t nodes, uint16_t* symbol) {
    uint32_t node = 0;
    while (node < nodes) {
        int bit = read_bit(state);
        if (bit < 0) return kCodecBadBlock;
        node = bit ? tree.child1[node] : tree.child0[node];
    }
    splay_leaf(tree, node);
    *symbol = static_cast<uint16_t>(node - nodes);
    return kCodecOk;
}

int decode_literal(CodecState& state, uint32_t context, uint16_t* symbol) {
    return decode_symbol(state, literal_tree(state, context), kLiteralNodes, symbol);
}

int decode_length(CodecState& state, uint16_t* length) {
    return decode_symbol(state, length_tree(state), kLengthNodes, length);
}

// Appends one bit to the byte being built; 2 when that completes a byte
// and the output has no room for it.
static int write_bit(CodecState& state, uint32_t bit) {
    int32_t reg = state.write_register | static_cast<int32_t>(bit);
    if (reg & 0x8000) {
        if (state.coded_out == state.coded_out_limit) {
            state.write_register = static_cast<int16_t>(static_cast<uint16_t>(reg));
            return kCodecOutputFull;
        }
        *state.coded_out++ = static_cast<uint8_t>(reg);
        state.write_register = 0x100;
        return kCodecOk;
    }
    state.write_register = static_cast<int16_t>(reg << 1);
    return kCodecOk;
}

int encode_symbol(CodecState& state, SplayTree tree, uint32_t leaf) {
    // A literal tree has 256 internal nodes, so no code is longer than 256 bits.
    uint8_t bits[256];
    uint32_t count = 0;
    for (uint32_t a = leaf; a != 0; a = tree.parent[a]) {
        bits[count++] = tree.child1[tree.parent[a]] == a ? 1 : 0;
    }
    splay_leaf(tree, leaf);
    while (count > 0) {
        if (write_bit(state, bits[--count]) != kCodecOk) return kCodecOutputFull;
    }
    return kCodecOk;
}

int encode_literal(CodecState& state, uint32_t context, uint32_t symbol) {
    return encode_symbol(state, literal_tree(state, context), symbol + kLiteralNodes);
}

int encode_length(CodecState& state, uint32_t length) {
    return encode_symbol(state, length_tree(state), length + kLengthNodes);
}

void flush_bits(CodecState& state) {
    int32_t reg = state.write_register;
    if (reg == 0x100) return;
    if (state.coded_out == state.coded_out_limit) return;
    while ((reg & 0x8000) == 0) reg <<= 1;
    *state.coded_out++ = static_cast<uint8_t>(reg);
    state.write_register = 0x100;
}

}  // namespace zq
