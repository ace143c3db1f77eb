// Damage sweeps over a real self-extractor made by zqpack: cut at every byte
// of its archive, and every bit of its header, catalogue and trailer flipped
// in turn. Every run must end with a code of the table and its message,
// never by a signal or a hang; nothing may appear outside the run folder, no
// temporary file may be left, and no file may be partial: each file under a
// target name is either the original byte for byte or, where the damage
// changed what the catalogue says about its data (the format carries no
// checksum), exactly the size the damaged catalogue records.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "archive/catalogue.h"
#include "rel_support.h"

namespace rel {
namespace {

namespace fs = std::filesystem;

// The suite is registered twice, the second time with ZQSFX_WORKERS=3.
bool serial_run() {
    const char* workers = std::getenv("ZQSFX_WORKERS");
    return workers == nullptr || std::string(workers) == "1";
}

// The sample in the narrow form (as zqpack writes it by default) or, with
// `kWide`, in the wide form.
template <bool kWide>
class Sweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new Scratch();
        const std::string src = scratch_->root() + "/src";
        fs::create_directories(src + "/docs/empty");
        std::string readme;
        for (int i = 0; i < 6; ++i) readme += "Every file lands beside a temporary twin first.\n";
        write_bytes(src + "/docs/readme.txt", bytes_of(readme));
        Bytes noise(200);
        uint32_t seed = 3;
        for (auto& b : noise) b = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
        write_bytes(src + "/docs/noise.bin", noise);
        write_bytes(src + "/note.txt", bytes_of("note note note, a short note\n"));
        // Fixed times, so the sample (and so every figure of the sweeps) is
        // the same from run to run.
        const struct timespec times[2] = {{1262304000, 0}, {1262304000, 0}};
        for (const char* name : {"/docs/readme.txt", "/docs/noise.bin", "/note.txt"}) {
            ASSERT_EQ(utimensat(AT_FDCWD, (src + name).c_str(), times, 0), 0);
        }
        RunOptions options;
        options.cwd = src;
        std::vector<std::string> argv = {
            zqpack_path(), "create",    "-o",         scratch_->root() + "/sample.sfx",
            "--stub",      stub_path(), "--dir-tree", "docs",
            "note.txt"};
        if (kWide) argv.push_back("--wide");
        const Outcome made = run_program(argv, options);
        ASSERT_EQ(made.status, 0) << made.out;
        sample_ = new Bytes(read_bytes(scratch_->root() + "/sample.sfx"));
        original_ = new Parsed(parse_sfx(scratch_->root() + "/sample.sfx"));
        ASSERT_EQ(original_->result, 0);
        for (const Parsed::Entry& entry : original_->files) {
            contents_.push_back(read_bytes(src + "/" + entry.target));
        }
        ASSERT_EQ(contents_.size(), 3u);
        // One raw file and two block-coded ones: the sample covers both paths.
        int raw = 0;
        for (const Parsed::Entry& entry : original_->files)
            raw += entry.record.block_coded() ? 0 : 1;
        ASSERT_EQ(raw, 1);
        stub_size_ = read_bytes(stub_path()).size();
    }
    static void TearDownTestSuite() {
        delete original_;
        delete sample_;
        delete scratch_;
        contents_.clear();
    }

    // Runs one damaged self-extractor and checks everything it left.
    void check_run(const Bytes& damaged, const std::string& what) {
        const std::string sfx = scratch_->root() + "/damaged.sfx";
        write_bytes(sfx, damaged, true);
        // The listing does not depend on the worker count, and it doubles a
        // sweep's time: the threaded registration leaves it to the serial one.
        if (serial_run()) zq::test::expect_json_listing(sfx);
        scratch_->clear_work();
        const Parsed parsed = parse_sfx(sfx);
        RunOptions options;
        options.cwd = scratch_->work();
        options.timeout_ms = 10000;
        const Outcome outcome = run_program({sfx}, options);
        ++runs_;
        ASSERT_TRUE(outcome.exited())
            << what << ": signal " << outcome.signal << (outcome.timed_out ? " (hang)" : "");
        ASSERT_LE(outcome.status, zq::kExitInvalidArchive) << what;
        ++codes_[outcome.status];
        if (outcome.status != 0) {
            EXPECT_EQ(last_line(outcome.out), zq::exit_message(outcome.status)) << what;
        }
        EXPECT_EQ(
            scratch_->strays({"src/", "src/docs/", "src/docs/empty/", "src/docs/readme.txt",
                              "src/docs/noise.bin", "src/note.txt", "sample.sfx", "damaged.sfx"}),
            std::vector<std::string>{})
            << what;
        const Tree tree = scan(scratch_->work());
        EXPECT_EQ(temp_files(tree), std::vector<std::string>{}) << what;

        if (parsed.result != 0) {
            // Refused before anything was written.
            EXPECT_EQ(outcome.status, parsed.result) << what;
            EXPECT_EQ(tree.names, std::vector<std::string>{}) << what;
            return;
        }
        for (const auto& [name, content] : tree.files) {
            const Parsed::Entry* entry = nullptr;
            size_t index = 0;
            for (; index < parsed.files.size(); ++index) {
                if (parsed.files[index].target == name) {
                    entry = &parsed.files[index];
                    break;
                }
            }
            ASSERT_NE(entry, nullptr) << what << ": " << name << " is no target of the catalogue";
            const zq::FileRecord& was = original_->files[index].record;
            const zq::FileRecord& now = entry->record;
            const bool same_data =
                index < original_->files.size() && was.original_size() == now.original_size() &&
                was.stored_size() == now.stored_size() && was.data_offset() == now.data_offset() &&
                was.block_coded() == now.block_coded();
            if (same_data) {
                EXPECT_EQ(content, contents_[index]) << what << ": " << name;
            } else {
                EXPECT_EQ(content.size(), now.original_size())
                    << what << ": " << name << " is partial";
                ++undetectable_;
            }
        }
    }

    void cut_at_every_byte() {
        for (size_t length = stub_size_; length < sample_->size(); ++length) {
            check_run(Bytes(sample_->begin(), sample_->begin() + long(length)),
                      "cut at " + std::to_string(length));
            if (HasFatalFailure()) break;
        }
        report();
    }
    void flip_every_catalogue_bit();

    static void report() {
        std::string codes;
        for (const auto& [code, count] : codes_)
            codes += " " + std::to_string(code) + ":" + std::to_string(count);
        std::printf(
            "%d runs; exit codes%s; %d files whose data the damage redirected undetectably\n",
            runs_, codes.c_str(), undetectable_);
        runs_ = 0;
        undetectable_ = 0;
        codes_.clear();
    }

    static inline Scratch* scratch_ = nullptr;
    static inline Bytes* sample_ = nullptr;
    static inline Parsed* original_ = nullptr;
    static inline std::vector<Bytes> contents_;
    static inline size_t stub_size_ = 0;
    static inline int runs_ = 0;
    static inline int undetectable_ = 0;
    static inline std::map<int, int> codes_;

    // Where the catalogue starts, from the header or the wide locator.
    static size_t catalogue_start() {
        const size_t archive = stub_size_;
        if (!kWide) return archive + zq::load_u32(sample_->data() + archive + 6);
        const uint8_t* locator = sample_->data() + sample_->size() - 4 - zq::kLocatorSize;
        return archive + size_t(zq::load_u64(locator + 12));
    }
};

using DamageSweep = Sweep<false>;
using WideDamageSweep = Sweep<true>;

TEST_F(DamageSweep, SampleExtractsWhole) {
    check_run(*sample_, "undamaged");
    EXPECT_EQ(codes_[0], 1);
    EXPECT_EQ(scan(scratch_->work()).files.size(), 3u);
    EXPECT_TRUE(fs::is_directory(scratch_->work() + "/docs/empty"));
    report();
}

TEST_F(WideDamageSweep, SampleExtractsWhole) {
    check_run(*sample_, "undamaged");
    EXPECT_EQ(codes_[0], 1);
    EXPECT_EQ(scan(scratch_->work()).files.size(), 3u);
    report();
}

// The self-extractor cut short anywhere in its archive or trailer: the
// trailer is then whatever four bytes end the file.
TEST_F(DamageSweep, CutAtEveryByte) { cut_at_every_byte(); }
TEST_F(WideDamageSweep, CutAtEveryByte) { cut_at_every_byte(); }

// The archive cut short anywhere, behind a sound trailer. A cut of a few bytes
// lets the trailer stand in for the end of the last frame, which may then
// still decode: a run may succeed, and is then checked like any other.
TEST_F(DamageSweep, ArchiveCutAtEveryByteBehindASoundTrailer) {
    const Bytes archive(sample_->begin() + long(stub_size_), sample_->end() - 4);
    const Bytes stub(sample_->begin(), sample_->begin() + long(stub_size_));
    for (size_t length = 0; length < archive.size(); ++length) {
        check_run(
            zq::self_extractor_bytes(stub, Bytes(archive.begin(), archive.begin() + long(length))),
            "archive cut at " + std::to_string(length));
        if (HasFatalFailure()) break;
    }
    report();
}

// Every bit of the header, the catalogue and the trailer (the wide form's
// locator too) flipped in turn.
TEST_F(DamageSweep, EveryCatalogueBitFlipped) { flip_every_catalogue_bit(); }
TEST_F(WideDamageSweep, EveryCatalogueBitFlipped) { flip_every_catalogue_bit(); }

template <bool kWide>
void Sweep<kWide>::flip_every_catalogue_bit() {
    const size_t archive = stub_size_;
    const size_t catalogue = catalogue_start();
    std::vector<size_t> offsets;
    for (size_t i = archive; i < archive + zq::kHeaderSize; ++i) offsets.push_back(i);
    for (size_t i = catalogue; i < sample_->size(); ++i) offsets.push_back(i);
    for (size_t offset : offsets) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes damaged = *sample_;
            damaged[offset] ^= uint8_t(1 << bit);
            check_run(damaged, "bit " + std::to_string(bit) + " of byte " +
                                   std::to_string(offset - archive) + " of the archive");
            if (HasFatalFailure()) return;
        }
    }
    report();
}

}  // namespace
}  // namespace rel
