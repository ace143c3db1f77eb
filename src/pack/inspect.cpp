#include "pack/inspect.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "archive/dir_index.h"
#include "archive/file_data.h"
#include "archive/links.h"
#include "archive/pipeline.h"
#include "archive/release.h"
#include "archive/sealed.h"
#include "archive/tree.h"

namespace zq::pack {

namespace {

[[noreturn]] void fail_with(int status, const std::string& message) {
    throw StatusError(status, message);
}

// A protected archive with no password given and nobody to ask.
int no_answer(void*, char*) { return kExitAbort; }
void no_reply(void*, bool) {}

// A path as shown (UTF-8 when the archive says how) and as stored.
struct EntryPath {
    std::string shown;
    std::string stored;
};

EntryPath entry_name(const Catalogue& catalogue, const HostNames& names, uint32_t ref) {
    std::string shown = name_text(catalogue, ref);
    auto stored = names.stored.find(ref);
    return {shown, stored != names.stored.end() ? stored->second : shown};
}

// The path of folder `record`, '/'-separated and ending in '/', through the
// index the catalogue check built (its chains end within the depth limit).
EntryPath folder_entry_path(const Catalogue& catalogue, const HostNames& names, uint32_t record) {
    std::vector<uint32_t> chain;
    for (uint32_t at = uint32_t(record) + 1; at != 0 && chain.size() <= kMaxDirDepth;
         at = catalogue.dir_parent[at - 1]) {
        chain.push_back(at - 1);
    }
    EntryPath path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const EntryPath name = entry_name(catalogue, names, catalogue.dir_table[*it].name());
        path.shown += name.shown + "/";
        path.stored += name.stored + "/";
    }
    return path;
}

// What is wrong with a file's data, in a few words; empty when nothing is.
std::string data_problem(const FileRecord& record, const FileData& data) {
    char text[64];
    switch (data.outcome) {
        case kDataOk: return "";
        case kDataOutside: return "data lies outside the file";
        case kDataCutShort: return "data cut short";
        case kDataBadBlock: return "a block does not decode";
        case kDataShortWrite: return "cannot write the data";
        case kDataBadLink: return "a link's target is empty or longer than a path";
        case kDataBadCrc:
            std::snprintf(text, sizeof text, "CRC-32 is %08" PRIx32 ", not %08" PRIx32, data.crc,
                          record.crc32());
            return text;
        default:
            // At most one block past original_size is decoded.
            return "decodes to " + std::to_string(data.bytes) + " bytes, not " +
                   std::to_string(record.original_size());
    }
}

// Expands one file's data without writing it anywhere; the empty string when
// it comes out exactly as recorded, size and CRC-32. A link's target must
// also be one the extractor makes, `depth` folders below the run folder.
std::string check_file(StreamContext& context, int64_t archive_offset, const FileRecord& record,
                       uint32_t depth) {
    if (!record.is_symlink())
        return data_problem(record,
                            read_file_data(&context, archive_offset, record, kNoFile, nullptr));
    char target[kMaxPath + 1];
    const FileData data = read_link_target(&context, archive_offset, record, target);
    if (data.outcome != kDataOk) return data_problem(record, data);
    if (!link_target_is_safe(reinterpret_cast<const uint8_t*>(target), record.original_size(),
                             depth)) {
        return "the link's target may lead out of the extraction folder";
    }
    return "";
}

// A link record's target as stored, for the listing; empty when it cannot be
// read (zqpack test names the fault).
std::string read_link_text(StreamContext& context, int64_t archive_offset,
                           const FileRecord& record) {
    char text[kMaxPath + 1];
    const FileData data = read_link_target(&context, archive_offset, record, text);
    return data.outcome == kDataOk ? std::string(text, record.original_size()) : "";
}

}  // namespace

FileHandle open_archive_file(const std::string& path, ArchiveSpot* spot) {
    FileHandle file = file_open_read(path.c_str());
    if (file == kNoFile) fail_with(kExitIoError, "cannot open " + path);
    const int result = read_trailer(file, spot);
    if (result != 0) {
        file_close(file);
        fail_with(kExitIoError,
                  path + (result == kExitIoError ? " is not an archive (too short or too large)"
                                                 : " is not an archive (no trailer)"));
    }
    return file;
}

OpenedArchive::OpenedArchive(const std::string& path, const std::optional<std::string>& password,
                             const PasswordDialogue* ask)
    : path_(path) {
    file_ = open_archive_file(path, &spot_);
    uint8_t header[kHeaderSize];
    has_password_ = file_read(file_, header, kHeaderSize) == int32_t(kHeaderSize) &&
                    (load_u16(header) & kFlagPassword) != 0;
    file_seek(file_, spot_.archive_offset, kSeekSet);
    // A constructor that throws runs no destructor: give back what was taken.
    auto give_up = [this, &path](int status) {
        release_catalogue(&catalogue_);
        release_stream(&context_);
        file_close(file_);
        file_ = kNoFile;
        fail_with(status, path + ": " + exit_meaning(status));
    };
    if (stream_init(&context_) != kStreamOk) give_up(kExitNoMemory);
    context_.archive_file = file_;
    uint32_t count = 0;
    // Listing and testing read unmarked archives with the fixed two-byte
    // ranges; extraction follows this system's own rule, as its path code does.
    host_names_.fixed_lead_bytes_when_unmarked = true;
    catalogue_.host_names = take_host_names;
    catalogue_.host_names_context = &host_names_;
    GivenPassword given{password ? password->c_str() : nullptr, false};
    const PasswordDialogue dialogue = password ? given_password_dialogue(&given)
                                      : ask != nullptr
                                          ? *ask
                                          : PasswordDialogue{no_answer, no_reply, nullptr};
    int code = read_catalogue(&context_, &catalogue_, spot_, &count, dialogue);
    if (code != 0) give_up(code);
    // A damaged tree supplement refuses the archive, as it does in the
    // extractor, before anything is listed or tested.
    if (catalogue_.tree_supplement) {
        code = read_tree_supplement(&context_, spot_.archive_offset, catalogue_.catalogue_offset,
                                    catalogue_, &tree_);
        if (code != 0) give_up(code);
    }

    order_.resize(count);
    for (uint32_t i = 0; i < count; ++i) order_[i] = i;
    // Each folder once: the first record in walk order with its id, as the
    // extractor finds it.
    for (uint32_t i = 0; i < catalogue_.dir_count; ++i) {
        if (catalogue_.dir_by_id[catalogue_.dir_table[i].id()] == i + 1) folders_.push_back(i);
    }
    // The arguments of a file marked to run must end inside their pool, as
    // the self-extractor requires before it writes anything.
    for (uint32_t i = 0; i < count; ++i) {
        const FileRecord& record = *catalogue_.file_table[i];
        if (record.runs_after() && run_arguments(catalogue_, record.name()) == nullptr) {
            give_up(kExitInvalidArchive);
        }
    }
}

bool OpenedArchive::share_reading(StreamContext* context) const {
    return context_.sealed == nullptr || sealed_attach(context, context_.sealed->key) == 0;
}

std::string OpenedArchive::folder_path(size_t index) const {
    return folder_entry_path(catalogue_, host_names_, folders_[index]).shown;
}

bool OpenedArchive::folder_tree(size_t index, TreeFolder* folder) const {
    // The supplement lists folders by ascending record.
    uint32_t low = 0;
    uint32_t high = tree_.folder_count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        const TreeFolder entry = tree_folder(tree_, middle);
        if (entry.record == folders_[index]) {
            *folder = entry;
            return true;
        }
        if (entry.record < folders_[index]) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return false;
}

std::string OpenedArchive::hard_link_path(size_t index) const {
    const int64_t first = tree_link_first(tree_, order_[index]);
    return first < 0 ? "" : entry_of(uint32_t(first)).path;
}

ArchiveEntry OpenedArchive::entry(size_t index) const { return entry_of(order_[index]); }

ArchiveEntry OpenedArchive::entry_of(uint32_t file) const {
    const FileRecord& record = *catalogue_.file_table[file];
    // Folder paths as the extractor finds them, '/'-separated for display.
    EntryPath path;
    if (catalogue_.dir_count != 0 && record.dir_id() != 0) {
        const uint32_t at = catalogue_.dir_by_id[record.dir_id()];
        if (at != 0) path = folder_entry_path(catalogue_, host_names_, at - 1);
    }
    const EntryPath name = entry_name(catalogue_, host_names_, record.name());
    std::string link;
    if (record.is_symlink()) link = read_link_text(context_, spot_.archive_offset, record);
    std::string run_args;
    if (record.runs_after()) run_args = run_arguments(catalogue_, record.name());
    return ArchiveEntry{path.shown + name.shown, path.stored + name.stored, record, link, run_args};
}

uint32_t OpenedArchive::depth(size_t index) const {
    const FileRecord& record = *catalogue_.file_table[order_[index]];
    if (!full_path() || catalogue_.dir_count == 0 || record.dir_id() == 0) return 0;
    const uint32_t at = catalogue_.dir_by_id[record.dir_id()];
    if (at == 0) return 0;
    const std::string path = folder_entry_path(catalogue_, host_names_, at - 1).shown;
    return uint32_t(std::count(path.begin(), path.end(), '/'));
}

OpenedArchive::~OpenedArchive() {
    if (tree_.plain != nullptr) mem_free(tree_.plain);
    if (file_ != kNoFile) file_close(file_);
    release_catalogue(&catalogue_);
    release_stream(&context_);
}

namespace {

// Files of more than one frame are checked one after another, each with its
// blocks spread over `threads` pipeline workers.
bool check_large_files(const OpenedArchive& archive, const std::vector<size_t>& large,
                       const std::vector<uint32_t>& depths, unsigned threads,
                       std::vector<std::string>& problems) {
    ArchiveSpot spot{};
    FileHandle file = open_archive_file(archive.path(), &spot);
    StreamContext context{};
    BlockPipeline pipeline{};
    bool ready = stream_init(&context) == kStreamOk && archive.share_reading(&context);
    if (ready && pipeline_start(&pipeline, pipeline_worker_count(threads)) == kStreamOk)
        context.pipeline = &pipeline;
    context.archive_file = file;
    for (size_t i : large) {
        if (ready)
            problems[i] = check_file(context, spot.archive_offset, archive.record(i), depths[i]);
    }
    pipeline_finish(&pipeline);
    release_stream(&context);
    file_close(file);
    return ready;
}

}  // namespace

int test_archive(const OpenedArchive& archive, unsigned threads) {
    const size_t count = archive.entry_count();
    std::vector<std::string> problems(count);
    // One frame or less: nothing to share out within the file, so such files
    // are shared out among the threads instead.
    std::vector<size_t> small;
    std::vector<size_t> large;
    std::vector<uint32_t> depths(count);
    for (size_t i = 0; i < count; ++i) {
        const FileRecord& record = archive.record(i);
        if (record.is_symlink()) depths[i] = archive.depth(i);
        const bool many_blocks = record.block_coded() && record.stored_size() > kFrameCapacity;
        (threads > 1 && many_blocks ? large : small).push_back(i);
    }
    std::atomic<size_t> next{0};
    // The status a worker that could not start ends the test with.
    std::atomic<int> setup_failed{kExitOk};
    auto work = [&] {
        // Each worker reads through its own handle and its own codec.
        ArchiveSpot spot{};
        FileHandle file = kNoFile;
        try {
            file = open_archive_file(archive.path(), &spot);
        } catch (const StatusError& e) {
            setup_failed = e.status();
            return;
        }
        StreamContext context{};
        if (stream_init(&context) != kStreamOk || !archive.share_reading(&context)) {
            setup_failed = kExitNoMemory;
            release_stream(&context);
            file_close(file);
            return;
        }
        context.archive_file = file;
        for (size_t k; (k = next++) < small.size();) {
            problems[small[k]] = check_file(context, spot.archive_offset, archive.record(small[k]),
                                            depths[small[k]]);
        }
        file_close(file);
        release_stream(&context);
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < std::max(1u, threads); ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    if (!large.empty() && !check_large_files(archive, large, depths, threads, problems))
        setup_failed = kExitNoMemory;
    if (setup_failed != kExitOk) {
        fail_with(setup_failed, "cannot set up the test of " + archive.path() + ": " +
                                    exit_meaning(setup_failed));
    }

    size_t failed = 0;
    uint64_t bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        bytes += archive.record(i).original_size();
        if (problems[i].empty()) continue;
        ++failed;
        std::printf("FAILED  %s: %s\n", archive.entry(i).path.c_str(), problems[i].c_str());
    }
    std::printf("%zu files, %" PRIu64 " bytes: %zu ok, %zu failed\n", count, bytes, count - failed,
                failed);
    return failed == 0 ? kExitOk : kExitDecodeFailed;
}

}  // namespace zq::pack
