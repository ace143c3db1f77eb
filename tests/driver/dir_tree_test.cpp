// The stored folder tree: the checks and the index, paths found through it,
// and the tree made on disk.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/dir_index.h"
#include "driver/dir_tree.h"
#include "support.h"

using namespace zq;

namespace {

struct Dir {
    int16_t id;
    uint16_t name_offset;
    uint16_t next;
    uint16_t child;
};

// A catalogue of one name pool and the given directory records.
class TreeCatalogue {
public:
    TreeCatalogue(const std::string& names, const std::vector<Dir>& dirs)
        : pool_(names.begin(), names.end()) {
        pool_.push_back('\0');
        pool_pointer_ = pool_.data();
        pool_size_ = uint16_t(pool_.size());
        for (const Dir& dir : dirs) {
            DirRecord record{};
            const uint32_t ref = dir.name_offset;  // pool 0
            const uint8_t bytes[10] = {uint8_t(dir.id), uint8_t(uint16_t(dir.id) >> 8),
                                       uint8_t(ref), uint8_t(ref >> 8), 0, 0,
                                       uint8_t(dir.next), uint8_t(dir.next >> 8),
                                       uint8_t(dir.child), uint8_t(dir.child >> 8)};
            std::memcpy(record.bytes, bytes, sizeof bytes);
            records_.push_back(record);
        }
        catalogue_ = {};
        catalogue_.pool_count = 1;
        catalogue_.name_pools = &pool_pointer_;
        catalogue_.pool_sizes = &pool_size_;
        catalogue_.dir_count = uint16_t(records_.size());
        catalogue_.dir_table = records_.empty() ? nullptr : records_.data();
        checked_ = check_catalogue(&catalogue_, platform_lead_bytes());
    }
    ~TreeCatalogue() {
        if (catalogue_.dir_parent != nullptr) mem_free(catalogue_.dir_parent);
        if (catalogue_.dir_by_id != nullptr) mem_free(catalogue_.dir_by_id);
    }
    const Catalogue& get() const { return catalogue_; }
    int checked() const { return checked_; }
    std::vector<uint8_t>& pool() { return pool_; }

private:
    std::vector<uint8_t> pool_;
    uint8_t* pool_pointer_;
    uint16_t pool_size_;
    std::vector<DirRecord> records_;
    Catalogue catalogue_;
    int checked_;
};

// alpha(1) > beta(2) > gamma(3), and delta(4) beside alpha.
const char kNames[] = "alpha\0beta\0gamma\0delta\0f.txt";
TreeCatalogue example() {
    return TreeCatalogue(std::string(kNames, sizeof kNames - 1),
                         {{1, 0, 3, 1}, {2, 6, 0, 2}, {3, 11, 0, 0}, {4, 17, 0, 0}});
}
constexpr uint16_t kFileName = 23;

FileRecord file_in(uint16_t dir_id) {
    FileRecord file{};
    file.bytes[2] = uint8_t(dir_id);
    file.bytes[3] = uint8_t(dir_id >> 8);
    file.bytes[28] = uint8_t(kFileName);
    return file;
}

std::string search(const Catalogue& catalogue, int16_t id, int* found) {
    char path[kPathBufferSize] = "untouched";
    *found = dir_path(catalogue, id, '\\', path) >= 0 ? 1 : 0;
    return path;
}

class DirTree : public zq::test::InScratchDir {};

}  // namespace

TEST(DirPath, FirstFolderInWalkOrder) {
    TreeCatalogue tree = example();
    ASSERT_EQ(tree.checked(), 0);
    int found = 0;
    EXPECT_EQ(search(tree.get(), 3, &found), "alpha\\beta\\gamma\\");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(search(tree.get(), 4, &found), "delta\\");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(search(tree.get(), 1, &found), "alpha\\");
    search(tree.get(), 7, &found);
    EXPECT_EQ(found, 0);
}

TEST(DirPath, BrokenTreesAreRefused) {
    const std::string names("a\0b", 3);
    // A child index outside the table.
    EXPECT_EQ(TreeCatalogue(names, {{1, 0, 0, 5}}).checked(), kExitInvalidArchive);
    // Siblings that come round again, a folder that is its own child, and
    // two parents sharing one child.
    EXPECT_EQ(TreeCatalogue(names, {{1, 0, 1, 0}, {2, 2, 1, 0}}).checked(), kExitInvalidArchive);
    EXPECT_EQ(TreeCatalogue(names, {{1, 0, 0, 1}, {2, 2, 0, 1}}).checked(), kExitInvalidArchive);
    EXPECT_EQ(TreeCatalogue(names, {{1, 0, 1, 2}, {2, 2, 0, 2}, {3, 0, 0, 0}}).checked(), kExitInvalidArchive);
    // 255 nested folders make a path of 510 bytes; 256 would pass 511.
    for (uint16_t levels : {255, 256}) {
        std::vector<Dir> deep;
        for (uint16_t i = 0; i < levels; ++i) deep.push_back({int16_t(i + 1), 0, 0, uint16_t(i + 1 < levels ? i + 1 : 0)});
        TreeCatalogue tree(names, deep);
        EXPECT_EQ(tree.checked(), levels == 255 ? 0 : kExitInvalidArchive);
        if (levels != 255) continue;
        int found = 0;
        EXPECT_EQ(search(tree.get(), 255, &found).size(), 510u);
        EXPECT_EQ(found, 1);
    }
}

TEST(BuildFilePath, BareNamesAndFullPaths) {
    TreeCatalogue tree = example();
    char out[kPathBufferSize];
    EXPECT_EQ(build_file_path(tree.get(), file_in(0), out), 0);
    EXPECT_STREQ(out, "f.txt");
    EXPECT_EQ(build_file_path(tree.get(), file_in(3), out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\gamma\\f.txt");
    EXPECT_EQ(build_file_path(tree.get(), file_in(2), out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\f.txt");

    // A folder that is not in the tree gives no path at all.
    EXPECT_EQ(build_file_path(tree.get(), file_in(7), out), -1);
    EXPECT_STREQ(out, "");

    // Without a table every file gets its bare name.
    TreeCatalogue flat(std::string(kNames, sizeof kNames - 1), {});
    EXPECT_EQ(build_file_path(flat.get(), file_in(3), out), 0);
    EXPECT_STREQ(out, "f.txt");
}

TEST_F(DirTree, CreatesTheWholeTreeAndStaysPut) {
    TreeCatalogue tree = example();
    const std::string start = cwd();
    EXPECT_EQ(create_dir_tree(tree.get()), 0);
    EXPECT_TRUE(is_dir("alpha/beta/gamma"));
    EXPECT_TRUE(is_dir("delta"));
    EXPECT_EQ(cwd(), start);
    write_file("alpha/beta/keep", "k");
    EXPECT_EQ(create_dir_tree(tree.get()), 0);
    EXPECT_EQ(read_file("alpha/beta/keep"), "k");
    EXPECT_EQ(cwd(), start);

    TreeCatalogue none(std::string(kNames, sizeof kNames - 1), {});
    EXPECT_EQ(create_dir_tree(none.get()), 0);
}

TEST_F(DirTree, AFileInTheWayFailsTheWalk) {
    TreeCatalogue tree = example();
    const std::string start = cwd();
    mkdir("alpha", 0777);
    write_file("alpha/beta", "in the way");
    EXPECT_EQ(create_dir_tree(tree.get()), -1);
    EXPECT_EQ(cwd(), start);
    EXPECT_EQ(read_file("alpha/beta"), "in the way");
    EXPECT_FALSE(exists("delta"));  // the walk stops at the first failure
}

// Nothing at all at a name that cannot be made (longer than the file system
// allows) is not a directory either.
TEST_F(DirTree, ADirectoryThatCannotBeMadeFailsTheWalk) {
    const std::string too_long(300, 'd');
    TreeCatalogue tree(too_long + std::string("\0delta", 6), {{1, 0, 1, 0}, {2, 301, 0, 0}});
    EXPECT_EQ(create_dir_tree(tree.get()), -1);
    EXPECT_FALSE(exists("delta"));  // the walk stops at the first failure
}
