// What the tree supplement leaves unchanged: a reader that follows only the
// catalogue's layout reads a default archive exactly as it read one before
// the supplement existed, and --no-extension writes the bytes it always
// wrote.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "json_check.h"
#include "layout_reader.h"
#include "pack/inspect.h"
#include "real_tree.h"
#include "support.h"
#include "writer/packer.h"

namespace zq::test {
namespace {

class TreeLayout : public ::testing::Test {
protected:
    void SetUp() override {
        make_real_tree(dir_ / "real" / "top");
        make_real_tree(dir_ / "plain" / "top", true);
    }
    // The bare archive of `which`/top.
    Bytes pack(const std::string& which, bool extension) {
        PackOptions options;
        options.extension = extension;
        options.threads = 2;
        const fs::path out = dir_ / (which + (extension ? ".zq" : ".plain.zq"));
        pack_paths({dir_ / which / "top"}, out, options);
        return read_bytes(out);
    }
    ScratchDir dir_{"tree_layout"};
};

TEST_F(TreeLayout, TodaysReaderReadsDefaultArchivesAsBefore) {
    const Bytes real = pack("real", true);
    const Bytes plain = pack("plain", true);
    const Layout with_tree = read_layout(real);
    const Layout copies = read_layout(plain);
    EXPECT_NE(with_tree.flags & kFlagTreeSupplement, 0);
    ASSERT_EQ(with_tree.files.size(), copies.files.size());
    size_t shared = 0;
    for (size_t i = 0; i < copies.files.size(); ++i) {
        const LayoutFile& file = with_tree.files[i];
        EXPECT_EQ(file.path, copies.files[i].path);
        EXPECT_EQ(file.content, copies.files[i].content) << file.path;
        // Every field but the data offset is what the copy's record says.
        Bytes record = file.record;
        Bytes copy = copies.files[i].record;
        for (size_t k = 24; k < 28; ++k) record[k] = copy[k] = 0;
        EXPECT_EQ(record, copy) << file.path;
        for (size_t j = 0; j < i; ++j) {
            if (std::equal(file.record.begin() + 24, file.record.begin() + 28,
                           with_tree.files[j].record.begin() + 24))
                ++shared;
        }
    }
    // The three names of one file, stored once: three pairs of records read
    // the same data, and two copies of it are not in the archive.
    EXPECT_EQ(shared, 3u);
    const Bytes& data = with_tree.files[0].record;
    ASSERT_EQ(with_tree.files[0].path, "top/data.bin");
    EXPECT_LT(real.size() + 2 * load_u32(&data[20]) - 1000, plain.size());
    for (const LayoutFile& file : with_tree.files) {
        // A link is a record whose data is its target, the same in both archives.
        if (file.path != "top/shared/readme.lnk") {
            EXPECT_EQ(file.content, read_bytes(dir_ / "real" / file.path)) << file.path;
        }
    }
}

TEST_F(TreeLayout, NoExtensionWritesTheBytesOfBefore) {
    // Folder modes and times and hard links are what tells the two trees
    // apart; without the extension the archive holds none of them.
    const Bytes real = pack("real", false);
    EXPECT_EQ(real, pack("plain", false));
    EXPECT_EQ(load_u16(real.data()) & kFlagTreeSupplement, 0);
    const Layout layout = read_layout(real);
    for (size_t i = 1; i < layout.files.size(); ++i)
        EXPECT_NE(load_u32(&layout.files[i].record[24]), load_u32(&layout.files[i - 1].record[24]));
}

// zqpack list shows what the supplement holds: each folder's mode and write
// time, and for each second name the file whose data it shares; the plain
// tree's listing shows neither.
TEST_F(TreeLayout, ListingShowsFolderModesTimesAndSecondNames) {
    pack("real", true);
    pack("plain", true);
    pack::OpenedArchive real((dir_ / "real.zq").string(), std::string());
    const std::string listing = pack::json_listing(real);
    EXPECT_EQ(json_problem(listing), "") << listing;
    for (const auto& [folder, mode] : {std::pair<std::string, std::string>{"private", "0700"},
                                       {"shared", "2775"},
                                       {"empty", "0750"}}) {
        struct stat source {};
        ASSERT_EQ(::stat((dir_ / "real" / "top" / folder).c_str(), &source), 0);
        const std::string entry = "{\"path\": \"top/" + folder +
                                  "/\", \"type\": \"folder\", \"mode\": \"" + mode +
                                  "\", \"write_time\": " + std::to_string(source.st_mtime) + ",";
        EXPECT_NE(listing.find(entry), std::string::npos) << entry << "\n" << listing;
    }
    size_t second_names = 0;
    for (size_t at = 0;
         (at = listing.find("\"hard_link_to\": \"top/data.bin\"", at)) != std::string::npos; ++at)
        ++second_names;
    EXPECT_EQ(second_names, 2u) << listing;

    pack::OpenedArchive plain((dir_ / "plain.zq").string(), std::string());
    const std::string copies = pack::json_listing(plain);
    EXPECT_EQ(copies.find("hard_link_to"), std::string::npos) << copies;
    EXPECT_EQ(copies.find("\"type\": \"folder\", \"mode\": \"0700\""), std::string::npos) << copies;
}

}  // namespace
}  // namespace zq::test
