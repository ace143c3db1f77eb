#include "scratch_dir.h"

#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

void ScratchDir::SetUp() {
    previous_ = cwd();
    char pattern[] = "/tmp/zq_driver_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(chdir(root_.c_str()), 0);
}

void ScratchDir::TearDown() {
    ASSERT_EQ(chdir(previous_.c_str()), 0);
    zq::test::remove_tree(root_);
}

void ScratchDir::write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::string ScratchDir::read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ScratchDir::exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool ScratchDir::is_dir(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ScratchDir::cwd() {
    char here[PATH_MAX];
    return getcwd(here, sizeof here) ? here : "";
}
