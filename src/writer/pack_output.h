// The packer's output file: written under a temporary name beside the
// target, removed on failure or interruption, renamed into place at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "writer/writer.h"

namespace zq::packing {

// Offsets are 64-bit in the wide form; the packer picks the form that fits.
constexpr uint64_t kMaxOutput = uint64_t(INT64_MAX);

// The output under its temporary name; removed unless committed. Every
// failure throws with a one-line message.
class Output {
public:
    explicit Output(const std::filesystem::path& out);
    // A scratch output: an unnamed file under $TMPDIR that the system
    // removes when it is closed or the process ends, never committed. The packer
    // builds an archive to be encrypted there.
    struct Scratch {};
    explicit Output(Scratch);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    uint64_t position() const { return position_; }

    void write(const uint8_t* bytes, size_t count);
    void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }
    // Overwrites bytes already written at `at`; the position stays.
    void write_at(uint64_t at, const Bytes& bytes);
    // Reads back `count` bytes written at `at`; the position stays.
    void read_at(uint64_t at, uint8_t* bytes, size_t count);

    // Turns the substituted frames written from `start` on into the plain
    // bytes they stand for, in place (plain bytes are shorter, so the write
    // position never passes the read position).
    void unsubstitute_from(uint64_t start, const uint8_t* unsubst);

    // Cuts the file at the position, makes it executable and renames it over
    // the target.
    void commit();

private:
    void seek(uint64_t at);

    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::string shown_;  // what messages call the file
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    uint64_t position_ = 0;
    bool committed_ = false;
};

// The plain bytes that substituted `frames` stand for.
Bytes unsubstitute_frames(const Bytes& frames, const uint8_t* unsubst);

}  // namespace zq::packing
