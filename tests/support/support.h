// The helpers every test suite shares: scratch folders, files as bytes,
// deterministic test data and the programs under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "writer/writer.h"

namespace zq::test {

namespace fs = std::filesystem;

// ------------------------------------------------------------ files

Bytes bytes_of(const std::string& text);
std::string text_of(const Bytes& bytes);
// The whole file; empty when it cannot be read.
Bytes read_bytes(const fs::path& path);
std::string read_text(const fs::path& path);
// Creates the parent folders; `executable` gives mode 0755.
void write_bytes(const fs::path& path, const Bytes& bytes, bool executable = false);

// A fresh folder /tmp/zq_<tag>_XXXXXX, removed with everything in it
// (read-only entries included) when the object goes.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag = "test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string string() const { return path_.string(); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Every name under `dir`, relative, sorted, folders ending in '/' (links
// to folders are not followed).
std::vector<std::string> listing(const fs::path& dir);
// The names among `names` whose last part is a temporary file's: "zq" and
// six digits.
std::vector<std::string> temp_files(const std::vector<std::string>& names);

// A test run inside a fresh scratch folder (root_), going back to the
// folder it started in afterwards.
class InScratchDir : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static void write_file(const std::string& path, const std::string& content) {
        write_bytes(path, bytes_of(content));
    }
    static std::string read_file(const std::string& path) { return read_text(path); }
    static bool exists(const std::string& path);  // the entry itself, a link included
    static bool is_dir(const std::string& path);
    static std::string cwd() { return fs::current_path().string(); }

    std::string root_;

private:
    std::unique_ptr<ScratchDir> scratch_;
    fs::path previous_;
};

// Makes every entry under `root` writable by its owner, then removes it all.
void remove_tree(const fs::path& root);

// Sets the access and write times of `root` and everything under it. The
// packer records access times, and reading a file may move its access time
// (relatime moves it when it is not newer than the change time), so a test
// that packs a tree twice pins the times before each pack. An access time in
// the future is never moved by relatime at all.
constexpr int64_t kPinnedAccessTime = 2000000000;  // 2033-05-18
constexpr int64_t kPinnedWriteTime = 1400000000;   // 2014-05-13
void pin_times(const fs::path& root, int64_t access = kPinnedAccessTime,
               int64_t write = kPinnedWriteTime);

// ------------------------------------------------------------ data

// Pseudo-random bytes that do not compress.
Bytes noise(size_t size, uint32_t seed);
// Text-like runs with a share of noise, about as compressible as ordinary
// files.
Bytes mixed_data(size_t size, uint32_t seed);
// Numbered lines that compress well.
Bytes text_lines(size_t size, char seed);

// ------------------------------------------------------------ programs

// The stub under test: ZQSFX_STUB when set (the Windows one, say), else this
// build's zqsfx.
std::string stub_path();
// The stub under test for encrypted archives: ZQSFX_ENCRYPTED_STUB when set
// (the Windows one that decrypts), else stub_path().
std::string encrypted_stub_path();
// The stub under test for wide archives: ZQSFX_WIDE_STUB when set (the
// Windows one that reads the wide form), else stub_path().
std::string wide_stub_path();
// Whether the stub under test reads the wide form only (the wide Windows
// stub): archive_of then writes the wide form, as zqpack does for that stub,
// and write_sfx takes the catalogue's offset from its tail.
bool stub_reads_wide_only();
// This build's own zqsfx, whatever stub is under test.
std::string host_stub_path();
std::string zqpack_path();
// Stub + archive + trailer. A bare wide archive (zqpack's with `--stub none
// --wide`, archive_of's for a stub that reads the wide form only) ends with
// its tail already: that tail is written anew, with its catalogue's offset.
Bytes self_extractor_of(const Bytes& stub, const Bytes& archive);
// self_extractor_of, as an executable file at `path`; its JSON listing is
// checked (json_check.h).
void write_sfx(const fs::path& path, const Bytes& archive, const std::string& password = "");

// ------------------------------------------------------------ console

// What the Linux extractor (the stub, or zqpack's extraction) writes to a
// pipe or a file where the Windows stub writes `windows_bytes`: the file
// lines without their progress bars, lines ended by LF alone (the unechoed
// Enter of a password too) and paths shown with '/'.
std::string piped_linux_console(const std::string& windows_bytes);

}  // namespace zq::test
