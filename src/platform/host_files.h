// What the packing tools need to know about host files beyond
// std::filesystem: access times and terminals. The one place on the tool side
// that asks the operating system directly.
#pragma once

#include <cstdint>
#include <string>

namespace zq {

struct HostFileInfo {
    int64_t access_time = 0;  // Unix seconds
    int64_t write_time = 0;
    bool read_only = false;   // the owner may not write it
    uint32_t mode = 0;        // the Unix permission bits, mode & 07777
};

// false when the path cannot be examined. `follow` false describes a
// symbolic link itself rather than what it leads to.
bool host_file_info(const std::string& path, HostFileInfo* info, bool follow = true);
bool stderr_is_terminal();

}  // namespace zq
