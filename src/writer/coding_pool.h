// The coding pool: reads the planned files in pieces and codes each piece on
// a worker thread with its own CodecState. Every block is coded on its own
// from freshly reset models, so how the work is spread over threads cannot
// change a byte of the output.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_files.h"
#include "writer/pack_plan.h"
#include "writer/writer.h"

namespace zq::packing {

constexpr uint32_t kUnitBytes = 32 * kBlockSize;  // one piece of work

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

// The pieces of the files in `order`, each file's in turn, none longer
// than kUnitBytes; a file of no bytes has none.
std::vector<Unit> units_of(const std::vector<PlanFile>& files, const std::vector<size_t>& order);

// Codes units on worker threads; take() hands them out strictly in order.
// At most `window` units are in flight, so memory stays bounded.
class CodingPool {
public:
    CodingPool(const std::vector<PlanFile>& files, const std::vector<Unit>& units, unsigned threads,
               bool store);
    ~CodingPool();
    CodingPool(const CodingPool&) = delete;
    CodingPool& operator=(const CodingPool&) = delete;

    // The result of unit `index`, waiting for it; called for 0, 1, 2, ...
    UnitResult take(size_t index);

private:
    void work();
    static std::string changed_message(const PlanFile& file);
    UnitResult run(const Unit& unit, const HostReader* reader, CodecState& codec) const;
    UnitResult finish(UnitResult& result, Bytes plain, CodecState& codec) const;

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

}  // namespace zq::packing
