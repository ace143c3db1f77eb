// The link check: link_target_is_safe, with the depth the driver gives it
// (path_depth of the link's stored path). The input is a list of links, each
// "path\0target\0", the path's folders separated by '/' and each a plain
// name. Every link the check lets through is then followed in a model of the
// extracted tree, through every other accepted link it meets on the way (any
// of them may be made, in any order): no resolution may climb above the run
// folder. The folders on a link's own path are real ones: the extractor makes
// nothing through a link.
#include <string>
#include <vector>

#include "archive/links.h"
#include "driver/paths.h"
#include "fuzz_support.h"

namespace {

using zq::fuzz::check;
using Parts = std::vector<std::string>;

Parts parts_of(const std::string& path) {
    Parts parts;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        parts.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool plain_name(const std::string& part) {
    if (part.empty() || part == "." || part == ".." || part.size() > 64) return false;
    for (char c : part) {
        if (uint8_t(c) < 0x20 || c == '\\') return false;
    }
    return true;
}

struct Link {
    Parts at;      // the link's own path
    Parts target;  // its target's parts
};

// Follows `parts` from folder `where` the way the system would; false when
// the walk climbs above the run folder. A name that is one of the links is
// replaced by that link's target, read from the link's folder.
bool stays_inside(const std::vector<Link>& links, Parts where, const Parts& parts, int hops) {
    if (hops > 40) return true;  // the system gives up on such a loop (ELOOP)
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (where.empty()) return false;
            where.pop_back();
            continue;
        }
        where.push_back(part);
        for (const Link& link : links) {
            if (link.at != where) continue;
            // The rest is read from where the link leads, from its folder.
            where.pop_back();
            Parts rest = link.target;
            rest.insert(rest.end(), parts.begin() + long(i) + 1, parts.end());
            return stays_inside(links, where, rest, hops + 1);
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<Link> accepted;
    size_t at = 0;
    for (int k = 0; k < 8 && at < input.size(); ++k) {
        const size_t path_end = input.find('\0', at);
        if (path_end == std::string::npos) break;
        const size_t target_end = std::min(input.find('\0', path_end + 1), input.size());
        const std::string path = input.substr(at, path_end - at);
        const std::string target = input.substr(path_end + 1, target_end - path_end - 1);
        at = target_end + 1;
        const Parts parts = parts_of(path);
        bool plain = true;
        for (const std::string& part : parts) plain = plain && plain_name(part);
        if (!plain) continue;
        // The driver's stored path: folders separated by '\'.
        std::string stored;
        for (const std::string& part : parts) stored += (stored.empty() ? "" : "\\") + part;
        const uint32_t depth = zq::path_depth(stored.c_str());
        check(depth == parts.size() - 1);
        const auto* bytes = reinterpret_cast<const uint8_t*>(target.data());
        const bool safe = zq::link_target_is_safe(bytes, uint32_t(target.size()), depth);
        if (!safe) continue;
        check(!target.empty() && target.size() <= zq::kMaxPath && target[0] != '/');
        // A link that is safe here is safe deeper down too.
        check(zq::link_target_is_safe(bytes, uint32_t(target.size()), depth + 1));
        accepted.push_back({parts, parts_of(target)});
    }
    for (const Link& link : accepted) {
        const Parts folder(link.at.begin(), link.at.end() - 1);
        check(stays_inside(accepted, folder, link.target, 0));
    }
    return 0;
}
