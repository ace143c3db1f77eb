// The Linux side's text routines: letter case, the numbered temporary names
// and the listing's size-and-time line. Plain loops that ask the system for
// nothing; the Windows stub has its own, which ask the system (win32.cpp).
#include "platform/platform.h"

namespace zq {

// ---------------------------------------------------------------- strings
namespace {
// One character of a UTF-8 text, letter case folded the way the Windows stub
// folds it on a Western system (code page 1252): ASCII, the Latin-1 letters
// and the four Latin Extended-A pairs that page holds. Anything else,
// including bytes that are not UTF-8, stands for itself.
uint32_t next_folded(const uint8_t*& p) {
    uint32_t code = *p++;
    if ((code == 0xC3 || code == 0xC5) && (*p & 0xC0) == 0x80)
        code = ((code & 0x1F) << 6) | (*p++ & 0x3F);
    if ((code >= 'A' && code <= 'Z') || (code >= 0xC0 && code <= 0xDE && code != 0xD7))
        return code + 0x20;
    if (code == 0x152 || code == 0x160 || code == 0x17D) return code + 1;  // Œ Š Ž
    if (code == 0x178) return 0xFF;                                        // Ÿ
    return code;
}
}  // namespace

int str_compare_nocase(const char* a, const char* b) {
    const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
    const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
    for (;;) {
        const uint32_t cx = next_folded(x);
        const uint32_t cy = next_folded(y);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (cx == 0) return 0;
    }
}

bool is_lead_byte(uint8_t) { return false; }

bool format_numbered_name(char* out, uint32_t out_size, const char* prefix, uint32_t number) {
    char digits[16];
    uint32_t count = 0;
    do {
        digits[count++] = char('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count < 6) digits[count++] = '0';
    const uint32_t prefix_length = str_length(prefix);
    if (prefix_length + count + 1 > out_size) return false;
    if (out != prefix) str_copy(out, prefix);
    for (uint32_t i = 0; i < count; ++i) out[prefix_length + i] = digits[count - 1 - i];
    out[prefix_length + count] = '\0';
    return true;
}

namespace {

struct CivilDate {
    uint32_t year;
    uint32_t month;  // 1..12
    uint32_t day;    // 1..31
};

// The Gregorian date `days` days after 1970-01-01 (negative: before), for
// the days a 32-bit time reaches. Counted from 1 March 1600 in 400-year eras
// of 146097 days, so the leap day closes its year and every count is
// positive.
CivilDate civil_from_days(int32_t days) {
    const uint32_t from_1600 = uint32_t(days + 135080);  // 1600-03-01 to 1970-01-01
    const uint32_t era = from_1600 / 146097;
    const uint32_t day_of_era = from_1600 % 146097;
    const uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const uint32_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const uint32_t month_from_march = (5 * day_of_year + 2) / 153;
    CivilDate date;
    date.day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    date.month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    date.year = 1600 + era * 400 + year_of_era + (date.month <= 2 ? 1 : 0);
    return date;
}

}  // namespace

// By hand rather than with gmtime and snprintf: this is the stub's only
// formatted line, and the C library's printf would be a fifth of the stub.
void format_size_and_time(char* out, FileSize size, int32_t unix_time) {
    const int64_t seconds = unix_time;
    const int32_t days = int32_t((seconds >= 0 ? seconds : seconds - 86399) / 86400);
    const uint32_t of_day = uint32_t(seconds - int64_t(days) * 86400);
    const CivilDate date = civil_from_days(days);
    char* p = put_number(out, size, 10, ' ');
    *p++ = ' ';
    *p++ = ' ';
    p = put_number(p, date.year, 4, '0');  // 1901..2038
    *p++ = '-';
    p = put_number(p, date.month, 2, '0');
    *p++ = '-';
    p = put_number(p, date.day, 2, '0');
    *p++ = ' ';
    p = put_number(p, of_day / 3600, 2, '0');
    *p++ = ':';
    p = put_number(p, of_day / 60 % 60, 2, '0');
    *p++ = ':';
    p = put_number(p, of_day % 60, 2, '0');
    *p++ = ' ';
    *p++ = ' ';
    *p = '\0';
}

}  // namespace zq
