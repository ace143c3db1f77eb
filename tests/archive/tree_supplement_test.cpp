// The tree supplement reader: a sound supplement is found from the
// catalogue's offset and answers every lookup; a damaged or hostile one is
// refused whole, as an invalid archive, before anything is written.
#include <gtest/gtest.h>

#include <functional>

#include "archive/tree.h"
#include "archive_builder.h"
#include "archive_test_support.h"
#include "writer/tree_image.h"

namespace zq::test {
namespace {

// Two folders, four files: files 1 and 3 are second names of file 0; file 2
// is a symbolic link.
struct Sample {
    ArchiveBuilder builder;
    TreeImage tree;
    Sample() {
        builder.dirs = {{1, "top", 0, 1}, {2, "sub", 0, 0}};
        const std::string data(70000, 'x');
        builder.files = {{"a", 1, data}, {"b", 2, data}, {"l", 2, "a"}, {"c", 1, data}};
        builder.files[2].ext_word = kExtSymlink;
        tree.folders = {{0, 0755, 5, 6, 0, 0}, {1, 02750, 7, 8, 0, 0}};
        tree.links = {{1, 0}, {3, 0}};
    }
    // The archive with `plain` as the supplement's plain bytes; `locator`
    // may change the section (frames and locator) before it goes in.
    Bytes archive(const Bytes& plain, const std::function<void(Bytes&)>& locator = nullptr) const {
        ArchiveImage image = builder.image();
        // Second names read the first one's data.
        for (const TreeLinkEntry& link : tree.links) {
            FileEntry& second = image.files[link.file];
            const FileEntry& first = image.files[link.first];
            second.data_offset = first.data_offset;
            second.stored_size = first.stored_size;
        }
        OwnedCodec codec;
        Bytes section = tree_section_bytes(codec.state(), plain);
        if (locator) locator(section);
        image.data.insert(image.data.end(), section.begin(), section.end());
        image.flags |= kFlagTreeSupplement;
        return archive_of(image);
    }
};

// What read_catalogue and then read_tree_supplement make of `archive`.
int read_supplement(const Bytes& archive, TreeSupplement* tree) {
    ScratchDir dir("tree_supp");
    write_bytes(dir / "a.zq", archive);
    ReaderSession session(dir / "a.zq");
    uint32_t count = 0;
    EXPECT_EQ(session.read(&count), 0);
    const int result = read_tree_supplement(
        &session.context(), 0, session.catalogue().catalogue_offset, session.catalogue(), tree);
    return result;
}

TEST(TreeSupplement, SoundOneAnswersEveryLookup) {
    const Sample sample;
    TreeSupplement tree{};
    ASSERT_EQ(read_supplement(sample.archive(tree_plain_bytes(sample.tree)), &tree), 0);
    ASSERT_EQ(tree.folder_count, 2u);
    const TreeFolder sub = tree_folder(tree, 1);
    EXPECT_EQ(sub.record, 1u);
    EXPECT_EQ(sub.mode, 02750);
    EXPECT_EQ(sub.access_time, 7);
    EXPECT_EQ(sub.write_time, 8);
    EXPECT_EQ(tree_link_first(tree, 0), -1);
    EXPECT_EQ(tree_link_first(tree, 1), 0);
    EXPECT_EQ(tree_link_first(tree, 2), -1);
    EXPECT_EQ(tree_link_first(tree, 3), 0);
    uint32_t uid = 0;
    uint32_t gid = 0;
    EXPECT_FALSE(tree_file_owner(tree, 0, &uid, &gid));
    mem_free(tree.plain);
}

TEST(TreeSupplement, DamagedOrHostileOnesAreInvalidArchives) {
    using Change = std::function<void(TreeImage&)>;
    const std::vector<std::pair<const char*, Change>> entries = {
        {"a folder record past the table", [](TreeImage& t) { t.folders[1].record = 2; }},
        {"folders out of order", [](TreeImage& t) { std::swap(t.folders[0], t.folders[1]); }},
        {"a folder twice", [](TreeImage& t) { t.folders[1].record = 0; }},
        {"a set-user-id folder", [](TreeImage& t) { t.folders[0].mode = 04755; }},
        {"owners without the flag", [](TreeImage& t) { t.folders[0].uid = 5; }},
        {"a link to a later file",
         [](TreeImage& t) {
             t.links[0] = {1, 3};
         }},
        {"a link to itself",
         [](TreeImage& t) {
             t.links[0] = {1, 1};
         }},
        {"a link to a second name",
         [](TreeImage& t) {
             t.links[1] = {3, 1};
         }},
        {"a link from a symbolic link",
         [](TreeImage& t) {
             t.links[1] = {2, 0};
         }},
        {"a link past the files",
         [](TreeImage& t) {
             t.links[1] = {4, 0};
         }},
        {"file owners without the flag",
         [](TreeImage& t) {
             t.file_owners = {{0, 1, 1}};
         }},
        {"more folders than the catalogue",
         [](TreeImage& t) {
             t.folders.push_back({2, 0755, 0, 0, 0, 0});
         }},
    };
    const Sample sample;
    for (const auto& [what, change] : entries) {
        TreeImage tree = sample.tree;
        change(tree);
        TreeSupplement read{};
        EXPECT_EQ(read_supplement(sample.archive(tree_plain_bytes(tree)), &read),
                  kExitInvalidArchive)
            << what;
    }

    // The plain bytes and the locator, damaged after they were laid out.
    const Bytes plain = tree_plain_bytes(sample.tree);
    using Damage = std::function<void(Bytes&)>;
    const std::vector<std::tuple<const char*, Damage, Damage>> damages = {
        {"version 2", [](Bytes& p) { p[0] = 2; }, nullptr},
        {"an unknown flag", [](Bytes& p) { p[3] = 0x80; }, nullptr},
        {"a reserved field", [](Bytes& p) { p[kTreeHeadSize + 6] = 1; }, nullptr},
        {"a spare byte", [](Bytes& p) { p.push_back(0); }, nullptr},
        {"a link to a symbolic link", [](Bytes& p) { p[p.size() - 4] = 2; }, nullptr},
        {"a wrong checksum", nullptr, [](Bytes& s) { s[s.size() - 1] ^= 1; }},
        {"another magic", nullptr, [](Bytes& s) { s[s.size() - kTreeLocatorSize] = 'X'; }},
        {"frames reaching into the header", nullptr, [](Bytes& s) { s[s.size() - 20 + 3] = 0x10; }},
        {"a plain size beyond the catalogue's counts", nullptr,
         [](Bytes& s) { s[s.size() - 12 + 2] = 0x10; }},
        {"a plain size the frames do not fill", nullptr, [](Bytes& s) { s[s.size() - 12] += 8; }},
    };
    for (const auto& [what, on_plain, on_section] : damages) {
        Bytes damaged = plain;
        if (on_plain) on_plain(damaged);
        TreeSupplement read{};
        EXPECT_EQ(read_supplement(sample.archive(damaged, on_section), &read), kExitInvalidArchive)
            << what;
    }
}

}  // namespace
}  // namespace zq::test
