#include "layout_reader.h"

#include <map>
#include <stdexcept>

#include "reference_codec.h"

namespace zq::test {

namespace {

struct Cursor {
    const Bytes& bytes;
    size_t at;
    void need(size_t count) const {
        if (at + count > bytes.size()) throw std::runtime_error("past the end");
    }
    uint32_t number(int width) {
        need(size_t(width));
        uint32_t value = 0;
        for (int k = width - 1; k >= 0; --k) value = value << 8 | bytes[at + size_t(k)];
        at += size_t(width);
        return value;
    }
    // A run of frames of `coded` bytes, decoded.
    Bytes frames(size_t coded) {
        need(coded);
        const size_t end = at + coded;
        Bytes plain;
        while (at < end) {
            need(2);
            const uint32_t header = uint32_t(bytes[at]) << 8 | bytes[at + 1];
            const size_t length = (header & 0x7FFF) == 0 ? 32768 : header & 0x7FFF;
            need(2 + length);
            const std::vector<uint8_t> payload(bytes.begin() + long(at + 2),
                                               bytes.begin() + long(at + 2 + length));
            std::vector<uint8_t> block;
            if (!reference::decode(payload, (header & 0x8000) != 0, block))
                throw std::runtime_error("a frame does not decode");
            plain.insert(plain.end(), block.begin(), block.end());
            at += 2 + length;
        }
        if (at != end) throw std::runtime_error("a frame runs past its section");
        return plain;
    }
};

uint32_t le(const Bytes& bytes, size_t at, int width) { return Cursor{bytes, at}.number(width); }

std::string name_at(const std::vector<Bytes>& pools, uint32_t ref) {
    const Bytes& pool = pools.at(ref >> 16);
    std::string name;
    for (size_t k = ref & 0xFFFF; pool.at(k) != 0; ++k) name += char(pool[k]);
    return name;
}

}  // namespace

Layout read_layout(const Bytes& container) {
    if (container.size() < 4) throw std::runtime_error("no trailer");
    const size_t archive = le(container, container.size() - 4, 4);
    Cursor cursor{container, archive};
    Layout layout;
    layout.flags = uint16_t(cursor.number(2));
    cursor.at = archive + 6;
    cursor.at = archive + cursor.number(4);

    std::vector<Bytes> pools(cursor.number(2));
    for (Bytes& pool : pools) {
        cursor.number(2);  // decoded size
        pool = cursor.frames(cursor.number(2));
    }
    if (layout.flags & 0x0080) cursor.frames(cursor.number(2));
    const uint32_t dir_count = cursor.number(2);
    Bytes dirs;
    if (dir_count != 0) dirs = cursor.frames(cursor.number(2));
    const uint32_t file_count = cursor.number(4);
    const Bytes files = cursor.frames(cursor.number(4));
    if (dirs.size() != dir_count * 10u || files.size() != file_count * 40u)
        throw std::runtime_error("tables of another size");

    // Folder paths by id, the first in the walk from record 0 winning.
    std::map<uint16_t, std::string> paths;
    struct Walk {
        const Bytes& dirs;
        const std::vector<Bytes>& pools;
        std::map<uint16_t, std::string>& paths;
        void chain(uint32_t record, const std::string& above) {
            for (;;) {
                const size_t at = record * 10u;
                const std::string path = above + name_at(pools, le(dirs, at + 2, 4)) + "/";
                paths.emplace(uint16_t(le(dirs, at, 2)), path);
                if (le(dirs, at + 8, 2) != 0) chain(le(dirs, at + 8, 2), path);
                record = le(dirs, at + 6, 2);
                if (record == 0) return;
            }
        }
    };
    if (dir_count != 0) Walk{dirs, pools, paths}.chain(0, "");

    for (uint32_t i = 0; i < file_count; ++i) {
        LayoutFile file;
        file.record.assign(files.begin() + long(i * 40), files.begin() + long(i * 40 + 40));
        const uint16_t dir = uint16_t(le(file.record, 2, 2));
        const std::string folder = dir != 0 ? paths.at(dir) : "";
        file.path = folder + name_at(pools, le(file.record, 28, 4));
        const size_t size = le(file.record, 16, 4);
        Cursor data{container, archive + le(file.record, 24, 4)};
        if ((le(file.record, 32, 2) & 0xFF00) == 0) {
            data.need(size);
            file.content.assign(container.begin() + long(data.at),
                                container.begin() + long(data.at + size));
        } else {
            file.content = data.frames(le(file.record, 20, 4));
        }
        if (file.content.size() != size) throw std::runtime_error(file.path + ": another size");
        layout.files.push_back(std::move(file));
    }
    return layout;
}

}  // namespace zq::test
