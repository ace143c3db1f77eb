// The outcomes of every program that reads an archive: the self-extractor
// (extracting, listing or testing) and zqpack's list, test and extract end
// with these statuses. Each has the message the extractor prints on its
// console before it ends, and a meaning that a tool's one-line errors and the
// manuals give; this is the only place either text is written down.
#pragma once

namespace zq {

constexpr int kExitOk = 0;
constexpr int kExitAbort = 1;
constexpr int kExitNoDiskSpace = 2;
constexpr int kExitIoError = 3;
constexpr int kExitPasswordFail = 4;  // printed after each wrong password; ends no run of the stub
constexpr int kExitNoMemory = 5;
constexpr int kExitTempFail = 6;
constexpr int kExitDecodeFailed = 7;
constexpr int kExitInvalidArchive = 8;
constexpr int kExitBadOsVersion = 9;
constexpr int kExitCodeCount = 10;
// The command line makes no sense: the usage (or a line that says what is
// wrong) is shown in place of a message, so the code lies outside the table.
constexpr int kExitUsage = 10;

// Constant data only: the Windows stub runs no static constructors.
inline constexpr const char* kExitMessages[kExitCodeCount] = {
    "",
    "Abort !",
    "No disk space",
    "File I/O error",
    "Password fail",
    "Out of memory",
    "mktemp() fail",
    "Decode failed",
    "Invalid archive",
    "Illegal OS version",
};

inline constexpr const char* kExitMeanings[kExitCodeCount] = {
    "success",
    "aborted: interrupted, or no answer on standard input",
    "no disk space",
    "file I/O error",
    "wrong password",
    "out of memory",
    "no temporary file could be created",
    "a file's data is damaged: it does not come out as recorded",
    "invalid archive",
    "illegal OS version",
};

// The message of `code`, or null for a code outside the table.
constexpr const char* exit_message(int code) {
    return code >= 0 && code < kExitCodeCount ? kExitMessages[code] : nullptr;
}

// The meaning of `code` for a tool's error line, or null outside the table.
constexpr const char* exit_meaning(int code) {
    return code >= 0 && code < kExitCodeCount ? kExitMeanings[code] : nullptr;
}

}  // namespace zq
