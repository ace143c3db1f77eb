#include "archive_builder.h"

#include "archive/catalogue.h"
#include "codec/crc32.h"
#include "support.h"

namespace zq::test {

zq::ArchiveImage ArchiveBuilder::image() const {
    zq::OwnedCodec codec;
    zq::NamePools names;
    zq::ArchiveImage image;
    image.flags = uint16_t(zq::kFlagTypeBits | (full_path ? zq::kFlagFullPath : 0) |
                           (password.empty() ? 0 : zq::kFlagPassword));
    image.options = dir_tree ? zq::kOptionDirTree : 0;
    if (!password.empty()) image.password = bytes_of(password);
    for (const TestDir& dir : dirs) {
        zq::DirEntry entry;
        entry.id = dir.id;
        entry.name = names.add(dir.name);
        entry.next = dir.next;
        entry.child = dir.child;
        image.dirs.push_back(entry);
    }
    for (const TestFile& file : files) {
        zq::FileEntry entry;
        entry.attributes = file.attributes;
        entry.dir_id = file.dir_id;
        entry.access_time = file.access_time;
        entry.write_time = file.write_time;
        entry.create_time = file.create_time;
        entry.name = names.add(file.name);
        entry.ext_word = file.ext_word;
        const Bytes content = bytes_of(file.content);
        if (file.ext_word & zq::kExtHasCrc)
            entry.crc32 = zq::crc32_of(content.data(), content.size());
        zq::FileEntry& added = zq::add_file_data(image, codec.state(), entry, content, file.coded);
        if (file.recorded_size >= 0) added.original_size = uint32_t(file.recorded_size);
    }
    image.pools = names.pools();
    return image;
}

Bytes ArchiveBuilder::archive() const { return archive_of(image()); }

Bytes archive_of(const zq::ArchiveImage& image) {
    zq::OwnedCodec codec;
    if (!stub_reads_wide_only()) return zq::archive_bytes(codec.state(), image);
    zq::ArchiveImage wide = image;
    wide.wide = true;
    return zq::self_extractor_bytes({}, zq::archive_bytes(codec.state(), wide), true,
                                    zq::kHeaderSize + wide.data.size());
}

// The reliability suites' archives have always carried write time 0; their
// bytes stay as they were, so runs stay comparable from version to version.
Bytes flat_archive(const std::vector<PlainFile>& files) {
    ArchiveBuilder builder;
    for (const PlainFile& plain : files) {
        TestFile file;
        file.name = plain.name;
        file.content = text_of(plain.content);
        file.coded = plain.coded;
        file.write_time = 0;
        builder.files.push_back(file);
    }
    return builder.archive();
}

}  // namespace zq::test
