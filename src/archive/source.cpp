// Reading the archive: from the file, or out of the decrypting view. A view
// keeps the one chunk it last opened, so the small reads of the catalogue
// and the frame-by-frame reads of the streams open each chunk once as they
// pass through it.
#include "archive/source.h"

#include "archive/sealed.h"
#include "crypto/crypto.h"

namespace zq {

namespace {

void copy_bytes(uint8_t* to, const uint8_t* from, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

bool view_read(SealedView* view, FileHandle file, uint8_t* out, uint32_t count) {
    const uint32_t plain = uint32_t(view->key->header.plain_length);
    const uint32_t size = view->key->header.chunk_size;
    while (count > 0) {
        if (view->position >= plain) return false;
        const uint32_t index = view->position / size;
        const uint32_t offset = view->position % size;
        if (load_chunk(view, file, index) != kChunkOpened) return false;
        const uint32_t length = chunk_length(*view->key, index);
        uint32_t k = length - offset;
        if (k > count) k = count;
        copy_bytes(out, view->chunk + offset, k);
        view->position += k;
        out += k;
        count -= k;
    }
    return true;
}

}  // namespace

uint32_t chunk_length(const SealedKey& key, uint32_t index) {
    const uint32_t plain = uint32_t(key.header.plain_length);
    const uint32_t size = key.header.chunk_size;
    const uint32_t start = index * size;  // index < chunk_count: no overflow
    return plain - start < size ? plain - start : size;
}

ChunkResult load_chunk(SealedView* view, FileHandle file, uint32_t index) {
    if (view->cached == index) return kChunkOpened;
    const SealedKey& key = *view->key;
    if (index >= key.chunk_count) return kChunkUnread;
    view->cached = kNoChunk;
    const uint32_t length = chunk_length(key, index);
    // Below the envelope's end, which lies within the file (read_envelope).
    const uint32_t at =
        key.base + kSealedHeaderSize + index * (key.header.chunk_size + kSealTagBytes);
    if (file_seek(file, FileOffset(at), kSeekSet) != FileOffset(at)) return kChunkUnread;
    const uint32_t sealed = length + kSealTagBytes;
    if (file_read(file, view->chunk, sealed) != int32_t(sealed)) return kChunkUnread;
    uint8_t nonce[kSealNonceBytes];
    sealed_nonce(index, index + 1 == key.chunk_count, nonce);
    if (!crypto::aead_open(key.key, nonce, key.header_bytes, kSealedHeaderSize, view->chunk, length,
                           view->chunk + length, view->chunk)) {
        return kChunkForged;
    }
    view->cached = index;
    return kChunkOpened;
}

namespace {

// Serves `count` bytes at the context's position from the buffer, reading
// the next kArchiveBufferSize bytes there whenever the position leaves what
// it holds. A read at least as large as the buffer goes to its destination
// directly. Every file read seeks first: the envelope check and the
// decrypting view move the file's own position as they read.
bool buffered_read(StreamContext* context, uint8_t* out, uint32_t count) {
    while (count > 0) {
        const FileOffset at = context->position;
        if (at >= context->read_start &&
            at < context->read_start + FileOffset(context->read_length)) {
            const uint32_t offset = uint32_t(at - context->read_start);
            uint32_t k = context->read_length - offset;
            if (k > count) k = count;
            copy_bytes(out, context->read_buf + offset, k);
            context->position += k;
            out += k;
            count -= k;
            continue;
        }
        if (file_seek(context->archive_file, at, kSeekSet) != at) return false;
        if (count >= kArchiveBufferSize) {
            if (file_read(context->archive_file, out, count) != int32_t(count)) return false;
            context->position += count;
            return true;
        }
        const int32_t got = file_read(context->archive_file, context->read_buf, kArchiveBufferSize);
        if (got <= 0) return false;
        context->read_start = at;
        context->read_length = uint32_t(got);
    }
    return true;
}

}  // namespace

bool archive_read(StreamContext* context, void* buffer, uint32_t count) {
    if (SealedView* view = sealed_view(context))
        return view_read(view, context->archive_file, static_cast<uint8_t*>(buffer), count);
    if (platform_reads_ahead() && context->read_buf != nullptr && context->position >= 0)
        return buffered_read(context, static_cast<uint8_t*>(buffer), count);
    return file_read(context->archive_file, buffer, count) == int32_t(count);
}

bool archive_seek(StreamContext* context, FileOffset position) {
    if (position < 0) return false;
    if (SealedView* view = sealed_view(context)) {
        // As in a file, a position past the end may be reached; reading
        // there fails. The envelope lies within the first 2 GiB
        // (read_envelope).
        if (position > FileOffset(kNarrowMaxEnd) || uint32_t(position) < view->key->base)
            return false;
        view->position = uint32_t(position) - view->key->base;
        return true;
    }
    // Buffered, the seek is only noted: the next read that needs the file
    // makes it.
    if (platform_reads_ahead() && context->read_buf != nullptr) {
        context->position = position;
        return true;
    }
    return file_seek(context->archive_file, position, kSeekSet) == position;
}

FileOffset archive_position(const StreamContext* context) {
    if (!platform_reads_ahead()) return -1;
    if (const SealedView* view = sealed_view(context))
        return FileOffset(view->key->base) + view->position;
    return context->read_buf != nullptr ? context->position : -1;
}

}  // namespace zq
