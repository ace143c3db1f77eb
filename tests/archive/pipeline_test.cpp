// The block pipeline against the serial path: whatever the worker count and
// whatever the damage, a stream gives the same bytes, the same counters, the
// same callbacks and the same status at the same block. Every comparison is
// of results that do not depend on how the threads happen to run.
#include <gtest/gtest.h>

#include "archive/pipeline.h"
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
        StreamOutcome outcome;
        file_seek(session.file(), position, kSeekSet);
        stream_start(&context, int32_t(coded[i]));
        const fs::path out_path = dir / ("out" + std::to_string(workers) + "_" + std::to_string(i));
        fs::remove(out_path);
        const FileHandle out = file_create_new(out_path.c_str());
        g_seen = &outcome.seen;
        g_stop_after = i == 0 ? stop_after : 0;
        outcome.result = stream_to_file(&context, out, note_block);
        file_close(out);
        outcome.written = read_bytes(out_path);
        outcome.status = context.status;
        outcome.coded_done = context.coded_done;
        outcome.plain_done = context.plain_done;
        outcome.coded_left = context.coded_left;
        outcomes.push_back(outcome);
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

TEST(PipelineWorkers, CountComesFromTheCallerTheEnvironmentOrTheMachine) {
    EXPECT_EQ(pipeline_worker_count(3), 3u);
    EXPECT_EQ(pipeline_worker_count(500), kMaxWorkers);
    setenv(kWorkersVariable, "1", 1);
    EXPECT_EQ(pipeline_worker_count(0), 1u);
    setenv(kWorkersVariable, "two", 1);
    const uint32_t machine = processor_count() > kMaxWorkers ? kMaxWorkers : processor_count();
    EXPECT_EQ(pipeline_worker_count(0), machine);
    unsetenv(kWorkersVariable);
    EXPECT_EQ(pipeline_worker_count(0), machine);
    EXPECT_GE(machine, 1u);
}

}  // namespace
}  // namespace zq::test
