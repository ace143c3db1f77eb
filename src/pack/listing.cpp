// zqpack list: the archive's folders and files as a table for people or as
// JSON for scripts, with what the tree supplement adds (folder modes and
// times, hard links) where the archive carries one.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "pack/inspect.h"

namespace zq::pack {

namespace {

std::string format_time(int32_t unix_time) {
    std::time_t t = unix_time;
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "-";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// A JSON string of `text` made valid UTF-8 (see valid_utf8).
std::string json_string(const std::string& text) {
    bool replaced = false;
    std::string out = "\"";
    for (char ch : valid_utf8(text, &replaced)) {
        uint8_t c = uint8_t(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", unsigned(uint8_t(c)));
        out += pair;
    }
    return out;
}

double ratio(uint64_t stored, uint64_t size) {
    return size == 0 ? 100.0 : 100.0 * double(stored) / double(size);
}

std::string crc_text(const FileRecord& record) {
    if (!record.has_crc()) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%08" PRIx32, record.crc32());
    return text;
}

std::string mode_text(const FileRecord& record) {
    if (!record.has_mode()) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%04o", unsigned(record.mode()));
    return text;
}

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

// snprintf into a std::string, for the JSON listing's numbers.
template <typename... Args>
void append_format(std::string& out, const char* format, Args... args) {
    char text[256];
    const int length = std::snprintf(text, sizeof text, format, args...);
    if (length > 0) out.append(text, std::min(size_t(length), sizeof text - 1));
}

struct ListingTotals {
    uint64_t size = 0;
    uint64_t stored = 0;
};

ListingTotals listing_totals(const OpenedArchive& archive) {
    ListingTotals totals;
    for (size_t i = 0; i < archive.entry_count(); ++i) {
        totals.size += archive.record(i).original_size();
        totals.stored += archive.record(i).stored_size();
    }
    return totals;
}

}  // namespace

std::string json_listing(const OpenedArchive& archive) {
    const ListingTotals totals = listing_totals(archive);
    std::string out = "{\"archive\": " + json_string(archive.path());
    append_format(
        out,
        ", \"full_path\": %s, \"dir_tree\": %s, \"password\": %s, \"code_page\": %u, \"files\": [",
        archive.full_path() ? "true" : "false", archive.dir_tree() ? "true" : "false",
        archive.has_password() ? "true" : "false", unsigned(archive.code_page()));
    const char* separator = "\n";
    for (size_t i = 0; i < archive.folder_count(); ++i) {
        out += std::string(separator) + "  {\"path\": " + json_string(archive.folder_path(i)) +
               ", \"type\": \"folder\"";
        TreeFolder folder{};
        if (archive.folder_tree(i, &folder)) {
            append_format(
                out, ", \"mode\": \"%04o\", \"write_time\": %" PRId32 ", \"access_time\": %" PRId32,
                unsigned(folder.mode), folder.write_time, folder.access_time);
        }
        out += "}";
        separator = ",\n";
    }
    for (size_t i = 0; i < archive.entry_count(); ++i) {
        const ArchiveEntry entry = archive.entry(i);
        const FileRecord& r = entry.record;
        out += std::string(separator) + "  {\"path\": " + json_string(entry.path);
        append_format(out,
                      ", \"type\": \"%s\", \"size\": %" PRIu64 ", \"stored\": %" PRIu64
                      ", \"method\": %u, \"coded\": %s, \"write_time\": %" PRId32
                      ", \"access_time\": %" PRId32 ", \"attributes\": %u",
                      r.is_symlink() ? "link" : "file", r.original_size(), r.stored_size(),
                      unsigned(r.method()), r.block_coded() ? "true" : "false", r.write_time(),
                      r.access_time(), unsigned(r.attributes()));
        if (r.has_crc()) out += ", \"crc32\": \"" + crc_text(r) + "\"";
        if (r.has_mode()) out += ", \"mode\": \"" + mode_text(r) + "\"";
        if (r.is_symlink()) out += ", \"link_target\": " + json_string(entry.link_target);
        const std::string first = archive.hard_link_path(i);
        if (!first.empty()) out += ", \"hard_link_to\": " + json_string(first);
        if (r.runs_after())
            out += ", \"runs_after\": true, \"run_args\": " + json_string(entry.run_args);
        // The stored bytes, when the path shown is not them.
        bool replaced = false;
        valid_utf8(entry.path, &replaced);
        if (replaced || entry.stored_path != entry.path)
            out += ", \"name_bytes\": \"" + hex(entry.stored_path) + "\"";
        out += "}";
        separator = ",\n";
    }
    append_format(
        out, "\n], \"total\": {\"files\": %zu, \"size\": %" PRIu64 ", \"stored\": %" PRIu64 "}}\n",
        archive.entry_count(), totals.size, totals.stored);
    return out;
}

int list_archive(const OpenedArchive& archive, bool json) {
    if (json) {
        std::fputs(json_listing(archive).c_str(), stdout);
        return 0;
    }
    const ListingTotals totals = listing_totals(archive);
    if (archive.code_page() != 0)
        std::printf("names packed for Windows code page %u\n", unsigned(archive.code_page()));
    std::printf("%12s %12s %7s %-6s %-8s %-4s %-19s  %s\n", "size", "stored", "ratio", "method",
                "crc32", "mode", "modified (UTC)", "path");
    for (size_t i = 0; i < archive.folder_count(); ++i) {
        TreeFolder folder{};
        const bool known = archive.folder_tree(i, &folder);
        char mode[16] = "";
        if (known) std::snprintf(mode, sizeof mode, "%04o", unsigned(folder.mode));
        std::printf("%12s %12s %7s %-6s %-8s %-4s %-19s  %s\n", "", "", "", "folder", "", mode,
                    known ? format_time(folder.write_time).c_str() : "",
                    archive.folder_path(i).c_str());
    }
    for (size_t i = 0; i < archive.entry_count(); ++i) {
        const ArchiveEntry entry = archive.entry(i);
        const FileRecord& r = entry.record;
        std::string path = entry.path;
        if (r.is_symlink()) path += " -> " + entry.link_target;
        const std::string first = archive.hard_link_path(i);
        if (!first.empty()) path += " (hard link to " + first + ")";
        if (r.runs_after())
            path += "  [runs after extraction" +
                    (entry.run_args.empty() ? "" : ": " + entry.run_args) + "]";
        std::printf("%12" PRIu64 " %12" PRIu64 " %6.1f%% %-6s %-8s %-4s %-19s  %s\n",
                    r.original_size(), r.stored_size(), ratio(r.stored_size(), r.original_size()),
                    r.block_coded() ? "coded" : "raw", or_dash(crc_text(r)).c_str(),
                    or_dash(mode_text(r)).c_str(), format_time(r.write_time()).c_str(),
                    path.c_str());
    }
    std::printf("%12" PRIu64 " %12" PRIu64 " %6.1f%% %zu files\n", totals.size, totals.stored,
                ratio(totals.stored, totals.size), archive.entry_count());
    return 0;
}

}  // namespace zq::pack
