// The stored directory tree: path search, the one-entry cache, and the tree
// made on disk.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/dir_tree.h"
#include "scratch_dir.h"

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
    }
    const Catalogue& get() const { return catalogue_; }
    std::vector<uint8_t>& pool() { return pool_; }

private:
    std::vector<uint8_t> pool_;
    uint8_t* pool_pointer_;
    uint16_t pool_size_;
    std::vector<DirRecord> records_;
    Catalogue catalogue_;
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
    *found = find_dir_path(catalogue, 0, id, path, 0);
    return path;
}

class DirTree : public ScratchDir {};

}  // namespace

TEST(FindDirPath, SearchesDepthFirst) {
    TreeCatalogue tree = example();
    int found = 0;
    EXPECT_EQ(search(tree.get(), 3, &found), "alpha\\beta\\gamma\\");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(search(tree.get(), 4, &found), "delta\\");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(search(tree.get(), 1, &found), "alpha\\");
    search(tree.get(), 7, &found);
    EXPECT_EQ(found, 0);
}

TEST(FindDirPath, BrokenTreesStopTheSearch) {
    const std::string names("a\0b", 3);
    int found = 0;
    // A child index outside the table.
    search(TreeCatalogue(names, {{1, 0, 0, 5}}).get(), 9, &found);
    EXPECT_EQ(found, -1);
    // Siblings that come round again, and a folder that is its own child.
    search(TreeCatalogue(names, {{1, 0, 1, 0}, {2, 2, 1, 0}}).get(), 9, &found);
    EXPECT_EQ(found, -1);
    search(TreeCatalogue(names, {{1, 0, 0, 1}, {2, 2, 0, 1}}).get(), 9, &found);
    EXPECT_EQ(found, -1);
    // A chain of 300 nested folders: the path would pass 511 bytes.
    std::vector<Dir> deep;
    for (uint16_t i = 0; i < 300; ++i) deep.push_back({int16_t(i + 1), 0, 0, uint16_t(i + 1 < 300 ? i + 1 : 0)});
    search(TreeCatalogue(names, deep).get(), 300, &found);
    EXPECT_EQ(found, -1);
    search(TreeCatalogue(names, deep).get(), 200, &found);
    EXPECT_EQ(found, 1);
}

TEST(BuildFilePath, BareNamesFullPathsAndTheCache) {
    TreeCatalogue tree = example();
    DirPathCache cache{};
    char out[kPathBufferSize];
    EXPECT_EQ(build_file_path(tree.get(), file_in(0), cache, out), 0);
    EXPECT_STREQ(out, "f.txt");
    EXPECT_EQ(build_file_path(tree.get(), file_in(3), cache, out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\gamma\\f.txt");

    // The next file of the same folder takes the remembered path: a change
    // to the names after the search does not show.
    tree.pool()[11] = 'G';
    EXPECT_EQ(build_file_path(tree.get(), file_in(3), cache, out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\gamma\\f.txt");
    EXPECT_EQ(build_file_path(tree.get(), file_in(2), cache, out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\f.txt");
    EXPECT_EQ(build_file_path(tree.get(), file_in(3), cache, out), 0);
    EXPECT_STREQ(out, "alpha\\beta\\Gamma\\f.txt");

    // A folder that is not in the tree gives no path at all.
    EXPECT_EQ(build_file_path(tree.get(), file_in(7), cache, out), -1);
    EXPECT_STREQ(out, "");

    // Without a table every file gets its bare name.
    TreeCatalogue flat(std::string(kNames, sizeof kNames - 1), {});
    EXPECT_EQ(build_file_path(flat.get(), file_in(3), cache, out), 0);
    EXPECT_STREQ(out, "f.txt");
}

TEST_F(DirTree, CreatesTheWholeTreeAndStaysPut) {
    TreeCatalogue tree = example();
    const std::string start = cwd();
    EXPECT_EQ(create_dir_tree(tree.get(), 0, 0), 0);
    EXPECT_TRUE(is_dir("alpha/beta/gamma"));
    EXPECT_TRUE(is_dir("delta"));
    EXPECT_EQ(cwd(), start);
    write_file("alpha/beta/keep", "k");
    EXPECT_EQ(create_dir_tree(tree.get(), 0, 0), 0);
    EXPECT_EQ(read_file("alpha/beta/keep"), "k");
    EXPECT_EQ(cwd(), start);

    TreeCatalogue none(std::string(kNames, sizeof kNames - 1), {});
    EXPECT_EQ(create_dir_tree(none.get(), 0, 0), 0);
}

TEST_F(DirTree, AFileInTheWayFailsTheWalk) {
    TreeCatalogue tree = example();
    const std::string start = cwd();
    mkdir("alpha", 0777);
    write_file("alpha/beta", "in the way");
    EXPECT_EQ(create_dir_tree(tree.get(), 0, 0), -1);
    EXPECT_EQ(cwd(), start);
    EXPECT_EQ(read_file("alpha/beta"), "in the way");
    EXPECT_FALSE(exists("delta"));  // the walk stops at the first failure
}

// Nothing at all at a name that cannot be made (longer than the file system
// allows) is not a directory either.
TEST_F(DirTree, ADirectoryThatCannotBeMadeFailsTheWalk) {
    const std::string too_long(300, 'd');
    TreeCatalogue tree(too_long + std::string("\0delta", 6), {{1, 0, 1, 0}, {2, 301, 0, 0}});
    EXPECT_EQ(create_dir_tree(tree.get(), 0, 0), -1);
    EXPECT_FALSE(exists("delta"));  // the walk stops at the first failure
}
