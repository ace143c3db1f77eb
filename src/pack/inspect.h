// zqpack's reading side: the extractor's own catalogue reader and block
// streams, used on an archive file given by path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "pack/host_names.h"

namespace zq::pack {

struct ArchiveEntry {
    std::string path;         // '/'-separated, for display: UTF-8 when the archive says how
    std::string stored_path;  // the same with each name as its bytes are stored
    FileRecord record;
};

// An archive opened for reading: the trailer followed, the catalogue read and
// checked (holding the password dialogue unless a password is given).
class OpenedArchive {
public:
    OpenedArchive(const std::string& path, const std::optional<std::string>& password);
    ~OpenedArchive();
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    const std::string& path() const { return path_; }
    int32_t archive_offset() const { return archive_offset_; }
    const std::vector<ArchiveEntry>& entries() const { return entries_; }
    bool full_path() const { return catalogue_.full_path != 0; }
    bool dir_tree() const { return catalogue_.dir_tree != 0; }
    bool has_password() const { return has_password_; }
    uint16_t dir_count() const { return catalogue_.dir_count; }
    // The Windows code page the names were converted from; 0: shown as stored.
    uint16_t code_page() const { return host_names_.code_page; }

private:
    std::string path_;
    FileHandle file_ = kNoFile;
    int32_t archive_offset_ = 0;
    bool has_password_ = false;
    StreamContext context_{};
    Catalogue catalogue_{};
    HostNames host_names_;
    std::vector<ArchiveEntry> entries_;
};

// Opens `path` and finds the archive behind its trailer: the archive's offset.
// Throws std::runtime_error.
FileHandle open_archive_file(const std::string& path, int32_t* archive_offset);

int list_archive(const OpenedArchive& archive, bool json);
int test_archive(const OpenedArchive& archive, unsigned threads);

}  // namespace zq::pack
