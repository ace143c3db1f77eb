// The Windows layer's string routines: the system answers for the code
// page in force and formats through wsprintfA, so the stub carries no
// formatting code of its own.
#include "platform/win32_section.h"

namespace zq {
namespace {

uint32_t decimal_digits(uint32_t number) {
    uint32_t digits = 1;
    while (number >= 10) {
        number /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

// ---------------------------------------------------------------- strings

[[gnu::noinline]] bool is_lead_byte(uint8_t byte) { return IsDBCSLeadByte(byte) != FALSE; }

int str_compare_nocase(const char* a, const char* b) {
    Section section;
    return lstrcmpiA(a, b);
}

bool format_numbered_name(char* out, uint32_t out_size, const char* prefix, uint32_t number) {
    Section section;
    uint32_t digits = decimal_digits(number);
    if (digits < 6) digits = 6;
    uint32_t needed = str_length(prefix) + digits + 1;
    // wsprintfA writes at most 1024 characters and knows nothing of `out_size`,
    // so the length is settled before it runs.
    if (needed > out_size || needed > 1025) return false;
    wsprintfA(out, "%s%06lu", prefix, static_cast<unsigned long>(number));
    return true;
}

void format_size_and_time(char* out, FileSize size, int32_t unix_time) {
    Section section;
    // Unix seconds to FILETIME ticks: 100 ns units, 11644473600 s before 1970.
    const int64_t ticks = (int64_t(unix_time) + 11644473600LL) * 10000000;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(uint64_t(ticks) >> 32);
    SYSTEMTIME t = {};
    FileTimeToSystemTime(&time, &t);
    // The size's field, then the time's.
    static const char kForm[] = "%10lu  %04u-%02u-%02u %02u:%02u:%02u  ";
#ifdef ZQ_WIDE_FILES
    // wsprintfA formats 32-bit numbers only: the size's field, ten places as
    // %10lu gives them, or more past 32 bits.
    out = put_number(out, size, 10, ' ');
    constexpr uint32_t kSizeField = 5;  // "%10lu"
    wsprintfA(out, kForm + kSizeField, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
#else
    wsprintfA(out, kForm, static_cast<unsigned long>(size), t.wYear, t.wMonth, t.wDay, t.wHour,
              t.wMinute, t.wSecond);
#endif
}

}  // namespace zq
