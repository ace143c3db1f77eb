// The self-extractor's command line: Windows-style splitting of one command
// line into words, and the options those words give.
#pragma once

#include <cstdint>

#include "driver/driver.h"

namespace zq {

// Splits `line` into words the way Windows programs do: blanks separate
// words outside double quotes; 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part, 2n+1 give n
// backslashes and a literal quote; inside quotes "" is a literal quote; other
// backslashes are literal. With `program_first`, the first word names the
// program: it is skipped (as Windows reads it) and stands as "" in words[0].
// Words go into `storage`, which must hold strlen(line) + 1 bytes (a word
// never grows), and their starts into `words`; returns the count, at most
// `max_words` (the rest are dropped).
uint32_t split_command_line(const char* line, bool program_first, char* storage, const char** words,
                            uint32_t max_words);

// What is wrong with a command line that cannot be used; each has its line
// (kUsage), and every one ends the run with kExitUsage.
constexpr int kOptionUnknown = 1;       // not an option of ours, or a value it takes none of
constexpr int kOptionMissingValue = 2;  // -d (--target) with no folder after it
constexpr int kOptionConflict = 3;      // excludes an earlier one (-l -t, -y -n, -d twice)

struct StubOptions {
    bool help;
    bool version;
    int problem;             // 0, or why the line is unusable
    const char* refused;     // then the option at fault: a word, or refused_letter
    char refused_letter[3];  // "-x" for letter x of a group such as -qx
    ExtractOptions extract;  // everything else, for the run
};

// Reads the words after the program's own (words[0]), as getopt-style tools
// take them: letters grouped (-qy), a value glued to its letter (-dDIR) or
// after it (-d DIR), --target=DIR or --target DIR, and "--" before the
// words for the program an installer runs. 0, or kExitUsage with the
// problem and the option at fault.
int parse_stub_options(uint32_t count, const char* const* words, StubOptions* options);

// The console texts of the command line, NUL after each: the start of each
// problem's line (problem 1 first; the option at fault follows it), the
// usage line's start (the program's name follows it) and the rest of that
// line, then one line per option; an empty text ends them.
extern const char kUsage[];

}  // namespace zq
