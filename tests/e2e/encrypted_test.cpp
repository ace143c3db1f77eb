// Encrypted self-extractors made by `zqpack create --encrypt`: nothing of the
// files shows in them, the right password gives the files back exactly, a
// wrong one is asked again, no answer writes nothing, and no damage to the
// archive part ever yields a wrong file or a success with files missing.
#include <filesystem>

#include "format/sealed_format.h"
#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string kPassword =
    "Kor\xc3\xa9"
    "ander 7";

class Encrypted : public EndToEnd {
protected:
    void SetUp() override {
        EndToEnd::SetUp();
        source_ = root_ + "/src";
        put("tree/plans-for-the-heist.txt", "MEET AT THE NORTHERN GATE AT MIDNIGHT\n");
        std::string text;
        for (int i = 0; text.size() < 200000; ++i)
            text += "ledger entry " + std::to_string(i * 7919 % 100000) + " confidential\n";
        put("tree/vault/ledger.csv", text);
        put("tree/vault/noise.bin", zq::test::text_of(zq::test::noise(70000, 9)));
    }

    void put(const std::string& path, const std::string& content) {
        const fs::path full = source_ + "/" + path;
        fs::create_directories(full.parent_path());
        zq::test::write_bytes(full, bytes_of(content));
    }

    // A cheap key derivation keeps the runs quick; the format is the same.
    std::string pack(const std::string& tree = "tree", const std::string& name = "sealed") {
        const std::string out = root_ + "/" + name + (ends_with(stub_path(), ".exe") ? ".exe" : "");
        const RunResult made = run_host({zqpack_path(), "create", "-o", out, "--stub",
                                         encrypted_stub_path(), "--encrypt", "--password",
                                         kPassword, "--scrypt-log2n", "8", source_ + "/" + tree});
        EXPECT_EQ(made.status, 0) << made.out;
        return out;
    }

    std::string source_;
};

bool contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

TEST_F(Encrypted, HidesNamesAndContentsAndGivesThemBackExactly) {
    const std::string sfx = pack();
    const Bytes image = zq::test::read_bytes(sfx);
    for (const char* secret : {"plans-for-the-heist", "NORTHERN GATE", "ledger.csv", "vault",
                               "confidential", "noise.bin"}) {
        EXPECT_FALSE(contains(image, secret)) << secret;
    }
    const std::string noise = zq::test::text_of(zq::test::noise(70000, 9));
    EXPECT_FALSE(contains(image, noise.substr(1000, 16)));

    // Letter case counts: the key derives from the exact bytes.
    const RunResult result = run(sfx, say({"KOR\xc3\x89"
                                           "ANDER 7\n",
                                           kPassword + "\n"}));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(console("Password: \r\nPassword fail\r\nPassword: \r")),
              std::string::npos)
        << result.out;
    for (const char* file : {"plans-for-the-heist.txt", "vault/ledger.csv", "vault/noise.bin"}) {
        EXPECT_EQ(zq::test::read_bytes(work(std::string("tree/") + file)),
                  zq::test::read_bytes(source_ + "/tree/" + file))
            << file;
    }
    EXPECT_TRUE(no_temp_files());
}

TEST_F(Encrypted, NoAnswerWritesNothing) {
    const std::string sfx = pack();
    RunResult result = run(sfx, say({}));
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(ends_with(result.out, console("Password: ") + failure("Abort !"))) << result.out;
    result = run(sfx, say({"not it\n"}));
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_TRUE(listing().empty());
}

TEST_F(Encrypted, ZqpackReadsItWithThePassword) {
    const std::string sfx = pack();
    RunResult result = run_host({zqpack_path(), "test", "--password", kPassword, sfx});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("3 files, "), std::string::npos) << result.out;
    result = run_host({zqpack_path(), "list", "--password", "wrong", sfx});
    EXPECT_EQ(result.status, zq::kExitPasswordFail) << result.out;
    result = run_host({zqpack_path(), "extract", "-q", "--password", kPassword, sfx, "-C", work_});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(zq::test::read_bytes(work("tree/vault/ledger.csv")),
              zq::test::read_bytes(source_ + "/tree/vault/ledger.csv"));
}

// A stub built without the decryption (the plain Windows one) is never put in
// front of an encrypted archive, and reads one as an invalid archive, writing
// nothing. The refusal is checked on a copy of a decrypting stub whose marks
// are struck out where the stub under test decrypts (a sanitizer's build
// holds more than one).
TEST_F(Encrypted, AStubWithoutTheDecryptionNeitherTakesNorReadsOne) {
    const std::string mark = zq::kEncryptedReaderMark;
    Bytes plain_stub = zq::test::read_bytes(stub_path());
    const bool stub_decrypts = contains(plain_stub, mark);
    for (auto at = plain_stub.begin();
         (at = std::search(at, plain_stub.end(), mark.begin(), mark.end())) != plain_stub.end();)
        *at ^= 0x20;
    const std::string exe = ends_with(stub_path(), ".exe") ? ".exe" : "";
    const std::string front = root_ + "/no-decryption" + exe;
    zq::test::write_bytes(front, plain_stub, true);
    const std::string out = root_ + "/refused" + exe;
    // Through a shell that joins standard error to the output read here.
    const RunResult made =
        run_host({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", zqpack_path(), "create", "-o", out,
                  "--stub", front, "--encrypt", "--password", kPassword, source_ + "/tree"});
    EXPECT_NE(made.status, 0);
    EXPECT_NE(made.out.find("cannot decrypt"), std::string::npos) << made.out;
    EXPECT_FALSE(fs::exists(out));
    // An encrypted archive is a narrow one, which a stub that reads the wide
    // form only does not read at all.
    if (stub_decrypts || zq::test::stub_reads_wide_only()) return;

    const std::string bare = root_ + "/bare";
    ASSERT_EQ(run_host({zqpack_path(), "create", "-o", bare, "--stub", "none", "--encrypt",
                        "--password", kPassword, "--scrypt-log2n", "8", source_ + "/tree"})
                  .status,
              0);
    const std::string sfx = root_ + "/sealed-behind-plain" + exe;
    zq::test::write_sfx(sfx, zq::test::read_bytes(bare), kPassword);
    const RunResult result = run(sfx, say({kPassword + "\n"}));
    EXPECT_EQ(result.status, zq::kExitInvalidArchive) << result.out;
    EXPECT_TRUE(ends_with(result.out, failure("Invalid archive"))) << result.out;
    EXPECT_TRUE(listing().empty());
}

// The plain archive is built in an unnamed scratch file under $TMPDIR before
// it is sealed: nothing is left there under a name, and a folder that cannot
// hold it is named in the refusal.
TEST_F(Encrypted, ThePlainCopyStaysUnnamedUnderTmpdir) {
    if (under_wine()) GTEST_SKIP() << "zqpack only: the Linux runs cover it";
    const std::string scratch = root_ + "/scratch";
    fs::create_directories(scratch);
    const std::string out = root_ + "/sealed";
    auto pack_with_tmpdir = [&](const std::string& tmpdir) {
        // Through a shell that joins standard error to the output read here.
        return run_host({"/bin/sh", "-c", "TMPDIR=\"$0\" exec \"$@\" 2>&1", tmpdir, zqpack_path(),
                         "create", "-o", out, "--stub", "none", "--encrypt", "--password",
                         kPassword, "--scrypt-log2n", "8", source_ + "/tree"});
    };
    RunResult made = pack_with_tmpdir(scratch);
    EXPECT_EQ(made.status, 0) << made.out;
    EXPECT_TRUE(fs::is_empty(scratch));
    fs::remove(out);
    made = pack_with_tmpdir(root_ + "/missing");
    EXPECT_NE(made.status, 0);
    EXPECT_NE(made.out.find("scratch file in " + root_ + "/missing"), std::string::npos)
        << made.out;
    EXPECT_FALSE(fs::exists(out));
}

// Every byte of the archive part (the envelope and the trailer) of a small
// self-extractor, flipped in turn: a run may fail, with any code, but a file
// it leaves is always the right one, and a success always has every file.
TEST_F(Encrypted, NoFlippedByteGivesAWrongFileOrAFalseSuccess) {
    if (under_wine()) GTEST_SKIP() << "one run per byte: the sweep runs on the Linux stub";
    put("small/note.txt", "a short secret note\n");
    put("small/second.txt", "and a second one\n");
    const std::string sfx = pack("small", "small");
    const Bytes image = zq::test::read_bytes(sfx);
    const size_t archive_start = zq::load_u32(&image[image.size() - 4]);
    ASSERT_LT(archive_start, image.size());
    const std::string flipped = root_ + "/flipped";
    int successes = 0;
    for (size_t at = archive_start; at < image.size(); ++at) {
        Bytes changed = image;
        changed[at] ^= 0x20;
        zq::test::write_bytes(flipped, changed, true);
        fs::remove_all(work_);
        fs::create_directories(work_);
        const RunResult result = run(flipped, say({kPassword + "\n"}));
        ASSERT_GE(result.status, 0) << at;
        for (const std::string& name : listing()) {
            if (name.back() == '/') continue;
            EXPECT_EQ(read_file(name), zq::test::read_text(source_ + "/" + name)) << at;
        }
        if (result.status == 0) {
            ++successes;
            EXPECT_EQ(listing(),
                      (std::vector<std::string>{"small/", "small/note.txt", "small/second.txt"}))
                << at;
        }
        EXPECT_TRUE(no_temp_files()) << at;
    }
    // Only the trailer's top bytes could be changed harmlessly, and they
    // cannot: they are part of the archive's offset.
    EXPECT_EQ(successes, 0);
}

}  // namespace
}  // namespace e2e
