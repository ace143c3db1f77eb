// Archives for tests, built through the writer's image level: files and
// folders described as plain values, written exactly as described.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "writer/writer.h"

namespace zq::test {

// 2010-01-01 00:00:00 UTC: a write time every platform can set and show.
constexpr int32_t kTestWriteTime = 1262304000;

// One archived file as the tests describe it.
struct TestFile {
    std::string name;
    uint16_t dir_id = 0;
    std::string content;
    bool coded = true;
    uint16_t attributes = 0x20;
    int32_t access_time = -1;
    int32_t write_time = kTestWriteTime;
    int32_t create_time = -1;
    int64_t recorded_size = -1;  // -1: the content's size
    uint16_t ext_word = 0;  // record extension; with kExtHasCrc the content's CRC-32 goes in too
};

struct TestDir {
    int16_t id;
    std::string name;
    uint16_t next = 0;
    uint16_t child = 0;
};

// Folder names go into the pools first, then file names, each in order.
class ArchiveBuilder {
public:
    bool full_path = true;
    bool dir_tree = false;
    std::string password;  // empty: none
    std::vector<TestDir> dirs;
    std::vector<TestFile> files;

    zq::ArchiveImage image() const;
    Bytes archive() const;
};

// The archive of an image that a test may have altered after image().
Bytes archive_of(const zq::ArchiveImage& image);

// A flat archive of the given files, in this order, each block-coded or raw,
// with write time 0 and the default attributes: ArchiveBuilder's files with
// their write time set to 0.
struct PlainFile {
    std::string name;
    Bytes content;
    bool coded = true;
};
Bytes flat_archive(const std::vector<PlainFile>& files);

}  // namespace zq::test
