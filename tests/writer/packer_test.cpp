// Trees packed by the packer level and read back with the extractor's reader.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <functional>
#include <map>

#include "archive/source.h"
#include "archive_test_support.h"
#include "codec/crc32.h"
#include "writer/stored_names.h"

namespace zq::test {
namespace {

class PackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = dir_ / "src";
        // tree/: nested, empty and many folders, empty and large files.
        write_bytes(src_ / "tree" / "a.txt", text_lines(5000, 'a'));
        write_bytes(src_ / "tree" / "empty.bin", {});
        write_bytes(src_ / "tree" / "noise.bin", noise(70000, 1));  // every frame substituted: raw
        write_bytes(src_ / "tree" / "big.log", text_lines(1500000, 'b'));  // several work units
        write_bytes(src_ / "tree" / "mixed.bin", [] {  // noise, then text: coded
            Bytes b = noise(40000, 2);
            Bytes t = text_lines(40000, 'm');
            b.insert(b.end(), t.begin(), t.end());
            return b;
        }());
        write_bytes(src_ / "tree" / "x" / "y" / "z" / "deep.txt", text_lines(100, 'z'));
        fs::create_directories(src_ / "tree" / "x" / "empty-dir");
        for (int i = 0; i < 40; ++i)
            fs::create_directories(src_ / "tree" / "many" / ("d" + std::to_string(i)));
        write_bytes(src_ / "tree" / "many" / "d7" / "in-seven.txt", text_lines(10, '7'));
        write_bytes(src_ / "loose.txt", text_lines(300, 'l'));
        struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};  // access, write
        ::utimensat(AT_FDCWD, (src_ / "loose.txt").c_str(), times, 0);
        fs::permissions(src_ / "loose.txt",
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }

    // Tests that compare archives pin the source times first, so that what
    // one pack's reads did to the access times cannot reach the next.
    fs::path pack(const std::string& name, PackOptions options, bool pinned = false) {
        if (pinned) pin_times(src_);
        fs::path out = dir_ / name;
        summary_ = pack_paths({src_ / "tree", src_ / "loose.txt"}, out, options);
        expect_json_listing(out, options.password.value_or(""));
        return out;
    }

    // Every file of the archive by its full path, with its record.
    std::map<std::string, FileRecord> read_back(const fs::path& archive, int32_t offset,
                                                const char* password = nullptr) {
        session_ = std::make_unique<ReaderSession>(archive, offset);
        uint32_t count = 0;
        EXPECT_EQ(session_->read(&count, password), 0);
        const Catalogue& c = session_->catalogue();
        std::map<int16_t, std::string> dir_paths;
        std::function<void(uint16_t, const std::string&)> walk = [&](uint16_t i,
                                                                     const std::string& prefix) {
            for (;;) {
                const DirRecord& d = c.dir_table[i];
                std::string path = prefix + name_text(c, d.name()) + "\\";
                dir_paths.emplace(d.id(), path);
                if (d.child() != 0) walk(d.child(), path);
                if (d.next() == 0) return;
                i = d.next();
            }
        };
        if (c.dir_count != 0) walk(0, "");
        std::map<std::string, FileRecord> files;
        for (uint32_t i = 0; i < count; ++i) {
            const FileRecord& r = *c.file_table[i];
            std::string path =
                (r.dir_id() ? dir_paths[int16_t(r.dir_id())] : "") + name_text(c, r.name());
            files[path] = r;
            order_.push_back(path);
        }
        return files;
    }

    Bytes contents(const FileRecord& r, int32_t offset) {
        StreamContext& c = session_->context();
        // Through the archive layer, which reads a plain archive through its
        // buffer from the position it last sought.
        EXPECT_TRUE(archive_seek(&c, offset + int64_t(r.data_offset())));
        Bytes out(r.original_size());
        if (r.original_size() == 0) return out;
        if (r.block_coded()) {
            stream_start(&c, int32_t(r.stored_size()));
            EXPECT_EQ(stream_to_memory(&c, out.data(), uint32_t(out.size())), 0);
            EXPECT_EQ(c.coded_done, r.stored_size());
        } else {
            EXPECT_TRUE(archive_read(&c, out.data(), uint32_t(out.size())));
        }
        return out;
    }

    ScratchDir dir_;
    fs::path src_;
    PackSummary summary_;
    std::unique_ptr<ReaderSession> session_;
    std::vector<std::string> order_;
};

TEST_F(PackerTest, TreeRoundTripsThroughTheReader) {
    PackOptions options;
    options.stub = bytes_of("#!fake stub\n");
    options.threads = 3;
    const fs::path sfx = pack("tree.sfx", options);
    EXPECT_EQ(summary_.files, 8u);
    EXPECT_EQ(summary_.dirs, 1u + 4 + 1 + 40);
    EXPECT_FALSE(fs::exists(dir_ / "tree.sfx.zqpart"));
    EXPECT_NE(fs::status(sfx).permissions() & fs::perms::owner_exec, fs::perms::none);

    const int32_t offset = int32_t(options.stub->size());
    std::map<std::string, FileRecord> files = read_back(sfx, offset);
    const Catalogue& c = session_->catalogue();
    EXPECT_EQ(c.full_path, 1);
    EXPECT_EQ(c.dir_tree, 1);  // the tree holds empty folders
    EXPECT_EQ(c.dir_count, 46);
    ASSERT_EQ(files.size(), 8u);
    for (const auto& [path, record] : files) {
        SCOPED_TRACE(path);
        std::string native = path;
        std::replace(native.begin(), native.end(), '\\', '/');
        const fs::path source = src_ / native;
        const Bytes data = read_bytes(source);
        EXPECT_EQ(contents(record, offset), data);
        EXPECT_EQ(record.create_time(), -1);
        // Files of several coding units (big.log) check how the threads' pieces add up.
        EXPECT_TRUE(record.has_crc() && record.has_mode() && !record.is_symlink());
        EXPECT_EQ(record.crc32(), crc32_of(data.data(), data.size()));
        EXPECT_EQ(record.mode(), uint16_t(fs::status(source).permissions()) & kExtModeMask);
    }
    // Raw when every frame came out substituted, coded otherwise; nothing for empty files.
    EXPECT_EQ(files["tree\\noise.bin"].method(), kMethodRaw);
    EXPECT_EQ(files["tree\\noise.bin"].stored_size(), 70000u);
    EXPECT_EQ(files["tree\\mixed.bin"].method(), kMethodCoded);
    EXPECT_EQ(files["tree\\big.log"].method(), kMethodCoded);
    EXPECT_LT(files["tree\\big.log"].stored_size(), 1500000u / 4);
    EXPECT_EQ(files["tree\\empty.bin"].stored_size(), 0u);
    EXPECT_EQ(files["tree\\empty.bin"].method(), kMethodRaw);
    EXPECT_EQ(files["loose.txt"].dir_id(), 0);
    EXPECT_EQ(files["loose.txt"].attributes(), kAttrReadOnly);
    EXPECT_EQ(files["loose.txt"].access_time(), 1000000000);
    EXPECT_EQ(files["loose.txt"].write_time(), 1200000000);
    EXPECT_EQ(files["tree\\a.txt"].attributes(), kAttrArchive);
    EXPECT_TRUE(files.count("tree\\x\\y\\z\\deep.txt"));
    EXPECT_TRUE(files.count("tree\\many\\d7\\in-seven.txt"));

    // Data lies back to back from offset 10 in catalogue order; the files of a
    // folder stay together.
    uint32_t expected_offset = 10;
    for (const std::string& path : order_) {
        EXPECT_EQ(files[path].data_offset(), expected_offset) << path;
        expected_offset += files[path].stored_size();
    }
    EXPECT_EQ(order_.front(), "loose.txt");
}

TEST_F(PackerTest, OutputIsTheSameForEveryThreadCount) {
    PackOptions options;
    options.threads = 1;
    const Bytes one = read_bytes(pack("one", options, true));
    options.threads = 4;
    const Bytes four = read_bytes(pack("four", options, true));
    const Bytes again = read_bytes(pack("again", options, true));
    EXPECT_EQ(one, four);
    EXPECT_EQ(four, again);
    // A bare archive: trailer 0.
    EXPECT_EQ(Bytes(one.end() - 4, one.end()), (Bytes{0, 0, 0, 0}));
}

TEST_F(PackerTest, StoreFlatDirTreeAndPassword) {
    PackOptions options;
    options.store = true;
    options.full_path = false;
    options.dir_tree = true;
    options.password = "Sesame";
    const fs::path out = pack("stored", options);
    std::map<std::string, FileRecord> files = read_back(out, 0, "sesame");
    EXPECT_EQ(session_->catalogue().full_path, 0);
    EXPECT_EQ(session_->catalogue().dir_tree, 1);
    for (const auto& [path, record] : files) {
        EXPECT_EQ(record.method(), kMethodRaw) << path;
        EXPECT_EQ(record.stored_size(), record.original_size()) << path;
    }
    EXPECT_EQ(contents(files["tree\\big.log"], 0), read_bytes(src_ / "tree" / "big.log"));

    ReaderSession wrong(out);
    uint32_t count = 0;
    EXPECT_EQ(wrong.read(&count, "sesam"), 4);
}

TEST_F(PackerTest, FilesSpilledToDiskStillBecomeRaw) {
    // With little memory allowed, substituted frames go to disk first: an
    // all-substituted file is turned back into plain bytes there, and the
    // archive ends where its trailer does.
    PackOptions options;
    options.pending_limit = 40000;
    const fs::path out = pack("spilled", options);
    std::map<std::string, FileRecord> files = read_back(out, 0);
    EXPECT_EQ(files["tree\\noise.bin"].method(), kMethodRaw);
    EXPECT_EQ(files["tree\\mixed.bin"].method(), kMethodCoded);
    for (const auto& [path, record] : files) {
        std::string native = path;
        std::replace(native.begin(), native.end(), '\\', '/');
        EXPECT_EQ(contents(record, 0), read_bytes(src_ / native)) << path;
    }
    const Bytes spilled = read_bytes(pack("spilled-again", options, true));
    options.pending_limit = size_t(64) << 20;
    EXPECT_EQ(spilled, read_bytes(pack("in-memory", options, true)));

    const fs::path lone = dir_ / "lone";
    // 128 frames: 256 header bytes go, more than the catalogue and trailer
    // that follow, so the file must be cut to its new end.
    const Bytes big_noise = noise(4 << 20, 9);
    write_bytes(lone / "noise", big_noise);
    options.pending_limit = 1000;
    pack_paths({lone}, dir_ / "lone.zq", options);
    const Bytes archive = read_bytes(dir_ / "lone.zq");
    EXPECT_EQ(Bytes(archive.end() - 4, archive.end()), (Bytes{0, 0, 0, 0}));
    EXPECT_LT(archive.size(), big_noise.size() + 200);
    const FileRecord record = read_back(dir_ / "lone.zq", 0)["lone\\noise"];
    EXPECT_EQ(record.method(), kMethodRaw);
    EXPECT_EQ(contents(record, 0), big_noise);
}

TEST_F(PackerTest, ManyFilesAndNamesFillSeveralPools) {
    const fs::path many = dir_ / "many";
    for (int i = 0; i < 1000; ++i) {
        write_bytes(
            many / ("d" + std::to_string(i % 7)) /
                ("a-file-with-a-rather-longer-name-than-most-" + std::to_string(i) + ".dat"),
            text_lines(size_t(i % 5), 'q'));
    }
    PackOptions options;
    pack_paths({many}, dir_ / "many.zq", options);
    std::map<std::string, FileRecord> files = read_back(dir_ / "many.zq", 0);
    EXPECT_EQ(files.size(), 1000u);
    EXPECT_GE(session_->catalogue().pool_count, 2);
    EXPECT_TRUE(files.count("many\\d3\\a-file-with-a-rather-longer-name-than-most-500.dat"));
}

TEST_F(PackerTest, UnstorableInputsFailWithoutLeavingOutput) {
    write_bytes(src_ / "bad" / "back\\slash.txt", {1});
    const fs::path out = dir_ / "bad.zq";
    write_bytes(out, bytes_of("old contents"));
    EXPECT_THROW(pack_paths({src_ / "bad"}, out, PackOptions{}), std::runtime_error);
    EXPECT_EQ(read_bytes(out), bytes_of("old contents"));
    EXPECT_FALSE(fs::exists(dir_ / "bad.zq.zqpart"));

    fs::remove_all(src_ / "bad");
    const std::string part(200, 'n');
    write_bytes(src_ / "bad" / part / part / part, {1});
    EXPECT_THROW(pack_paths({src_ / "bad"}, out, PackOptions{}), std::runtime_error);
    // Folders 509 bytes deep ("bad\" and five of 100) hold a 1-byte name
    // within the archive's 511, but not the extractor's temporary name "zq"
    // and six digits beside it.
    fs::remove_all(src_ / "bad");
    fs::path deep = src_ / "bad";
    for (char c : std::string("bcdef")) deep /= std::string(100, c);
    write_bytes(deep / "a", {1});
    try {
        pack_paths({src_ / "bad"}, out, PackOptions{});
        ADD_FAILURE() << "a tree the extractor cannot write was packed";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("temporary file"), std::string::npos) << e.what();
    }
    write_bytes(deep.parent_path() / "a", {1});  // 408 bytes deep: fine
    fs::remove_all(deep);
    EXPECT_NO_THROW(pack_paths({src_ / "bad"}, dir_ / "fits.zq", PackOptions{}));
    EXPECT_THROW(pack_paths({src_ / "missing"}, out, PackOptions{}), std::runtime_error);
    EXPECT_THROW(pack_paths({src_ / "tree", src_ / "bad" / ".." / "tree"}, out, PackOptions{}),
                 std::runtime_error);
    PackOptions long_password;
    long_password.password = std::string(256, 'p');
    EXPECT_THROW(pack_paths({src_ / "loose.txt"}, out, long_password), std::runtime_error);
    EXPECT_EQ(read_bytes(out), bytes_of("old contents"));
}

// 10 pieces of work: the worker reads at most 8 ahead of the piece taken, so
// pieces 9 and 10 are read after the first progress call, when the file has
// been replaced or changed.
class ChangedWhilePacked : public PackerTest {
protected:
    fs::path file() const { return src_ / "tree" / "big.log"; }
    void SetUp() override {
        PackerTest::SetUp();
        write_bytes(file(), text_lines(10 << 20, 'o'));
    }
    // Packs the file alone, raw, on one thread, calling `change` once after
    // the first piece is written.
    void pack_changing(const std::function<void()>& change) {
        PackOptions options;
        options.threads = 1;
        options.store = true;
        options.progress = [&, done = false](const PackProgress&) mutable {
            if (!done) change();
            done = true;
        };
        pack_paths({file()}, dir_ / "out.zq", options);
    }
};

TEST_F(ChangedWhilePacked, AReplacedFileIsStoredAsOneVersion) {
    const Bytes original = read_bytes(file());
    pack_changing([&] {
        write_bytes(src_ / "new.log", text_lines(10 << 20, 'n'));
        fs::rename(src_ / "new.log", file());
    });
    auto files = read_back(dir_ / "out.zq", 0);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(contents(files.begin()->second, 0) == original);
}

TEST_F(ChangedWhilePacked, AFileChangedInPlaceFailsTheRun) {
    try {
        pack_changing([&] {
            write_bytes(file(), text_lines(10 << 20, 'c'));  // same size, new bytes and time
            struct timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
            ::utimensat(AT_FDCWD, file().c_str(), times, 0);
        });
        ADD_FAILURE() << "packed a file that changed while it was read";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("big.log changed while it was packed"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(fs::exists(dir_ / "out.zq"));
    EXPECT_FALSE(fs::exists(dir_ / "out.zq.zqpart"));
}

// An interruption while the archive is written removes the partial output
// and ends the process by the signal.
TEST_F(PackerTest, InterruptedPackingLeavesNothing) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t child = ::fork();
        if (child == 0) {
            PackOptions options;
            options.threads = 1;
            options.progress = [signal_number](const PackProgress&) { ::raise(signal_number); };
            try {
                pack_paths({src_ / "tree"}, dir_ / "out.zq", options);
            } catch (...) {}
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
        EXPECT_FALSE(fs::exists(dir_ / "out.zq.zqpart")) << signal_number;
        EXPECT_FALSE(fs::exists(dir_ / "out.zq")) << signal_number;
    }
}

TEST(StorableNames, MatchTheReadersRules) {
    const LeadBytes cp932 = fixed_lead_bytes();
    EXPECT_TRUE(is_storable_name("a.txt", false, cp932));
    EXPECT_TRUE(is_storable_name("\x83\\", false, cp932));
    EXPECT_FALSE(is_storable_name("a:b", false, cp932));
    EXPECT_FALSE(is_storable_name("..", true, cp932));
    // A directory name ending in a first byte would swallow the separator.
    EXPECT_TRUE(is_storable_name("\xd0\x94", false, cp932));
    EXPECT_FALSE(is_storable_name("\xd0\x94", true, cp932));
    // UTF-8 has no such bytes: the same folder name is fine there.
    EXPECT_TRUE(is_storable_name("\xd0\x94", true, LeadBytes{}));
    EXPECT_FALSE(is_storable_name("\x83\\", false, LeadBytes{}));
    // Split at every 0x5C, no part may lead to another folder.
    EXPECT_FALSE(is_storable_name("\x81\\..", true, cp932));
    EXPECT_FALSE(is_storable_name("\x81\\.", false, cp932));
    EXPECT_TRUE(is_storable_name("\x81\\..x", false, cp932));
    int accepted = 0;
    for (int byte = 1; byte < 256; ++byte) {
        const std::string up = std::string(1, char(byte)) + "\\..";
        accepted += is_storable_name(up, false, cp932) + is_storable_name(up, false, LeadBytes{});
    }
    EXPECT_EQ(accepted, 0);
}

}  // namespace
}  // namespace zq::test

namespace zq::test {
namespace {

// Only a PE image is a Windows stub: "MZ" alone is a bare DOS program or a
// text, and gets neither Windows names nor Windows link handling.
TEST(StubKinds, OnlyAPeImageIsAWindowsStub) {
    Bytes pe(0x80, 0);
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40, pe[0x40] = 'P', pe[0x41] = 'E';
    EXPECT_EQ(stub_kind(pe), StubKind::kWindowsPe);
    EXPECT_EQ(stub_kind(bytes_of("\x7f"
                                 "ELF\x02\x01")),
              StubKind::kLinuxElf);
    Bytes mz_only = pe;
    mz_only[0x40] = 'X';
    Bytes past_end = pe;
    past_end[0x3C] = 0x7D;  // the signature would run past the image
    Bytes far_away = pe;
    far_away[0x3F] = 0xFF;
    for (const Bytes& stub : {mz_only, past_end, far_away, Bytes(pe.begin(), pe.begin() + 0x3F),
                              bytes_of("#!/bin/sh\n")}) {
        EXPECT_EQ(stub_kind(stub), StubKind::kNotExecutable);
    }

    ScratchDir dir;
    write_bytes(dir / "tree" / "a.txt", bytes_of("a"));
    fs::create_symlink("a.txt", dir / "tree" / "link");
    PackOptions options;
    options.stub = mz_only;
    EXPECT_TRUE(pack_paths({dir / "tree"}, dir / "mz.sfx", options).warnings.empty());
    options.stub = pe;
    EXPECT_EQ(pack_paths({dir / "tree"}, dir / "pe.sfx", options).warnings.size(),
              1u);  // the link is followed
}

}  // namespace
}  // namespace zq::test
