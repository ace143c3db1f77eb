// The block pipeline against the serial path: whatever the worker count and
// whatever the damage, a stream gives the same bytes, the same counters, the
// same callbacks and the same status at the same block. Every comparison is
// of results that do not depend on how the threads happen to run.
#include <gtest/gtest.h>

#include <fstream>

#include "archive/pipeline.h"
#include "archive/source.h"
#include "archive_test_support.h"

namespace zq::test {
namespace {

// Text and noise in turn, so that both coded and substituted frames occur.
Bytes mixed_plain(size_t size) {
    Bytes out;
    const std::string words = "a pipeline decodes blocks ahead and hands them back in order; ";
    for (uint32_t part = 0; out.size() < size; ++part) {
        if (part % 3 == 2) {
            const Bytes random = noise(1500, part);
            out.insert(out.end(), random.begin(), random.end());
        } else {
            for (size_t i = 0; i < 2500; ++i)
                out.push_back(uint8_t(words[(i * 7 + part) % words.size()]));
        }
    }
    out.resize(size);
    return out;
}

struct StreamOutcome {
    int16_t result = 0;
    int16_t status = 0;
    Bytes written;
    std::vector<uint32_t> seen;  // plain_done at each callback
    uint32_t coded_done = 0;
    uint32_t plain_done = 0;
    int32_t coded_left = 0;
    bool operator==(const StreamOutcome& o) const {
        return result == o.result && status == o.status && written == o.written && seen == o.seen &&
               coded_done == o.coded_done && plain_done == o.plain_done &&
               coded_left == o.coded_left;
    }
};

std::vector<uint32_t>* g_seen = nullptr;
uint32_t g_stop_after = 0;

void note_block(StreamContext* context, int16_t* stop) {
    g_seen->push_back(context->plain_done);
    if (g_stop_after != 0 && g_seen->size() >= g_stop_after) *stop = 1;
}

// The stream started in `context`, written to `out_path` (stopped after
// `stop_after` blocks when nonzero), with what it gave.
StreamOutcome stream_once(StreamContext* context, const fs::path& out_path, uint32_t stop_after) {
    StreamOutcome outcome;
    fs::remove(out_path);
    const FileHandle out = file_create_new(out_path.c_str());
    g_seen = &outcome.seen;
    g_stop_after = stop_after;
    outcome.result = stream_to_file(context, out, note_block);
    file_close(out);
    outcome.written = read_bytes(out_path);
    outcome.status = context->status;
    outcome.coded_done = context->coded_done;
    outcome.plain_done = context->plain_done;
    outcome.coded_left = context->coded_left;
    return outcome;
}

// Runs streams over `archive` one after another (each `coded` bytes long,
// starting where the last left the file) with `workers` threads (1: serial),
// stopping the first after `stop_after` blocks when nonzero.
std::vector<StreamOutcome> run_streams(const fs::path& dir, const Bytes& archive,
                                       const std::vector<uint32_t>& coded, uint32_t workers,
                                       uint32_t stop_after = 0) {
    write_bytes(dir / "archive", archive);
    ReaderSession session(dir / "archive");
    EXPECT_TRUE(session.ok());
    StreamContext& context = session.context();
    BlockPipeline pipeline{};
    if (workers > 1) {
        EXPECT_EQ(pipeline_start(&pipeline, workers), kStreamOk);
        context.pipeline = &pipeline;
    }
    std::vector<StreamOutcome> outcomes;
    int32_t position = 0;
    for (size_t i = 0; i < coded.size(); ++i) {
        file_seek(session.file(), position, kSeekSet);
        stream_start(&context, int32_t(coded[i]));
        outcomes.push_back(
            stream_once(&context, dir / ("out" + std::to_string(workers) + "_" + std::to_string(i)),
                        i == 0 ? stop_after : 0));
        position += int32_t(coded[i]);
    }
    pipeline_finish(&pipeline);
    context.pipeline = nullptr;
    return outcomes;
}

class PipelineTest : public ::testing::Test {
protected:
    // Two streams back to back: 60 frames of 1000 plain bytes, then 7 of 32768.
    void SetUp() override {
        first_plain_ = mixed_plain(60000);
        second_plain_ = mixed_plain(7 * 32768 - 5);
        const Bytes first = code_frames(codec_.state(), first_plain_, 1000);
        const Bytes second = code_frames(codec_.state(), second_plain_);
        archive_ = first;
        archive_.insert(archive_.end(), second.begin(), second.end());
        sizes_ = {uint32_t(first.size()), uint32_t(second.size())};
    }
    ScratchDir dir_;
    OwnedCodec codec_;
    Bytes first_plain_, second_plain_, archive_;
    std::vector<uint32_t> sizes_;
};

TEST_F(PipelineTest, EveryWorkerCountGivesTheSerialStreams) {
    const std::vector<StreamOutcome> serial = run_streams(dir_.path(), archive_, sizes_, 1);
    ASSERT_EQ(serial[0].written, first_plain_);
    ASSERT_EQ(serial[1].written, second_plain_);
    EXPECT_EQ(serial[0].seen.size(), 60u);
    for (uint32_t workers : {2u, 3u, 7u, kMaxWorkers}) {
        EXPECT_TRUE(run_streams(dir_.path(), archive_, sizes_, workers) == serial)
            << workers << " workers";
    }
}

TEST_F(PipelineTest, AStoppedStreamLeavesNothingBehindForTheNext) {
    // The first stream stops after 5 of its 60 blocks while frames are read
    // ahead; the second must still start at its own first frame.
    const std::vector<StreamOutcome> serial = run_streams(dir_.path(), archive_, sizes_, 1, 5);
    ASSERT_EQ(serial[0].result, kStreamStopped);
    ASSERT_EQ(serial[1].written, second_plain_);
    EXPECT_TRUE(run_streams(dir_.path(), archive_, sizes_, 3, 5) == serial);
}

TEST_F(PipelineTest, DamageEndsTheStreamAtTheSameBlockAsTheSerialPath) {
    // Flipped bytes across headers and payloads, and archives cut short,
    // each compared with the serial run on the same bytes.
    for (size_t at = 1; at < archive_.size(); at += archive_.size() / 23) {
        Bytes damaged = archive_;
        damaged[at] ^= 0x5A;
        const auto serial = run_streams(dir_.path(), damaged, sizes_, 1);
        EXPECT_TRUE(run_streams(dir_.path(), damaged, sizes_, 4) == serial) << "flip at " << at;

        const Bytes cut(archive_.begin(), archive_.begin() + long(at));
        const auto serial_cut = run_streams(dir_.path(), cut, sizes_, 1);
        EXPECT_NE(serial_cut[1].result, kStreamOk);
        EXPECT_TRUE(run_streams(dir_.path(), cut, sizes_, 2) == serial_cut) << "cut at " << at;
    }
}

// ------------------------------------------------ reading ahead across streams

struct Section {
    int64_t at;
    int64_t coded;
    int64_t plain = -1;  // what the plan says it decodes to
};

// A file position past 4 GiB, odd so that no cut to 31 or 32 bits lands on
// the archive's bytes.
constexpr uint64_t kFarBase = (uint64_t(4) << 30) + 4096 + 3;

// The plan of the tests below: every section, in order.
bool next_listed(void* user, uint32_t* cursor, int64_t* position, int64_t* coded, int64_t* plain) {
    const auto& sections = *static_cast<const std::vector<Section>*>(user);
    if (*cursor >= sections.size()) return false;
    const Section& section = sections[(*cursor)++];
    *position = section.at;
    *coded = section.coded;
    *plain = section.plain;
    return true;
}

// `archive` written at file position `base`, behind a hole that costs no
// disk; the sections moved there with it.
std::vector<Section> write_archive_at(const fs::path& path, const Bytes& archive, uint64_t base,
                                      std::vector<Section> sections) {
    fs::remove(path);
    std::ofstream out(path, std::ios::binary);
    out.seekp(std::streamoff(base));
    out.write(reinterpret_cast<const char*>(archive.data()), std::streamsize(archive.size()));
    EXPECT_TRUE(out.good());
    for (Section& section : sections) section.at += int64_t(base);
    return sections;
}

// Runs the streams `order` names (indexes into `sections`, as a reader that
// skips some and goes back to others would ask for them) through the
// buffered reader, with a plan of every section when `workers` > 1, the
// archive lying at file position `base`.
std::vector<StreamOutcome> run_planned(const fs::path& dir, const Bytes& archive,
                                       std::vector<Section> sections,
                                       const std::vector<uint32_t>& order, uint32_t workers,
                                       uint64_t base = 0) {
    sections = write_archive_at(dir / "archive", archive, base, sections);
    ReaderSession session(dir / "archive");
    EXPECT_TRUE(session.ok());
    StreamContext& context = session.context();
    BlockPipeline pipeline{};
    if (workers > 1) {
        EXPECT_EQ(pipeline_start(&pipeline, workers), kStreamOk);
        pipeline_plan(&pipeline, SectionPlan{next_listed, &sections});
        context.pipeline = &pipeline;
    }
    std::vector<StreamOutcome> outcomes;
    for (uint32_t index : order) {
        if (workers > 1) pipeline_plan_from(&pipeline, index);
        EXPECT_TRUE(archive_seek(&context, sections[index].at));
        stream_start(&context, sections[index].coded);
        outcomes.push_back(stream_once(&context, dir / "out", 0));
    }
    pipeline_finish(&pipeline);
    context.pipeline = nullptr;
    return outcomes;
}

class PlannedPipelineTest : public ::testing::Test {
protected:
    // Forty small streams of one to three frames each, back to back, as a
    // tree of small files lies in an archive.
    void SetUp() override {
        for (uint32_t i = 0; i < 40; ++i) {
            const Bytes plain = mixed_plain(300 + 700 * (i % 4));
            const Bytes coded = code_frames(codec_.state(), plain, 1000);
            sections_.push_back(
                {int64_t(archive_.size()), int64_t(coded.size()), int64_t(plain.size())});
            archive_.insert(archive_.end(), coded.begin(), coded.end());
            plains_.push_back(plain);
        }
    }
    uint64_t all_frames() const {
        uint64_t frames = 0;
        for (const Bytes& plain : plains_) frames += (plain.size() + 999) / 1000;
        return frames;
    }
    ScratchDir dir_;
    OwnedCodec codec_;
    Bytes archive_;
    std::vector<Bytes> plains_;
    std::vector<Section> sections_;
};

TEST_F(PlannedPipelineTest, StreamsReadAheadComeOutAsTheSerialOnes) {
    // In order; then with streams left out (frames read ahead for them are
    // dropped), one asked for twice and one out of order (both unplanned:
    // nothing read ahead matches, so reading starts afresh there).
    std::vector<uint32_t> all(40);
    for (uint32_t i = 0; i < 40; ++i) all[i] = i;
    const std::vector<uint32_t> skipping = {0, 1, 5, 6, 6, 7, 20, 3, 4, 30, 38, 39};
    for (const auto& order : {all, skipping}) {
        const auto serial = run_planned(dir_.path(), archive_, sections_, order, 1);
        for (size_t k = 0; k < order.size(); ++k) ASSERT_EQ(serial[k].written, plains_[order[k]]);
        for (uint32_t workers : {2u, 5u}) {
            EXPECT_TRUE(run_planned(dir_.path(), archive_, sections_, order, workers) == serial)
                << workers << " workers, " << order.size() << " streams";
        }
        // The same streams with the archive past 4 GiB in its file.
        EXPECT_TRUE(run_planned(dir_.path(), archive_, sections_, order, 1, kFarBase) == serial);
        EXPECT_TRUE(run_planned(dir_.path(), archive_, sections_, order, 3, kFarBase) == serial);
    }
}

TEST_F(PlannedPipelineTest, TheNextStreamTakesTheFramesReadAheadForIt) {
    // Counted in frames, which only this thread reads and takes: the first
    // stream's reading runs on into the planned ones, and the second stream
    // takes up exactly where the first ended, dropping nothing. Also with the
    // archive past 4 GiB in its file, where a position or size cut to 32 bits
    // would miss the frames read ahead (and drop them) or read the hole.
    for (const uint64_t base : {uint64_t(0), kFarBase}) {
        const std::vector<Section> sections =
            write_archive_at(dir_.path() / "archive", archive_, base, sections_);
        ReaderSession session(dir_.path() / "archive");
        ASSERT_TRUE(session.ok());
        StreamContext& context = session.context();
        BlockPipeline pipeline{};
        ASSERT_EQ(pipeline_start(&pipeline, 2), kStreamOk);
        pipeline_plan(&pipeline,
                      SectionPlan{next_listed, const_cast<std::vector<Section>*>(&sections)});
        context.pipeline = &pipeline;
        uint64_t frames = 0;
        for (uint32_t index : {0u, 1u}) {
            pipeline_plan_from(&pipeline, index);
            ASSERT_TRUE(archive_seek(&context, sections[index].at));
            stream_start(&context, sections[index].coded);
            const fs::path out_path = dir_.path() / "out";
            fs::remove(out_path);
            const FileHandle out = file_create_new(out_path.c_str());
            ASSERT_EQ(stream_to_file(&context, out, nullptr), kStreamOk);
            file_close(out);
            EXPECT_EQ(read_bytes(out_path), plains_[index]) << base;
            frames += (plains_[index].size() + 999) / 1000;
            EXPECT_EQ(pipeline.frames_taken, frames) << base;
            // Packed by their size, the frames of all forty streams fit in
            // flight at once, far more than one slot per block would hold.
            EXPECT_EQ(pipeline.frames_read, all_frames()) << base;
        }
        pipeline_finish(&pipeline);
        context.pipeline = nullptr;
    }
    fs::remove(dir_.path() / "archive");
}

TEST_F(PlannedPipelineTest, DamageAheadSurfacesOnlyInItsOwnStream) {
    // A flipped byte in stream 25, or the archive cut within it: the streams
    // before it, read ahead into the damage, come out whole, and the damage
    // shows where the serial reading meets it.
    std::vector<uint32_t> all(40);
    for (uint32_t i = 0; i < 40; ++i) all[i] = i;
    Bytes damaged = archive_;
    damaged[size_t(sections_[25].at) + 5] ^= 0x5A;
    const Bytes cut(archive_.begin(), archive_.begin() + sections_[25].at + 3);
    for (const Bytes& bytes : {damaged, cut}) {
        const auto serial = run_planned(dir_.path(), bytes, sections_, all, 1);
        ASSERT_NE(serial[25].written, plains_[25]);
        ASSERT_EQ(serial[24].written, plains_[24]);
        EXPECT_TRUE(run_planned(dir_.path(), bytes, sections_, all, 3) == serial);
    }
}

TEST(PlannedPipeline, WrappedRingsAndWrongPlainSizesGiveTheSerialStreams) {
    // Enough whole blocks among the small streams that both rings wrap
    // several times. Some sections claim less plain than they hold (their
    // frames overrun the room given and are decoded again), none, or more.
    ScratchDir dir;
    OwnedCodec codec;
    Bytes archive;
    std::vector<Section> sections;
    std::vector<uint32_t> all;
    std::vector<Bytes> plains;
    for (uint32_t i = 0; i < 120; ++i) {
        const bool large = i % 5 == 0;
        const Bytes plain = mixed_plain(large ? 3 * 32768 + 100 : 300 + 37 * i);
        const Bytes coded = code_frames(codec.state(), plain, large ? 32768 : 1000);
        int64_t said = int64_t(plain.size());
        if (i % 7 == 3) said /= 2;
        if (i % 11 == 4) said = 0;
        if (i % 13 == 5) said += 5000;
        sections.push_back({int64_t(archive.size()), int64_t(coded.size()), said});
        archive.insert(archive.end(), coded.begin(), coded.end());
        all.push_back(i);
        plains.push_back(plain);
    }
    const auto serial = run_planned(dir.path(), archive, sections, all, 1);
    for (uint32_t i = 0; i < 120; ++i) ASSERT_EQ(serial[i].written, plains[i]) << i;
    EXPECT_TRUE(run_planned(dir.path(), archive, sections, all, 2) == serial);
    EXPECT_TRUE(run_planned(dir.path(), archive, sections, all, 4) == serial);
}

TEST(PipelineWorkers, CountComesFromTheCallerTheEnvironmentOrTheMachine) {
    EXPECT_EQ(pipeline_worker_count(3), 3u);
    EXPECT_EQ(pipeline_worker_count(500), kMaxWorkers);
    setenv(kWorkersVariable, "1", 1);
    EXPECT_EQ(pipeline_worker_count(0), 1u);
    setenv(kWorkersVariable, "two", 1);
    const uint32_t processors = processor_count();
    const uint32_t spare = processors > 1 ? processors + 1 : 1;
    const uint32_t machine = spare > kMaxWorkers ? kMaxWorkers : spare;
    EXPECT_EQ(pipeline_worker_count(0), machine);
    unsetenv(kWorkersVariable);
    EXPECT_EQ(pipeline_worker_count(0), machine);
    EXPECT_GE(machine, 1u);
}

}  // namespace
}  // namespace zq::test
