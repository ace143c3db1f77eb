// What the packer may replace with its output.
#include <system_error>

#include "writer/packer.h"
#include "writer/tool_error.h"

namespace zq {

void refuse_special_output(const std::filesystem::path& out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status own = fs::symlink_status(out, ec);
    if (ec || !fs::exists(own) || fs::is_regular_file(own)) return;
    const char* what = fs::is_symlink(own)                                    ? "a symbolic link"
                       : fs::is_directory(own)                                ? "a folder"
                       : fs::is_fifo(own)                                     ? "a FIFO"
                       : fs::is_character_file(own) || fs::is_block_file(own) ? "a device"
                                                                              : "a special file";
    fail("the output " + out.string() + " is " + what +
         ", not a regular file: refused (only a file is ever replaced)");
}

}  // namespace zq
