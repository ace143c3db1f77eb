// Exit codes of the extraction run and the message each prints before the
// process ends. Every layer reports failures with these codes, and this is
// the only place their texts are written down.
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

// The message of `code`, or null for a code outside the table.
constexpr const char* exit_message(int code) {
    return code >= 0 && code < kExitCodeCount ? kExitMessages[code] : nullptr;
}

// The self-extractor's command line makes no sense: the usage is shown in
// place of a message, so the code lies outside the table.
constexpr int kExitUsage = 10;

}  // namespace zq
