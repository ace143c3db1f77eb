// The wide form: what a forced-wide self-extractor holds, that it extracts
// exactly as the narrow one of the same tree, and the reader's refusals of a
// damaged locator or wide catalogue.
#include <gtest/gtest.h>

#include <fstream>

#include "archive/file_data.h"
#include "archive/tree.h"
#include "archive_test_support.h"
#include "child.h"
#include "codec/crc32.h"
#include "writer/tree_image.h"

namespace zq::test {
namespace {

Outcome run_in(const fs::path& cwd, const std::vector<std::string>& argv) {
    RunOptions options;
    options.cwd = cwd.string();
    options.timeout_ms = 60000;
    return run_program(argv, options);
}

// Every file under `root` by its relative path, with its bytes.
std::map<std::string, Bytes> contents(const fs::path& root) {
    std::map<std::string, Bytes> files;
    for (const std::string& name : listing(root)) {
        files[name] = name.back() == '/' ? Bytes{} : read_bytes(root / name);
    }
    return files;
}

class WideForm : public InScratchDir {
protected:
    fs::path home() const { return fs::path(root_); }
    void SetUp() override {
        InScratchDir::SetUp();
        write_bytes(home() / "t" / "a.txt", text_lines(70000, 'a'));  // three frames
        write_bytes(home() / "t" / "sub" / "b.bin", noise(5000, 7));  // stored raw
        write_bytes(home() / "t" / "empty.txt", Bytes{});
        fs::create_directories(home() / "t" / "hollow");
        pin_times(home() / "t");
    }
    Bytes pack(const std::string& name, const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {zqpack_path(), "create",         "-o", name,
                                         "--stub",      host_stub_path(), "t"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const Outcome made = run_in(root_, argv);
        EXPECT_EQ(made.status, 0) << made.out;
        return read_bytes(home() / name);
    }
};

TEST_F(WideForm, ForcedWideSelfExtractorHoldsTheLocatorAndExtractsAsTheNarrowOne) {
    const Bytes narrow = pack("narrow.sfx", {});
    const Bytes wide = pack("wide.sfx", {"--wide"});
    const size_t stub = read_bytes(host_stub_path()).size();
    ASSERT_GT(wide.size(), stub + kHeaderSize + kLocatorSize + kTrailerSize);

    // The narrow self-extractor ends in a plain trailer.
    EXPECT_EQ(load_u32(narrow.data() + narrow.size() - 4), stub);
    EXPECT_EQ(load_u16(narrow.data() + stub) & kFlagWide, 0);

    // The wide one: flag, marks, and a locator whose offsets lead home.
    EXPECT_EQ(load_u16(wide.data() + stub) & kFlagWide, kFlagWide);
    EXPECT_EQ(load_u32(wide.data() + stub + 6), kWideMark);
    EXPECT_EQ(load_u32(wide.data() + wide.size() - 4), kWideMark);
    const uint8_t* locator = wide.data() + wide.size() - 4 - kLocatorSize;
    EXPECT_EQ(Bytes(locator, locator + 4), Bytes(kLocatorMagic, kLocatorMagic + 4));
    EXPECT_EQ(load_u64(locator + 4), stub);
    EXPECT_EQ(load_u32(locator + 20), crc32_of(locator, 20));
    // Data are the same bytes in both; only the catalogue differs.
    const uint64_t catalogue = load_u64(locator + 12);
    EXPECT_EQ(catalogue, load_u32(narrow.data() + stub + 6));
    EXPECT_TRUE(std::equal(wide.begin() + long(stub + kHeaderSize),
                           wide.begin() + long(stub + catalogue),
                           narrow.begin() + long(stub + kHeaderSize)));

    // zqpack reads both alike, and both self-extractors make the same tree.
    for (const char* name : {"narrow.sfx", "wide.sfx"}) {
        expect_json_listing(home() / name);
        EXPECT_EQ(run_in(root_, {zqpack_path(), "test", name}).status, 0) << name;
    }
    // The same listing but for the archive's own name.
    auto listed = [&](const char* name) {
        const std::string out = run_in(root_, {zqpack_path(), "list", "--json", name}).out;
        return out.substr(std::min(out.size(), out.find("\"full_path\"")));
    };
    EXPECT_EQ(listed("narrow.sfx"), listed("wide.sfx"));
    fs::create_directories(home() / "from_narrow");
    fs::create_directories(home() / "from_wide");
    const Outcome from_narrow = run_in(home() / "from_narrow", {(home() / "narrow.sfx").string()});
    const Outcome from_wide = run_in(home() / "from_wide", {(home() / "wide.sfx").string()});
    EXPECT_EQ(from_narrow.status, 0) << from_narrow.out;
    EXPECT_EQ(from_wide.status, 0) << from_wide.out;
    EXPECT_EQ(from_wide.out, from_narrow.out);
    const auto files = contents(home() / "from_wide");
    EXPECT_EQ(files, contents(home() / "from_narrow"));
    EXPECT_EQ(files.at("t/a.txt"), read_bytes(home() / "t" / "a.txt"));
    EXPECT_EQ(files.count("t/hollow/"), 1u);
}

// A reader that knows only the narrow layout takes the trailer as a signed
// offset: kWideMark is -1, which points outside the file. Our reader, led to
// a damaged locator, refuses the same way, before anything is written.
TEST_F(WideForm, DamagedLocatorIsRefusedBeforeAnythingIsWritten) {
    const Bytes wide = pack("wide.sfx", {"--wide"});
    EXPECT_EQ(int32_t(load_u32(wide.data() + wide.size() - 4)), -1);
    const size_t locator = wide.size() - 4 - kLocatorSize;
    // Magic, archive offset, catalogue offset and CRC in turn.
    for (size_t at : {locator, locator + 5, locator + 13, locator + 21}) {
        Bytes damaged = wide;
        damaged[at] ^= 0x10;
        write_bytes(home() / "damaged.sfx", damaged, true);
        fs::create_directories(home() / "out");
        const Outcome run = run_in(home() / "out", {(home() / "damaged.sfx").string()});
        EXPECT_EQ(run.status, kExitIoError) << at << run.out;
        EXPECT_EQ(listing(home() / "out"), std::vector<std::string>{}) << at;
        ReaderSession session(home() / "damaged.sfx");
        EXPECT_EQ(session.follow_trailer(), kExitInvalidArchive) << at;
        fs::remove_all(home() / "out");
    }
}

// Wide catalogues built at the image level, read back through the reader.
struct WideImage {
    OwnedCodec codec;
    ArchiveImage image;
    WideImage() {
        image.wide = true;
        NamePools names;
        image.dirs.push_back(DirEntry{1, names.add("d"), 0, 0});
        FileEntry entry;
        entry.dir_id = 1;
        entry.name = names.add("f.txt");
        add_file_data(image, codec.state(), entry, bytes_of("wide"), true);
        image.pools = names.pools();
    }
    // Reads the image as a bare wide archive at `path`: the reader's status.
    int read(const fs::path& path, uint32_t* count, const Bytes* replaced_tail = nullptr) {
        Bytes archive = archive_bytes(codec.state(), image);
        Bytes sfx = self_extractor_bytes({}, archive, true, kHeaderSize + image.data.size());
        if (replaced_tail != nullptr) {
            sfx.resize(sfx.size() - replaced_tail->size());
            sfx.insert(sfx.end(), replaced_tail->begin(), replaced_tail->end());
        }
        write_bytes(path, sfx);
        ReaderSession session(path);
        const int located = session.follow_trailer();
        if (located != 0) return located;
        const int status = session.read(count);
        if (status == 0) record = *session.catalogue().file_table[0];
        return status;
    }
    FileRecord record{};
};

TEST_F(WideForm, ReaderTakesSixtyFourBitSizesAndRefusesWhatTheWideTablesCannotMean) {
    uint32_t count = 0;
    {
        WideImage sound;
        // A size past 4 GiB as the record says it (the data is not read here).
        sound.image.files[0].original_size = (uint64_t(5) << 32) + 3;
        ASSERT_EQ(sound.read(home() / "a.zq", &count), 0);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(sound.record.original_size(), (uint64_t(5) << 32) + 3);
        EXPECT_EQ(sound.record.dir_id(), 1u);
        // zqpack's table and JSON listing print it whole.
        for (const bool json : {false, true}) {
            std::vector<std::string> argv = {zqpack_path(), "list", "a.zq"};
            if (json) argv.push_back("--json");
            const Outcome listed = run_in(home(), argv);
            EXPECT_EQ(listed.status, 0) << listed.out;
            EXPECT_NE(listed.out.find(std::to_string((uint64_t(5) << 32) + 3)), std::string::npos)
                << listed.out;
        }
    }
    // Folder ids run from 1 to the folder count.
    for (uint32_t id : {0u, 2u, 0x10001u}) {
        WideImage bad;
        bad.image.dirs[0].id = id;
        EXPECT_EQ(bad.read(home() / "a.zq", &count), kExitInvalidArchive) << id;
    }
    // A file's folder id beyond the index.
    {
        WideImage bad;
        bad.image.files[0].dir_id = 0x10001;
        EXPECT_EQ(bad.read(home() / "a.zq", &count), kExitInvalidArchive);
    }
    // The header must say wide where the locator does.
    {
        WideImage bad;
        Bytes archive = archive_bytes(bad.codec.state(), bad.image);
        archive[1] &= uint8_t(~(kFlagWide >> 8));
        Bytes sfx = self_extractor_bytes({}, archive, true, kHeaderSize + bad.image.data.size());
        write_bytes(home() / "b.zq", sfx);
        ReaderSession session(home() / "b.zq");
        ASSERT_EQ(session.follow_trailer(), 0);
        EXPECT_EQ(session.read(&count), kExitInvalidArchive);
    }
    // A locator whose catalogue lies behind it, with a sound CRC.
    {
        WideImage bad;
        Bytes tail = container_tail(0, 1u << 20, true);
        EXPECT_EQ(bad.read(home() / "a.zq", &count, &tail), kExitInvalidArchive);
    }
}

// A count beyond the cap is refused before anything is allocated for it; a
// count far beyond what the frames hold ends where the frames do.
TEST_F(WideForm, HostileCountsCostNoMoreThanTheFramesHold) {
    uint32_t count = 0;
    for (uint32_t claimed : {kWideMaxEntries + 1, 0xFFFFFFFFu}) {
        WideImage bad;
        Bytes archive = archive_bytes(bad.codec.state(), bad.image);
        // The file count is the 4 bytes in front of the file table's 8-byte size.
        const size_t table =
            archive.size() -
            code_frames(bad.codec.state(), file_record_bytes(bad.image.files[0], true)).size();
        store_u32(archive.data() + table - 12, claimed);
        write_bytes(home() / "c.zq",
                    self_extractor_bytes({}, archive, true, kHeaderSize + bad.image.data.size()));
        ReaderSession session(home() / "c.zq");
        ASSERT_EQ(session.follow_trailer(), 0);
        EXPECT_EQ(session.read(&count), kExitNoMemory) << claimed;
    }
    WideImage short_table;
    Bytes archive = archive_bytes(short_table.codec.state(), short_table.image);
    const size_t table =
        archive.size() -
        code_frames(short_table.codec.state(), file_record_bytes(short_table.image.files[0], true))
            .size();
    store_u32(archive.data() + table - 12, kWideMaxEntries);
    write_bytes(home() / "d.zq", self_extractor_bytes({}, archive, true,
                                                      kHeaderSize + short_table.image.data.size()));
    ReaderSession session(home() / "d.zq");
    ASSERT_EQ(session.follow_trailer(), 0);
    EXPECT_EQ(session.read(&count), kExitInvalidArchive);
    // The table grew with the one record that came, not with the count.
    EXPECT_LE(session.catalogue().file_slots, kRecordsPerChunk);
}

// An archive whose first byte lies past 4 GiB in its file (behind a hole,
// which costs no disk): its catalogue, tree supplement and file data are all
// read at 64-bit positions. Offsets cut to 31 or 32 bits would land in the
// hole and fail as a file I/O error.
TEST_F(WideForm, EveryReadOfAnArchivePastFourGibibytesLandsOnItsBytes) {
    WideImage sample;
    TreeImage tree;
    tree.folders = {{0, 02750, 5, 6, 0, 0}};
    const Bytes section = tree_section_bytes(sample.codec.state(), tree);
    sample.image.data.insert(sample.image.data.end(), section.begin(), section.end());
    sample.image.flags |= kFlagTreeSupplement;
    const uint64_t start = (uint64_t(4) << 30) + 4096 + 3;
    const uint64_t catalogue = kHeaderSize + sample.image.data.size();
    Bytes body = archive_bytes(sample.codec.state(), sample.image);
    const Bytes tail = container_tail(start, catalogue, true);
    body.insert(body.end(), tail.begin(), tail.end());
    const fs::path path = home() / "far.zq";
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(std::streamoff(start));
        out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
        ASSERT_TRUE(out.good());
    }
    ReaderSession session(path);
    ASSERT_EQ(session.follow_trailer(), 0);
    EXPECT_EQ(uint64_t(session.spot().archive_offset), start);
    uint32_t count = 0;
    ASSERT_EQ(session.read(&count), 0);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(session.catalogue().catalogue_offset, catalogue);
    TreeSupplement read_tree{};
    EXPECT_EQ(
        read_tree_supplement(&session.context(), session.spot().archive_offset,
                             session.catalogue().catalogue_offset, session.catalogue(), &read_tree),
        0);
    ASSERT_EQ(read_tree.folder_count, 1u);
    EXPECT_EQ(tree_folder(read_tree, 0).mode, 02750);
    if (read_tree.plain != nullptr) mem_free(read_tree.plain);
    const FileData data = read_file_data(&session.context(), session.spot().archive_offset,
                                         *session.catalogue().file_table[0], kNoFile, nullptr);
    EXPECT_EQ(data.outcome, kDataOk);
    EXPECT_EQ(data.bytes, 4u);
}

TEST(WideListing, SizesPastFourGibibytesPrintWhole) {
    char line[64];
    format_size_and_time(line, (uint64_t(5) << 30) + 7, 0);
    EXPECT_EQ(std::string(line), "5368709127  1970-01-01 00:00:00  ");
    format_size_and_time(line, 42, 0);
    EXPECT_EQ(std::string(line, 12), "        42  ");
    format_size_and_time(line, UINT64_MAX, 0);
    EXPECT_EQ(std::string(line, 20), "18446744073709551615");
}

}  // namespace
}  // namespace zq::test
