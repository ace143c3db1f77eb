// Packer level of the archive writer: plans the tree, codes the file data on
// worker threads (each with its own CodecState), and writes the archive in
// one pass, with the header patched in at the end.
//
// Every block is coded on its own from freshly reset models, so how the work
// is spread over threads cannot change a byte of the output.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "archive/catalogue.h"
#include "archive/links.h"
#include "archive/names.h"
#include "codec/crc32.h"
#include "platform/host_files.h"
#include "writer/packer.h"
#include "writer/stored_names.h"

namespace zq {

namespace fs = std::filesystem;

namespace {

constexpr size_t kNoDir = SIZE_MAX;
constexpr uint32_t kUnitBytes = 32 * kBlockSize;  // one piece of work
constexpr uint64_t kMaxOutput = 0x7FFFFFFF;       // offsets are signed 32-bit
constexpr uint32_t kMaxEntries = 0xFFFF;
constexpr size_t kTempNameLength = 8;      // "zq" and six digits
constexpr size_t kWindowsPathLimit = 259;  // characters before the terminating NUL
constexpr size_t kAssumedInstallFolder = 60;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

int32_t clamp_time(int64_t t) { return int32_t(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX)); }
bool time_fits(int64_t t) { return t >= INT32_MIN && t <= INT32_MAX; }

// What a link in the packed tree becomes.
enum class LinkPolicy {
    kKeep,           // a link record, when its target stays inside the tree
    kFollowWarning,  // the stub cannot make links: store what it leads to, and say so
    kFollowQuietly,  // records without the extension: store what it leads to, silently
};

// ------------------------------------------------------------------ plan

struct PlanDir {
    std::string name;
    std::vector<size_t> subdirs;
    std::vector<size_t> files;
    size_t path_length = 0;  // names each followed by '\'
    uint32_t depth = 0;      // folders from the run folder down to this one
    uint32_t record = 0;
};

struct PlanFile {
    std::string name;
    std::string source;
    uint64_t size = 0;
    HostFileInfo info;
    size_t dir = kNoDir;
    bool link = false;  // the data is link_target
    std::string link_target;
};

class Plan {
public:
    explicit Plan(const NameForm& form) : form_(form) {}
    std::vector<PlanDir> dirs;
    std::vector<PlanFile> files;
    std::vector<size_t> top_dirs;
    std::vector<size_t> top_files;
    std::vector<std::string> skipped;
    std::vector<std::string> warnings;
    LinkPolicy links = LinkPolicy::kFollowQuietly;
    bool full_path = true;
    bool for_windows = false;                          // the stub is a Windows one
    std::function<bool(const std::string&)> excluded;  // see PackOptions

    bool left_out(const std::string& relative) const { return excluded && excluded(relative); }

    // A folder with neither files nor subfolders exists only in the folder
    // tree, so it survives only when the extractor is asked to make the tree.
    bool has_empty_folder() const {
        return std::any_of(dirs.begin(), dirs.end(), [](const PlanDir& dir) {
            return dir.files.empty() && dir.subdirs.empty();
        });
    }

    void add_inputs(const std::vector<fs::path>& inputs) {
        std::vector<std::pair<std::string, fs::path>> named;
        for (const fs::path& input : inputs) {
            std::string name = input_name(input);
            if (!left_out(name)) named.emplace_back(std::move(name), input);
        }
        std::sort(named.begin(), named.end());
        std::vector<std::string> names;
        for (size_t i = 0; i < named.size(); ++i) {
            if (i > 0 && named[i].first == named[i - 1].first)
                fail("two inputs share the name " + named[i].first);
            names.push_back(named[i].first);
        }
        form_.check_distinct(std::move(names), "the archive's top level");
        for (const auto& [name, path] : named) {
            std::error_code ec;
            fs::file_status status = fs::status(path, ec);
            if (ec) fail("cannot read " + path.string() + ": " + ec.message());
            if (fs::is_directory(status)) {
                top_dirs.push_back(add_dir(path, name, name, 0, 0));
            } else if (fs::is_regular_file(status)) {
                top_files.push_back(add_file(path, name, kNoDir));
            } else {
                fail(path.string() + " is neither a file nor a folder");
            }
        }
    }

private:
    const NameForm& form_;

    static std::string input_name(const fs::path& input) {
        fs::path full = fs::absolute(input).lexically_normal();
        if (full.filename().empty()) full = full.parent_path();
        std::string name = full.filename().string();
        if (name.empty()) fail("cannot pack " + input.string() + " under a name of its own");
        return name;
    }

    // `relative` is the folder's path from the top of what is packed, with '/'
    // between the names as they are on disk.
    size_t add_dir(const fs::path& path, const std::string& disk_name, const std::string& relative,
                   size_t parent_length, uint32_t parent_depth) {
        const std::string name = form_.stored(disk_name, path, true);
        size_t length = parent_length + name.size() + 1;
        if (length > kMaxPath) fail("path too long for the archive: " + path.string());
        if (dirs.size() >= kMaxEntries) fail("too many folders (at most 65535)");
        size_t index = dirs.size();
        dirs.push_back(PlanDir{name, {}, {}, length, parent_depth + 1, 0});

        std::vector<std::pair<std::string, fs::directory_entry>> entries;
        std::error_code ec;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (!left_out(relative + "/" + name)) entries.emplace_back(std::move(name), *it);
        }
        if (ec) fail("cannot list " + path.string() + ": " + ec.message());
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string> names;
        for (const auto& entry : entries) names.push_back(entry.first);
        form_.check_distinct(std::move(names), path);
        for (const auto& [child_name, entry] : entries) {
            fs::file_status own = entry.symlink_status(ec);
            fs::file_status target = entry.status(ec);
            if (fs::is_symlink(own) && kept_as_link(entry.path(), child_name, index)) continue;
            if (fs::is_directory(own)) {
                size_t child = add_dir(entry.path(), child_name, relative + "/" + child_name,
                                       length, dirs[index].depth);
                dirs[index].subdirs.push_back(child);
            } else if (fs::is_regular_file(target)) {
                size_t file = add_file(entry.path(), child_name, index);
                dirs[index].files.push_back(file);
            } else {
                // Links to folders are not followed (they may loop), and
                // devices, sockets and pipes have no contents to store.
                skipped.push_back(entry.path().string());
            }
        }
        return index;
    }

    // Adds the link at `path` in folder `dir` as a link record when the
    // policy and its target allow; false to store what it leads to instead.
    bool kept_as_link(const fs::path& path, const std::string& name, size_t dir) {
        if (links == LinkPolicy::kFollowQuietly) return false;
        if (links == LinkPolicy::kFollowWarning) {
            warnings.push_back(path.string() +
                               " is a symbolic link, which a Windows stub cannot make:"
                               " what it leads to is stored instead");
            return false;
        }
        std::error_code ec;
        const std::string target = fs::read_symlink(path, ec).string();
        if (ec) fail("cannot read the link " + path.string() + ": " + ec.message());
        const uint32_t depth = full_path ? dirs[dir].depth : 0;
        if (!link_target_is_safe(reinterpret_cast<const uint8_t*>(target.data()),
                                 uint32_t(target.size()), depth)) {
            warnings.push_back(path.string() + " -> " + target +
                               " leads out of the packed tree: what it leads to is stored instead");
            return false;
        }
        const size_t file = add_file(path, name, dir, &target);
        dirs[dir].files.push_back(file);
        return true;
    }

    // The extractor writes each file first as "zq" and six digits beside its
    // target, in the same 511-byte path buffers: a folder path it could not
    // add that name to would stop the run half way, so it is refused here.
    // Windows programs commonly cannot open paths of 260 characters or more;
    // with the self-extractor run in an install folder of
    // kAssumedInstallFolder characters (such as
    // "C:\Users\someone\AppData\Local\Programs\Some Application\"), a
    // longer path is named in a warning.
    void check_extractor_paths(const fs::path& path, size_t dir_length, size_t name_length) {
        if (dir_length + kTempNameLength > kMaxPath) {
            fail("path too long for the self-extractor (its temporary file beside " +
                 path.string() + " would pass 511 bytes)");
        }
        const size_t longest = dir_length + std::max(name_length, kTempNameLength);
        if (for_windows && kAssumedInstallFolder + longest > kWindowsPathLimit) {
            warnings.push_back(
                path.string() + ": its path of " + std::to_string(longest) +
                " characters may be too long for Windows below an install folder of " +
                std::to_string(kAssumedInstallFolder) + " characters");
        }
    }

    size_t add_file(const fs::path& path, const std::string& disk_name, size_t dir,
                    const std::string* link_target = nullptr) {
        const std::string name = form_.stored(disk_name, path, false);
        size_t dir_length = dir == kNoDir ? 0 : dirs[dir].path_length;
        if (dir_length + name.size() > kMaxPath)
            fail("path too long for the archive: " + path.string());
        check_extractor_paths(path, full_path ? dir_length : 0, name.size());
        if (files.size() >= kMaxEntries) fail("too many files (at most 65535)");
        PlanFile file;
        file.name = name;
        file.source = path.string();
        file.dir = dir;
        std::error_code ec;
        if (link_target != nullptr) {
            file.link = true;
            file.link_target = *link_target;
            file.size = link_target->size();
        } else {
            file.size = fs::file_size(path, ec);
        }
        if (ec) fail("cannot read " + path.string() + ": " + ec.message());
        if (file.size > 0xFFFFFFFFu) fail("file too large for the archive: " + path.string());
        if (!host_file_info(file.source, &file.info, !file.link)) {
            fail("cannot read " + path.string() + ": " + std::strerror(errno));
        }
        if (!time_fits(file.info.write_time) || !time_fits(file.info.access_time)) {
            warnings.push_back(path.string() +
                               ": its times lie outside 1901-12-13 to 2038-01-19 and are"
                               " stored as the nearest the archive can hold");
        }
        files.push_back(std::move(file));
        return files.size() - 1;
    }
};

// Directory records in the order the extractor walks them: each directory,
// then its subdirectories, then its next sibling. Ids are record index + 1
// (as 16-bit values, never 0). Returns the catalogue order of the files: loose
// files first, then each directory's files together.
std::vector<size_t> lay_out_tree(Plan& plan, NamePools& names, std::vector<DirEntry>& records) {
    struct Emitter {
        Plan& plan;
        NamePools& names;
        std::vector<DirEntry>& records;
        void chain(const std::vector<size_t>& siblings) {
            size_t previous = SIZE_MAX;
            for (size_t dir : siblings) {
                uint32_t index = uint32_t(records.size());
                plan.dirs[dir].record = index;
                records.push_back(
                    DirEntry{int16_t(uint16_t(index + 1)), names.add(plan.dirs[dir].name), 0, 0});
                if (previous != SIZE_MAX) records[previous].next = uint16_t(index);
                previous = index;
                if (!plan.dirs[dir].subdirs.empty()) {
                    records[index].child = uint16_t(index + 1);
                    chain(plan.dirs[dir].subdirs);
                }
            }
        }
    };
    Emitter{plan, names, records}.chain(plan.top_dirs);

    std::vector<size_t> order = plan.top_files;
    std::vector<size_t> dir_of_record(records.size());
    for (size_t dir = 0; dir < plan.dirs.size(); ++dir) dir_of_record[plan.dirs[dir].record] = dir;
    for (size_t dir : dir_of_record) {
        const std::vector<size_t>& files = plan.dirs[dir].files;
        order.insert(order.end(), files.begin(), files.end());
    }
    return order;
}

// ------------------------------------------------------------------ coding

struct Unit {
    size_t file;
    uint64_t offset;
    uint32_t size;
};

struct UnitResult {
    Bytes bytes;  // frames, or plain bytes when storing
    bool all_substituted = true;
    std::string error;
    uint32_t crc = 0;  // CRC-32 of the unit's plain bytes
};

// Codes units on worker threads; take() hands them out strictly in order.
// At most `window` units are in flight, so memory stays bounded.
class CodingPool {
public:
    CodingPool(const std::vector<PlanFile>& files, const std::vector<Unit>& units, unsigned threads,
               bool store)
        : files_(files),
          units_(units),
          store_(store),
          window_(4 * size_t(threads) + 4),
          slots_(window_),
          readers_(files.size()) {
        for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
    }

    ~CodingPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    UnitResult take(size_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<UnitResult>& slot = slots_[index % window_];
        changed_.wait(lock, [&] { return slot.has_value(); });
        UnitResult result = std::move(*slot);
        slot.reset();
        consumed_ = index + 1;
        // Every piece of the file has been read once its last one is taken:
        // whatever changed it meanwhile shows in its size or time now.
        const Unit& unit = units_[index];
        const PlanFile& file = files_[unit.file];
        if (unit.offset + unit.size == file.size) {
            std::shared_ptr<HostReader>& reader = readers_[unit.file];
            if (result.error.empty() && reader && reader->stamp() != reader->stamp_at_open()) {
                result.error = changed_message(file);
            }
            reader.reset();
        }
        lock.unlock();
        changed_.notify_all();
        return result;
    }

private:
    void work() {
        std::unique_ptr<OwnedCodec> codec;
        try {
            codec = std::make_unique<OwnedCodec>();
        } catch (const std::bad_alloc&) {}
        for (;;) {
            size_t index;
            std::shared_ptr<HostReader> reader;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stop_ || next_ >= units_.size() || next_ < consumed_ + window_;
                });
                if (stop_ || next_ >= units_.size()) return;
                index = next_++;
                const PlanFile& file = files_[units_[index].file];
                std::shared_ptr<HostReader>& open = readers_[units_[index].file];
                if (!open && !file.link) open = std::make_shared<HostReader>(file.source);
                reader = open;
            }
            UnitResult result = codec ? run(units_[index], reader.get(), codec->state())
                                      : UnitResult{{}, true, "out of memory"};
            reader.reset();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slots_[index % window_] = std::move(result);
            }
            changed_.notify_all();
        }
    }

    static std::string changed_message(const PlanFile& file) {
        return file.source +
               " changed while it was packed (its size or modification time); pack it again";
    }

    // `reader` is null for a link, whose data is its target.
    UnitResult run(const Unit& unit, const HostReader* reader, CodecState& codec) const {
        UnitResult result;
        const PlanFile& file = files_[unit.file];
        Bytes plain(unit.size);
        if (file.link) {
            plain.assign(file.link_target.begin() + long(unit.offset),
                         file.link_target.begin() + long(unit.offset + unit.size));
            return finish(result, std::move(plain), codec);
        }
        if (!reader->error().empty()) {
            result.error = reader->error();
            return result;
        }
        if (reader->stamp_at_open().size != file.size) {
            result.error = changed_message(file);
            return result;
        }
        result.error = reader->read_at(unit.offset, plain.data(), plain.size());
        if (!result.error.empty()) return result;
        return finish(result, std::move(plain), codec);
    }

    UnitResult finish(UnitResult& result, Bytes plain, CodecState& codec) const {
        result.crc = crc32_of(plain.data(), plain.size());
        if (store_) {
            result.bytes = std::move(plain);
        } else {
            result.bytes =
                code_frames(codec, plain.data(), plain.size(), kBlockSize, &result.all_substituted);
        }
        return result;
    }

    const std::vector<PlanFile>& files_;
    const std::vector<Unit>& units_;
    const bool store_;
    const size_t window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<UnitResult>> slots_;
    // Each file is opened once, by the first worker that needs it, and let go
    // when its last piece is taken: at most a window's worth are open.
    std::vector<std::shared_ptr<HostReader>> readers_;
    size_t next_ = 0;
    size_t consumed_ = 0;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// ------------------------------------------------------------------ output

// The output under its temporary name; removed unless committed.
class Output {
public:
    explicit Output(const fs::path& out) : target_(out) {
        // An interruption (Ctrl+C, a shut-down) must not leave a partial
        // archive behind, from the moment the file exists.
        hold_interrupts();
        for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
            temp_ = out;
            temp_ += ".zqpart" + (attempt ? std::to_string(attempt) : std::string());
            file_ = std::fopen(temp_.string().c_str(), "w+bx");
            if (file_ == nullptr && errno != EEXIST) break;  // another name will not help
        }
        const int error = errno;
        if (file_ != nullptr) remove_on_interrupt(temp_.string());
        release_interrupts();
        if (file_ == nullptr) fail("cannot create " + temp_.string() + ": " + std::strerror(error));
        buffer_.resize(1 << 20);
        std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    }

    ~Output() {
        if (file_ != nullptr) std::fclose(file_);
        if (!committed_) {
            hold_interrupts();
            std::error_code ec;
            fs::remove(temp_, ec);
            forget_on_interrupt();
            release_interrupts();
        }
    }

    uint64_t position() const { return position_; }

    void write(const uint8_t* bytes, size_t count) {
        if (count == 0) return;
        if (position_ + count > kMaxOutput) fail("archive would exceed 2 GiB");
        if (std::fwrite(bytes, 1, count, file_) != count)
            fail("cannot write " + temp_.string() + ": " + std::strerror(errno));
        position_ += count;
    }
    void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }

    void write_at(uint64_t at, const Bytes& bytes) {
        seek(at);
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
            fail("cannot write " + temp_.string() + ": " + std::strerror(errno));
        seek(position_);
    }

    // Turns the substituted frames written from `start` on into the plain
    // bytes they stand for, in place (plain bytes are shorter, so the write
    // position never passes the read position).
    void unsubstitute_from(uint64_t start, const uint8_t* unsubst) {
        uint64_t read_at = start;
        uint64_t write_at = start;
        Bytes frame(kFrameCapacity);
        while (read_at < position_) {
            seek(read_at);
            if (std::fread(frame.data(), 1, 2, file_) != 2)
                fail("cannot read back " + temp_.string() + ": " + std::strerror(errno));
            const uint32_t length = parse_frame_header(frame.data()).payload;
            if (std::fread(frame.data(), 1, length, file_) != length)
                fail("cannot read back " + temp_.string() + ": " + std::strerror(errno));
            read_at += 2 + length;
            for (uint32_t i = 0; i < length; ++i) frame[i] = unsubst[frame[i]];
            seek(write_at);
            if (std::fwrite(frame.data(), 1, length, file_) != length)
                fail("cannot write " + temp_.string() + ": " + std::strerror(errno));
            write_at += length;
        }
        position_ = write_at;
        seek(position_);
    }

    void commit() {
        bool ok = std::fflush(file_) == 0;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (!ok) fail("cannot write " + temp_.string() + ": " + std::strerror(errno));
        std::error_code ec;
        // Undo what an unsubstituted last file left behind its end.
        fs::resize_file(temp_, position_, ec);
        if (!ec) {
            fs::permissions(temp_,
                            fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                            fs::perm_options::add, ec);
        }
        if (!ec) {
            hold_interrupts();
            fs::rename(temp_, target_, ec);
            if (!ec) forget_on_interrupt();
            release_interrupts();
        }
        if (ec) fail("cannot finish " + target_.string() + ": " + ec.message());
        committed_ = true;
    }

private:
    void seek(uint64_t at) {
        if (std::fseek(file_, long(at), SEEK_SET) != 0)
            fail("cannot write " + temp_.string() + ": " + std::strerror(errno));
    }

    fs::path target_;
    fs::path temp_;
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    uint64_t position_ = 0;
    bool committed_ = false;
};

Bytes unsubstitute_frames(const Bytes& frames, const uint8_t* unsubst) {
    Bytes plain;
    plain.reserve(frames.size());
    for (size_t at = 0; at + 2 <= frames.size();) {
        const uint32_t length = parse_frame_header(&frames[at]).payload;
        for (uint32_t i = 0; i < length; ++i) plain.push_back(unsubst[frames[at + 2 + i]]);
        at += 2 + length;
    }
    return plain;
}

// Writes one file's data and completes its record. A file whose every frame
// came out substituted is stored raw instead: its frames are held in memory
// up to `pending_limit`, beyond that written and converted back in place.
void write_file_data(Output& output, CodingPool& pool, const std::vector<Unit>& units,
                     size_t& next_unit, const PlanFile& plan, FileEntry& entry,
                     uint64_t archive_start, bool store, size_t pending_limit,
                     const uint8_t* unsubst, const std::function<void(uint64_t)>& advanced) {
    uint64_t start = output.position();
    entry.data_offset = uint32_t(start - archive_start);
    entry.original_size = uint32_t(plan.size);
    Bytes pending;
    bool spilled = false;
    bool all_substituted = true;
    uint32_t crc = 0;  // of no bytes
    for (uint64_t done = 0; done < plan.size; ++next_unit) {
        UnitResult result = pool.take(next_unit);
        if (!result.error.empty()) fail(result.error);
        crc = crc32_combine(crc, result.crc, units[next_unit].size);
        done += units[next_unit].size;
        all_substituted = all_substituted && result.all_substituted;
        if (store || !all_substituted) {
            output.write(pending);
            pending.clear();
            output.write(result.bytes);
        } else {
            pending.insert(pending.end(), result.bytes.begin(), result.bytes.end());
            if (pending.size() > pending_limit) {
                output.write(pending);
                pending.clear();
                spilled = true;
            }
        }
        advanced(units[next_unit].size);
    }
    if (store || plan.size == 0 || all_substituted) {
        if (spilled) {
            output.write(pending);
            output.unsubstitute_from(start, unsubst);
        } else if (!pending.empty()) {
            output.write(unsubstitute_frames(pending, unsubst));
        }
        entry.method = kMethodRaw;
        entry.stored_size = entry.original_size;
    } else {
        entry.method = kMethodCoded;
        entry.stored_size = uint32_t(output.position() - start);
    }
    if (entry.ext_word & kExtHasCrc) entry.crc32 = crc;
}

// The extension word of a record: a link's mode means nothing on extraction.
uint16_t extension_word(const PlanFile& file) {
    if (file.link) return uint16_t(kExtHasCrc | kExtSymlink);
    return uint16_t(kExtHasCrc | kExtHasMode | (file.info.mode & kExtModeMask));
}

bool is_windows_stub(const std::optional<Bytes>& stub) {
    return stub && stub_kind(*stub) == StubKind::kWindowsPe;
}

// The path as given (made absolute) and with every link resolved: a name can
// reach an input either way.
std::vector<fs::path> both_forms(const fs::path& path) {
    std::vector<fs::path> forms = {fs::absolute(path).lexically_normal()};
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(forms[0], ec);
    if (!ec && resolved != forms[0]) forms.push_back(resolved);
    return forms;
}

bool is_within(const fs::path& inner, const fs::path& folder) {
    auto folder_end = std::mismatch(folder.begin(), folder.end(), inner.begin(), inner.end()).first;
    return folder_end == folder.end() ||
           (std::next(folder_end) == folder.end() && folder_end->empty());
}

// Writing the output over an input, or into a folder being packed, would
// destroy that input or pack the archive into the next one.
void refuse_output_among_inputs(const std::vector<fs::path>& inputs, const fs::path& out) {
    for (const fs::path& output : both_forms(out)) {
        for (const fs::path& input : inputs) {
            for (const fs::path& source : both_forms(input)) {
                if (output == source)
                    fail("the output " + out.string() + " is the input " + input.string());
                if (fs::is_directory(source) && is_within(output, source)) {
                    fail("the output " + out.string() + " lies inside the packed folder " +
                         input.string());
                }
            }
        }
    }
}
// The index of the regular file stored as `path` ('/' between folders).
size_t find_run_file(const Plan& plan, const std::string& path) {
    std::vector<size_t> parent(plan.dirs.size(), kNoDir);
    for (size_t d = 0; d < plan.dirs.size(); ++d) {
        for (size_t sub : plan.dirs[d].subdirs) parent[sub] = d;
    }
    for (size_t f = 0; f < plan.files.size(); ++f) {
        std::string stored = plan.files[f].name;
        for (size_t d = plan.files[f].dir; d != kNoDir; d = parent[d])
            stored = plan.dirs[d].name + "/" + stored;
        if (stored == path && !plan.files[f].link) return f;
    }
    fail("--run: no packed file is stored as " + path);
}

}  // namespace

StubKind stub_kind(const Bytes& stub) {
    if (stub.size() >= 4 && stub[0] == 0x7F && stub[1] == 'E' && stub[2] == 'L' && stub[3] == 'F') {
        return StubKind::kLinuxElf;
    }
    if (stub.size() < 0x40 || stub[0] != 'M' || stub[1] != 'Z') return StubKind::kNotExecutable;
    const size_t pe = size_t(stub[0x3C]) | size_t(stub[0x3D]) << 8 | size_t(stub[0x3E]) << 16 |
                      size_t(stub[0x3F]) << 24;
    if (pe > stub.size() - 4 || stub[pe] != 'P' || stub[pe + 1] != 'E' || stub[pe + 2] != 0 ||
        stub[pe + 3] != 0) {
        return StubKind::kNotExecutable;
    }
    return StubKind::kWindowsPe;
}

PackSummary pack_paths(const std::vector<fs::path>& inputs, const fs::path& out,
                       const PackOptions& options) {
    if (inputs.empty()) fail("nothing to pack");
    refuse_output_among_inputs(inputs, out);
    if (options.password && (options.password->empty() || options.password->size() > 255 ||
                             options.password->find('\0') != std::string::npos)) {
        fail("the password must have 1 to 255 characters");
    }
    crc32_prepare();  // before the coding threads use the table
    const NameForm form(options.code_page);
    Plan plan(form);
    plan.full_path = options.full_path;
    plan.for_windows = is_windows_stub(options.stub);
    plan.excluded = options.excluded;
    plan.links = !options.extension              ? LinkPolicy::kFollowQuietly
                 : is_windows_stub(options.stub) ? LinkPolicy::kFollowWarning
                                                 : LinkPolicy::kKeep;
    plan.add_inputs(inputs);

    ArchiveImage image;
    NamePools names;
    std::vector<size_t> order = lay_out_tree(plan, names, image.dirs);
    image.flags = uint16_t(kFlagTypeBits | (options.full_path ? kFlagFullPath : 0) |
                           (options.password ? kFlagPassword : 0));
    image.options =
        options.dir_tree || (options.full_path && plan.has_empty_folder()) ? kOptionDirTree : 0;
    // The Windows stub compares the password in its code page.
    if (options.password) {
        const std::string password = form.in_page(*options.password, "the password");
        image.password = Bytes(password.begin(), password.end());
    }

    // The file to run is named as the user sees it; the archive holds its
    // path and arguments in the stored code page.
    const size_t run_index =
        options.run_file ? find_run_file(plan, form.in_page(*options.run_file, "the --run path"))
                         : kNoDir;
    const std::string run_args = form.in_page(options.run_args, "the --run-args words");

    std::vector<Unit> units;
    uint64_t total = 0;
    for (size_t file : order) {
        uint64_t size = plan.files[file].size;
        total += size;
        for (uint64_t at = 0; at < size; at += kUnitBytes) {
            units.push_back(Unit{file, at, uint32_t(std::min<uint64_t>(kUnitBytes, size - at))});
        }
    }

    unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    OwnedCodec codec;  // the catalogue's, and the substitution table
    // The Windows stub goes out with the publisher's texts in its version
    // resource.
    std::optional<Bytes> stub = options.stub;
    if (plan.for_windows) fill_version_texts(*stub, options.version);
    Output output(out);
    if (stub) output.write(*stub);
    uint64_t archive_start = output.position();
    output.write(Bytes(kHeaderSize, 0));

    PackProgress progress;
    progress.files_total = uint32_t(order.size());
    progress.bytes_total = total;
    auto advanced = [&](uint64_t bytes) {
        progress.bytes_done += bytes;
        if (options.progress) options.progress(progress);
    };
    {
        CodingPool pool(plan.files, units, threads, options.store);
        size_t next_unit = 0;
        for (size_t file : order) {
            const PlanFile& source = plan.files[file];
            FileEntry entry;
            entry.attributes = uint16_t(source.info.read_only ? kAttrReadOnly : kAttrArchive);
            entry.dir_id = source.dir == kNoDir ? 0 : uint16_t(plan.dirs[source.dir].record + 1);
            entry.access_time = clamp_time(source.info.access_time);
            entry.write_time = clamp_time(source.info.write_time);
            entry.create_time = -1;
            entry.name = file == run_index ? names.add_with_arguments(source.name, run_args)
                                           : names.add(source.name);
            if (options.extension) entry.ext_word = extension_word(source);
            if (file == run_index) entry.ext_word |= kExtRunAfter;
            write_file_data(output, pool, units, next_unit, source, entry, archive_start,
                            options.store, options.pending_limit, codec.state().unsubst_table,
                            advanced);
            image.files.push_back(entry);
            ++progress.files_done;
            if (options.progress) options.progress(progress);
        }
    }
    image.pools = names.pools();

    uint64_t catalogue_offset = output.position() - archive_start;
    output.write(catalogue_bytes(codec.state(), image));
    // Windows self-extractors only: they are the ones signed.
    if (plan.for_windows) output.write(Bytes(signing_padding(output.position()), 0));
    Bytes trailer;
    put_u32(trailer, uint32_t(archive_start));
    output.write(trailer);
    output.write_at(archive_start, header_bytes(image.flags, image.options,
                                                uint32_t(catalogue_offset), form.mark()));
    output.commit();

    PackSummary summary;
    summary.files = uint32_t(plan.files.size());
    summary.dirs = uint32_t(plan.dirs.size());
    summary.original_bytes = total;
    summary.output_bytes = output.position();
    summary.skipped = plan.skipped;
    summary.warnings = plan.warnings;
    return summary;
}

}  // namespace zq
