#include "pack/inspect.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <map>
#include <stdexcept>
#include <thread>

#include "archive/pipeline.h"
#include "archive/release.h"
#include "archive/stream_frames.h"

namespace zq::pack {

namespace {

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

std::string reader_message(int code) {
    switch (code) {
    case 1: return "no password given";
    case 3: return "file I/O error (archive cut short?)";
    case 4: return "wrong password";
    case 5: return "out of memory";
    case 8: return "invalid archive";
    default: return "cannot read the catalogue (code " + std::to_string(code) + ")";
    }
}

// Directory paths as the extractor finds them: the first directory in walk
// order with a given id wins. The catalogue has been checked, so the walk
// ends and every path fits.
void collect_dir_paths(const Catalogue& catalogue, uint16_t first, const std::string& prefix,
                       std::map<int16_t, std::string>& paths) {
    for (uint16_t i = first;;) {
        const DirRecord& dir = catalogue.dir_table[i];
        std::string path = prefix + name_text(catalogue, dir.name()) + "/";
        paths.emplace(dir.id(), path);
        if (dir.child() != 0) collect_dir_paths(catalogue, dir.child(), path, paths);
        if (dir.next() == 0) break;
        i = dir.next();
    }
}

std::string format_time(int32_t unix_time) {
    std::time_t t = unix_time;
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "-";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
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

double ratio(uint64_t stored, uint64_t size) { return size == 0 ? 100.0 : 100.0 * double(stored) / double(size); }

// Expands one file's data without writing it anywhere; the empty string when
// it comes out exactly as recorded.
std::string check_file(StreamContext& context, int32_t archive_offset, const FileRecord& record) {
    int64_t at = int64_t(archive_offset) + record.data_offset();
    if (at > 0x7FFFFFFF || file_seek(context.archive_file, int32_t(at), kSeekSet) != int32_t(at)) {
        return "data lies outside the file";
    }
    if (record.original_size() == 0) return "";
    if (!record.block_coded()) {
        for (uint32_t left = record.original_size(); left > 0;) {
            uint32_t k = std::min<uint32_t>(left, kBlockSize);
            if (file_read(context.archive_file, context.plain_buf, k) != int32_t(k)) return "data cut short";
            left -= k;
        }
        return "";
    }
    stream_reset(&context);
    context.coded_left = int32_t(record.stored_size());
    while (context.coded_left > 0) {
        uint16_t n = 0;
        int16_t status = stream_next(&context, &n);
        if (status == kStreamShortRead) return "data cut short";
        if (status != kStreamOk) return "a block does not decode";
        if (context.plain_done > record.original_size()) break;
    }
    if (context.plain_done != record.original_size()) {
        return "decodes to " + std::to_string(context.plain_done) + " bytes, not " +
               std::to_string(record.original_size());
    }
    if (context.coded_done != record.stored_size()) return "frames overrun the stored size";
    return "";
}

}  // namespace

FileHandle open_archive_file(const std::string& path, int32_t* archive_offset) {
    FileHandle file = file_open_read(path.c_str());
    if (file == kNoFile) fail("cannot open " + path);
    int32_t size = file_seek(file, 0, kSeekEnd);
    uint8_t trailer[4];
    if (size < int32_t(kHeaderSize + 4) || file_seek(file, size - 4, kSeekSet) != size - 4 ||
        file_read(file, trailer, 4) != 4) {
        file_close(file);
        fail(path + " is not an archive (too short or too large)");
    }
    int32_t offset = int32_t(load_u32(trailer));
    if (offset < 0 || offset > size - int32_t(kHeaderSize + 4) || file_seek(file, offset, kSeekSet) != offset) {
        file_close(file);
        fail(path + " is not an archive (no trailer)");
    }
    *archive_offset = offset;
    return file;
}

OpenedArchive::OpenedArchive(const std::string& path, const std::optional<std::string>& password) : path_(path) {
    file_ = open_archive_file(path, &archive_offset_);
    uint8_t header[kHeaderSize];
    has_password_ = file_read(file_, header, kHeaderSize) == int32_t(kHeaderSize) &&
                    (load_u16(header) & kFlagPassword) != 0;
    file_seek(file_, archive_offset_, kSeekSet);
    // A constructor that throws runs no destructor: give back what was taken.
    auto give_up = [this](const std::string& message) {
        release_catalogue(&catalogue_);
        release_stream(&context_);
        file_close(file_);
        file_ = kNoFile;
        fail(message);
    };
    if (stream_init(&context_) != kStreamOk) give_up("out of memory");
    stream_reset(&context_);
    context_.archive_file = file_;
    uint16_t count = 0;
    int code = read_catalogue_with_password(&context_, &catalogue_, archive_offset_, &count,
                                            password ? password->c_str() : nullptr);
    if (code != 0) give_up(path + ": " + reader_message(code));

    std::map<int16_t, std::string> dir_paths;
    if (catalogue_.dir_count != 0) collect_dir_paths(catalogue_, 0, "", dir_paths);
    for (uint32_t i = 0; i < count; ++i) {
        const FileRecord& record = *catalogue_.file_table[i];
        std::string path_text;
        if (catalogue_.dir_count != 0 && record.dir_id() != 0) path_text = dir_paths[int16_t(record.dir_id())];
        path_text += name_text(catalogue_, record.name());
        entries_.push_back(ArchiveEntry{path_text, record});
    }
}

OpenedArchive::~OpenedArchive() {
    if (file_ != kNoFile) file_close(file_);
    release_catalogue(&catalogue_);
    release_stream(&context_);
}

int list_archive(const OpenedArchive& archive, bool json) {
    uint64_t total_size = 0;
    uint64_t total_stored = 0;
    for (const ArchiveEntry& entry : archive.entries()) {
        total_size += entry.record.original_size();
        total_stored += entry.record.stored_size();
    }
    if (json) {
        std::printf("{\"archive\": %s, \"full_path\": %s, \"dir_tree\": %s, \"password\": %s, \"files\": [",
                    json_string(archive.path()).c_str(), archive.full_path() ? "true" : "false",
                    archive.dir_tree() ? "true" : "false", archive.has_password() ? "true" : "false");
        const char* separator = "\n";
        for (const ArchiveEntry& entry : archive.entries()) {
            const FileRecord& r = entry.record;
            std::printf("%s  {\"path\": %s, \"size\": %" PRIu32 ", \"stored\": %" PRIu32
                        ", \"method\": %u, \"coded\": %s, \"write_time\": %" PRId32
                        ", \"access_time\": %" PRId32 ", \"attributes\": %u}",
                        separator, json_string(entry.path).c_str(), r.original_size(), r.stored_size(),
                        unsigned(r.method()), r.block_coded() ? "true" : "false", r.write_time(),
                        r.access_time(), unsigned(r.attributes()));
            separator = ",\n";
        }
        std::printf("\n], \"total\": {\"files\": %zu, \"size\": %" PRIu64 ", \"stored\": %" PRIu64 "}}\n",
                    archive.entries().size(), total_size, total_stored);
        return 0;
    }
    std::printf("%12s %12s %7s %-6s %-19s  %s\n", "size", "stored", "ratio", "method", "modified (UTC)", "path");
    for (const ArchiveEntry& entry : archive.entries()) {
        const FileRecord& r = entry.record;
        std::printf("%12" PRIu32 " %12" PRIu32 " %6.1f%% %-6s %-19s  %s\n", r.original_size(), r.stored_size(),
                    ratio(r.stored_size(), r.original_size()), r.block_coded() ? "coded" : "raw",
                    format_time(r.write_time()).c_str(), entry.path.c_str());
    }
    std::printf("%12" PRIu64 " %12" PRIu64 " %6.1f%% %zu files\n", total_size, total_stored,
                ratio(total_stored, total_size), archive.entries().size());
    return 0;
}

namespace {

// Files of more than one frame are checked one after another, each with its
// blocks spread over `threads` pipeline workers.
bool check_large_files(const OpenedArchive& archive, const std::vector<size_t>& large, unsigned threads,
                       std::vector<std::string>& problems) {
    int32_t offset = 0;
    FileHandle file = open_archive_file(archive.path(), &offset);
    StreamContext context{};
    BlockPipeline pipeline{};
    bool ready = stream_init(&context) == kStreamOk;
    if (ready && pipeline_start(&pipeline, pipeline_worker_count(threads)) == kStreamOk) context.pipeline = &pipeline;
    context.archive_file = file;
    for (size_t i : large) {
        if (ready) problems[i] = check_file(context, offset, archive.entries()[i].record);
    }
    pipeline_finish(&pipeline);
    release_stream(&context);
    file_close(file);
    return ready;
}

}  // namespace

int test_archive(const OpenedArchive& archive, unsigned threads) {
    const std::vector<ArchiveEntry>& entries = archive.entries();
    std::vector<std::string> problems(entries.size());
    // One frame or less: nothing to share out within the file, so such files
    // are shared out among the threads instead.
    std::vector<size_t> small;
    std::vector<size_t> large;
    for (size_t i = 0; i < entries.size(); ++i) {
        const FileRecord& record = entries[i].record;
        const bool many_blocks = record.block_coded() && record.stored_size() > kFrameCapacity;
        (threads > 1 && many_blocks ? large : small).push_back(i);
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> setup_failed{false};
    auto work = [&] {
        // Each worker reads through its own handle and its own codec.
        int32_t offset = 0;
        FileHandle file = kNoFile;
        try {
            file = open_archive_file(archive.path(), &offset);
        } catch (const std::exception&) {
            setup_failed = true;
            return;
        }
        StreamContext context{};
        if (stream_init(&context) != kStreamOk) {
            setup_failed = true;
            release_stream(&context);
            file_close(file);
            return;
        }
        context.archive_file = file;
        for (size_t k; (k = next++) < small.size();) {
            problems[small[k]] = check_file(context, offset, entries[small[k]].record);
        }
        file_close(file);
        release_stream(&context);
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < std::max(1u, threads); ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    if (!large.empty() && !check_large_files(archive, large, threads, problems)) setup_failed = true;
    if (setup_failed) fail("cannot set up the test of " + archive.path());

    size_t failed = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        bytes += entries[i].record.original_size();
        if (problems[i].empty()) continue;
        ++failed;
        std::printf("FAILED  %s: %s\n", entries[i].path.c_str(), problems[i].c_str());
    }
    std::printf("%zu files, %" PRIu64 " bytes: %zu ok, %zu failed\n", entries.size(), bytes,
                entries.size() - failed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace zq::pack
