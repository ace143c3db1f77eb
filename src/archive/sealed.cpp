// Unlocking an encrypted archive: the envelope header is bounded before
// anything is allocated for it, then each password offered is stretched by
// scrypt and tried on the first chunk. No form of the password is stored:
// the first chunk's tag is what tells a right one from a wrong one.
#include "archive/sealed.h"

#include "archive/source.h"
#include "crypto/crypto.h"
#include "format/reader_mark.h"

namespace zq {

namespace {

#ifndef ZQ_WITHOUT_DECRYPTION
// The mark of a reader of encrypted archives; a program built without the
// decryption has no copy.
ZQ_KEPT_MARK constexpr auto kMark = copy_of_mark(kEncryptedReaderMark);
#endif

bool read_at(FileHandle file, FileOffset at, uint8_t* bytes, uint32_t count) {
    return file_seek(file, at, kSeekSet) == at && file_read(file, bytes, count) == int32_t(count);
}

void release(void* block, uint32_t bytes) {
    if (block == nullptr) return;
    crypto::wipe(block, bytes);
    mem_free(block);
}

// The header read and bounded into `key`: 0, kExitIoError when it cannot be
// read whole, kExitInvalidArchive when it is out of bounds or the envelope
// it describes runs past the end of the file.
int read_envelope(FileHandle file, FileOffset archive_offset, SealedKey* key) {
    if (!read_at(file, archive_offset, key->header_bytes, kSealedHeaderSize)) return kExitIoError;
    if (!parse_sealed_header(key->header_bytes, &key->header)) return kExitInvalidArchive;
    // The envelope lies within the first 2 GiB of the file, as a narrow
    // archive does: its offsets then fit 32 bits (where files are longer,
    // only this check makes it so).
    const FileOffset size = file_seek(file, 0, kSeekEnd);
    const uint32_t sealed = sealed_size(key->header);
    if (archive_offset < 0 || size < archive_offset || FileSize(size - archive_offset) < sealed ||
        (platform_reads_wide() && sealed > uint32_t(kNarrowMaxEnd) - uint32_t(archive_offset)))
        return kExitInvalidArchive;
    key->chunk_count = sealed_chunk_count(key->header);
    key->base = uint32_t(archive_offset);
    return 0;
}

SealedView* new_view(const SealedKey* key) {
    SealedView* view = static_cast<SealedView*>(mem_alloc(sizeof(SealedView)));
    if (view == nullptr) return nullptr;
    view->chunk = static_cast<uint8_t*>(mem_alloc(key->header.chunk_size + kSealTagBytes));
    if (view->chunk == nullptr) {
        mem_free(view);
        return nullptr;
    }
    view->key = key;
    view->cached = kNoChunk;
    view->position = 0;
    view->owns_key = false;
    return view;
}

void free_view(SealedView* view) {
    release(view->chunk, view->key->header.chunk_size + kSealTagBytes);
    mem_free(view);
}

// The key from one offered password: the exact bytes typed, no case folded,
// since the key is all that tells one password from another.
bool derive_key(SealedKey* key, const char* typed, void* work, uint32_t work_bytes) {
    const SealedHeader& h = key->header;
    return crypto::scrypt(reinterpret_cast<const uint8_t*>(typed), str_length(typed), h.salt,
                          kSaltBytes, h.log2_n, h.r, h.p, work, work_bytes, key->key,
                          kSealKeyBytes);
}

// Asks until a password opens chunk 0. 0, or the code the dialogue ended
// with, kExitIoError when the chunk cannot be read, kExitInvalidArchive when
// scrypt refuses the parameters.
int try_passwords(SealedView* view, SealedKey* key, FileHandle file,
                  const PasswordDialogue& dialogue, void* work, uint32_t work_bytes) {
    char typed[kPasswordSize];
    for (;;) {
        typed[0] = 0;
        const int asked = dialogue.ask(dialogue.user, typed);
        typed[kPasswordSize - 1] = 0;
        const bool derived = asked == 0 && derive_key(key, typed, work, work_bytes);
        crypto::wipe(typed, sizeof typed);
        if (asked != 0) return asked;
        if (!derived) return kExitInvalidArchive;
        const ChunkResult opened = load_chunk(view, file, 0);
        if (opened == kChunkUnread) return kExitIoError;
        dialogue.answer(dialogue.user, opened == kChunkOpened);
        if (opened == kChunkOpened) return 0;
    }
}

}  // namespace

bool archive_is_sealed(FileHandle file, FileOffset archive_offset) {
    uint8_t magic[sizeof kSealedMagic];
    const bool read = file_read(file, magic, sizeof magic) == int32_t(sizeof magic);
    file_seek(file, archive_offset, kSeekSet);
    return read && is_sealed_magic(magic);
}

int sealed_unlock(StreamContext* context, FileOffset archive_offset,
                  const PasswordDialogue& dialogue) {
    FileHandle file = context->archive_file;
    SealedKey* key = static_cast<SealedKey*>(mem_alloc(sizeof(SealedKey)));
    if (key == nullptr) return kExitNoMemory;
    SealedView* view = nullptr;
    void* work = nullptr;
    uint32_t work_bytes = 0;
    int result = read_envelope(file, archive_offset, key);
    if (result == 0) {
        // Within the caps the header was held to: at most kMaxKdfMemory and
        // two blocks, which fits 32 bits.
        work_bytes = uint32_t(crypto::scrypt_work_bytes(key->header.log2_n, key->header.r));
        view = new_view(key);
        work = mem_alloc(work_bytes);
        result = view != nullptr && work != nullptr
                     ? try_passwords(view, key, file, dialogue, work, work_bytes)
                     : kExitNoMemory;
    }
    release(work, work_bytes);
    if (result != 0) {
        if (view != nullptr) free_view(view);
        release(key, sizeof(SealedKey));
        return result;
    }
    view->owns_key = true;
    context->sealed = view;
    return archive_seek(context, archive_offset) ? 0 : kExitIoError;
}

int sealed_attach(StreamContext* context, const SealedKey* key) {
    SealedView* view = new_view(key);
    if (view == nullptr) return kExitNoMemory;
    context->sealed = view;
    return 0;
}

void sealed_release(StreamContext* context) {
    SealedView* view = context->sealed;
    if (view == nullptr) return;
    SealedKey* key = view->owns_key ? const_cast<SealedKey*>(view->key) : nullptr;
    free_view(view);
    if (key != nullptr) release(key, sizeof(SealedKey));
    context->sealed = nullptr;
}

}  // namespace zq
