// The code-page conversion of stored names: take_host_names (zqpack's
// catalogue hook) on tables taken straight from the input
// (catalogue_from_bytes), byte 2's bits 1-4 giving the code-page mark, then
// the catalogue check on what it left. Every converted name must be the
// stored one through iconv (or stay as stored when it does not convert),
// its stored bytes kept when they differ, a run file's arguments moving with
// it; the pools left behind must hold every name inside them.
//
// The names that convert then go the packer's way back (NameForm::stored):
// what it accepts must pass the reader's own name check and turn into the
// same text again. And valid_utf8, which the listings put every name
// through, must give strict UTF-8 and leave what it gave unchanged.
#include <iconv.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/release.h"
#include "fuzz_support.h"
#include "pack/host_names.h"
#include "writer/stored_names.h"

namespace {

using zq::fuzz::check;

// The whole of `text` through `cd`: the oracle talks to iconv itself, apart
// from the conversion code it checks.
bool iconv_text(iconv_t cd, const std::string& text, std::string* out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string result(text.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* to = result.data();
    size_t to_left = result.size();
    if (iconv(cd, &in, &in_left, &to, &to_left) == size_t(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &to, &to_left) == size_t(-1)) return false;
    result.resize(result.size() - to_left);
    *out = std::move(result);
    return true;
}

// The converters, opened once per code page for the life of the process.
iconv_t to_utf8(uint16_t code_page) {
    static std::array<iconv_t, zq::kMarkedCodePageCount> open{};
    const uint8_t mark = zq::mark_of_code_page(code_page);
    if (open[mark] == iconv_t{}) {
        open[mark] = iconv_open("UTF-8", ("CP" + std::to_string(code_page)).c_str());
        check(open[mark] != iconv_t(-1));
    }
    return open[mark];
}

bool strict_utf8(const std::string& text) {
    bool changed = false;
    zq::pack::valid_utf8(text, &changed);
    return !changed;
}

void check_valid_utf8(const std::string& text) {
    bool changed = false;
    const std::string once = zq::pack::valid_utf8(text, &changed);
    check(changed == (once != text));
    bool again = false;
    check(zq::pack::valid_utf8(once, &again) == once && !again);
    // Strict by an independent reader too: iconv refuses what is not UTF-8.
    static const iconv_t utf8_to_utf32 = iconv_open("UTF-32LE", "UTF-8");
    std::string wide;
    check(iconv_text(utf8_to_utf32, once, &wide));
}

// What a name reference leads to before the conversion.
struct Before {
    bool ok = false;
    std::string text;
    bool has_args = false;
    std::string args;
};

Before before(const zq::Catalogue& c, uint32_t ref, bool runs_after) {
    Before b;
    const char* text = nullptr;
    size_t length = 0;
    if (!zq::fuzz::text_at(c, ref, &text, &length) || length > zq::kMaxPath) return b;
    b.ok = true;
    b.text.assign(text, length);
    if (runs_after) {
        const char* args = zq::run_arguments(c, ref);
        b.has_args = args != nullptr;
        if (args != nullptr) b.args = args;
    }
    return b;
}

std::string converted(uint16_t code_page, const std::string& stored) {
    std::string text;
    return iconv_text(to_utf8(code_page), stored, &text) ? text : stored;
}

void check_name(const zq::Catalogue& c, const zq::pack::HostNames& names, uint32_t ref,
                const Before& b, bool runs_after, bool directory) {
    const char* text = nullptr;
    size_t length = 0;
    check(zq::fuzz::text_at(c, ref, &text, &length));
    const std::string now(text, length);
    check(now == converted(names.code_page, b.text));
    const auto kept = names.stored.find(ref);
    check((kept != names.stored.end()) == (now != b.text));
    if (kept != names.stored.end()) check(kept->second == b.text);
    if (runs_after) {
        const char* args = zq::run_arguments(c, ref);
        check(args != nullptr && args == converted(names.code_page, b.args));
    }
    check_valid_utf8(now);
    if (now == b.text || !strict_utf8(now)) return;
    // The packer's way back.
    try {
        // A fresh form: the problems one notes are refused all together.
        const zq::NameForm form(names.code_page);
        const std::string back = form.stored(now, "fuzz", directory);
        form.refuse_problems();
        check(zq::is_storable_name(back, directory, form.lead()));
        check(converted(names.code_page, back) == now);
    } catch (const std::runtime_error&) {
        // A name Windows cannot hold, or that the page has no bytes for.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zq::Catalogue c{};
    if (!zq::fuzz::catalogue_from_bytes(data, size, &c)) return 0;
    c.code_page_mark = uint8_t((data[2] >> 1) & 0x0F);
    std::vector<Before> dirs;
    std::vector<Before> files;
    bool all_ok = true;
    for (uint32_t i = 0; i < c.dir_count; ++i) {
        dirs.push_back(before(c, c.dir_table[i].name(), false));
        all_ok = all_ok && dirs.back().ok;
    }
    for (uint32_t i = 0; i < c.file_count; ++i) {
        const zq::FileRecord& file = *c.file_table[i];
        files.push_back(before(c, file.name(), file.runs_after()));
        all_ok = all_ok && files.back().ok && (!file.runs_after() || files.back().has_args);
    }
    zq::pack::HostNames names;
    names.fixed_lead_bytes_when_unmarked = (data[2] & 1) != 0;
    c.host_names = zq::pack::take_host_names;
    c.host_names_context = &names;
    zq::LeadBytes lead = zq::platform_lead_bytes();
    const int result = zq::pack::take_host_names(&c, &lead);
    const uint16_t code_page = zq::code_page_of_mark(c.code_page_mark);
    check(result == 0 || result == zq::kExitInvalidArchive);
    if (code_page == 0) check(result == 0 && names.code_page == 0 && names.stored.empty());
    // Small inputs never reach the limits on converted sizes.
    if (code_page != 0) check((result == 0) == all_ok);
    if (result == 0 && code_page != 0) {
        check(names.code_page == code_page);
        for (uint32_t i = 0; i < c.dir_count; ++i)
            check_name(c, names, c.dir_table[i].name(), dirs[i], false, true);
        for (uint32_t i = 0; i < c.file_count; ++i) {
            const zq::FileRecord& file = *c.file_table[i];
            check_name(c, names, file.name(), files[i], file.runs_after(), false);
        }
    }
    if (result == 0) {
        const int checked = zq::check_catalogue(&c, lead);
        check(checked == 0 || checked == zq::kExitInvalidArchive);
    }
    zq::release_catalogue(&c);
    return 0;
}
