// Which stored files a zqpack command takes, by names or globs.
#pragma once

#include <string>
#include <vector>

namespace zq::pack {

// `*` stands for any run of characters (also '/'), `?` for any one,
// `[...]` for one of those listed (`[!...]`: one not listed); every other
// character stands for itself. A character is one UTF-8 sequence, or a
// single byte where the text is not UTF-8.
bool glob_match(const std::string& pattern, const std::string& text);

// What `zqpack create --exclude` leaves out, as tar does: a '/'-separated
// path of which the whole, or any tail that starts after a '/' (down to its
// bare name), matches one of the globs.
bool excluded(const std::vector<std::string>& globs, const std::string& path);

// No pattern takes every file. Otherwise a file is taken when a pattern
// matches its '/'-separated stored path, or, for a pattern without '/', its
// bare name.
class Selection {
public:
    explicit Selection(std::vector<std::string> patterns);
    bool takes_all() const { return patterns_.empty(); }
    bool matches(const std::string& path);
    // The patterns that no path given to matches() has matched yet.
    std::vector<std::string> unmatched() const;

private:
    std::vector<std::string> patterns_;
    std::vector<bool> used_;
};

}  // namespace zq::pack
