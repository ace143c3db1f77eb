// zqpack's reading side: the extractor's own catalogue reader and block
// streams, used on an archive file given by path.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/catalogue.h"
#include "archive/tree.h"
#include "pack/host_names.h"

namespace zq::pack {

// A failure that ends zqpack's list, test or extract with `status`, a code
// of status.h, as the self-extractor ends on the same archive.
class StatusError : public std::runtime_error {
public:
    StatusError(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

struct ArchiveEntry {
    std::string path;         // '/'-separated, for display: UTF-8 when the archive says how
    std::string stored_path;  // the same with each name as its bytes are stored
    FileRecord record;
    std::string link_target;  // for a link record
    std::string run_args;     // for the file marked to run after extraction
};

// An archive opened for reading: the trailer followed, the catalogue read and
// checked. A protected archive takes `password` when it is given, else holds
// the dialogue `ask` (null: it is refused as kExitAbort, no answer). Throws
// StatusError with the code the reader ended with.
class OpenedArchive {
public:
    OpenedArchive(const std::string& path, const std::optional<std::string>& password,
                  const PasswordDialogue* ask = nullptr);
    ~OpenedArchive();
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    const std::string& path() const { return path_; }
    FileOffset archive_offset() const { return spot_.archive_offset; }
    bool wide() const { return spot_.wide(); }
    // The files in view: every file, or those a selection kept.
    size_t entry_count() const { return order_.size(); }
    const FileRecord& record(size_t index) const { return *catalogue_.file_table[order_[index]]; }
    // Made on demand: the paths of 65535 files in deep folders would take
    // as much memory again as the whole catalogue.
    ArchiveEntry entry(size_t index) const;
    // Keeps in view only the files for which `keep` returns true.
    template <typename Keep>
    void keep_only(Keep keep) {
        std::vector<uint32_t> kept;
        for (size_t i = 0; i < order_.size(); ++i) {
            if (keep(entry(i))) kept.push_back(order_[i]);
        }
        order_ = std::move(kept);
    }
    // The folders above the file in view at `index` where the extractor
    // places it: none when the archive extracts flat.
    uint32_t depth(size_t index) const;
    size_t folder_count() const { return folders_.size(); }
    std::string folder_path(size_t index) const;  // '/'-separated, ending in '/'
    // What the archive's tree supplement holds of folder `index` (its mode
    // and times); false when it holds nothing of it.
    bool folder_tree(size_t index, TreeFolder* folder) const;
    // The path of the file whose data the file in view at `index` shares as
    // a second name (a hard link); empty when it is no second name.
    std::string hard_link_path(size_t index) const;
    bool full_path() const { return catalogue_.full_path != 0; }
    bool dir_tree() const { return catalogue_.dir_tree != 0; }
    bool has_password() const { return has_password_ || encrypted(); }
    bool encrypted() const { return context_.sealed != nullptr; }
    // Lets `context`, reading the archive through a handle of its own, read
    // it as this one does (through the decrypting view of an encrypted
    // archive). False when there is no memory for it.
    bool share_reading(StreamContext* context) const;
    uint32_t dir_count() const { return catalogue_.dir_count; }
    // The Windows code page the names were converted from; 0: shown as stored.
    uint16_t code_page() const { return host_names_.code_page; }

private:
    ArchiveEntry entry_of(uint32_t file) const;  // `file`: an index of the catalogue

    std::string path_;
    FileHandle file_ = kNoFile;
    ArchiveSpot spot_{};
    bool has_password_ = false;
    mutable StreamContext context_{};  // also reads link targets on demand
    Catalogue catalogue_{};
    HostNames host_names_;
    std::vector<uint32_t> order_;    // file indices in view
    std::vector<uint32_t> folders_;  // folder records, one per id
    TreeSupplement tree_{};          // all zero when the archive carries none
};

// Opens `path` and finds the archive behind its trailer: where it lies.
// Throws StatusError (kExitIoError, as the self-extractor ends when its
// trailer cannot be followed).
FileHandle open_archive_file(const std::string& path, ArchiveSpot* spot);

// The listing for scripts: one JSON object, always valid UTF-8 (names that
// are not are shown with replacements and their bytes in hex).
std::string json_listing(const OpenedArchive& archive);
int list_archive(const OpenedArchive& archive, bool json);
// Checks every file in view through the extractor's own reading of a file's
// data; 0, or kExitDecodeFailed when any file fails, as the self-extractor's
// test does.
int test_archive(const OpenedArchive& archive, unsigned threads);

}  // namespace zq::pack
