// The packer's output file, written through a buffered stdio stream.
#include "writer/pack_output.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host_files.h"
#include "writer/packer.h"
#include "writer/tool_error.h"

namespace zq::packing {

namespace fs = std::filesystem;

Output::Output(const fs::path& out) : target_(out) {
    // An interruption (Ctrl+C, a shut-down) must not leave a partial
    // archive behind, from the moment the file exists.
    hold_interrupts();
    for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
        temp_ = out;
        temp_ += ".zqpart" + (attempt ? std::to_string(attempt) : std::string());
        file_ = std::fopen(temp_.string().c_str(), "w+bx");
        if (file_ == nullptr && errno != EEXIST) break;  // another name will not help
    }
    const int error = errno;
    if (file_ != nullptr) remove_on_interrupt(temp_.string());
    release_interrupts();
    if (file_ == nullptr) fail("cannot create " + temp_.string() + ": " + std::strerror(error));
    shown_ = temp_.string();
    buffer_.resize(1 << 20);
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

Output::Output(Scratch) {
    std::string error;
    file_ = open_scratch_file(&error);
    if (file_ == nullptr) fail(error);
    shown_ = "the scratch file";
    buffer_.resize(1 << 20);
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
}

Output::~Output() {
    if (file_ != nullptr) std::fclose(file_);
    if (!committed_ && !temp_.empty()) {
        hold_interrupts();
        std::error_code ec;
        fs::remove(temp_, ec);
        forget_on_interrupt();
        release_interrupts();
    }
}

void Output::write(const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    if (position_ + count > kMaxOutput) fail("archive too large");
    if (std::fwrite(bytes, 1, count, file_) != count)
        fail("cannot write " + shown_ + ": " + std::strerror(errno));
    position_ += count;
}

void Output::write_at(uint64_t at, const Bytes& bytes) {
    seek(at);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        fail("cannot write " + shown_ + ": " + std::strerror(errno));
    seek(position_);
}

void Output::read_at(uint64_t at, uint8_t* bytes, size_t count) {
    seek(at);
    if (std::fread(bytes, 1, count, file_) != count)
        fail("cannot read back " + shown_ + ": " + std::strerror(errno));
    seek(position_);
}

void Output::unsubstitute_from(uint64_t start, const uint8_t* unsubst) {
    uint64_t read_at = start;
    uint64_t write_at = start;
    Bytes frame(kFrameCapacity);
    while (read_at < position_) {
        seek(read_at);
        if (std::fread(frame.data(), 1, 2, file_) != 2)
            fail("cannot read back " + shown_ + ": " + std::strerror(errno));
        const uint32_t length = parse_frame_header(frame.data()).payload;
        if (std::fread(frame.data(), 1, length, file_) != length)
            fail("cannot read back " + shown_ + ": " + std::strerror(errno));
        read_at += 2 + length;
        for (uint32_t i = 0; i < length; ++i) frame[i] = unsubst[frame[i]];
        seek(write_at);
        if (std::fwrite(frame.data(), 1, length, file_) != length)
            fail("cannot write " + shown_ + ": " + std::strerror(errno));
        write_at += length;
    }
    position_ = write_at;
    seek(position_);
}

void Output::commit() {
    bool ok = std::fflush(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) fail("cannot write " + shown_ + ": " + std::strerror(errno));
    std::error_code ec;
    // Undo what an unsubstituted last file left behind its end.
    fs::resize_file(temp_, position_, ec);
    if (!ec) {
        fs::permissions(temp_,
                        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add, ec);
    }
    if (!ec) {
        refuse_special_output(target_);  // once more: it may have changed meanwhile
        hold_interrupts();
        fs::rename(temp_, target_, ec);
        if (!ec) forget_on_interrupt();
        release_interrupts();
    }
    if (ec) fail("cannot finish " + target_.string() + ": " + ec.message());
    committed_ = true;
}

void Output::seek(uint64_t at) {
    if (std::fseek(file_, long(at), SEEK_SET) != 0)
        fail("cannot write " + shown_ + ": " + std::strerror(errno));
}

Bytes unsubstitute_frames(const Bytes& frames, const uint8_t* unsubst) {
    Bytes plain;
    plain.reserve(frames.size());
    for (size_t at = 0; at + 2 <= frames.size();) {
        const uint32_t length = parse_frame_header(&frames[at]).payload;
        for (uint32_t i = 0; i < length; ++i) plain.push_back(unsubst[frames[at + 2 + i]]);
        at += 2 + length;
    }
    return plain;
}

}  // namespace zq::packing
