#include "pack/select.h"

namespace zq::pack {

namespace {

// The class "[...]" at pattern[p] against `c`: 1 when it takes c, 0 when not,
// -1 when there is no closing ']' (the '[' then stands for itself). `end`
// gets the position after the class. "[!...]" and "[^...]" take what is not
// listed; a ']' first in the list is listed; "a-z" is a range.
int class_match(const std::string& pattern, size_t p, unsigned char c, size_t* end) {
    size_t at = p + 1;
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    if (negated) ++at;
    bool taken = false;
    for (bool first = true; at < pattern.size() && (first || pattern[at] != ']'); first = false) {
        const unsigned char low = static_cast<unsigned char>(pattern[at]);
        if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']') {
            taken = taken || (c >= low && c <= static_cast<unsigned char>(pattern[at + 2]));
            at += 3;
        } else {
            taken = taken || c == low;
            ++at;
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
        size_t class_end = 0;
        const int in_class =
            p < pattern.size() && pattern[p] == '['
                ? class_match(pattern, p, static_cast<unsigned char>(text[t]), &class_end)
                : -1;
        if (in_class >= 0) {
            if (in_class == 1) {
                p = class_end;
                ++t;
                continue;
            }
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
            continue;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
            continue;
        }
        if (star == std::string::npos) return false;
        p = star + 1;
        t = ++star_text;
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
