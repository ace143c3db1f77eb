#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>

#include "format/archive_format.h"
#include "json_check.h"
#include "writer/packer.h"

namespace zq::test {

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) { return text_of(read_bytes(path)); }

void write_bytes(const fs::path& path, const Bytes& bytes, bool executable) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out.good()) throw std::runtime_error("cannot write " + path.string());
    }
    if (executable) ::chmod(path.c_str(), 0755);
}

ScratchDir::ScratchDir(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / ("zq_" + tag + "_XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

void InScratchDir::SetUp() {
    previous_ = fs::current_path();
    scratch_ = std::make_unique<ScratchDir>("driver");
    root_ = scratch_->string();
    fs::current_path(root_);
}

void InScratchDir::TearDown() {
    fs::current_path(previous_);
    scratch_.reset();
}

bool InScratchDir::exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

bool InScratchDir::is_dir(const std::string& path) { return fs::is_directory(path); }

void remove_tree(const fs::path& root) {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         !ignored && it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root, ignored);
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string name = fs::relative(it->path(), dir).string();
        if (it->is_directory() && !it->is_symlink()) name += '/';
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> temp_files(const std::vector<std::string>& names) {
    std::vector<std::string> found;
    for (const std::string& name : names) {
        const std::string last =
            fs::path(name.back() == '/' ? name.substr(0, name.size() - 1) : name).filename();
        bool temp = last.size() == 8 && last.compare(0, 2, "zq") == 0;
        for (size_t i = 2; temp && i < 8; ++i) temp = last[i] >= '0' && last[i] <= '9';
        if (temp) found.push_back(name);
    }
    return found;
}

void pin_times(const fs::path& root, int64_t access, int64_t write) {
    const struct timespec times[2] = {{time_t(access), 0}, {time_t(write), 0}};
    auto pin = [&](const fs::path& path) {
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            throw std::runtime_error("cannot set the times of " + path.string());
        }
    };
    pin(root);
    if (!fs::is_directory(fs::symlink_status(root))) return;
    for (const auto& entry : fs::recursive_directory_iterator(root)) pin(entry.path());
}

Bytes noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (uint8_t& b : out) b = uint8_t(random());
    return out;
}

Bytes mixed_data(size_t size, uint32_t seed) {
    static const char* const words[] = {"archive ", "block ", "frame ",  "catalogue ", "the ",
                                        "of ",      "and ",   "splay ",  "tree ",      "match ",
                                        "literal ", "\n",     "0x5A51 ", "temporary "};
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 28) == 0) {
            // Now and then a run of noise.
            for (int i = 0; i < 24 && out.size() < size; ++i) {
                seed = seed * 1664525u + 1013904223u;
                out.push_back(uint8_t(seed >> 24));
            }
        } else {
            for (const char* w = words[(seed >> 8) % 14]; *w != '\0' && out.size() < size; ++w) {
                out.push_back(uint8_t(*w));
            }
        }
    }
    return out;
}

Bytes text_lines(size_t size, char seed) {
    Bytes out;
    for (size_t i = 0; out.size() < size; ++i) {
        const std::string line =
            "line " + std::to_string(i % 500) + " of " + std::string(1, seed) + " says hello\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(size);
    return out;
}

std::string stub_path() {
    const char* stub = std::getenv("ZQSFX_STUB");
    return stub != nullptr && *stub != '\0' ? stub : ZQSFX_DEFAULT_STUB;
}

std::string encrypted_stub_path() {
    const char* stub = std::getenv("ZQSFX_ENCRYPTED_STUB");
    return stub != nullptr && *stub != '\0' ? stub : stub_path();
}

std::string wide_stub_path() {
    const char* stub = std::getenv("ZQSFX_WIDE_STUB");
    return stub != nullptr && *stub != '\0' ? stub : stub_path();
}

std::string host_stub_path() { return ZQSFX_DEFAULT_STUB; }

std::string zqpack_path() { return ZQPACK_PATH; }

bool stub_reads_wide_only() {
    static const bool wide_only = zq::stub_reads_wide_only(read_bytes(stub_path()));
    return wide_only;
}

Bytes self_extractor_of(const Bytes& stub, const Bytes& archive) {
    constexpr size_t kTail = zq::kLocatorSize + zq::kTrailerSize;
    if (archive.size() <= kTail) return self_extractor_bytes(stub, archive);
    const uint8_t* locator = archive.data() + archive.size() - kTail;
    if (zq::load_u32(locator + zq::kLocatorSize) != zq::kWideMark ||
        zq::load_u32(locator) != zq::load_u32(zq::kLocatorMagic))
        return self_extractor_bytes(stub, archive);
    const Bytes bare(archive.begin(), archive.end() - long(kTail));
    return self_extractor_bytes(stub, bare, true, zq::load_u64(locator + 12));
}

void write_sfx(const fs::path& path, const Bytes& archive, const std::string& password) {
    static const Bytes stub = read_bytes(stub_path());
    write_bytes(path, self_extractor_of(stub, archive), true);
    expect_json_listing(path, password);
}

std::string piped_linux_console(const std::string& windows_bytes) {
    // A bar's whole painting: the blank start and scale (or the copying note),
    // the return, the marks, and when the file got that far the return and
    // its "done." line. A failure's own CR LF after the marks stays.
    static const std::regex progress(
        " {18}(?:(?:----\\+){9}----\\||Copying original data\\.\\.\\. {27})\r {15}: \\|?#*"
        "(?:\r(?!\n)(?: {15}: done\\. {46}\r\n)?)?");
    std::string bytes = std::regex_replace(windows_bytes, progress, "");
    std::string shown;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
            shown += '\n';
        } else {
            shown += bytes[i] == '\\' ? '/' : bytes[i];
        }
    }
    return shown;
}

}  // namespace zq::test
