// Helpers shared by the archive tests: archives on disk read back through the
// extractor's own reader, and standard input/output redirected for the
// password dialogue.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "driver/driver.h"
#include "archive/release.h"
#include "json_check.h"
#include "support.h"
#include "writer/packer.h"

namespace zq::test {

// A stream context over a file, as the extractor sets it up.
class ReaderSession {
public:
    explicit ReaderSession(const fs::path& path, int32_t archive_offset = 0) : offset_(archive_offset) {
        file_ = file_open_read(path.string().c_str());
        initialised_ = stream_init(&context_) == kStreamOk;
        context_.archive_file = file_;
        file_seek(file_, archive_offset, kSeekSet);
    }
    ~ReaderSession() {
        release_catalogue(&catalogue_);
        release_stream(&context_);
        if (file_ != kNoFile) file_close(file_);
    }
    bool ok() const { return initialised_ && file_ != kNoFile; }
    // Without a password the console dialogue runs.
    int read(uint16_t* count, const char* password = nullptr) {
        GivenPassword given{password, false};
        const PasswordDialogue dialogue = password ? given_password_dialogue(&given) : console_password_dialogue();
        return read_catalogue(&context_, &catalogue_, offset_, count, dialogue);
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

}  // namespace zq::test
