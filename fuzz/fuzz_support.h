// Helpers shared by the fuzz targets: the archive layer reads through file
// handles, so untrusted bytes are handed to it through an anonymous memory
// file that is refilled for every input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace zq::fuzz {

// Aborts (a crash the fuzzer reports) when an invariant does not hold.
inline void check(bool condition) {
    if (!condition) std::abort();
}

// One memory file for the life of the process, holding exactly the bytes of
// the current input, positioned at its start.
class MemoryFile {
public:
    MemoryFile() : fd_(int(memfd_create("zq_fuzz", MFD_CLOEXEC))) { check(fd_ > 2); }
    int fd() const { return fd_; }
    void fill(const uint8_t* data, size_t size) {
        check(ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, off_t(done));
            check(n > 0);
            done += size_t(n);
        }
        check(lseek(fd_, 0, SEEK_SET) == 0);
    }

private:
    int fd_;
};

}  // namespace zq::fuzz
