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

struct StubOptions {
    bool help;
    bool version;
    const char* refused;     // the word that made the line unusable, if one did
    ExtractOptions extract;  // everything else, for the run
};

// Reads the words after the program's own (words[0]). 0, or kExitUsage for
// an unknown option, a missing folder or options that exclude each other.
int parse_stub_options(uint32_t count, const char* const* words, StubOptions* options);

// The usage text: its lines one after the other, each ended by a NUL, the
// last followed by an empty one (the string's own NUL).
extern const char kUsage[];

}  // namespace zq
