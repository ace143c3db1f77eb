// The coding pool's workers: each reads its unit through the file's one
// open reader, checksums it and codes it into frames.
#include "writer/coding_pool.h"

#include <algorithm>
#include <new>

#include "codec/crc32.h"

namespace zq::packing {

std::vector<Unit> units_of(const std::vector<PlanFile>& files, const std::vector<size_t>& order) {
    std::vector<Unit> units;
    for (size_t file : order) {
        const uint64_t size = files[file].size;
        for (uint64_t at = 0; at < size; at += kUnitBytes) {
            units.push_back(Unit{file, at, uint32_t(std::min<uint64_t>(kUnitBytes, size - at))});
        }
    }
    return units;
}

CodingPool::CodingPool(const std::vector<PlanFile>& files, const std::vector<Unit>& units,
                       unsigned threads, bool store)
    : files_(files),
      units_(units),
      store_(store),
      window_(4 * size_t(threads) + 4),
      slots_(window_),
      readers_(files.size()) {
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

CodingPool::~CodingPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

UnitResult CodingPool::take(size_t index) {
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

void CodingPool::work() {
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

std::string CodingPool::changed_message(const PlanFile& file) {
    return file.source +
           " changed while it was packed (its size or modification time); pack it again";
}

// `reader` is null for a link, whose data is its target.
UnitResult CodingPool::run(const Unit& unit, const HostReader* reader, CodecState& codec) const {
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

UnitResult CodingPool::finish(UnitResult& result, Bytes plain, CodecState& codec) const {
    result.crc = crc32_of(plain.data(), plain.size());
    if (store_) {
        result.bytes = std::move(plain);
    } else {
        result.bytes =
            code_frames(codec, plain.data(), plain.size(), kBlockSize, &result.all_substituted);
    }
    return result;
}

}  // namespace zq::packing
