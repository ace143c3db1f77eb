// What the packing tools need to know about host files beyond
// std::filesystem: access times and terminals. The one place on the tool side
// that asks the operating system directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zq {

struct HostFileInfo {
    int64_t access_time = 0;  // Unix seconds
    int64_t write_time = 0;
    bool read_only = false;  // the owner may not write it
    uint32_t mode = 0;       // the Unix permission bits, mode & 07777
    // What tells hard links of one file apart from other files, and its owner.
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t link_count = 1;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

// false when the path cannot be examined. `follow` false describes a
// symbolic link itself rather than what it leads to.
bool host_file_info(const std::string& path, HostFileInfo* info, bool follow = true);
bool stderr_is_terminal();

// An unnamed file for scratch data, open for reading and writing, in $TMPDIR
// (/tmp when it is unset or empty): no name ever leads to it, and the system
// frees it when it is closed or the process ends. Null with the reason in
// `error` when none can be made.
std::FILE* open_scratch_file(std::string* error);

// What tells one version of a file from another while it is read.
struct HostStamp {
    uint64_t size = 0;
    int64_t write_ns = 0;  // modification time, nanoseconds since 1970
    bool operator==(const HostStamp& other) const {
        return size == other.size && write_ns == other.write_ns;
    }
    bool operator!=(const HostStamp& other) const { return !(*this == other); }
};

// A file opened once and read by offset, from any thread: every piece comes
// from the same file even when its name is given to another one meanwhile.
class HostReader {
public:
    explicit HostReader(const std::string& path);
    ~HostReader();
    HostReader(const HostReader&) = delete;
    HostReader& operator=(const HostReader&) = delete;

    // Empty when open; otherwise "cannot read PATH: reason".
    const std::string& error() const { return error_; }
    // Size and modification time now (as at the open when they cannot be read).
    HostStamp stamp() const;
    HostStamp stamp_at_open() const { return opened_; }
    // Reads exactly `count` bytes at `offset`: empty on success, otherwise
    // the reason with the path.
    std::string read_at(uint64_t offset, uint8_t* data, size_t count) const;

private:
    std::string path_;
    int fd_ = -1;
    HostStamp opened_;
    std::string error_;
};

// While a path is registered, SIGINT, SIGTERM and SIGHUP remove that file
// and then end the process by the same signal (a non-zero status); a signal
// ignored when the first path is registered stays ignored. Register and
// forget only while the signals are held, together with the change they
// describe (creating the file; renaming or removing it), so that no signal
// comes between the two.
void hold_interrupts();
void release_interrupts();
void remove_on_interrupt(const std::string& path);
void forget_on_interrupt();

}  // namespace zq
