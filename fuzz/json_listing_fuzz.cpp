// zqpack's JSON listing of a whole container (an archive, usually bare, and
// the trailer that gives its offset): the archive is opened by path as `zqpack
// list --json` opens it (through /proc/self/fd, so the bytes stay in memory),
// with the password "fuzz", which also reaches the names converted from a
// code page, the record extension (checksum, mode, link target, the file to
// run and its arguments) and the link targets read from the data. A refused
// archive ends with a message (an exception); an accepted one must list as strict JSON, its
// total counting every file. Key derivations are kept cheap.
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "json_check.h"
#include "pack/inspect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using zq::fuzz::check;
    static zq::fuzz::MemoryFile file;
    static const std::string path = "/proc/self/fd/" + std::to_string(file.fd());
    static std::vector<uint8_t> image;
    image.assign(data, data + size);
    zq::fuzz::keep_key_derivations_cheap(image.data(), image.size());
    file.fill(image.data(), image.size());
    try {
        const zq::pack::OpenedArchive archive(path, std::string("fuzz"));
        const std::string listing = zq::pack::json_listing(archive);
        check(zq::test::json_problem(listing).empty());
        const std::string total =
            "\"total\": {\"files\": " + std::to_string(archive.entry_count()) + ",";
        check(listing.find(total) != std::string::npos);
    } catch (const std::runtime_error& refused) {
        check(refused.what()[0] != '\0');
    }
    return 0;
}
