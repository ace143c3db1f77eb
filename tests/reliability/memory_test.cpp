// zqpack's error paths give back what they took. In the sanitizer build
// (-DZQ_SANITIZE=ON) LeakSanitizer reports a leak on the way out (on the
// merged output the test reads), so these runs catch one there; in other
// builds they check the status and the one-line message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "rel_support.h"

namespace rel {
namespace {

namespace fs = std::filesystem;

TEST(ZqpackErrorPaths, RefusedArchivesLeaveNothingAllocated) {
    Scratch scratch;
    const std::string dir = scratch.root();
    fs::create_directories(dir + "/tree/sub");
    write_bytes(dir + "/tree/sub/a.txt", mixed_data(100000, 31));
    write_bytes(dir + "/tree/b.txt", mixed_data(5000, 32));
    // Fixed times make the archives the same bytes in every run, so the byte
    // flipped below changes the same field each time.
    const timespec when[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const char* path : {"/tree/sub/a.txt", "/tree/b.txt", "/tree/sub", "/tree"})
        ASSERT_EQ(utimensat(AT_FDCWD, (dir + path).c_str(), when, 0), 0) << path;
    RunOptions options;
    options.cwd = dir;
    ASSERT_EQ(run_program({zqpack_path(), "create", "--stub", "none", "--password", "right", "-o",
                           "locked.zq", "tree"},
                          options)
                  .status,
              0);
    ASSERT_EQ(
        run_program({zqpack_path(), "create", "--stub", "none", "-o", "open.zq", "tree"}, options)
            .status,
        0);
    // The catalogue sits at the end: cut into it, and flip a byte of it.
    Bytes open = read_bytes(dir + "/open.zq");
    Bytes cut(open.begin(), open.end() - 30);
    const Bytes trailer(open.end() - 4, open.end());
    cut.insert(cut.end(), trailer.begin(), trailer.end());
    write_bytes(dir + "/cut.zq", cut);
    open[open.size() - 12] ^= 0x5A;
    write_bytes(dir + "/flipped.zq", open);

    // Each ends with the self-extractor's status for the same archive.
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{"list", "--password", "wrong", "locked.zq"}, zq::kExitPasswordFail},
        {{"test", "--password", "wrong", "locked.zq"}, zq::kExitPasswordFail},
        {{"list", "cut.zq"}, zq::kExitInvalidArchive},
        {{"test", "cut.zq"}, zq::kExitInvalidArchive},
        {{"list", "flipped.zq"}, zq::kExitInvalidArchive},
    };
    for (auto [args, status] : runs) {
        args.insert(args.begin(), zqpack_path());
        const Outcome outcome = run_program(args, options);
        std::string shown;
        for (size_t i = 1; i < args.size(); ++i) shown += " " + args[i];
        EXPECT_TRUE(outcome.exited()) << shown;
        EXPECT_EQ(outcome.status, status) << "zqpack" << shown << "\n"
                                          << outcome.out.substr(0, 2000);
        EXPECT_NE(outcome.out.find("zqpack: "), std::string::npos) << shown;
        EXPECT_EQ(outcome.out.find("Sanitizer"), std::string::npos) << "zqpack" << shown << "\n"
                                                                    << outcome.out.substr(0, 3000);
    }
}

}  // namespace
}  // namespace rel
