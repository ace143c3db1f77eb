// The block codec: an adaptive splay-tree prefix coder over 128 order-1
// contexts, with a hashed order-3 match predictor. It works on memory only.
//
// One CodecState codes one block at a time. The stub keeps a single instance;
// the packer keeps one per worker thread. Nothing is allocated per block.
#pragma once

#include <cstdint>

namespace zq {

constexpr uint32_t kBlockSize = 32768;               // most plain bytes in a block
constexpr uint32_t kFrameCapacity = kBlockSize + 2;  // header + largest payload

// A frame's two header bytes, big-endian: the top bit marks a substituted
// payload, the other fifteen give the payload's length, 0 standing for 32768.
struct FrameHeader {
    uint32_t payload;
    uint16_t substituted;  // 0x8000 or 0, as decode_block takes it
};

inline FrameHeader parse_frame_header(const uint8_t* bytes) {
    const uint16_t header = uint16_t((bytes[0] << 8) | bytes[1]);
    const uint32_t payload = header & 0x7FFFu;
    return {payload == 0 ? kBlockSize : payload, uint16_t(header & 0x8000u)};
}

// What a codec routine ends with; the numbers are fixed (the stream keeps
// the last one in its context).
enum CodecStatus : int {
    kCodecOk = 0,
    kCodecBadBlock = 1,    // a block cannot be decoded
    kCodecOutputFull = 2,  // the encoder's output is full
    kCodecNoMemory = 6,
};

// Where the codec's tables come from: zero-filled memory, null on failure.
struct CodecAllocator {
    void* (*allocate)(uint32_t bytes);
    void (*release)(void* block);
};

// One adaptive code tree with N internal nodes (0..N-1, root 0) and N+1 leaves
// (N..2N, leaf N+s codes symbol s). The two children of internal node i sit
// side by side, children[2i] on bit 0 and children[2i+1] on bit 1, so a
// descent step is one indexed load.
struct SplayTree {
    uint8_t* parent;     // 2N+1 entries: the internal node above each node
    uint16_t* children;  // 2N entries
};

struct CodecState {
    CodecAllocator allocator;

    // Tables: each a separate zero-filled allocation.
    uint8_t* literal_parent;     // 128 trees x 513 bytes
    uint16_t* literal_children;  // 128 trees x 512 entries (both child arrays)
    uint8_t* length_parent;      // 64 bytes: nodes 0..62 and a spare
    uint16_t* length_children;   // 64 entries: nodes 0..30 and a spare pair
    uint16_t* prediction_table;  // 8192 slots: 0 empty, 1 disabled, else a position
    uint8_t* subst_table;        // plain byte -> stored byte
    uint8_t* unsubst_table;      // stored byte -> plain byte

    // Nonzero at c: literal tree c still has last block's shape and is put
    // back into the initial shape when the block first uses it. A byte per
    // tree, so the check before every literal is a single compare.
    uint8_t stale_trees[128];

    // The encoder's working state for the block being coded (the decoder
    // keeps its own in locals).
    uint8_t* coded_out;  // next payload byte to store
    uint8_t* coded_out_limit;
    uint64_t write_bits;        // pending bits, last one at bit 0
    uint32_t write_count;       // how many (fewer than 8 between symbols)
    const uint8_t* input_base;  // plain input
    const uint8_t* input_cursor;
    const uint8_t* input_limit;
};

// Allocates the tables (all seven are attempted) and builds the substitution
// tables. 0, or kCodecNoMemory after releasing whatever was allocated.
CodecStatus codec_init(CodecState& state, const CodecAllocator& allocator);
// Releases every table that is present and marks it absent.
void codec_free(CodecState& state);
// Puts the models into their initial shape; done at the start of every
// compressed block by both block routines. The prediction table and the
// length tree are reset at once, each literal tree when the block first
// reaches for it (see stale_trees), so read the trees through the codec's
// own accessors.
void codec_reset(CodecState& state);
void build_subst_tables(CodecState& state);

// Expands one payload of `length` bytes (1..32768) into `plain`, which has room
// for 32768 bytes. `substituted` is the header's flag (nonzero: substituted).
// On success stores the plain count in `produced` and returns 0; returns 1 for
// a compressed block that cannot be decoded, and for a length above 32768
// (then `produced` is untouched).
// Never reads outside the payload nor writes past 32768 plain bytes.
CodecStatus decode_block(CodecState& state, const uint8_t* coded, uint8_t* plain, uint16_t length,
                         uint16_t* produced, uint16_t substituted);

// Codes `count` plain bytes (1..32768) into one complete frame (2-byte
// big-endian header and payload) in `frame`, which has room for
// kFrameCapacity bytes; stores the frame length in `frame_length` and returns
// 0. A count of 0 or above 32768 is refused with a nonzero status and nothing
// is written.
CodecStatus encode_block(CodecState& state, const uint8_t* input, uint8_t* frame, uint32_t count,
                         uint32_t* frame_length);

}  // namespace zq
