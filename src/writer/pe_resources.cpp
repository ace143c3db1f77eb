// Reading and filling the Windows stub's version resource (the layout the
// stub's build writes is in docs/FORMAT.md), the PE checksum and the signing
// padding. The stub comes from the user's --stub path, so every offset in
// it is checked before it is followed.
#include "writer/pe_resources.h"

#include <cstring>
#include <vector>

#include "writer/tool_error.h"

namespace zq {
namespace {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kTypeVersion = 16;
constexpr uint32_t kFixedInfoSize = 52;
constexpr uint32_t kFixedSignature = 0xFEEF04BD;

struct Image {
    const Bytes& bytes;

    uint32_t u16(size_t at) const {
        if (at > bytes.size() || bytes.size() - at < 2) fail("the stub's PE image is damaged");
        return uint32_t(bytes[at] | bytes[at + 1] << 8);
    }
    uint32_t u32(size_t at) const { return u16(at) | u16(at + 2) << 16; }
    size_t pe() const { return u32(0x3C); }
    size_t optional_header() const { return pe() + 24; }

    // The file offset of `rva`, inside one section's data.
    size_t file_offset(uint32_t rva, uint32_t length) const {
        const size_t sections = optional_header() + u16(pe() + 20);
        for (uint32_t i = 0; i < u16(pe() + 6); ++i) {
            const size_t section = sections + size_t(i) * 40;
            const uint32_t address = u32(section + 12);
            const uint32_t raw_size = u32(section + 16);
            const uint32_t raw_at = u32(section + 20);
            if (rva >= address && uint64_t(rva) + length <= uint64_t(address) + raw_size &&
                uint64_t(raw_at) + raw_size <= bytes.size()) {
                return raw_at + (rva - address);
            }
        }
        fail("the stub's resources lie outside its sections");
    }
};

// The version resource's data: offset and length in the stub.
std::pair<size_t, size_t> version_resource(const Image& image) {
    const size_t optional = image.optional_header();
    const uint32_t magic = image.u16(optional);
    const size_t directories = optional + (magic == 0x20B ? 112 : 96);
    if (image.u32(directories - 4) <= kResourceDirectory) fail("the stub has no resources");
    const uint32_t root_rva = image.u32(directories + kResourceDirectory * 8);
    const uint32_t root_size = image.u32(directories + kResourceDirectory * 8 + 4);
    if (root_rva == 0 || root_size < 16) fail("the stub has no resources");
    const size_t root = image.file_offset(root_rva, root_size);
    // type 16, then its first name, then its first language
    uint32_t entry = 0;
    size_t directory = root;
    for (int level = 0; level < 3; ++level) {
        const uint32_t named = image.u16(directory + 12);
        const uint32_t count = named + image.u16(directory + 14);
        bool found = false;
        for (uint32_t i = level == 0 ? named : 0; i < count && !found; ++i) {
            const size_t at = directory + 16 + size_t(i) * 8;
            found = level != 0 || image.u32(at) == kTypeVersion;
            entry = image.u32(at + 4);
        }
        const bool subdirectory = (entry & 0x80000000u) != 0;
        if (!found || subdirectory != (level < 2) || (entry & 0x7FFFFFFF) + 16u > root_size)
            fail("the stub has no version resource");
        directory = root + (entry & 0x7FFFFFFF);
    }
    const uint32_t data_rva = image.u32(directory);
    const uint32_t data_size = image.u32(directory + 4);
    return {image.file_offset(data_rva, data_size), data_size};
}

// One node of the version resource: wLength, wValueLength, wType, a
// NUL-terminated UTF-16 key, the value and the children, each on a 4-byte
// boundary from the resource's start.
struct Node {
    size_t at = 0;
    size_t end = 0;
    size_t value_at = 0;
    size_t children_at = 0;
    std::u16string key;
};

size_t align4(size_t base, size_t at) { return base + ((at - base + 3) & ~size_t(3)); }

Node read_node(const Image& image, size_t base, size_t at, size_t limit) {
    Node node;
    node.at = at;
    const uint32_t length = image.u16(at);
    if (length < 6 || at + length > limit) fail("the stub's version resource is damaged");
    node.end = at + length;
    size_t key = at + 6;
    for (;; key += 2) {
        if (key + 2 > node.end) fail("the stub's version resource is damaged");
        const char16_t unit = char16_t(image.u16(key));
        if (unit == 0) break;
        node.key.push_back(unit);
    }
    node.value_at = align4(base, key + 2);
    if (node.value_at > node.end) fail("the stub's version resource is damaged");
    // Text values count UTF-16 units, binary ones bytes.
    const uint32_t value_bytes = image.u16(at + 2) * (image.u16(at + 4) == 1 ? 2 : 1);
    node.children_at = std::min(node.end, align4(base, node.value_at + value_bytes));
    return node;
}

std::vector<Node> children(const Image& image, size_t base, const Node& parent) {
    std::vector<Node> nodes;
    for (size_t at = parent.children_at; at + 6 <= parent.end;) {
        nodes.push_back(read_node(image, base, at, parent.end));
        at = align4(base, nodes.back().end);
    }
    return nodes;
}

std::u16string utf16(const std::string& text, const char* option) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = uint8_t(text[i]);
        const int extra = lead < 0x80                   ? 0
                          : lead >= 0xC2 && lead < 0xE0 ? 1
                          : lead >= 0xE0 && lead < 0xF0 ? 2
                          : lead >= 0xF0 && lead < 0xF5 ? 3
                                                        : -1;
        if (extra < 0 || text.size() - i <= size_t(extra))
            fail(std::string(option) + ": not UTF-8 text");
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const uint8_t next = uint8_t(text[i + k]);
            if ((next & 0xC0) != 0x80) fail(std::string(option) + ": not UTF-8 text");
            code = code << 6 | (next & 0x3F);
        }
        const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            fail(std::string(option) + ": not UTF-8 text");
        if (code == 0) fail(std::string(option) + ": the text holds a NUL");
        if (code >= 0x10000) {
            out.push_back(char16_t(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(char16_t(code));
        }
        i += size_t(extra) + 1;
    }
    return out;
}

// "1.2.3.4" (fewer numbers leave the rest 0) as the two words of a fixed
// version.
std::pair<uint32_t, uint32_t> version_words(const std::string& text, const char* option) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t count = 0;
    size_t digits = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || count == 4)
                fail(std::string(option) + ": give 1 to 4 numbers, as 1.2.3.4");
            ++count;
            digits = 0;
        } else if (text[i] >= '0' && text[i] <= '9' && count < 4) {
            parts[count] = parts[count] * 10 + uint32_t(text[i] - '0');
            if (++digits > 5 || parts[count] > 0xFFFF)
                fail(std::string(option) + ": each number is at most 65535");
        } else {
            fail(std::string(option) + ": give 1 to 4 numbers, as 1.2.3.4");
        }
    }
    return {parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
}

void put_u16(Bytes& bytes, size_t at, uint32_t value) {
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}

void put_u32(Bytes& bytes, size_t at, uint32_t value) {
    put_u16(bytes, at, value & 0xFFFF);
    put_u16(bytes, at + 2, value >> 16);
}

struct Field {
    const char* key;
    const char* option;
    const std::optional<std::string>* text;
};

void fill_string(Bytes& stub, const Node& node, const Field& field) {
    const std::u16string text = utf16(**field.text, field.option);
    const size_t capacity = (node.end - node.value_at) / 2;  // the NUL included
    if (text.size() + 1 > capacity || capacity == 0) {
        fail(std::string(field.option) + ": the stub's " + field.key + " field holds at most " +
             std::to_string(capacity == 0 ? 0 : capacity - 1) +
             " characters (UTF-16 units); this text has " + std::to_string(text.size()));
    }
    for (size_t i = 0; i < capacity; ++i)
        put_u16(stub, node.value_at + 2 * i, i < text.size() ? text[i] : 0);
    put_u16(stub, node.at + 2, uint32_t(text.size() + 1));
}

std::u16string u16(const char* ascii) { return std::u16string(ascii, ascii + std::strlen(ascii)); }

}  // namespace

bool VersionTexts::any() const {
    return company_name || file_description || file_version || legal_copyright || product_name ||
           product_version;
}

void fill_version_texts(Bytes& stub, const VersionTexts& texts) {
    if (!texts.any()) return;
    const Image image{stub};
    const auto [base, size] = version_resource(image);
    const Node root = read_node(image, base, base, base + size);
    if (root.key != u16("VS_VERSION_INFO") || image.u16(base + 2) != kFixedInfoSize ||
        root.value_at + kFixedInfoSize > root.end || image.u32(root.value_at) != kFixedSignature) {
        fail("the stub's version resource is damaged");
    }
    const Field fields[] = {
        {"CompanyName", "--company-name", &texts.company_name},
        {"FileDescription", "--file-description", &texts.file_description},
        {"FileVersion", "--file-version", &texts.file_version},
        {"LegalCopyright", "--legal-copyright", &texts.legal_copyright},
        {"ProductName", "--product-name", &texts.product_name},
        {"ProductVersion", "--product-version", &texts.product_version},
    };
    // The fixed versions: file at value + 8, product at value + 16.
    if (texts.file_version) {
        const auto words = version_words(*texts.file_version, "--file-version");
        put_u32(stub, root.value_at + 8, words.first);
        put_u32(stub, root.value_at + 12, words.second);
    }
    if (texts.product_version) {
        const auto words = version_words(*texts.product_version, "--product-version");
        put_u32(stub, root.value_at + 16, words.first);
        put_u32(stub, root.value_at + 20, words.second);
    }
    for (const Field& field : fields) {
        if (!*field.text) continue;
        bool filled = false;
        for (const Node& info : children(image, base, root)) {
            if (info.key != u16("StringFileInfo")) continue;
            for (const Node& table : children(image, base, info)) {
                for (const Node& string : children(image, base, table)) {
                    if (string.key != u16(field.key) || image.u16(string.at + 4) != 1) continue;
                    fill_string(stub, string, field);
                    filled = true;
                }
            }
        }
        if (!filled)
            fail(std::string("the stub's version resource has no ") + field.key + " field");
    }
    put_u32(stub, image.optional_header() + 64, pe_checksum(stub));
}

size_t signing_padding(uint64_t position) { return size_t((8 - (position + 4) % 8) % 8); }

uint32_t pe_checksum(const Bytes& image) {
    const size_t field = Image{image}.optional_header() + 64;
    uint64_t sum = 0;
    for (size_t at = 0; at < image.size(); ++at) {
        if (at - field < 4) continue;  // the field itself counts as zero
        sum += uint64_t(image[at]) << (at & 1 ? 8 : 0);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

}  // namespace zq
