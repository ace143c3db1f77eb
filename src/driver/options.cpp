// The self-extractor's command line. Portable string work only: the Windows
// entry point hands over GetCommandLineA's text, the Linux one main's words.
#include "driver/options.h"

#include "platform/platform.h"

namespace zq {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One word from `p` into `out`; returns where the scan stopped, and the end
// of what was written in *end.
const char* split_word(const char* p, char** end) {
    char* out = *end;
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
        uint32_t slashes = 0;
        while (*p == '\\') {
            ++slashes;
            ++p;
        }
        if (*p == '"') {
            for (uint32_t i = 0; i < slashes / 2; ++i) *out++ = '\\';
            if (slashes % 2 == 1 || (quoted && p[1] == '"')) {
                *out++ = '"';
                if (slashes % 2 == 0) ++p;
            } else {
                quoted = !quoted;
            }
            ++p;
            continue;
        }
        for (uint32_t i = 0; i < slashes; ++i) *out++ = '\\';
        if (*p != '\0' && (quoted || !is_blank(*p))) *out++ = *p++;
    }
    *end = out;
    return p;
}

}  // namespace

uint32_t split_command_line(const char* line, bool program_first, char* storage, const char** words,
                            uint32_t max_words) {
    const char* p = line;
    uint32_t count = 0;
    if (program_first) {
        // The program's own word: to the closing quote when it starts with
        // one, otherwise to the first blank; its backslashes are separators.
        words[count++] = "";
        const char stop = *p == '"' ? '"' : ' ';
        if (stop == '"') ++p;
        while (*p != '\0' && *p != stop && (stop == '"' || *p != '\t')) ++p;
        if (*p == '"') ++p;
    }
    char* out = storage;
    while (count < max_words) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') break;
        words[count++] = out;
        p = split_word(p, &out);
        *out++ = '\0';
    }
    return count;
}

// The three problems' lines, the usage line around the program's name, then
// one option per line.
const char kUsage[] =
    "Unknown option: \0Missing value for \0Conflicting option: \0"
    "Usage: \0 [OPTIONS] [-- ARGS]\0"
    "  -d, --target DIR  extract into DIR\0"
    "  -l, --list        list the files\0"
    "  -t, --test        test the files\0"
    "  -y                overwrite all\0"
    "  -n                overwrite none\0"
    "  -q                quiet\0"
    "  --noexec          run nothing after\0"
    "  --nocheck         no test before writing\0"
    "  -h, --help        help\0"
    "  --version         version\0"
    "  -- ARGS           words for the program\0";

namespace {

// The options, by the index of their short letter in kShortOptions; the
// long-only ones follow.
constexpr char kShortOptions[] = "dltynqh";
constexpr int kTarget = 0, kList = 1, kTest = 2, kYes = 3, kNo = 4, kQuiet = 5, kHelp = 6,
              kNoExec = 7, kNoCheck = 8, kVersion = 9;
// The long names, NUL after each, and the option each stands for.
const char kLongOptions[] = "target\0list\0test\0help\0noexec\0nocheck\0version";
constexpr uint8_t kLongIds[] = {kTarget, kList, kTest, kHelp, kNoExec, kNoCheck, kVersion};

// The option named by `name[0, length)`, or -1.
int long_option(const char* name, uint32_t length) {
    const char* known = kLongOptions;
    for (uint8_t id : kLongIds) {
        const uint32_t known_length = str_length(known);
        uint32_t i = 0;
        while (i < length && name[i] == known[i]) ++i;
        if (i == length && known_length == length) return id;
        known += known_length + 1;
    }
    return -1;
}

int short_option(char letter) {
    for (int id = 0; kShortOptions[id] != '\0'; ++id) {
        if (kShortOptions[id] == letter) return id;
    }
    return -1;
}

// Takes option `id` (with `value` for the target); 0, or the problem.
int take_option(int id, const char* value, StubOptions* options, bool* no_exec) {
    ExtractOptions& run = options->extract;
    if (id == kTarget) {
        // Given twice, neither wins: refused as two modes are.
        if (run.target != nullptr) return kOptionConflict;
        if (value == nullptr || *value == '\0') return kOptionMissingValue;
        run.target = value;
        return 0;
    }
    if (id <= kTest) {
        const int mode = id == kList ? kModeList : kModeTest;
        if (run.mode != kModeExtract && run.mode != mode) return kOptionConflict;
        run.mode = mode;
        return 0;
    }
    if (id <= kNo) {
        if (id == kYes ? run.never_overwrite : run.overwrite_all) return kOptionConflict;
        (id == kYes ? run.overwrite_all : run.never_overwrite) = true;
        return 0;
    }
    // The options that only switch something on, from kQuiet on.
    bool* const flags[] = {&run.quiet, &options->help, no_exec, &run.no_check_first,
                           &options->version};
    *flags[id - kQuiet] = true;
    return 0;
}

int refuse(StubOptions* options, int problem, const char* word) {
    options->problem = problem;
    options->refused = word;
    return kExitUsage;
}

// The "-x" of a letter in a group, for the line that names it.
const char* letter_word(StubOptions* options, char letter) {
    options->refused_letter[0] = '-';
    options->refused_letter[1] = letter;
    options->refused_letter[2] = '\0';
    return options->refused_letter;
}

}  // namespace

// Out of line: inlined into the stub's start, which calls it once, it
// compiles about 130 bytes larger for 32 bits.
[[gnu::noinline]] int parse_stub_options(uint32_t count, const char* const* words,
                                         StubOptions* options) {
    ExtractOptions& run = options->extract;
    bool no_exec = false;
    for (uint32_t i = 1; i < count; ++i) {
        const char* word = words[i];
        const char* next = i + 1 < count ? words[i + 1] : nullptr;
        if (word[0] == '-' && word[1] == '-') {
            if (word[2] == '\0') {
                run.run_args = words + i + 1;
                run.run_arg_count = count - i - 1;
                break;
            }
            // --name, --name=value, or --target followed by its value.
            uint32_t length = 0;
            while (word[2 + length] != '\0' && word[2 + length] != '=') ++length;
            const char* value = word[2 + length] == '=' ? word + 3 + length : nullptr;
            const int id = long_option(word + 2, length);
            if (id < 0 || (id != kTarget && value != nullptr))
                return refuse(options, kOptionUnknown, word);
            if (id == kTarget && value == nullptr && next != nullptr) value = words[++i];
            const int problem = take_option(id, value, options, &no_exec);
            if (problem != 0) return refuse(options, problem, word);
        } else if (word[0] == '-' && word[1] != '\0') {
            // Letters grouped in one word; the target's value is the rest of
            // the word, or the next word.
            for (const char* letter = word + 1; *letter != '\0'; ++letter) {
                const int id = short_option(*letter);
                const char* value = nullptr;
                if (id == kTarget) value = letter[1] != '\0' ? letter + 1 : next;
                if (id == kTarget && letter[1] == '\0' && next != nullptr) ++i;
                const int problem =
                    id < 0 ? kOptionUnknown : take_option(id, value, options, &no_exec);
                if (problem != 0) return refuse(options, problem, letter_word(options, *letter));
                if (id == kTarget) break;
            }
        } else if (platform_help_word(word)) {
            options->help = true;
        } else {
            return refuse(options, kOptionUnknown, word);
        }
    }
    run.run_marked = !no_exec;
    options->refused = nullptr;
    return 0;
}

}  // namespace zq
