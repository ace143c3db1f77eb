// The decrypting view of an encrypted archive. Every read of the archive
// layer goes through archive_read and archive_seek (source.cpp); a context
// whose `sealed` is set reads the plain archive out of the envelope instead
// of the file, one authenticated chunk at a time, so the catalogue reader,
// the block streams, the pipeline and the file data above it read an
// encrypted archive exactly as a plain one. Positions stay the file's own:
// the plain archive's byte k is read at the archive's offset + k.
#pragma once

#include <cstdint>

#include "archive/catalogue.h"
#include "format/sealed_format.h"

namespace zq {

// Whether this program reads encrypted archives. Every one does but the plain
// Windows stub, built without the decryption to stay small: to it an
// encrypted archive is one it cannot read (kExitInvalidArchive).
#ifdef ZQ_WITHOUT_DECRYPTION
inline constexpr bool kReadsSealed = false;
#else
inline constexpr bool kReadsSealed = true;
#endif

// What the password unlocked: the envelope's header and the key. Shared by
// every view of the same archive (zqpack's test reads through several).
struct SealedKey {
    uint8_t header_bytes[kSealedHeaderSize];  // the chunks' associated data
    SealedHeader header;
    uint32_t chunk_count;
    // File offset of the envelope, the plain archive's byte 0. The envelope
    // lies within the file, so every offset in it fits 31 bits.
    uint32_t base;
    uint8_t key[kSealKeyBytes];
};

constexpr uint32_t kNoChunk = 0xFFFFFFFFu;

struct SealedView {
    const SealedKey* key;
    uint8_t* chunk;     // chunk_size + tag bytes: the chunk in hand, opened
    uint32_t cached;    // the chunk `chunk` holds, or kNoChunk
    uint32_t position;  // in the plain archive
    bool owns_key;      // the view that unlocked the archive releases its key
};

// The decrypting view `context` reads through, or null for a plain archive
// (always, in a program that reads no encrypted one).
inline SealedView* sealed_view(const StreamContext* context) {
    return kReadsSealed ? context->sealed : nullptr;
}

// Plain bytes of chunk `index` (below chunk_count).
uint32_t chunk_length(const SealedKey& key, uint32_t index);

enum ChunkResult { kChunkOpened, kChunkUnread, kChunkForged };
// Brings chunk `index` into the view, opened: kChunkOpened; kChunkUnread
// when it lies past the envelope or cannot be read from `file`; kChunkForged
// when its tag does not match (a wrong key, or any change to the chunk, its
// place, or the envelope header). Nothing of a forged chunk is ever kept.
ChunkResult load_chunk(SealedView* view, FileHandle file, uint32_t index);

// True when the bytes at the archive's start are an envelope's magic. Reads
// at the file's position and seeks back to `archive_offset`; false on a
// short read (the plain reader then finds no header and reports that).
bool archive_is_sealed(FileHandle file, FileOffset archive_offset);

// Reads and bounds the envelope at `archive_offset` and holds `dialogue`
// until a password opens the first chunk: each wrong one is answered false
// and asked again. Then attaches a view to `context` (the key and the view
// come from the platform allocator). 0, kExitInvalidArchive (a header out of
// bounds, or an envelope longer than the file), kExitIoError, kExitNoMemory,
// or what the dialogue ended with.
int sealed_unlock(StreamContext* context, FileOffset archive_offset,
                  const PasswordDialogue& dialogue);

// Attaches another view of an unlocked archive to `context`, which reads the
// same file through a handle of its own. 0 or kExitNoMemory.
int sealed_attach(StreamContext* context, const SealedKey* key);

// Releases the context's view, and the key (wiped) when the view unlocked it:
// views attached to that key must be released first.
void sealed_release(StreamContext* context);

}  // namespace zq
