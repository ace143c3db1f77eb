// The progress bar: how many marks appear as the blocks of a file come in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/state.h"
#include "std_redirect.h"

using namespace zq;
using zq::test::StdinFrom;
using zq::test::StdoutCapture;

namespace {

// Runs the reset call and then one call per cumulative count; returns the
// marks written after each call.
std::vector<size_t> marks_after(uint32_t total, const std::vector<uint32_t>& done_counts) {
    StreamContext context{};
    context.plain_total = total;
    std::vector<size_t> marks;
    StdoutCapture out;
    progress_update(&context, nullptr);
    std::string reset_output = out.text();
    EXPECT_EQ(reset_output, "");
    for (uint32_t done : done_counts) {
        StdoutCapture step;
        int16_t stop = 0;
        context.plain_done = done;
        progress_update(&context, &stop);
        EXPECT_EQ(stop, 0);
        const std::string text = step.text();
        EXPECT_EQ(text.find_first_not_of('#'), std::string::npos) << text;
        marks.push_back((marks.empty() ? 0 : marks.back()) + text.size());
    }
    return marks;
}

}  // namespace

TEST(Progress, MarksFollowTheBlocks) {
    // 100000 bytes: one mark per 2040 bytes, the 49th when the file is complete.
    EXPECT_EQ(marks_after(100000, {32768, 65536, 98304, 100000}),
              (std::vector<size_t>{16, 32, 48, 49}));
    // One block holds the whole file: all marks at once.
    EXPECT_EQ(marks_after(32768, {32768}), (std::vector<size_t>{49}));
    // Fewer than 49 bytes: nothing until complete, then all of them.
    EXPECT_EQ(marks_after(40, {39, 40}), (std::vector<size_t>{0, 49}));
}

TEST(Progress, NeverMoreThan49Marks) {
    EXPECT_EQ(marks_after(1000, {5000, 9000}), (std::vector<size_t>{49, 49}));
    // Tiny blocks one after another still add up to exactly 49.
    std::vector<uint32_t> counts;
    for (uint32_t done = 7; done <= 343; done += 7) counts.push_back(done);
    EXPECT_EQ(marks_after(343, counts).back(), 49u);
    EXPECT_EQ(marks_after(343, counts)[0], 1u);
}

TEST(Progress, AShortFileStopsPartWay) {
    EXPECT_EQ(marks_after(100000, {32768, 50000}), (std::vector<size_t>{16, 24}));
    // A new file starts a new bar.
    EXPECT_EQ(marks_after(100000, {100000}), (std::vector<size_t>{49}));
}
