#include "platform/host_files.h"

#include <sys/stat.h>
#include <unistd.h>

namespace zq {

bool host_file_info(const std::string& path, HostFileInfo* info, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
    info->access_time = int64_t(st.st_atime);
    info->write_time = int64_t(st.st_mtime);
    info->read_only = (st.st_mode & S_IWUSR) == 0;
    info->mode = uint32_t(st.st_mode & 07777);
    return true;
}

bool stderr_is_terminal() { return ::isatty(2) == 1; }

}  // namespace zq
