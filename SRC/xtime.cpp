// xtime: the clock record and the calendar record, date and time strings,
// date arithmetic in text, and the packed-decimal dates and times of the host
// systems.  Only XGetTime reads the clock (through os/clock.h); everything else
// is arithmetic on the Gregorian calendar from 1970.
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "os/clock.h"
#include "xint.h"

using namespace zax;

static_assert(sizeof(XClock) == 8);
static_assert(offsetof(XClock, day) == 0 && offsetof(XClock, minute) == 2 &&
              offsetof(XClock, microsecond) == 4);
static_assert(sizeof(XCalendar) == 16);
static_assert(offsetof(XCalendar, year) == 0 && offsetof(XCalendar, month) == 2 &&
              offsetof(XCalendar, day) == 4 && offsetof(XCalendar, hour) == 6 &&
              offsetof(XCalendar, minute) == 8 && offsetof(XCalendar, second) == 10 &&
              offsetof(XCalendar, microsecond) == 12);

namespace zax::time {
namespace {

// Days before each month; entry 12 is the length of the year.
constexpr int kDaysBefore[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};
constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

constexpr bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
constexpr int year_length(int y) { return is_leap(y) ? 366 : 365; }

// The date check shared by the clock, the strings and the packed dates:
// 0 when valid, else 1 (year), 2 (month) or 3 (day).
int check_date(int y, int m, int d) {
    if (y < 1 || y > 9999) return 1;
    if (m < 1 || m > 12) return 2;
    if (d < 1 || d > kMonthDays[is_leap(y)][m - 1]) return 3;
    return 0;
}

// The time check: 0 when valid, else 1 (hour), 2 (minute), 3 (second) or
// 4 (microseconds).
int check_time(uint32_t h, uint32_t mi, uint32_t s, uint32_t us) {
    if (h >= 24) return 1;
    if (mi >= 60) return 2;
    if (s >= 60) return 3;
    if (us >= 1000000) return 4;
    return 0;
}

// Days since 1970-01-01.  A year before 1970 adds no year lengths; its own
// month table still applies.
long day_count(int y, int m, int d) {
    long n = 0;
    for (int yy = 1970; yy < y; ++yy) n += year_length(yy);
    return n + kDaysBefore[is_leap(y)][m - 1] + d - 1;
}

struct Date {
    int year, month, day;
};

// The date of a day number since 1970 (0 or more).
Date date_of(long n) {
    int y = 1970;
    while (n >= year_length(y)) n -= year_length(y++);
    const int *before = kDaysBefore[is_leap(y)];
    int m = 1;
    while (m < 12 && before[m] <= n) ++m;
    return {y, m, int(n - before[m - 1] + 1)};
}

// Two decimal digits of v (0-99) at p.
void put2(char *p, int v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
}

// Where the fields of each layout stand, and its length.
struct Layout {
    int length;
    int year_at, year_digits, month_at, day_at;
    int sep1, sep2;  // separator positions, -1 for none
};
constexpr Layout kLayouts[8] = {
    {8, 4, 4, 0, 2, -1, -1},   // MMDDYYYY
    {10, 6, 4, 0, 3, 2, 5},    // MMsDDsYYYY
    {6, 4, 2, 0, 2, -1, -1},   // MMDDYY
    {8, 6, 2, 0, 3, 2, 5},     // MMsDDsYY
    {8, 0, 4, 4, 6, -1, -1},   // YYYYMMDD
    {10, 0, 4, 5, 8, 4, 7},    // YYYYsMMsDD
    {6, 0, 2, 2, 4, -1, -1},   // YYMMDD
    {8, 0, 2, 3, 6, 2, 5},     // YYsMMsDD
};

// Write the date in the layout (no NUL); the year has at most four digits.
void format_date(char *out, int layout, int y, int m, int d, char sep) {
    const Layout &l = kLayouts[layout];
    if (l.year_digits == 4) {
        put2(out + l.year_at, y / 100);
        put2(out + l.year_at + 2, y % 100);
    } else {
        put2(out + l.year_at, y % 100);
    }
    put2(out + l.month_at, m);
    put2(out + l.day_at, d);
    if (l.sep1 >= 0) out[l.sep1] = out[l.sep2] = sep;
}

// A date text read at the layout's fixed positions.
struct TextDate {
    int year, month, day;
    char sep;
};

// Reads and checks a date text (XCheckDate's rules, its code).
bool read_date_text(int32_t layout, const char *text, TextDate *out) {
    if (text == nullptr) {
        lib_error(FN_XCheckDate, R_XCheckDate_BAD_ARGUMENT, 2);
        return false;
    }
    if (layout < 0 || layout > 7) {
        lib_error(FN_XCheckDate, R_XCheckDate_BAD_ARGUMENT, 1);
        return false;
    }
    const Layout &l = kLayouts[layout];
    // A text shorter than its layout has a NUL at or before some digit
    // position; nothing past that NUL is read.
    if (strnlen(text, size_t(l.length)) < size_t(l.length)) {
        lib_error(FN_XCheckDate, R_XCheckDate_NOT_DIGITS, 0);
        return false;
    }
    auto digits = [&](int at, int count, int *value) {
        int v = 0;
        for (int i = 0; i < count; ++i) {
            char c = text[at + i];
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        *value = v;
        return true;
    };
    int y = 0, m = 0, d = 0;
    if (!digits(l.year_at, l.year_digits, &y) || !digits(l.month_at, 2, &m) ||
        !digits(l.day_at, 2, &d)) {
        lib_error(FN_XCheckDate, R_XCheckDate_NOT_DIGITS, 0);
        return false;
    }
    // Two-digit years fall in the window 1970-2069.
    if (l.year_digits == 2) y += y < 70 ? 2000 : 1900;
    if (int r = check_date(y, m, d); r != 0) {
        lib_error(FN_XCheckDate, R_XCheckDate_BAD_DATE, uint32_t(r));
        return false;
    }
    *out = {y, m, d, l.sep1 >= 0 ? text[l.sep1] : '\0'};
    return true;
}

// Two BCD digits of a value, or the first two decimal digits of a larger one.
uint8_t bcd2(uint32_t v) {
    while (v > 99) v /= 10;
    return uint8_t((v / 10) << 4 | (v % 10));
}

}  // namespace
}  // namespace zax::time

using namespace zax::time;

extern "C" {

XAPI int32_t XGetTime(XClock *out) {
    if (out == nullptr) {
        lib_error(FN_XGetTime, R_XGetTime_BAD_ARGUMENT, 1);
        return 0;
    }
    os::LocalTime now;
    if (int err = os::local_now(&now); err != 0) {
        sys_error(FN_XGetTime, R_XGetTime_CLOCK_FAILED, err);
        return 0;
    }
    out->day = uint16_t(day_count(now.year, now.month, now.day));
    out->minute = uint16_t(now.hour * 60 + now.minute);
    out->microsecond = uint32_t(now.second) * 1000000u + uint32_t(now.millisecond) * 1000u;
    return 1;
}

XAPI int32_t XGetTimeDetail(const XClock *in, XCalendar *out) {
    if (in == nullptr) {
        lib_error(FN_XGetTimeDetail, R_XGetTimeDetail_BAD_ARGUMENT, 1);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XGetTimeDetail, R_XGetTimeDetail_BAD_ARGUMENT, 2);
        return 0;
    }
    // Exactly 1440 and 60,000,000 are let through (hour 24, second 60).
    if (in->minute > 1440) {
        lib_error(FN_XGetTimeDetail, R_XGetTimeDetail_BAD_TIME, 1);
        return 0;
    }
    if (in->microsecond > 60000000u) {
        lib_error(FN_XGetTimeDetail, R_XGetTimeDetail_BAD_TIME, 2);
        return 0;
    }
    Date date = date_of(in->day);
    out->year = uint16_t(date.year);
    out->month = uint16_t(date.month);
    out->day = uint16_t(date.day);
    out->hour = uint16_t(in->minute / 60);
    out->minute = uint16_t(in->minute % 60);
    out->second = uint16_t(in->microsecond / 1000000u);
    out->microsecond = in->microsecond % 1000000u;
    return 1;
}

XAPI int32_t XGetTimeCurrent(const XCalendar *in, XClock *out) {
    if (in == nullptr) {
        lib_error(FN_XGetTimeCurrent, R_XGetTimeCurrent_BAD_ARGUMENT, 1);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XGetTimeCurrent, R_XGetTimeCurrent_BAD_ARGUMENT, 2);
        return 0;
    }
    if (int r = check_date(in->year, in->month, in->day); r != 0) {
        lib_error(FN_XGetTimeCurrent, R_XGetTimeCurrent_BAD_DATE, uint32_t(r));
        return 0;
    }
    if (int r = check_time(in->hour, in->minute, in->second, in->microsecond); r != 0) {
        lib_error(FN_XGetTimeCurrent, R_XGetTimeCurrent_BAD_TIME, uint32_t(r));
        return 0;
    }
    // The day number keeps the low 16 bits: dates after 2149-06-06 wrap.
    out->day = uint16_t(day_count(in->year, in->month, in->day));
    out->minute = uint16_t(in->hour * 60 + in->minute);
    out->microsecond = uint32_t(in->second) * 1000000u + in->microsecond;
    return 1;
}

XAPI int32_t XGetDateStr(int32_t layout, const XCalendar *in, char *out, ...) {
    if (in == nullptr) {
        lib_error(FN_XGetDateStr, R_XGetDateStr_BAD_ARGUMENT, 2);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XGetDateStr, R_XGetDateStr_BAD_ARGUMENT, 3);
        return 0;
    }
    if (int r = check_date(in->year, in->month, in->day); r != 0) {
        lib_error(FN_XGetDateStr, R_XGetDateStr_BAD_DATE, uint32_t(r));
        return 0;
    }
    if (layout < 0 || layout > 7) {
        lib_error(FN_XGetDateStr, R_XGetDateStr_BAD_ARGUMENT, 1);
        return 0;
    }
    char sep = 0;
    if (kLayouts[layout].sep1 >= 0) {
        va_list ap;
        va_start(ap, out);
        sep = char(va_arg(ap, int) & 0xFF);
        va_end(ap);
    }
    format_date(out, layout, in->year, in->month, in->day, sep);
    out[kLayouts[layout].length] = '\0';
    return 1;
}

XAPI int32_t XGetTimeStr(const XCalendar *in, char *out, char separator) {
    if (in == nullptr) {
        lib_error(FN_XGetTimeStr, R_XGetTimeStr_BAD_ARGUMENT, 1);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XGetTimeStr, R_XGetTimeStr_BAD_ARGUMENT, 2);
        return 0;
    }
    // The microseconds are not part of the text and are not tested.
    if (int r = check_time(in->hour, in->minute, in->second, 0); r != 0) {
        lib_error(FN_XGetTimeStr, R_XGetTimeStr_BAD_TIME, uint32_t(r));
        return 0;
    }
    char *p = out;
    put2(p, in->hour);
    p += 2;
    if (separator != '\0') *p++ = separator;
    put2(p, in->minute);
    p += 2;
    if (separator != '\0') *p++ = separator;
    put2(p, in->second);
    p[2] = '\0';
    return 1;
}

XAPI int32_t XCheckDate(int32_t layout, const char *text) {
    TextDate date;
    return read_date_text(layout, text, &date) ? 1 : 0;
}

XAPI int32_t XShiftDate(int32_t layout, char *text, int32_t days) {
    if (text == nullptr) {
        lib_error(FN_XShiftDate, R_XShiftDate_BAD_ARGUMENT, 2);
        return 0;
    }
    TextDate date;
    if (!read_date_text(layout, text, &date)) return 0;  // XCheckDate's error stands
    // A year before 1970 counts as the same month and day of 1970.
    long count = date.year < 1970 ? day_count(1970, date.month, date.day)
                                  : day_count(date.year, date.month, date.day);
    long shifted = count + long(days);
    if (shifted <= 0) {
        lib_error(FN_XShiftDate, R_XShiftDate_TOO_EARLY, 0);
        return 0;
    }
    if (shifted >= day_count(2070, 1, 1)) {
        lib_error(FN_XShiftDate, R_XShiftDate_TOO_LATE, 0);
        return 0;
    }
    Date d = date_of(shifted);
    const Layout &l = kLayouts[layout];
    char buffer[10];
    std::memcpy(buffer, text, size_t(l.length));
    format_date(buffer, layout, d.year, d.month, d.day, date.sep);
    char check[11];
    std::memcpy(check, buffer, size_t(l.length));
    check[l.length] = '\0';
    if (XCheckDate(layout, check) != 1) return 0;
    std::memcpy(text, buffer, size_t(l.length));
    return 1;
}

XAPI int32_t XPackDate(const XCalendar *in, void *out) {
    if (in == nullptr) {
        lib_error(FN_XPackDate, R_XPackDate_BAD_ARGUMENT, 1);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XPackDate, R_XPackDate_BAD_ARGUMENT, 2);
        return 0;
    }
    if (int r = check_date(in->year, in->month, in->day); r != 0) {
        lib_error(FN_XPackDate, R_XPackDate_BAD_DATE, uint32_t(r));
        return 0;
    }
    int doy = kDaysBefore[is_leap(in->year)][in->month - 1] + in->day;
    int y = in->year;
    auto *b = static_cast<uint8_t *>(out);
    b[0] = uint8_t((y / 1000) << 4 | (y / 100 % 10));
    b[1] = uint8_t((y / 10 % 10) << 4 | (y % 10));
    b[2] = uint8_t((doy / 100) << 4 | (doy / 10 % 10));
    b[3] = uint8_t((doy % 10) << 4 | 0xF);
    return 1;
}

XAPI int32_t XUnpackDate(XCalendar *out, const void *in) {
    if (out == nullptr) {
        lib_error(FN_XUnpackDate, R_XUnpackDate_BAD_ARGUMENT, 1);
        return 0;
    }
    if (in == nullptr) {
        lib_error(FN_XUnpackDate, R_XUnpackDate_BAD_ARGUMENT, 2);
        return 0;
    }
    const auto *b = static_cast<const uint8_t *>(in);
    uint8_t sign = b[3] & 0xF;
    if (sign != 0xC && sign != 0xF) {
        lib_error(FN_XUnpackDate, R_XUnpackDate_BAD_SIGN, 0);
        return 0;
    }
    const int nib[7] = {b[0] >> 4, b[0] & 0xF, b[1] >> 4, b[1] & 0xF,
                        b[2] >> 4, b[2] & 0xF, b[3] >> 4};
    // A nibble above 9 ends its number; the digits before it count.
    auto number = [&](int from, int count) {
        int v = 0;
        for (int i = from; i < from + count && nib[i] <= 9; ++i) v = v * 10 + nib[i];
        return v;
    };
    int year = number(0, 4);
    int doy = number(4, 3);
    if (year < 1 || doy < 1 || doy > 366 || (doy == 366 && !is_leap(year))) {
        lib_error(FN_XUnpackDate, R_XUnpackDate_BAD_DATE, 0);
        return 0;
    }
    const int *lengths = kMonthDays[is_leap(year)];
    int month = 0;
    int rest = doy;
    while (rest > 0) rest -= lengths[month++];
    out->year = uint16_t(year);
    out->month = uint16_t(month);
    out->day = uint16_t(rest + lengths[month - 1]);
    return 1;
}

XAPI int32_t XPackTime(const XCalendar *in, void *out) {
    if (in == nullptr) {
        lib_error(FN_XPackTime, R_XPackTime_BAD_ARGUMENT, 1);
        return 0;
    }
    if (out == nullptr) {
        lib_error(FN_XPackTime, R_XPackTime_BAD_ARGUMENT, 2);
        return 0;
    }
    // Hours 24 to 99 pass (host records use them for "end of day" and the
    // like); the other fields are then not tested.
    if (in->hour >= 100) {
        lib_error(FN_XPackTime, R_XPackTime_BAD_TIME, 1);
        return 0;
    }
    if (in->hour < 24) {
        if (int r = check_time(in->hour, in->minute, in->second, in->microsecond); r != 0) {
            lib_error(FN_XPackTime, R_XPackTime_BAD_TIME, uint32_t(r));
            return 0;
        }
    }
    auto *b = static_cast<uint8_t *>(out);
    b[0] = bcd2(in->hour);
    b[1] = bcd2(in->minute);
    b[2] = bcd2(in->second);
    b[3] = bcd2(in->microsecond / 10000u);
    return 1;
}

XAPI int32_t XUnpackTime(XCalendar *out, const void *in) {
    if (out == nullptr) {
        lib_error(FN_XUnpackTime, R_XUnpackTime_BAD_ARGUMENT, 1);
        return 0;
    }
    if (in == nullptr) {
        lib_error(FN_XUnpackTime, R_XUnpackTime_BAD_ARGUMENT, 2);
        return 0;
    }
    const auto *b = static_cast<const uint8_t *>(in);
    if (b[0] > 0x99 || b[1] > 0x59 || b[2] > 0x59 || b[3] > 0x99) {
        lib_error(FN_XUnpackTime, R_XUnpackTime_BAD_TIME, 0);
        return 0;
    }
    auto value = [](uint8_t x) { return uint16_t((x >> 4) * 10 + (x & 0xF)); };
    out->hour = value(b[0]);
    out->minute = value(b[1]);
    out->second = value(b[2]);
    out->microsecond = uint32_t(value(b[3])) * 10000u;
    return 1;
}

}  // extern "C"
