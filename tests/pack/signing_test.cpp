// Windows self-extractors signed with Authenticode, by osslsigncode with a
// throwaway certificate: zqpack reads them as it reads the unsigned file,
// also after re-signing, with a nested signature and through the padding a
// tool adds to a file whose length is not a multiple of 8; and the
// signature covers the archive.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "pe_image.h"
#include "support.h"

namespace zq::test {
namespace {

class Signing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new ScratchDir("signing_keys");
        const std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 3 -subj "
            "/CN=zqsfx-test -keyout '" +
            (*keys_ / "key.pem").string() + "' -out '" + (*keys_ / "cert.pem").string() +
            "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }

    void SetUp() override {
        write_bytes(dir_ / "tree" / "a.txt", text_lines(70000, 'a'));
        write_bytes(dir_ / "tree" / "sub" / "b.bin", noise(5000, 3));
        pin_times(dir_ / "tree");
        write_bytes(dir_ / "stub.exe", minimal_pe());
    }

    // The exit status of a shell command run in the scratch folder, its
    // output to `log`.
    int sh(const std::string& command) {
        const std::string line =
            "cd '" + dir_.string() + "' && " + command + " >'" + (dir_ / "log").string() + "' 2>&1";
        const int raw = std::system(line.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string log() { return read_text(dir_ / "log"); }

    int sign(const std::string& in, const std::string& out, const std::string& extra = "") {
        return sh("osslsigncode sign " + extra + " -certs '" + (*keys_ / "cert.pem").string() +
                  "' -key '" + (*keys_ / "key.pem").string() + "' -in " + in + " -out " + out);
    }
    int verify(const std::string& file) {
        return sh("osslsigncode verify -CAfile '" + (*keys_ / "cert.pem").string() + "' -in " +
                  file);
    }
    // zqpack's listing of `file`, with the file's name taken out.
    std::string listed(const std::string& file) {
        EXPECT_EQ(sh("'" + zqpack_path() + "' list " + file), 0) << log();
        std::string text = log();
        for (size_t at; (at = text.find(file)) != std::string::npos;) text.erase(at, file.size());
        return text;
    }
    // `file` extracted by zqpack into its own folder: every name and content.
    std::vector<std::string> extracted(const std::string& file) {
        EXPECT_EQ(sh("'" + zqpack_path() + "' extract -q -C out_" + file + " " + file), 0) << log();
        std::vector<std::string> entries;
        const fs::path top = dir_ / ("out_" + file);
        for (const std::string& name : listing(top))
            entries.push_back(name + "=" + (name.back() == '/' ? "" : read_text(top / name)));
        return entries;
    }

    static ScratchDir* keys_;
    ScratchDir dir_{"signing"};
};

ScratchDir* Signing::keys_ = nullptr;

TEST_F(Signing, SignedAndResignedFilesReadAsTheUnsignedOne) {
    ASSERT_EQ(sh("'" + zqpack_path() + "' create --stub stub.exe -o plain.exe tree"), 0) << log();
    EXPECT_EQ(read_bytes(dir_ / "plain.exe").size() % 8, 0u);
    ASSERT_EQ(sign("plain.exe", "signed.exe"), 0) << log();
    // Aligned already: the tool appended its table and added no padding.
    const Bytes signed_bytes = read_bytes(dir_ / "signed.exe");
    const Bytes plain_bytes = read_bytes(dir_ / "plain.exe");
    ASSERT_GT(signed_bytes.size(), plain_bytes.size());
    EXPECT_TRUE(
        std::equal(plain_bytes.begin() + 0x100, plain_bytes.end(), signed_bytes.begin() + 0x100));
    EXPECT_EQ(verify("signed.exe"), 0) << log();

    ASSERT_EQ(sign("signed.exe", "resigned.exe"), 0) << log();
    EXPECT_EQ(verify("resigned.exe"), 0) << log();
    ASSERT_EQ(sign("signed.exe", "nested.exe", "-nest"), 0) << log();
    EXPECT_EQ(verify("nested.exe"), 0) << log();
    EXPECT_NE(log().find("Number of verified signatures: 2"), std::string::npos) << log();

    const std::string listing_text = listed("plain.exe");
    const std::vector<std::string> files = extracted("plain.exe");
    ASSERT_EQ(files.size(), 4u);
    for (const std::string file : {"signed.exe", "resigned.exe", "nested.exe"}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(listed(file), listing_text);
        EXPECT_EQ(sh("'" + zqpack_path() + "' test " + file), 0) << log();
        EXPECT_EQ(extracted(file), files);
    }
}

TEST_F(Signing, ChangingTheArchiveAfterSigningBreaksTheSignature) {
    ASSERT_EQ(sh("'" + zqpack_path() + "' create --stub stub.exe -o plain.exe tree"), 0) << log();
    ASSERT_EQ(sign("plain.exe", "signed.exe"), 0) << log();
    Bytes file = read_bytes(dir_ / "signed.exe");
    file[minimal_pe().size() + 20] ^= 0x01;  // a byte of the first file's data
    write_bytes(dir_ / "changed.exe", file);
    EXPECT_NE(verify("changed.exe"), 0) << log();
}

TEST_F(Signing, PaddingAddedToAFileOfAnotherLengthIsPassedOver) {
    // Bytes between the catalogue and the trailer are never read, so they
    // give files of every length from one archive.
    ASSERT_EQ(sh("'" + zqpack_path() + "' create --stub none -o bare.zq tree"), 0) << log();
    Bytes archive = read_bytes(dir_ / "bare.zq");
    archive.resize(archive.size() - 4);  // its trailer
    const std::string listing_text = listed("bare.zq");
    for (size_t extra = 0; extra < 8; ++extra) {
        SCOPED_TRACE(extra);
        Bytes spaced = archive;
        spaced.resize(archive.size() + extra, 0);
        write_bytes(dir_ / "odd.exe", self_extractor_bytes(minimal_pe(), spaced));
        ASSERT_EQ(sign("odd.exe", "odd_signed.exe"), 0) << log();
        EXPECT_EQ(verify("odd_signed.exe"), 0) << log();
        std::string text = listed("odd_signed.exe");
        EXPECT_EQ(text, listing_text);
        std::error_code ec;
        fs::remove(dir_ / "odd_signed.exe", ec);
    }
}

TEST_F(Signing, OnlyWindowsSelfExtractorsGetZerosInFrontOfTheirTrailer) {
    const std::string pack = "'" + zqpack_path() + "' create -o ";
    ASSERT_EQ(sh(pack + "bare.zq --stub none tree"), 0) << log();
    ASSERT_EQ(sh(pack + "linux.sfx --stub '" + host_stub_path() + "' tree"), 0) << log();
    ASSERT_EQ(sh(pack + "win.exe --stub stub.exe tree"), 0) << log();
    const Bytes bare = read_bytes(dir_ / "bare.zq");
    const Bytes archive(bare.begin(), bare.end() - 4);
    const Bytes linux_stub = read_bytes(host_stub_path());
    EXPECT_EQ(read_bytes(dir_ / "linux.sfx"), self_extractor_bytes(linux_stub, archive));

    const Bytes win = read_bytes(dir_ / "win.exe");
    EXPECT_EQ(win.size() % 8, 0u);
    Bytes padded = archive;
    padded[3] = win[minimal_pe().size() + 3];  // the code page the names are stored in
    padded.resize(win.size() - minimal_pe().size() - 4, 0);
    ASSERT_LT(padded.size() - archive.size(), 8u);
    EXPECT_EQ(win, self_extractor_bytes(minimal_pe(), padded));
}

TEST_F(Signing, VersionTextsNeedAStubWithAVersionResource) {
    EXPECT_EQ(sh("'" + zqpack_path() + "' create --stub stub.exe --product-name P -o p.exe tree"),
              1);
    EXPECT_NE(log().find("the stub has no resources"), std::string::npos) << log();
    EXPECT_EQ(sh("'" + zqpack_path() + "' create --stub none --company-name C -o p.zq tree"), 1);
    EXPECT_NE(log().find("for a Windows stub"), std::string::npos) << log();
}

}  // namespace
}  // namespace zq::test
