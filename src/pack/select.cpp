#include "pack/select.h"

namespace zq::pack {

bool glob_match(const std::string& pattern, const std::string& text) {
    // On a mismatch, only the latest star needs to take one more character:
    // earlier stars can never do better, so this stays linear per star.
    size_t p = 0, t = 0;
    size_t star = std::string::npos, star_text = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
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
