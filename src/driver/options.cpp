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

bool same(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
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

const char kUsage[] =
    "Options: -d, --target DIR  extract into DIR\0"
    " -l, --list  list the files\0"
    " -t, --test  check the files, write nothing\0"
    " -y  overwrite all   -n  overwrite none\0"
    " -q  quiet   --noexec  run nothing after\0"
    " -h, --help   --version\0"
    " -- ARGS  more arguments for what runs after\0";

namespace {

// Every word the self-extractor knows, NUL after each; option_index gives
// the position of a word in this list.
const char kOptionWords[] =
    "-d\0--target\0-l\0--list\0-t\0--test\0-y\0-n\0-q\0--noexec\0-h\0--help\0--version\0--";
constexpr int kTargetWords = 2;    // 0-1
constexpr int kModeWords = 6;      // 2-3 list, 4-5 test
constexpr int kEndOfOptions = 13;  // "--"

int option_index(const char* word) {
    const char* known = kOptionWords;
    for (int index = 0; index <= kEndOfOptions; ++index) {
        if (same(word, known)) return index;
        known += str_length(known) + 1;
    }
    return -1;
}

}  // namespace

int parse_stub_options(uint32_t count, const char* const* words, StubOptions* options) {
    ExtractOptions& run = options->extract;
    bool no_exec = false;
    // Indexes 6 to 12 of kOptionWords set these.
    bool* const flags[] = {&run.overwrite_all, &run.never_overwrite, &run.quiet,       &no_exec,
                           &options->help,     &options->help,       &options->version};
    for (uint32_t i = 1; i < count; ++i) {
        options->refused = words[i];
        const int index = option_index(words[i]);
        if (index < 0) return kExitUsage;
        if (index == kEndOfOptions) {
            run.run_args = words + i + 1;
            run.run_arg_count = count - i - 1;
            break;
        }
        if (index < kTargetWords) {
            // Given twice is refused, as two modes are: neither one wins.
            if (run.target != nullptr || ++i == count || words[i][0] == '\0') return kExitUsage;
            run.target = words[i];
        } else if (index < kModeWords) {
            if (run.mode != kModeExtract) return kExitUsage;
            run.mode = index < 4 ? kModeList : kModeTest;
        } else {
            *flags[index - kModeWords] = true;
        }
    }
    if (run.overwrite_all && run.never_overwrite) return kExitUsage;
    run.run_marked = !no_exec;
    options->refused = nullptr;
    return 0;
}

}  // namespace zq
