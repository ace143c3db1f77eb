// The line zqpack create redraws on a terminal while it packs: files and
// bytes done, and the rate so far.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "writer/packer.h"

namespace zq::pack {

class ProgressLine {
public:
    explicit ProgressLine(std::FILE* out);
    // Redraws at most a few times a second, but always the first state and
    // the one where everything is done, so the line ends complete.
    void update(const PackProgress& progress);
    // Ends a drawn line with a line break, so what follows starts clean.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kRedrawEvery{250};

    void draw(const PackProgress& progress, Clock::time_point now);

    std::FILE* out_;
    Clock::time_point start_;
    Clock::time_point drawn_at_;
    bool drawn_ = false;
    size_t width_ = 0;  // of the line on screen, to blank what a shorter one leaves
};

}  // namespace zq::pack
