// Helpers shared by the archive tests: archives on disk read back through the
// extractor's own reader.
#pragma once

#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "archive/release.h"
#include "driver/driver.h"
#include "json_check.h"
#include "std_redirect.h"
#include "support.h"
#include "writer/packer.h"

namespace zq::test {

// A stream context over a file, as the extractor sets it up.
class ReaderSession {
public:
    // A narrow archive at `archive_offset`; follow_trailer() finds it (in
    // either form) instead.
    explicit ReaderSession(const fs::path& path, int64_t archive_offset = 0)
        : spot_{archive_offset, 0, false} {
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
    int follow_trailer() { return read_trailer(file_, &spot_); }
    const ArchiveSpot& spot() const { return spot_; }
    // Without a password the console dialogue runs.
    int read(uint32_t* count, const char* password = nullptr) {
        GivenPassword given{password, false};
        const PasswordDialogue dialogue =
            password ? given_password_dialogue(&given) : console_password_dialogue();
        return read_catalogue(&context_, &catalogue_, spot_, count, dialogue);
    }
    StreamContext& context() { return context_; }
    Catalogue& catalogue() { return catalogue_; }
    FileHandle file() const { return file_; }

private:
    ArchiveSpot spot_;
    FileHandle file_ = kNoFile;
    bool initialised_ = false;
    StreamContext context_{};
    Catalogue catalogue_{};
};

}  // namespace zq::test
