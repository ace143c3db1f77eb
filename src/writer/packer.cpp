// Packer level of the archive writer: plans the tree, codes the file data on
// worker threads (each with its own CodecState), and writes the archive in
// one pass, with the header patched in at the end.
//
// Every block is coded on its own from freshly reset models, so how the work
// is spread over threads cannot change a byte of the output.
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "archive/catalogue.h"
#include "platform/host_files.h"
#include "writer/packer.h"
#include "writer/stored_names.h"

namespace zq {

namespace fs = std::filesystem;

namespace {

constexpr size_t kNoDir = SIZE_MAX;
constexpr uint32_t kUnitBytes = 32 * kBlockSize;       // one piece of work
constexpr uint64_t kMaxOutput = 0x7FFFFFFF;            // offsets are signed 32-bit
constexpr uint32_t kMaxEntries = 0xFFFF;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

int32_t clamp_time(int64_t t) { return int32_t(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX)); }

// ------------------------------------------------------------------ plan

struct PlanDir {
    std::string name;
    std::vector<size_t> subdirs;
    std::vector<size_t> files;
    size_t path_length = 0;  // names each followed by '\'
    uint32_t record = 0;
};

struct PlanFile {
    std::string name;
    std::string source;
    uint64_t size = 0;
    HostFileInfo info;
    size_t dir = kNoDir;
};

class Plan {
public:
    explicit Plan(const NameForm& form) : form_(form) {}
    std::vector<PlanDir> dirs;
    std::vector<PlanFile> files;
    std::vector<size_t> top_dirs;
    std::vector<size_t> top_files;
    std::vector<std::string> skipped;

    void add_inputs(const std::vector<fs::path>& inputs) {
        std::vector<std::pair<std::string, fs::path>> named;
        for (const fs::path& input : inputs) named.emplace_back(input_name(input), input);
        std::sort(named.begin(), named.end());
        std::vector<std::string> names;
        for (size_t i = 0; i < named.size(); ++i) {
            if (i > 0 && named[i].first == named[i - 1].first) fail("two inputs share the name " + named[i].first);
            names.push_back(named[i].first);
        }
        form_.check_distinct(std::move(names), "the archive's top level");
        for (const auto& [name, path] : named) {
            std::error_code ec;
            fs::file_status status = fs::status(path, ec);
            if (ec) fail("cannot read " + path.string() + ": " + ec.message());
            if (fs::is_directory(status)) {
                top_dirs.push_back(add_dir(path, name, 0));
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

    size_t add_dir(const fs::path& path, const std::string& disk_name, size_t parent_length) {
        const std::string name = form_.stored(disk_name, path, true);
        size_t length = parent_length + name.size() + 1;
        if (length > kMaxPath) fail("path too long for the archive: " + path.string());
        if (dirs.size() >= kMaxEntries) fail("too many folders (at most 65535)");
        size_t index = dirs.size();
        dirs.push_back(PlanDir{name, {}, {}, length, 0});

        std::vector<std::pair<std::string, fs::directory_entry>> entries;
        std::error_code ec;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            entries.emplace_back(it->path().filename().string(), *it);
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
            if (fs::is_directory(own)) {
                size_t child = add_dir(entry.path(), child_name, length);
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

    size_t add_file(const fs::path& path, const std::string& disk_name, size_t dir) {
        const std::string name = form_.stored(disk_name, path, false);
        size_t dir_length = dir == kNoDir ? 0 : dirs[dir].path_length;
        if (dir_length + name.size() > kMaxPath) fail("path too long for the archive: " + path.string());
        if (files.size() >= kMaxEntries) fail("too many files (at most 65535)");
        PlanFile file;
        file.name = name;
        file.source = path.string();
        file.dir = dir;
        std::error_code ec;
        file.size = fs::file_size(path, ec);
        if (ec) fail("cannot read " + path.string() + ": " + ec.message());
        if (file.size > 0xFFFFFFFFu) fail("file too large for the archive: " + path.string());
        if (!host_file_info(file.source, &file.info)) fail("cannot read " + path.string());
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
                records.push_back(DirEntry{int16_t(uint16_t(index + 1)), names.add(plan.dirs[dir].name), 0, 0});
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
    Bytes bytes;                  // frames, or plain bytes when storing
    bool all_substituted = true;
    std::string error;
};

// Codes units on worker threads; take() hands them out strictly in order.
// At most `window` units are in flight, so memory stays bounded.
class CodingPool {
public:
    CodingPool(const std::vector<PlanFile>& files, const std::vector<Unit>& units, unsigned threads, bool store)
        : files_(files), units_(units), store_(store), window_(4 * size_t(threads) + 4), slots_(window_) {
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
        lock.unlock();
        changed_.notify_all();
        return result;
    }

private:
    void work() {
        std::unique_ptr<OwnedCodec> codec;
        try {
            codec = std::make_unique<OwnedCodec>();
        } catch (const std::bad_alloc&) {
        }
        for (;;) {
            size_t index;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || next_ >= units_.size() || next_ < consumed_ + window_; });
                if (stop_ || next_ >= units_.size()) return;
                index = next_++;
            }
            UnitResult result = codec ? run(units_[index], codec->state()) : UnitResult{{}, true, "out of memory"};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slots_[index % window_] = std::move(result);
            }
            changed_.notify_all();
        }
    }

    UnitResult run(const Unit& unit, CodecState& codec) const {
        UnitResult result;
        const PlanFile& file = files_[unit.file];
        Bytes plain(unit.size);
        std::FILE* in = std::fopen(file.source.c_str(), "rb");
        bool ok = in != nullptr && std::fseek(in, long(unit.offset), SEEK_SET) == 0 &&
                  std::fread(plain.data(), 1, plain.size(), in) == plain.size();
        if (in != nullptr) std::fclose(in);
        if (!ok) {
            result.error = "cannot read " + file.source + " (changed while packing?)";
            return result;
        }
        if (store_) {
            result.bytes = std::move(plain);
        } else {
            result.bytes = code_frames(codec, plain.data(), plain.size(), kBlockSize, &result.all_substituted);
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
        for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
            temp_ = out;
            temp_ += ".zqpart" + (attempt ? std::to_string(attempt) : std::string());
            file_ = std::fopen(temp_.string().c_str(), "w+bx");
        }
        if (file_ == nullptr) fail("cannot create " + temp_.string());
        buffer_.resize(1 << 20);
        std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    }

    ~Output() {
        if (file_ != nullptr) std::fclose(file_);
        if (!committed_) {
            std::error_code ec;
            fs::remove(temp_, ec);
        }
    }

    uint64_t position() const { return position_; }

    void write(const uint8_t* bytes, size_t count) {
        if (count == 0) return;
        if (position_ + count > kMaxOutput) fail("archive would exceed 2 GiB");
        if (std::fwrite(bytes, 1, count, file_) != count) fail("cannot write " + temp_.string());
        position_ += count;
    }
    void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }

    void write_at(uint64_t at, const Bytes& bytes) {
        seek(at);
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) fail("cannot write " + temp_.string());
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
            if (std::fread(frame.data(), 1, 2, file_) != 2) fail("cannot read back " + temp_.string());
            const uint32_t length = parse_frame_header(frame.data()).payload;
            if (std::fread(frame.data(), 1, length, file_) != length) fail("cannot read back " + temp_.string());
            read_at += 2 + length;
            for (uint32_t i = 0; i < length; ++i) frame[i] = unsubst[frame[i]];
            seek(write_at);
            if (std::fwrite(frame.data(), 1, length, file_) != length) fail("cannot write " + temp_.string());
            write_at += length;
        }
        position_ = write_at;
        seek(position_);
    }

    void commit() {
        bool ok = std::fflush(file_) == 0;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (!ok) fail("cannot write " + temp_.string());
        std::error_code ec;
        // Undo what an unsubstituted last file left behind its end.
        fs::resize_file(temp_, position_, ec);
        if (!ec) {
            fs::permissions(temp_, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                            fs::perm_options::add, ec);
        }
        if (!ec) fs::rename(temp_, target_, ec);
        if (ec) fail("cannot finish " + target_.string() + ": " + ec.message());
        committed_ = true;
    }

private:
    void seek(uint64_t at) {
        if (std::fseek(file_, long(at), SEEK_SET) != 0) fail("cannot seek in " + temp_.string());
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
void write_file_data(Output& output, CodingPool& pool, const std::vector<Unit>& units, size_t& next_unit,
                     const PlanFile& plan, FileEntry& entry, uint64_t archive_start, bool store,
                     size_t pending_limit, const uint8_t* unsubst, const std::function<void(uint64_t)>& advanced) {
    uint64_t start = output.position();
    entry.data_offset = uint32_t(start - archive_start);
    entry.original_size = uint32_t(plan.size);
    Bytes pending;
    bool spilled = false;
    bool all_substituted = true;
    for (uint64_t done = 0; done < plan.size; ++next_unit) {
        UnitResult result = pool.take(next_unit);
        if (!result.error.empty()) fail(result.error);
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
}

}  // namespace

PackSummary pack_paths(const std::vector<fs::path>& inputs, const fs::path& out, const PackOptions& options) {
    if (inputs.empty()) fail("nothing to pack");
    if (options.password && (options.password->empty() || options.password->size() > 255 ||
                             options.password->find('\0') != std::string::npos)) {
        fail("the password must have 1 to 255 characters");
    }
    const NameForm form(options.code_page);
    Plan plan(form);
    plan.add_inputs(inputs);

    ArchiveImage image;
    NamePools names;
    std::vector<size_t> order = lay_out_tree(plan, names, image.dirs);
    image.flags = uint16_t(kFlagTypeBits | (options.full_path ? kFlagFullPath : 0) |
                           (options.password ? kFlagPassword : 0));
    image.options = options.dir_tree ? kOptionDirTree : 0;
    // The Windows stub compares the password in its code page.
    if (options.password) {
        const std::string password = form.in_page(*options.password, "the password");
        image.password = Bytes(password.begin(), password.end());
    }

    std::vector<Unit> units;
    uint64_t total = 0;
    for (size_t file : order) {
        uint64_t size = plan.files[file].size;
        total += size;
        for (uint64_t at = 0; at < size; at += kUnitBytes) {
            units.push_back(Unit{file, at, uint32_t(std::min<uint64_t>(kUnitBytes, size - at))});
        }
    }

    unsigned threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    OwnedCodec codec;  // the catalogue's, and the substitution table
    Output output(out);
    if (options.stub) output.write(*options.stub);
    uint64_t archive_start = output.position();
    output.write(Bytes(kHeaderSize, 0));

    uint64_t done = 0;
    auto advanced = [&](uint64_t bytes) {
        done += bytes;
        if (options.progress) options.progress(done, total);
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
            entry.name = names.add(source.name);
            write_file_data(output, pool, units, next_unit, source, entry, archive_start, options.store,
                            options.pending_limit, codec.state().unsubst_table, advanced);
            image.files.push_back(entry);
        }
    }
    image.pools = names.pools();

    uint64_t catalogue_offset = output.position() - archive_start;
    output.write(catalogue_bytes(codec.state(), image));
    Bytes trailer;
    put_u32(trailer, uint32_t(archive_start));
    output.write(trailer);
    output.write_at(archive_start, header_bytes(image.flags, image.options, uint32_t(catalogue_offset), form.mark()));
    output.commit();

    PackSummary summary;
    summary.files = uint32_t(plan.files.size());
    summary.dirs = uint32_t(plan.dirs.size());
    summary.original_bytes = total;
    summary.output_bytes = output.position();
    summary.skipped = plan.skipped;
    return summary;
}

}  // namespace zq
