// read_catalogue on a whole archive image: a narrow bare archive at file
// offset 0 without a trailer, or, when the image ends in the wide trailer
// mark, wherever read_trailer and the wide locator lead. Standard input holds the line "fuzz" and
// then ends, so a password-protected archive gets one try (seeds use that password) and a wrong one
// ends at the exhausted input instead of asking for ever. Key derivations
// are kept cheap, as in the sealed target.
//
// An accepted catalogue must be one the extraction run can use without
// surprise: every file's path builds within 511 bytes, from safe components.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "archive/catalogue.h"
#include "archive/release.h"
#include "driver/dir_tree.h"
#include "driver/driver.h"
#include "fuzz_support.h"

namespace {

void stdin_with_password_line() {
    int ends[2];
    zq::fuzz::check(pipe(ends) == 0);
    zq::fuzz::check(write(ends[1], "fuzz\n", 5) == 5);
    close(ends[1]);
    zq::fuzz::check(dup2(ends[0], 0) == 0);
    close(ends[0]);
}

// A path component as the extractor may hand it to the file system.
void check_component(const char* begin, size_t length) {
    using zq::fuzz::check;
    check(length != 0);
    check(!(length == 1 && begin[0] == '.'));
    check(!(length == 2 && begin[0] == '.' && begin[1] == '.'));
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = uint8_t(begin[i]);
        check(c >= 0x20 && c != '/' && c != ':');
    }
}

void check_path(const char* path) {
    const size_t length = std::strlen(path);
    zq::fuzz::check(length <= zq::kMaxPath);
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = uint8_t(path[i]);
        if (zq::is_lead_byte(c) && i + 1 < length) {
            ++i;
            continue;
        }
        if (c == '\\') {
            check_component(path + start, i - start);
            start = i + 1;
        }
    }
    check_component(path + start, length - start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zq::fuzz::check;
    static zq::fuzz::MemoryFile file;
    static zq::StreamContext* context = [] {
        // The dialogue's prompts go nowhere.
        const int null_out = open("/dev/null", O_WRONLY);
        check(null_out >= 0 && dup2(null_out, 1) == 1);
        close(null_out);
        auto* c = new zq::StreamContext{};
        check(zq::stream_init(c) == zq::kStreamOk);
        return c;
    }();
    static std::vector<uint8_t> image;
    image.assign(data, data + size);
    zq::fuzz::keep_key_derivations_cheap(image.data(), image.size());
    file.fill(image.data(), image.size());
    stdin_with_password_line();

    context->archive_file = file.fd();
    zq::Catalogue catalogue{};
    uint32_t file_count = 0xBEEF;
    zq::ArchiveSpot spot{0, 0, false};
    const bool wide = size >= 4 && zq::load_u32(data + size - 4) == zq::kWideMark;
    if (!wide || zq::read_trailer(file.fd(), &spot) != 0) {
        spot = zq::ArchiveSpot{0, 0, false};
        check(zq::file_seek(file.fd(), 0, zq::kSeekSet) == 0);
    }
    const int result =
        zq::read_catalogue(context, &catalogue, spot, &file_count, zq::console_password_dialogue());
    check(result == zq::kExitOk || result == zq::kExitAbort || result == zq::kExitIoError ||
          result == zq::kExitNoMemory || result == zq::kExitInvalidArchive);
    if (result != 0) {
        check(file_count == 0xBEEF);
    } else {
        check(file_count == catalogue.file_count);
        char path[zq::kPathBufferSize];
        for (uint32_t i = 0; i < file_count; ++i) {
            const zq::FileRecord& record = *catalogue.file_table[i];
            check(zq::build_file_path(catalogue, record, path) == 0);
            check_path(path);
            check_path(zq::name_text(catalogue, record.name()));
        }
    }
    zq::release_catalogue(&catalogue);
    return 0;
}
