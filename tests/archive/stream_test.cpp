// The block streams over real files: statuses, bounds, counters and the
// archive position they leave behind.
#include <gtest/gtest.h>

#include "archive/stream.h"
#include "archive_test_support.h"
#include "codec/crc32.h"

namespace zq::test {
namespace {

Bytes sample_text(size_t size) {
    Bytes out;
    const std::string words = "the quick brown fox jumps over the lazy dog, again and again; ";
    for (size_t i = 0; out.size() < size; ++i)
        out.push_back(uint8_t(words[i % words.size()] + (i / 977) % 3));
    return out;
}

class StreamTest : public ::testing::Test {
protected:
    // Writes `bytes` as the archive and opens a session over it.
    ReaderSession& open(const Bytes& bytes) {
        write_bytes(archive_path(), bytes);
        session_ = std::make_unique<ReaderSession>(archive_path());
        EXPECT_TRUE(session_->ok());
        return *session_;
    }
    fs::path archive_path() const { return dir_ / "archive"; }
    int32_t position() { return file_seek(session_->file(), 0, kSeekCur); }

    ScratchDir dir_;
    OwnedCodec codec_;
    std::unique_ptr<ReaderSession> session_;
};

TEST_F(StreamTest, InitSetsUpTheContextAndRefusesNull) {
    EXPECT_EQ(stream_init(nullptr), kStreamBadBlock);
    StreamContext context{};
    context.status = 5;
    ASSERT_EQ(stream_init(&context), kStreamOk);
    EXPECT_EQ(context.archive_file, kNoFile);
    EXPECT_EQ(context.coded_left, -1);
    EXPECT_EQ(context.status, 5);  // left alone until a reset
    EXPECT_NE(context.coded_buf, nullptr);
    EXPECT_NE(context.plain_buf, nullptr);
    EXPECT_EQ(context.plain_buf[kBlockSize + 1], 0);
    stream_start(&context, 0);
    EXPECT_EQ(context.status, 0);
    release_stream(&context);
}

TEST_F(StreamTest, MemoryStreamFillsExactlyUpToItsBound) {
    const Bytes plain = sample_text(40000);  // frames of 32768 and 7232 plain bytes
    const Bytes frames = code_frames(codec_.state(), plain);
    ReaderSession& s = open(frames);
    StreamContext& c = s.context();

    c.coded_left = int32_t(frames.size());
    Bytes area(plain.size() + 1, 0xEE);
    ASSERT_EQ(stream_to_memory(&c, area.data(), uint32_t(plain.size())), kStreamOk);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), area.begin()));
    EXPECT_EQ(area.back(), 0xEE);
    EXPECT_EQ(c.plain_done, plain.size());
    EXPECT_EQ(c.coded_done, frames.size());
    EXPECT_EQ(c.coded_left, 0);
    EXPECT_EQ(position(), int32_t(frames.size()));

    // One byte short of room: the area is filled to the bound and no further,
    // and the counters already hold the whole last block.
    file_seek(s.file(), 0, kSeekSet);
    stream_start(&c, int32_t(frames.size()));
    std::fill(area.begin(), area.end(), 0xEE);
    const uint32_t bound = uint32_t(plain.size() - 1);
    ASSERT_EQ(stream_to_memory(&c, area.data(), bound), kStreamOverBound);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + bound, area.begin()));
    EXPECT_EQ(area[bound], 0xEE);
    EXPECT_EQ(c.plain_done, plain.size());
}

TEST_F(StreamTest, NothingIsReadWithoutCodedBytesLeft) {
    ReaderSession& s = open(code_frames(codec_.state(), sample_text(100)));
    StreamContext& c = s.context();
    uint8_t area[8] = {};
    EXPECT_EQ(c.coded_left, -1);
    EXPECT_EQ(stream_to_memory(&c, area, sizeof area), kStreamOk);
    c.coded_left = 0;
    EXPECT_EQ(stream_to_file(&c, kNoFile, nullptr), kStreamOk);
    EXPECT_EQ(position(), 0);
    EXPECT_EQ(c.plain_done, 0u);
}

TEST_F(StreamTest, CutShortInsideAHeaderOrAPayloadIsAShortRead) {
    const Bytes frames = code_frames(codec_.state(), sample_text(40000));
    const uint32_t first_frame = 2 + (((frames[0] & 0x7F) << 8) | frames[1]);
    for (size_t cut : {size_t(1), size_t(first_frame + 1), frames.size() - 1}) {
        SCOPED_TRACE(cut);
        ReaderSession& s = open(Bytes(frames.begin(), frames.begin() + cut));
        StreamContext& c = s.context();
        c.coded_left = int32_t(frames.size());
        Bytes area(40000);
        EXPECT_EQ(stream_to_memory(&c, area.data(), uint32_t(area.size())), kStreamShortRead);
        EXPECT_EQ(c.coded_done, cut > first_frame ? first_frame : 0u);
    }
}

TEST_F(StreamTest, ABlockThatDoesNotDecodeStopsTheStream) {
    // A compressed payload of two bytes that cannot reach the end symbol.
    ReaderSession& s = open(Bytes{0x00, 0x02, 0xFF, 0xFF});
    StreamContext& c = s.context();
    c.coded_left = 4;
    uint8_t area[64];
    EXPECT_EQ(stream_to_memory(&c, area, sizeof area), kStreamBadBlock);
    EXPECT_NE(c.status, 0);
    EXPECT_EQ(c.coded_done, 0u);
}

struct StopAfter {
    static inline int calls = 0;
    static inline int stop_at = 0;
    static inline uint32_t seen_plain = 0;
    static void callback(StreamContext* context, int16_t* stop) {
        ++calls;
        seen_plain = context->plain_done;
        if (calls == stop_at) *stop = 1;
    }
};

TEST_F(StreamTest, FileStreamReportsEachBlockAndHonoursTheStopFlag) {
    const Bytes plain = sample_text(3000);
    const Bytes frames = code_frames(codec_.state(), plain.data(), plain.size(), 1000);
    const uint32_t first_frame = 2 + (((frames[0] & 0x7F) << 8) | frames[1]);

    for (int stop_at : {1, 3}) {
        SCOPED_TRACE(stop_at);
        ReaderSession& s = open(frames);
        StreamContext& c = s.context();
        const fs::path out_path = dir_ / ("out" + std::to_string(stop_at));
        FileHandle out = file_create_new(out_path.string().c_str());
        ASSERT_NE(out, kNoFile);
        StopAfter::calls = 0;
        StopAfter::stop_at = stop_at;
        c.coded_left = int32_t(frames.size());
        int16_t result = stream_to_file(&c, out, StopAfter::callback);
        file_close(out);
        if (stop_at == 1) {
            // Stopped before the second frame was read.
            EXPECT_EQ(result, kStreamStopped);
            EXPECT_EQ(StopAfter::calls, 1);
            EXPECT_EQ(StopAfter::seen_plain, 1000u);
            EXPECT_EQ(position(), int32_t(first_frame));
            EXPECT_EQ(read_bytes(out_path), Bytes(plain.begin(), plain.begin() + 1000));
        } else {
            // A stop after the last block goes unnoticed.
            EXPECT_EQ(result, kStreamOk);
            EXPECT_EQ(StopAfter::calls, 3);
            EXPECT_EQ(StopAfter::seen_plain, 3000u);
            EXPECT_EQ(read_bytes(out_path), plain);
        }
    }
}

TEST_F(StreamTest, AnOutputThatTakesNothingIsAShortWrite) {
    ReaderSession& s = open(code_frames(codec_.state(), sample_text(500)));
    StreamContext& c = s.context();
    write_bytes(dir_ / "readonly", Bytes{1});
    FileHandle out = file_open_read((dir_ / "readonly").string().c_str());
    c.coded_left = 1;
    EXPECT_EQ(stream_to_file(&c, out, nullptr), kStreamShortWrite);
    EXPECT_EQ(c.plain_done, 500u);
    file_close(out);
}

TEST_F(StreamTest, RawCopiesMoveExactlyTheirCount) {
    const Bytes data = noise(32771 + 10, 7);
    for (uint32_t count : {32770u, 32771u}) {
        SCOPED_TRACE(count);
        ReaderSession& s = open(data);
        const fs::path out_path = dir_ / ("raw" + std::to_string(count));
        FileHandle out = file_create_new(out_path.string().c_str());
        EXPECT_EQ(copy_raw(&s.context(), out, count), 0);
        file_close(out);
        EXPECT_EQ(read_bytes(out_path), Bytes(data.begin(), data.begin() + count));
        EXPECT_EQ(position(), int32_t(count));
        EXPECT_EQ(s.context().plain_done, 0u);  // counters untouched
    }
    // Asking for more than the archive holds fails.
    ReaderSession& s = open(Bytes(data.begin(), data.begin() + 100));
    const fs::path out_path = dir_ / "raw-short";
    FileHandle out = file_create_new(out_path.string().c_str());
    EXPECT_EQ(copy_raw(&s.context(), out, 101), kStreamCopyFailed);
    file_close(out);
}

TEST_F(StreamTest, ConsecutiveStreamsReadConsecutiveFrames) {
    const Bytes first_plain = sample_text(33000);
    const Bytes second_plain = noise(700, 3);
    const Bytes first = code_frames(codec_.state(), first_plain);
    const Bytes second = code_frames(codec_.state(), second_plain);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    ReaderSession& s = open(both);
    StreamContext& c = s.context();

    Bytes area1(first_plain.size());
    Bytes area2(second_plain.size());
    c.coded_left = int32_t(first.size());
    ASSERT_EQ(stream_to_memory(&c, area1.data(), uint32_t(area1.size())), kStreamOk);
    EXPECT_EQ(position(), int32_t(first.size()));
    // A coded size that ends inside the frame still consumes the whole frame.
    stream_start(&c, int32_t(second.size() - 5));
    ASSERT_EQ(stream_to_memory(&c, area2.data(), uint32_t(area2.size())), kStreamOk);
    EXPECT_EQ(area1, first_plain);
    EXPECT_EQ(area2, second_plain);
    EXPECT_EQ(position(), int32_t(both.size()));
    EXPECT_EQ(c.coded_left, -5);
}

// Both writers keep the file's CRC-32 only for a record that carries one; a
// stream started after a file without one checks the next file again.
TEST_F(StreamTest, TheChecksumRunsOnlyWhenWanted) {
    const Bytes plain = sample_text(40000);
    const Bytes frames = code_frames(codec_.state(), plain);
    const uint32_t expected = crc32_of(plain.data(), plain.size());
    for (bool coded : {true, false}) {
        for (bool wanted : {false, true}) {
            SCOPED_TRACE(std::string(coded ? "coded" : "raw") +
                         (wanted ? ", wanted" : ", not wanted"));
            StreamContext& c = open(coded ? frames : plain).context();
            checksum_start(&c, wanted);
            if (coded) {
                stream_start(&c, int32_t(frames.size()));
                ASSERT_EQ(stream_to_file(&c, kNoFile, nullptr), kStreamOk);
            } else {
                ASSERT_EQ(copy_raw(&c, kNoFile, uint32_t(plain.size())), kStreamOk);
            }
            EXPECT_EQ(crc32_final(c.crc), wanted ? expected : crc32_final(kCrc32Start));
        }
    }
}

}  // namespace
}  // namespace zq::test
