// Puts a pipe in place of standard input or output for the span of a test
// step, so the console routines can be driven and watched byte for byte.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace zq::test {

// Standard input reads `content`, then reaches its end.
class StdinFrom {
public:
    explicit StdinFrom(const std::string& content) {
        int fds[2];
        if (pipe(fds) != 0) return;
        if (write(fds[1], content.data(), content.size()) != ssize_t(content.size())) return;
        close(fds[1]);
        saved_ = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    ~StdinFrom() {
        dup2(saved_, 0);
        close(saved_);
    }

private:
    int saved_ = -1;
};

// Collects what is written to standard output until text() is called.
class StdoutCapture {
public:
    StdoutCapture() {
        if (pipe(fds_) != 0) return;
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        saved_ = dup(1);
        dup2(fds_[1], 1);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, 1);
        close(saved_);
        close(fds_[1]);
        saved_ = -1;
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

}  // namespace zq::test
