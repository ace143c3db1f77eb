// The self-extractor's command line: split_command_line, then
// parse_stub_options on the words it gives. Byte 0 picks the way:
//   bit 0 clear: the rest, up to a NUL, is a command line as Windows hands it
//     over (bit 1: with the program's own word first), split into at most
//     1 + (byte 0 >> 2) words in storage of exactly strlen + 1 bytes;
//   bit 0 set: the rest is a list of words separated by NULs, quoted the
//     way a program writes a command line for another, joined by blanks
//     (bit 1: behind a quoted program path) and split again: every word must
//     come back as it was.
// Whatever the words, the options parse to 0 or the usage status with one
// of its three problems, and what they give points into the words (a
// refused letter of a group is one of the group's letters).
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/options.h"
#include "fuzz_support.h"

namespace {

using zq::fuzz::check;

// The quoting a word needs to reach a program's words unchanged: inside
// quotes, backslashes double before a quote (which is escaped) and at the
// end (before the closing quote).
std::string quoted(const std::string& word) {
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

struct Split {
    std::unique_ptr<char[]> storage;
    std::vector<const char*> words;
};

Split split(const std::string& line, bool program_first, uint32_t max_words) {
    Split s;
    s.storage.reset(new char[line.size() + 1]);  // the most the splitter may need
    s.words.assign(max_words, nullptr);
    const uint32_t count = zq::split_command_line(line.c_str(), program_first, s.storage.get(),
                                                  s.words.data(), max_words);
    check(count <= max_words);
    s.words.resize(count);
    if (program_first && count != 0) check(s.words[0][0] == '\0');
    // Every word lies in the storage, one after the other.
    const char* end = s.storage.get();
    for (uint32_t i = program_first ? 1 : 0; i < count; ++i) {
        check(s.words[i] == end);
        end += std::strlen(s.words[i]) + 1;
        check(end <= s.storage.get() + line.size() + 1);
    }
    return s;
}

bool is_word(const std::vector<const char*>& words, const char* p) {
    for (const char* w : words) {
        if (w == p) return true;
    }
    return false;
}

void check_options(const std::vector<const char*>& words) {
    if (words.empty()) return;
    zq::StubOptions options{};
    const int result = zq::parse_stub_options(uint32_t(words.size()), words.data(), &options);
    check(result == 0 || result == zq::kExitUsage);
    if (result != 0) {
        check(options.problem >= zq::kOptionUnknown && options.problem <= zq::kOptionConflict);
        // The option at fault: a whole word, or "-x" for letter x of a group
        // (a letter one of the words holds after its '-').
        if (options.refused == options.refused_letter) {
            check(options.refused[0] == '-' && options.refused[1] != '\0' &&
                  options.refused[2] == '\0');
            bool found = false;
            for (const char* w : words)
                found =
                    found || (w[0] == '-' && w[1] != '-' && std::strchr(w + 1, options.refused[1]));
            check(found);
        } else {
            check(is_word(words, options.refused));
        }
        return;
    }
    const zq::ExtractOptions& run = options.extract;
    check(options.refused == nullptr && options.problem == 0);
    check(!(run.overwrite_all && run.never_overwrite));
    check(run.mode == zq::kModeExtract || run.mode == zq::kModeList || run.mode == zq::kModeTest);
    // The target is a whole word, or the rest of one after a glued "d" or
    // "--target=": never empty.
    if (run.target != nullptr) {
        check(run.target[0] != '\0');
        bool inside = false;
        for (const char* w : words) {
            const size_t length = std::strlen(w);
            inside =
                inside || (run.target >= w && run.target + std::strlen(run.target) == w + length);
        }
        check(inside);
        if (!is_word(words, run.target)) check(run.target[-1] == 'd' || run.target[-1] == '=');
    }
    if (run.run_args != nullptr) {
        // The words after "--", to the end.
        check(run.run_args > words.data() && run.run_args <= words.data() + words.size());
        check(run.run_args + run.run_arg_count == words.data() + words.size());
        check(std::strcmp(run.run_args[-1], "--") == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool program_first = (data[0] & 2) != 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((data[0] & 1) == 0) {
        const std::string line = rest.substr(0, rest.find('\0'));
        check_options(split(line, program_first, 1 + (data[0] >> 2)).words);
        return 0;
    }
    std::vector<std::string> words;
    for (size_t start = 0; start <= rest.size();) {
        const size_t end = std::min(rest.find('\0', start), rest.size());
        words.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    std::string line = program_first ? "\"C:\\Program Files\\setup.exe\"" : "";
    for (const std::string& word : words) line += (line.empty() ? "" : " ") + quoted(word);
    const Split s = split(line, program_first, uint32_t(words.size() + 2));
    const size_t first = program_first ? 1 : 0;
    check(s.words.size() == words.size() + first);
    for (size_t i = 0; i < words.size(); ++i) check(s.words[first + i] == words[i]);
    check_options(s.words);
    return 0;
}
