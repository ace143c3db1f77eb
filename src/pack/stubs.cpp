#include "pack/stubs.h"

#include <stdexcept>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace zq::pack {

namespace {

struct KnownStub {
    const char* name;
    const char* file;
};

// The file names the build and the install give the stubs.
constexpr KnownStub kKnown[] = {{"linux", "zqsfx"},
                                {"linux-aarch64", "zqsfx-aarch64"},
                                {"windows", "zqsfx.exe"},
                                {"windows-encrypted", "zqsfx-encrypted.exe"},
                                {"windows-wide", "zqsfx-wide.exe"}};

// The Windows stub for an encrypted archive: the plain one leaves the
// decryption out to stay small.
const char* file_for(const char* file, bool encrypted) {
    const std::string name = file;
    return encrypted && name == "zqsfx.exe" ? "zqsfx-encrypted.exe" : file;
}

fs::path own_directory() {
    char buffer[4096];
    uint32_t length = own_executable_path(buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer)
        throw std::runtime_error("cannot find zqpack's own folder");
    return fs::path(std::string(buffer, length)).parent_path();
}

// Beside zqpack (a build), then the installed folder (ZQ_STUB_DIR is
// relative to the folder zqpack is in).
std::vector<fs::path> stub_folders() {
    std::vector<fs::path> folders{own_directory()};
#ifdef ZQ_STUB_DIR
    folders.push_back((folders.front() / ZQ_STUB_DIR).lexically_normal());
#endif
    return folders;
}

fs::path first_in_folders(const std::string& file) {
    for (const fs::path& folder : stub_folders()) {
        std::error_code ec;
        if (fs::is_regular_file(folder / file, ec)) return folder / file;
    }
    return {};
}

const char* file_of(const std::string& name) {
    for (const KnownStub& known : kKnown) {
        if (name == known.name || name == known.file) return known.file;
    }
    return nullptr;
}

}  // namespace

fs::path find_wide_stub(const std::string& given) {
    std::error_code ec;
    if (given.empty() || fs::exists(given, ec)) return {};
    const char* file = file_of(given);
    if (file == nullptr || std::string(file) != "zqsfx.exe") return {};
    return first_in_folders("zqsfx-wide.exe");
}

fs::path find_stub(const std::string& given, bool encrypted) {
    const std::string wanted = given.empty() ? "linux" : given;
    std::error_code ec;
    if (!given.empty() && fs::exists(given, ec)) return given;
    const char* file = file_of(wanted);
    if (file != nullptr) file = file_for(file, encrypted);
    if (file == nullptr) {
        throw std::runtime_error("no stub at " + given +
                                 " (give a stub's path, one of the names create --help lists, "
                                 "or --stub none for a bare archive)");
    }
    fs::path found = first_in_folders(file);
    if (found.empty()) {
        std::string tried;
        for (const fs::path& folder : stub_folders())
            tried += (tried.empty() ? "" : ", ") + (folder / file).string();
        throw std::runtime_error("no stub " + wanted + " (looked for " + tried +
                                 "; give --stub FILE, or --stub none for a bare archive)");
    }
    return found;
}

std::vector<FoundStub> stub_names() {
    std::vector<FoundStub> found;
    for (const KnownStub& known : kKnown) {
        fs::path path = first_in_folders(known.file);
        if (!path.empty()) found.push_back(FoundStub{known.name, path});
    }
    return found;
}

std::string stubs_found_text() {
    std::string text = "Stubs found (--stub NAME):";
    const std::vector<FoundStub> found = stub_names();
    if (found.empty()) return text + " none; give --stub FILE, or --stub none";
    for (const FoundStub& stub : found)
        text += "\n  " + stub.name + (stub.name == "linux" ? " (the default)" : "") + "  " +
                stub.path.string();
    return text;
}

}  // namespace zq::pack
