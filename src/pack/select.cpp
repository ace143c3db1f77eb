#include "pack/select.h"

#include <cstdint>

namespace zq::pack {

namespace {

// One character of `s` at byte `at`: a well-formed UTF-8 sequence, or else a
// single byte, which then stands only for itself (code 0x110000 + byte, past
// every character), so names that are not UTF-8 still match byte by byte.
struct Char {
    uint32_t code;
    size_t length;
};

Char char_at(const std::string& s, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(s[at]);
    const Char lone{0x110000u + lead, 1};
    if (lead < 0x80) return {lead, 1};
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || at + length > s.size()) return lone;
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(s[at + i]);
        if ((next & 0xC0) != 0x80) return lone;
        code = code << 6 | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and codes past U+10FFFF are no characters.
    const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return lone;
    return {code, length};
}

// The class "[...]" at pattern[p] against `c`: 1 when it takes c, 0 when not,
// -1 when there is no closing ']' (the '[' then stands for itself). `end`
// gets the position after the class. "[!...]" and "[^...]" take what is not
// listed; a ']' first in the list is listed; "a-z" is a range of characters.
int class_match(const std::string& pattern, size_t p, Char c, size_t* end) {
    size_t at = p + 1;
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    if (negated) ++at;
    bool taken = false;
    for (bool first = true; at < pattern.size() && (first || pattern[at] != ']'); first = false) {
        const Char low = char_at(pattern, at);
        const size_t after = at + low.length;
        if (after + 1 < pattern.size() && pattern[after] == '-' && pattern[after + 1] != ']') {
            const Char high = char_at(pattern, after + 1);
            taken = taken || (c.code >= low.code && c.code <= high.code);
            at = after + 1 + high.length;
        } else {
            taken = taken || c.code == low.code;
            at = after;
        }
    }
    if (at >= pattern.size()) return -1;
    *end = at + 1;
    return taken != negated ? 1 : 0;
}

}  // namespace

bool glob_match(const std::string& pattern, const std::string& text) {
    // On a mismatch, only the latest star needs to take one more character:
    // earlier stars can never do better, so this stays linear per star.
    size_t p = 0, t = 0;
    size_t star = std::string::npos, star_text = 0;
    while (t < text.size()) {
        const Char c = char_at(text, t);
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
            continue;
        }
        size_t next = p;  // the pattern after one character that takes c
        if (p < pattern.size() && pattern[p] == '[') {
            size_t class_end = 0;
            const int in_class = class_match(pattern, p, c, &class_end);
            if (in_class == 1) next = class_end;
            if (in_class < 0 && c.code == '[') next = p + 1;
        } else if (p < pattern.size() && pattern[p] == '?') {
            next = p + 1;
        } else if (p < pattern.size()) {
            const Char wanted = char_at(pattern, p);
            if (wanted.code == c.code) next = p + wanted.length;
        }
        if (next != p) {
            p = next;
            t += c.length;
            continue;
        }
        if (star == std::string::npos) return false;
        p = star + 1;
        star_text += char_at(text, star_text).length;
        t = star_text;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool excluded(const std::vector<std::string>& globs, const std::string& path) {
    for (size_t start = 0; start != std::string::npos;) {
        const std::string tail = path.substr(start);
        for (const std::string& glob : globs) {
            if (glob_match(glob, tail)) return true;
        }
        const size_t slash = path.find('/', start);
        start = slash == std::string::npos ? slash : slash + 1;
    }
    return false;
}

Selection::Selection(std::vector<std::string> patterns)
    : patterns_(std::move(patterns)), used_(patterns_.size(), false) {}

bool Selection::matches(const std::string& path) {
    if (patterns_.empty()) return true;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    bool taken = false;
    for (size_t i = 0; i < patterns_.size(); ++i) {
        const std::string& pattern = patterns_[i];
        const bool by_name = pattern.find('/') == std::string::npos && glob_match(pattern, name);
        if (by_name || glob_match(pattern, path)) used_[i] = taken = true;
    }
    return taken;
}

std::vector<std::string> Selection::unmatched() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < patterns_.size(); ++i) {
        if (!used_[i]) out.push_back(patterns_[i]);
    }
    return out;
}

}  // namespace zq::pack
