#include "pack/progress_line.h"

namespace zq::pack {

namespace {

std::string human_bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof units / sizeof *units) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out) : out_(out), start_(Clock::now()) {}

void ProgressLine::update(const PackProgress& progress) {
    const Clock::time_point now = Clock::now();
    const bool complete =
        progress.files_done == progress.files_total && progress.bytes_done == progress.bytes_total;
    if (drawn_ && !complete && now - drawn_at_ < kRedrawEvery) return;
    draw(progress, now);
}

void ProgressLine::draw(const PackProgress& progress, Clock::time_point now) {
    std::string line = std::to_string(progress.files_done) + "/" +
                       std::to_string(progress.files_total) + " files, " +
                       human_bytes(double(progress.bytes_done)) + " of " +
                       human_bytes(double(progress.bytes_total));
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds > 0) line += ", " + human_bytes(double(progress.bytes_done) / seconds) + "/s";
    const size_t width = line.size();
    if (width < width_) line.append(width_ - width, ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
    width_ = width;
    drawn_ = true;
    drawn_at_ = now;
}

void ProgressLine::finish() {
    if (!drawn_) return;
    std::fputs("\n", out_);
    std::fflush(out_);
    drawn_ = false;
}

}  // namespace zq::pack
