#include "real_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <vector>

#include "support.h"

namespace zq::test {

namespace {

void check(bool done, const std::string& what) {
    if (!done) throw std::runtime_error("cannot make the test tree: " + what);
}

void set_write_time(const fs::path& path, int64_t when) {
    const struct timespec times[2] = {{time_t(kPinnedAccessTime), 0}, {time_t(when), 0}};
    check(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, path.string());
}

void set_mode(const fs::path& path, mode_t mode) {
    check(::chmod(path.c_str(), mode) == 0, path.string());
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "0%o", unsigned(mode));
    return text;
}

mode_t current_umask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

}  // namespace

void make_real_tree(const fs::path& top, bool plain) {
    fs::create_directories(top / "private");
    fs::create_directories(top / "shared");
    fs::create_directories(top / "empty");
    write_bytes(top / "readme.txt", bytes_of("Read me first.\n"));
    write_bytes(top / "setup.sh", bytes_of("#!/bin/sh\necho set up\n"), true);
    write_bytes(top / "private" / "secret.txt", bytes_of("only for the owner\n"));
    set_mode(top / "private" / "secret.txt", 0600);
    // One file under three names in three folders; its data is large enough
    // to take several frames.
    const fs::path data = top / "shared" / "data.bin";
    write_bytes(data, mixed_data(100000, 7));
    for (const fs::path& other : {top / "data.bin", top / "private" / "data.bin"}) {
        if (plain) {
            write_bytes(other, read_bytes(data));
        } else {
            check(::link(data.c_str(), other.c_str()) == 0, other.string());
        }
    }
    fs::create_symlink("../readme.txt", top / "shared" / "readme.lnk");
    pin_times(top);
    // Folders last: their contents are complete, and each has a time of its own.
    set_mode(top, 0755);
    set_mode(top / "private", plain ? 0755 : 0700);
    set_mode(top / "shared", plain ? 0755 : 02775);
    set_mode(top / "empty", plain ? 0755 : 0750);
    int64_t when = kPinnedWriteTime;
    for (const fs::path& folder : {top / "private", top / "shared", top / "empty", top})
        set_write_time(folder, plain ? kPinnedWriteTime : ++when);
}

std::string tree_differences(const fs::path& original, const fs::path& copy) {
    const mode_t mask = current_umask();
    std::string failures;
    auto differ = [&failures](const fs::path& path, const std::string& what) {
        failures += path.string() + ": " + what + "\n";
    };
    std::map<ino_t, ino_t> same_file;  // original inode -> copy inode
    std::vector<fs::path> names = {fs::path()};
    for (const auto& entry : fs::recursive_directory_iterator(original))
        names.push_back(fs::relative(entry.path(), original));
    for (const fs::path& name : names) {
        struct stat was {};
        struct stat now {};
        check(::lstat((original / name).c_str(), &was) == 0, name.string());
        if (::lstat((copy / name).c_str(), &now) != 0) {
            differ(name, "missing");
            continue;
        }
        if ((was.st_mode & S_IFMT) != (now.st_mode & S_IFMT)) {
            differ(name, "of another type");
            continue;
        }
        if (S_ISLNK(was.st_mode)) {
            if (fs::read_symlink(original / name) != fs::read_symlink(copy / name))
                differ(name, "leads elsewhere");
            continue;
        }
        const mode_t kept = S_ISDIR(was.st_mode) ? 03000 : 0;
        const mode_t wanted = (was.st_mode & 0777 & ~mask) | (was.st_mode & kept);
        if ((now.st_mode & 07777) != wanted)
            differ(name, "mode " + octal(now.st_mode & 07777) + ", not " + octal(wanted));
        if (now.st_mtime != was.st_mtime) differ(name, "another write time");
        if (S_ISDIR(was.st_mode)) continue;
        if (read_bytes(original / name) != read_bytes(copy / name)) differ(name, "other contents");
        if (now.st_nlink != was.st_nlink) differ(name, "another link count");
        const auto [at, fresh] = same_file.emplace(was.st_ino, now.st_ino);
        if (!fresh && at->second != now.st_ino) differ(name, "not the file of its other names");
    }
    return failures;
}

}  // namespace zq::test
