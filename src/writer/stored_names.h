// How the packer stores names for the extractor it packs for: as they are on
// disk (UTF-8) for a Linux stub or a bare archive, or converted to a Windows
// ANSI code page, refusing what Windows cannot hold.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/names.h"

namespace zq {

class TextConversion;

class NameForm {
public:
    // `code_page` 0: names as on disk. Otherwise one of kMarkedCodePages;
    // throws std::runtime_error for any other.
    explicit NameForm(uint32_t code_page);
    ~NameForm();
    NameForm(const NameForm&) = delete;
    NameForm& operator=(const NameForm&) = delete;

    uint8_t mark() const { return mark_; }
    const LeadBytes& lead() const { return lead_; }
    // The stored bytes of `name`, found at `path`. Throws with the path and
    // the reason when the name cannot be stored at all; a name Windows or
    // the code page cannot hold is noted instead (see refuse_problems) and
    // comes back as it is on disk.
    std::string stored(const std::string& name, const std::filesystem::path& path,
                       bool directory) const;
    // `text` in the code page (as it is for names as on disk); throws naming
    // `what` when the page cannot represent it.
    std::string in_page(const std::string& text, const std::string& what) const;
    // For Windows: notes every two of `names` (UTF-8, all in `folder`) that
    // differ only in letter case, since they would land on one file there.
    void check_distinct(std::vector<std::string> names, const std::filesystem::path& folder) const;
    // Throws with every problem noted so far, one per line, so that a user
    // mends a tree in one pass rather than one rerun per name.
    void refuse_problems() const;
    // For files that all land in one folder (a flat layout): throws naming
    // both paths when two of the names (UTF-8, each with the path it comes
    // from) are the same, or for Windows differ only in letter case.
    void check_flat(std::vector<std::pair<std::string, std::string>> name_and_path) const;

private:
    uint32_t code_page_;
    uint8_t mark_ = 0;
    LeadBytes lead_{};
    std::unique_ptr<TextConversion> to_page_;  // from UTF-8 to the code page
    mutable std::vector<std::string> problems_;
};

// Why Windows cannot hold `name` (UTF-8), as a clause ("its name is a device
// name there"): a device name, a character it refuses, a trailing dot or
// space. Empty when it can.
std::string windows_name_problem(const std::string& name);

// The check a stored name must pass (one safe path component under `lead`),
// as the reader applies it; `directory` also refuses a trailing first byte of
// a two-byte character, which would swallow the separator behind it.
bool is_storable_name(const std::string& name, bool directory, const LeadBytes& lead);

}  // namespace zq
