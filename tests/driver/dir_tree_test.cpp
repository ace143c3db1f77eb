// The stored folder tree: the checks and the index, paths found through it,
// and the tree made on disk.
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
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
            const uint8_t bytes[10] = {uint8_t(dir.id),
                                       uint8_t(uint16_t(dir.id) >> 8),
                                       uint8_t(ref),
                                       uint8_t(ref >> 8),
                                       0,
                                       0,
                                       uint8_t(dir.next),
                                       uint8_t(dir.next >> 8),
                                       uint8_t(dir.child),
                                       uint8_t(dir.child >> 8)};
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
    *found = dir_path(catalogue, uint16_t(id), '\\', path) >= 0 ? 1 : 0;
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
    EXPECT_EQ(TreeCatalogue(names, {{1, 0, 1, 2}, {2, 2, 0, 2}, {3, 0, 0, 0}}).checked(),
              kExitInvalidArchive);
    // 255 nested folders make a path of 510 bytes; 256 would pass 511.
    for (uint16_t levels : {255, 256}) {
        std::vector<Dir> deep;
        for (uint16_t i = 0; i < levels; ++i)
            deep.push_back({int16_t(i + 1), 0, 0, uint16_t(i + 1 < levels ? i + 1 : 0)});
        TreeCatalogue tree(names, deep);
        EXPECT_EQ(tree.checked(), levels == 255 ? 0 : kExitInvalidArchive);
        if (levels != 255) continue;
        int found = 0;
        EXPECT_EQ(search(tree.get(), 255, &found).size(), 510u);
        EXPECT_EQ(found, 1);
    }
}

// A large tree checked against a plain recursive walk: thousands of
// siblings, a chain as deep as a path allows, ids used again and again, and
// records stored in shuffled order so that the first folder by id in walk
// order is not the first in the table.
TEST(DirPath, IndexAgreesWithAPlainWalk) {
    struct Node {
        std::string name;
        int16_t id;
        std::vector<uint32_t> children;
    };
    std::vector<Node> nodes;
    nodes.reserve(4000);  // `add` appends while holding a parent's list
    std::vector<uint32_t> top;
    auto add = [&](std::vector<uint32_t>& siblings, const std::string& name) {
        const uint32_t k = uint32_t(nodes.size());
        nodes.push_back({name, int16_t(int(k * 7919u % 2401u) - 1200), {}});
        siblings.push_back(k);
        return k;
    };
    for (int i = 0; i < 1500; ++i) add(top, "n" + std::to_string(i));
    uint32_t bottom = 1;
    for (int level = 0; level < 250; ++level) bottom = add(nodes[bottom].children, "c");
    for (int i = 0; i < 2000; ++i) add(nodes[2].children, "m" + std::to_string(i));
    for (uint32_t at = nodes[2].children.back(), level = 0; level < 5; ++level)
        at = add(nodes[at].children, "e");

    // Node 0 must stay record 0, where every walk starts.
    std::vector<uint16_t> record_of(nodes.size());
    for (uint32_t k = 0; k < nodes.size(); ++k) record_of[k] = uint16_t(k);
    std::mt19937 random(9);
    for (uint32_t k = uint32_t(nodes.size()) - 1; k > 1; --k)
        std::swap(record_of[k], record_of[1 + random() % k]);

    std::string pool;
    std::vector<Dir> dirs(nodes.size());
    auto link = [&](const std::vector<uint32_t>& siblings) {
        for (size_t i = 0; i < siblings.size(); ++i) {
            const Node& node = nodes[siblings[i]];
            Dir& dir = dirs[record_of[siblings[i]]];
            dir = {node.id, uint16_t(pool.size()),
                   uint16_t(i + 1 < siblings.size() ? record_of[siblings[i + 1]] : 0),
                   uint16_t(node.children.empty() ? 0 : record_of[node.children.front()])};
            pool += node.name + '\0';
        }
    };
    link(top);
    for (const Node& node : nodes) link(node.children);
    pool.pop_back();  // TreeCatalogue ends the pool itself
    TreeCatalogue tree(pool, dirs);
    ASSERT_EQ(tree.checked(), 0);

    std::vector<std::string> path_of(nodes.size());
    std::map<int16_t, std::string> first_by_id;
    std::function<void(const std::vector<uint32_t>&, const std::string&)> walk =
        [&](const std::vector<uint32_t>& siblings, const std::string& prefix) {
            for (uint32_t k : siblings) {
                path_of[k] = prefix + nodes[k].name + '\\';
                first_by_id.emplace(nodes[k].id, path_of[k]);
                walk(nodes[k].children, path_of[k]);
            }
        };
    walk(top, "");
    ASSERT_EQ(path_of[bottom].size(), 503u);

    char out[kPathBufferSize];
    size_t wrong_records = 0;
    for (uint32_t k = 0; k < nodes.size(); ++k) {
        wrong_records += record_path(tree.get(), record_of[k], '\\', out) < 0 || path_of[k] != out;
    }
    EXPECT_EQ(wrong_records, 0u);
    size_t wrong_ids = 0;
    for (int id = -32768; id < 32768; ++id) {
        const auto expected = first_by_id.find(int16_t(id));
        const int32_t length = dir_path(tree.get(), uint16_t(id), '\\', out);
        wrong_ids +=
            expected == first_by_id.end() ? length != -1 : length < 0 || expected->second != out;
    }
    EXPECT_EQ(wrong_ids, 0u);
    EXPECT_EQ(first_by_id.size(), 2401u);
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
