// Helpers shared by the archive tests: scratch folders, archives on disk read
// back through the extractor's own reader, and standard input/output
// redirected for the password dialogue.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "archive/release.h"
#include "writer/packer.h"

namespace zq::test {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("zq-archive-test-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::all, fs::perm_options::add, ec);
        for (auto& entry : fs::recursive_directory_iterator(path_, ec)) {
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        }
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline void write_bytes(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Pseudo-random bytes that do not compress.
inline Bytes noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (uint8_t& b : out) b = uint8_t(random());
    return out;
}

// A stream context over a file, as the extractor sets it up.
class ReaderSession {
public:
    explicit ReaderSession(const fs::path& path, int32_t archive_offset = 0) : offset_(archive_offset) {
        file_ = file_open_read(path.string().c_str());
        initialised_ = stream_init(&context_) == kStreamOk;
        stream_reset(&context_);
        context_.archive_file = file_;
        file_seek(file_, archive_offset, kSeekSet);
    }
    ~ReaderSession() {
        release_catalogue(&catalogue_);
        release_stream(&context_);
        if (file_ != kNoFile) file_close(file_);
    }
    bool ok() const { return initialised_ && file_ != kNoFile; }
    int read(uint16_t* count, const char* password = nullptr) {
        return read_catalogue_with_password(&context_, &catalogue_, offset_, count, password);
    }
    StreamContext& context() { return context_; }
    Catalogue& catalogue() { return catalogue_; }
    FileHandle file() const { return file_; }

private:
    int32_t offset_;
    FileHandle file_ = kNoFile;
    bool initialised_ = false;
    StreamContext context_{};
    Catalogue catalogue_{};
};

// Points a standard descriptor at a file for the life of the object.
class Redirect {
public:
    Redirect(int fd, const fs::path& path, bool input) : fd_(fd) {
        saved_ = ::dup(fd);
        int target = input ? ::open(path.c_str(), O_RDONLY) : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(target, fd);
        ::close(target);
    }
    ~Redirect() {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }

private:
    int fd_;
    int saved_;
};

// Standard input that holds the given lines, all at once, and then ends, as
// a script gives them: the reader takes one line per answer.
class StdinLines {
public:
    explicit StdinLines(const std::vector<std::string>& lines) {
        int pair[2];
        if (::pipe(pair) != 0) return;
        for (const std::string& line : lines) {
            if (::write(pair[1], line.data(), line.size()) < 0) break;
        }
        ::close(pair[1]);
        saved_ = ::dup(0);
        ::dup2(pair[0], 0);
        ::close(pair[0]);
    }
    ~StdinLines() {
        if (saved_ < 0) return;
        ::dup2(saved_, 0);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

inline std::string slurp_text(const fs::path& path) {
    Bytes bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace zq::test
