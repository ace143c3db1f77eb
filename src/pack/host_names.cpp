#include "pack/host_names.h"

#include <vector>

#include "platform/host_text.h"
#include "platform/platform.h"

namespace zq::pack {

namespace {

// Converted names of one archive are at most a few times its stored names,
// which a real archive keeps far below this; a hostile one is refused.
constexpr size_t kMaxConvertedBytes = size_t(48) << 20;
constexpr size_t kPoolLimit = 0xFFFF;  // offsets in a name reference are 16-bit

// The stored text behind `ref`, or false when it is not a name the checks
// would accept (outside the pools, without a NUL, longer than a path): such
// an archive is refused before its pools are replaced.
bool stored_text(const Catalogue& catalogue, uint32_t ref, std::string* text) {
    uint32_t pool = ref >> 16;
    uint32_t offset = ref & 0xFFFF;
    if (pool >= catalogue.pool_count) return false;
    const uint8_t* area = catalogue.name_pools[pool];
    uint32_t size = catalogue.pool_sizes[pool];
    uint32_t end = offset;
    while (end < size && area[end] != 0 && end - offset < kMaxPath) ++end;
    if (end >= size || area[end] != 0) return false;
    text->assign(reinterpret_cast<const char*>(area + offset), end - offset);
    return true;
}

// New pools holding every referenced name converted, each reference moved to
// its converted copy. Names that do not convert stay as stored.
class Rewriter {
public:
    Rewriter(Catalogue& catalogue, const TextConversion& to_utf8, HostNames& names)
        : catalogue_(catalogue), to_utf8_(to_utf8), names_(names) {}

    // A file marked to run keeps the arguments stored after its name: they
    // move (converted too) with it, into a copy of its own.
    int rewrite(uint8_t* ref_bytes, bool with_arguments = false) {
        uint32_t ref = load_u32(ref_bytes);
        auto done = with_arguments ? moved_.end() : moved_.find(ref);
        if (done == moved_.end()) {
            std::string stored;
            if (!stored_text(catalogue_, ref, &stored)) return kExitInvalidArchive;
            std::string text;
            if (!to_utf8_.convert(stored, &text)) text = stored;
            std::string tail;
            if (with_arguments) {
                const char* arguments = run_arguments(catalogue_, ref);
                if (arguments == nullptr) return kExitInvalidArchive;
                if (!to_utf8_.convert(arguments, &tail)) tail = arguments;
                tail += '\0';
            }
            total_ += text.size() + 1 + tail.size();
            if (total_ > kMaxConvertedBytes) return kExitNoMemory;
            if (text.size() + 1 + tail.size() > kPoolLimit) return kExitInvalidArchive;
            if (pools_.empty() ||
                pools_.back().size() + text.size() + 1 + tail.size() > kPoolLimit) {
                pools_.emplace_back();
            }
            uint32_t moved = uint32_t(pools_.size() - 1) << 16 | uint32_t(pools_.back().size());
            pools_.back() += text;
            pools_.back() += '\0';
            pools_.back() += tail;
            if (text != stored) names_.stored[moved] = stored;
            if (with_arguments) {
                store_ref(ref_bytes, moved);
                return 0;
            }
            done = moved_.emplace(ref, moved).first;
        }
        store_ref(ref_bytes, done->second);
        return 0;
    }

    // Puts the new pools in place of the old ones, through the platform
    // allocator that release_catalogue gives back to.
    int install() {
        if (pools_.size() > 0xFFFF) return kExitNoMemory;
        uint32_t count = uint32_t(pools_.size());
        auto** areas = static_cast<uint8_t**>(mem_alloc(count * uint32_t(sizeof(uint8_t*)) + 1));
        auto* sizes = static_cast<uint16_t*>(mem_alloc(count * uint32_t(sizeof(uint16_t)) + 1));
        if (areas == nullptr || sizes == nullptr) return kExitNoMemory;
        for (uint32_t i = 0; i < count; ++i) {
            areas[i] = static_cast<uint8_t*>(mem_alloc(uint32_t(pools_[i].size()) + 1));
            if (areas[i] == nullptr) return kExitNoMemory;
            for (size_t k = 0; k < pools_[i].size(); ++k) areas[i][k] = uint8_t(pools_[i][k]);
            sizes[i] = uint16_t(pools_[i].size());
        }
        for (uint32_t i = 0; i < catalogue_.pool_count; ++i) mem_free(catalogue_.name_pools[i]);
        if (catalogue_.name_pools != nullptr) mem_free(catalogue_.name_pools);
        if (catalogue_.pool_sizes != nullptr) mem_free(catalogue_.pool_sizes);
        catalogue_.name_pools = areas;
        catalogue_.pool_sizes = sizes;
        catalogue_.pool_count = uint32_t(count);
        return 0;
    }

private:
    static void store_ref(uint8_t* ref_bytes, uint32_t ref) { store_u32(ref_bytes, ref); }

    Catalogue& catalogue_;
    const TextConversion& to_utf8_;
    HostNames& names_;
    std::map<uint32_t, uint32_t> moved_;
    std::vector<std::string> pools_;
    size_t total_ = 0;
};

int convert_names(Catalogue* catalogue, uint16_t code_page, HostNames& names) {
    const TextConversion to_utf8("UTF-8", code_page_charset(code_page));
    if (!to_utf8.ready()) return kExitInvalidArchive;
    Rewriter rewriter(*catalogue, to_utf8, names);
    int result = 0;
    for (uint32_t i = 0; result == 0 && i < catalogue->dir_count; ++i) {
        result = rewriter.rewrite(catalogue->dir_table[i].bytes + 2);
    }
    for (uint32_t i = 0; result == 0 && i < catalogue->file_count; ++i) {
        FileRecord& file = *catalogue->file_table[i];
        result = rewriter.rewrite(file.bytes + 28, file.runs_after());
    }
    if (result == 0) result = rewriter.install();
    if (result == 0) names.code_page = code_page;
    return result;
}

}  // namespace

int take_host_names(Catalogue* catalogue, LeadBytes* lead) {
    HostNames& names = *static_cast<HostNames*>(catalogue->host_names_context);
    const uint16_t code_page = code_page_of_mark(catalogue->code_page_mark);
    if (code_page == 0) {
        if (names.fixed_lead_bytes_when_unmarked) *lead = fixed_lead_bytes();
        return 0;
    }
    // UTF-8 from here on: checked as this system's own names.
    return convert_names(catalogue, code_page, names);
}

std::string valid_utf8(const std::string& text, bool* changed) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = uint8_t(text[i]);
        size_t length = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        bool ok = length != 0 && i + length <= text.size();
        for (size_t k = 1; ok && k < length; ++k) ok = (uint8_t(text[i + k]) & 0xC0) == 0x80;
        if (ok && length > 1) {
            // No overlong forms, surrogates or code points past U+10FFFF.
            uint32_t code = c & (0x7F >> length);
            for (size_t k = 1; k < length; ++k) code = code << 6 | (uint8_t(text[i + k]) & 0x3F);
            const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = code >= least[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        }
        if (ok) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            *changed = true;
            ++i;
        }
    }
    return out;
}

}  // namespace zq::pack
