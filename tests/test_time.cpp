// Clock, date and time strings, date arithmetic, packed dates and times.
#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kGetTime = 0xf0, kDetail = 0xf1, kCheck = 0xf2, kShift = 0xf3,
                   kDateStr = 0xf4, kTimeStr = 0xf5, kPackDate = 0xf6, kUnpackDate = 0xf7,
                   kPackTime = 0xf8, kUnpackTime = 0xf9, kCurrent = 0xfa;

XCalendar cal(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, uint32_t us = 0) {
    XCalendar c{};
    c.year = uint16_t(y);
    c.month = uint16_t(mo);
    c.day = uint16_t(d);
    c.hour = uint16_t(h);
    c.minute = uint16_t(mi);
    c.second = uint16_t(s);
    c.microsecond = us;
    return c;
}

XCalendar expand(uint16_t day, uint16_t minute = 0, uint32_t us = 0) {
    XClock k{day, minute, us};
    XCalendar c{};
    EXPECT_EQ(XGetTimeDetail(&k, &c), 1);
    return c;
}

std::string date_str(int layout, const XCalendar &c, int sep = '/') {
    char out[16];
    std::memset(out, 'Z', sizeof out);
    if (XGetDateStr(layout, &c, out, sep) != 1) return "<failed>";
    return out;
}

std::string shifted(int layout, const char *text, int days, int32_t *result = nullptr) {
    char buf[16] = {};
    std::strcpy(buf, text);
    int32_t r = XShiftDate(layout, buf, days);
    if (result) *result = r;
    return buf;
}

}  // namespace

class Time : public ZaxTest {};

TEST_F(Time, ClockRecordsAndCalendarRecordsRoundTrip) {
    XClock k{};
    XCalendar c = cal(1970, 1, 1);
    ASSERT_EQ(XGetTimeCurrent(&c, &k), 1);
    EXPECT_EQ(k.day, 0);
    EXPECT_EQ(k.minute, 0);
    EXPECT_EQ(k.microsecond, 0u);
    c = cal(2000, 1, 1, 13, 45, 30, 123456);
    ASSERT_EQ(XGetTimeCurrent(&c, &k), 1);
    EXPECT_EQ(k.day, 10957);
    EXPECT_EQ(k.minute, 13 * 60 + 45);
    EXPECT_EQ(k.microsecond, 30123456u);
    XCalendar back{};
    ASSERT_EQ(XGetTimeDetail(&k, &back), 1);
    EXPECT_EQ(std::memcmp(&back, &c, sizeof c), 0);

    XCalendar e = expand(59);
    EXPECT_EQ(e.year, 1970);
    EXPECT_EQ(e.month, 3);
    EXPECT_EQ(e.day, 1);
    e = expand(58);
    EXPECT_EQ(e.month, 2);
    EXPECT_EQ(e.day, 28);
    e = expand(789);
    EXPECT_EQ(e.year, 1972);
    EXPECT_EQ(e.month, 2);
    EXPECT_EQ(e.day, 29);
    e = expand(65535);
    EXPECT_EQ(e.year, 2149);
    EXPECT_EQ(e.month, 6);
    EXPECT_EQ(e.day, 6);
    // Every day of the clock's range expands to the date that builds it again.
    for (uint32_t day = 0; day <= 65535; day += 7) {
        XCalendar x = expand(uint16_t(day), 1439, 59999999);
        XClock k2{};
        ASSERT_EQ(XGetTimeCurrent(&x, &k2), 1) << day;
        ASSERT_EQ(k2.day, day);
        ASSERT_EQ(k2.minute, 1439);
        ASSERT_EQ(k2.microsecond, 59999999u);
    }
}

TEST_F(Time, ExpansionAcceptsMinute1440AndSixtySeconds) {
    XCalendar e = expand(0, 1440, 60000000);
    EXPECT_EQ(e.hour, 24);
    EXPECT_EQ(e.minute, 0);
    EXPECT_EQ(e.second, 60);
    EXPECT_EQ(e.microsecond, 0u);

    XClock k{0, 1441, 0};
    XCalendar out = cal(1, 1, 1);
    EXPECT_EQ(XGetTimeDetail(&k, &out), 0);
    EXPECT_LAST_ERROR(code(kDetail, 2), 1, 2);
    k = {0, 0, 60000001};
    EXPECT_EQ(XGetTimeDetail(&k, &out), 0);
    EXPECT_LAST_ERROR(code(kDetail, 2), 2, 2);
    EXPECT_EQ(out.year, 1);  // nothing written
    EXPECT_EQ(XGetTimeDetail(nullptr, &out), 0);
    EXPECT_LAST_ERROR(code(kDetail, 1), 1, 2);
    EXPECT_EQ(XGetTimeDetail(&k, nullptr), 0);
    EXPECT_LAST_ERROR(code(kDetail, 1), 2, 2);
}

TEST_F(Time, BuildingAClockRecordChecksDateThenTime) {
    XClock k{7, 7, 7};
    XCalendar c = cal(1900, 2, 29);
    EXPECT_EQ(XGetTimeCurrent(&c, &k), 0);
    EXPECT_LAST_ERROR(code(kCurrent, 2), 3, 2);
    c = cal(2000, 2, 29);
    EXPECT_EQ(XGetTimeCurrent(&c, &k), 1);
    k = {7, 7, 7};
    const struct {
        XCalendar c;
        uint32_t reason, detail;
    } bad[] = {
        {cal(2000, 13, 1), 2, 2},          {cal(2000, 1, 0), 2, 3},
        {cal(0, 1, 1), 2, 1},              {cal(10000, 1, 1), 2, 1},
        {cal(2000, 4, 31), 2, 3},          {cal(2000, 1, 1, 24), 3, 1},
        {cal(2000, 1, 1, 0, 60), 3, 2},    {cal(2000, 1, 1, 0, 0, 60), 3, 3},
        {cal(2000, 1, 1, 0, 0, 0, 1000000), 3, 4}, {cal(2000, 0, 1, 99), 2, 2},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(XGetTimeCurrent(&b.c, &k), 0);
        EXPECT_LAST_ERROR(code(kCurrent, b.reason), b.detail, 2);
    }
    EXPECT_EQ(k.day, 7);  // nothing written
    EXPECT_EQ(XGetTimeCurrent(nullptr, &k), 0);
    EXPECT_LAST_ERROR(code(kCurrent, 1), 1, 2);
    EXPECT_EQ(XGetTimeCurrent(&c, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCurrent, 1), 2, 2);
    // A year before 1970 adds no year lengths.
    c = cal(1969, 3, 1);
    ASSERT_EQ(XGetTimeCurrent(&c, &k), 1);
    EXPECT_EQ(k.day, 59);
}

TEST_F(Time, TheClockIsReadWhileAnotherThreadChangesTheEnvironment) {
    // The time zone is taken from the environment while another thread
    // changes it and grows it (which moves the environment's array); the
    // helper program counts the tzset calls during which it changed.
    HelperResult r = RunHelper({"tzenv"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "0 0\n");
}

TEST_F(Time, CurrentTimeIsTheLocalClockInMilliseconds) {
    setenv("TZ", "UTC", 1);
    XClock k{};
    time_t before = time(nullptr);
    ASSERT_EQ(XGetTime(&k), 1);
    time_t after = time(nullptr);
    long secs = long(k.day) * 86400 + long(k.minute) * 60 + long(k.microsecond / 1000000);
    EXPECT_GE(secs, long(before));
    EXPECT_LE(secs, long(after));
    EXPECT_EQ(k.microsecond % 1000, 0u);

    // Another time zone moves the minute of the day (or the day).
    setenv("TZ", "IST-5:30", 1);
    XClock shifted{};
    ASSERT_EQ(XGetTime(&shifted), 1);
    long secs2 = long(shifted.day) * 86400 + long(shifted.minute) * 60 +
                 long(shifted.microsecond / 1000000);
    EXPECT_NEAR(double(secs2 - secs), 5.5 * 3600, 5);
    unsetenv("TZ");

    EXPECT_EQ(XGetTime(nullptr), 0);
    EXPECT_LAST_ERROR(code(kGetTime, 1), 1, 2);
}

TEST_F(Time, DateStringsInAllEightLayouts) {
    XCalendar c = cal(2010, 9, 6);
    EXPECT_EQ(date_str(0, c), "09062010");
    EXPECT_EQ(date_str(1, c, '/'), "09/06/2010");
    EXPECT_EQ(date_str(2, c), "090610");
    EXPECT_EQ(date_str(3, c, '.'), "09.06.10");
    EXPECT_EQ(date_str(4, c), "20100906");
    EXPECT_EQ(date_str(5, c, '-'), "2010-09-06");
    EXPECT_EQ(date_str(6, c), "100906");
    EXPECT_EQ(date_str(7, c, 0x100 + '/'), "10/09/06");  // the low byte only
    EXPECT_EQ(date_str(4, cal(999, 1, 2)), "09990102");

    char out[16] = "untouched";
    EXPECT_EQ(XGetDateStr(8, &c, out, '/'), 0);
    EXPECT_LAST_ERROR(code(kDateStr, 1), 1, 2);
    XCalendar bad = cal(2010, 2, 30);
    EXPECT_EQ(XGetDateStr(8, &bad, out, '/'), 0);  // the date is tested first
    EXPECT_LAST_ERROR(code(kDateStr, 2), 3, 2);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(XGetDateStr(0, nullptr, out), 0);
    EXPECT_LAST_ERROR(code(kDateStr, 1), 2, 2);
    EXPECT_EQ(XGetDateStr(0, &c, nullptr), 0);
    EXPECT_LAST_ERROR(code(kDateStr, 1), 3, 2);
}

TEST_F(Time, TimeStringsWithAndWithoutSeparator) {
    XCalendar c = cal(2000, 1, 1, 7, 5, 3, 999999999);  // microseconds not tested
    char out[16];
    ASSERT_EQ(XGetTimeStr(&c, out, ':'), 1);
    EXPECT_STREQ(out, "07:05:03");
    ASSERT_EQ(XGetTimeStr(&c, out, '\0'), 1);
    EXPECT_STREQ(out, "070503");
    c.hour = 24;
    EXPECT_EQ(XGetTimeStr(&c, out, ':'), 0);
    EXPECT_LAST_ERROR(code(kTimeStr, 2), 1, 2);
    c.hour = 1;
    c.second = 60;
    EXPECT_EQ(XGetTimeStr(&c, out, ':'), 0);
    EXPECT_LAST_ERROR(code(kTimeStr, 2), 3, 2);
    EXPECT_EQ(XGetTimeStr(nullptr, out, ':'), 0);
    EXPECT_LAST_ERROR(code(kTimeStr, 1), 1, 2);
    EXPECT_EQ(XGetTimeStr(&c, nullptr, ':'), 0);
    EXPECT_LAST_ERROR(code(kTimeStr, 1), 2, 2);
}

TEST_F(Time, CheckDateReadsFixedPositionsAndTheCenturyWindow) {
    EXPECT_EQ(XCheckDate(5, "2000/02/29"), 1);
    EXPECT_EQ(XCheckDate(5, "2000-02-29"), 1);
    EXPECT_EQ(XCheckDate(5, "2000x02y29"), 1);
    EXPECT_EQ(XCheckDate(5, "1900/02/29"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 2), 3, 2);
    EXPECT_EQ(XCheckDate(6, "691231"), 1);
    EXPECT_EQ(XCheckDate(6, "000229"), 1);  // 2000
    EXPECT_EQ(XCheckDate(2, "022970"), 0);  // 1970 is no leap year
    EXPECT_LAST_ERROR(code(kCheck, 2), 3, 2);
    EXPECT_EQ(XCheckDate(4, "2000O101"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 3), 0, 2);
    EXPECT_EQ(XCheckDate(4, "20001301"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 2), 2, 2);
    EXPECT_EQ(XCheckDate(4, "00000101"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 2), 1, 2);
    EXPECT_EQ(XCheckDate(0, "1231199"), 0);  // one character short
    EXPECT_LAST_ERROR(code(kCheck, 3), 0, 2);
    EXPECT_EQ(XCheckDate(1, "12"), 0);  // NUL at a separator: nothing past it is read
    EXPECT_LAST_ERROR(code(kCheck, 3), 0, 2);
    EXPECT_EQ(XCheckDate(8, "20000101"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 1), 1, 2);
    EXPECT_EQ(XCheckDate(-1, "20000101"), 0);
    EXPECT_LAST_ERROR(code(kCheck, 1), 1, 2);
    EXPECT_EQ(XCheckDate(8, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCheck, 1), 2, 2);
    EXPECT_EQ(XCheckDate(0, "02292000 and more"), 1);
    EXPECT_EQ(XCheckDate(3, "12.31.99"), 1);
    EXPECT_EQ(XCheckDate(7, "99.12.31"), 1);
}

TEST_F(Time, ShiftDateMovesWithinTheWindowAndKeepsTheLayout) {
    EXPECT_EQ(shifted(4, "20000228", 1), "20000229");
    EXPECT_EQ(shifted(4, "20000228", 2), "20000301");
    EXPECT_EQ(shifted(4, "19990301", -1), "19990228");
    EXPECT_EQ(shifted(1, "12/31/1999", 1), "01/01/2000");
    EXPECT_EQ(shifted(5, "2000-01-01", 366), "2001-01-01");
    EXPECT_EQ(shifted(7, "99.12.31", 1), "00.01.01");
    EXPECT_EQ(shifted(3, "12x31y69", -365), "12x31x68");  // the first separator is kept
    EXPECT_EQ(shifted(4, "19700102", 0), "19700102");
    EXPECT_EQ(shifted(4, "19500115", 1), "19700116");
    EXPECT_EQ(shifted(4, "20691231", -36523), "19700102");

    // Only the layout's characters change.
    char buf[16] = "20000228tail";
    ASSERT_EQ(XShiftDate(4, buf, 1), 1);
    EXPECT_STREQ(buf, "20000229tail");

    int32_t r = -1;
    EXPECT_EQ(shifted(6, "691231", 1, &r), "691231");
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kShift, 3), 0, 2);
    EXPECT_EQ(shifted(4, "19700102", -1, &r), "19700102");
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kShift, 2), 0, 2);
    EXPECT_EQ(shifted(4, "20000101", 2147483647, &r), "20000101");
    EXPECT_LAST_ERROR(code(kShift, 3), 0, 2);
    EXPECT_EQ(shifted(4, "20000101", -2147483647 - 1, &r), "20000101");
    EXPECT_LAST_ERROR(code(kShift, 2), 0, 2);
    // A bad input date is XCheckDate's error.
    EXPECT_EQ(shifted(4, "20001301", 1, &r), "20001301");
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kCheck, 2), 2, 2);
    EXPECT_EQ(XShiftDate(9, buf, 1), 0);
    EXPECT_LAST_ERROR(code(kCheck, 1), 1, 2);
    EXPECT_EQ(XShiftDate(4, nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kShift, 1), 2, 2);
}

TEST_F(Time, PackedDates) {
    auto pack = [](XCalendar c) {
        uint8_t b[4] = {};
        EXPECT_EQ(XPackDate(&c, b), 1);
        return (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    };
    EXPECT_EQ(pack(cal(2010, 9, 6)), 0x2010249Fu);
    EXPECT_EQ(pack(cal(2000, 1, 1)), 0x2000001Fu);
    EXPECT_EQ(pack(cal(2000, 12, 31)), 0x2000366Fu);
    EXPECT_EQ(pack(cal(1999, 12, 31)), 0x1999365Fu);
    EXPECT_EQ(pack(cal(999, 3, 1)), 0x0999060Fu);

    auto unpack = [](uint32_t v, XCalendar *c) {
        const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        return XUnpackDate(c, b);
    };
    XCalendar c = cal(1, 1, 1, 11, 22, 33, 44);
    ASSERT_EQ(unpack(0x2000366C, &c), 1);
    EXPECT_EQ(c.year, 2000);
    EXPECT_EQ(c.month, 12);
    EXPECT_EQ(c.day, 31);
    EXPECT_EQ(c.hour, 11);  // the time fields keep their values
    EXPECT_EQ(c.microsecond, 44u);
    ASSERT_EQ(unpack(0x2000060F, &c), 1);
    EXPECT_EQ(c.month, 2);
    EXPECT_EQ(c.day, 29);
    ASSERT_EQ(unpack(0x1999060F, &c), 1);
    EXPECT_EQ(c.month, 3);
    EXPECT_EQ(c.day, 1);
    // A nibble above 9 ends its number.
    ASSERT_EQ(unpack(0x20A1031F, &c), 1);
    EXPECT_EQ(c.year, 20);
    EXPECT_EQ(c.month, 1);
    EXPECT_EQ(c.day, 31);

    c = cal(7, 7, 7);
    EXPECT_EQ(unpack(0x1999366F, &c), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 2), 0, 2);
    EXPECT_EQ(unpack(0x2010249D, &c), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 3), 0, 2);
    EXPECT_EQ(unpack(0x0000001D, &c), 0);  // the sign is tested first
    EXPECT_LAST_ERROR(code(kUnpackDate, 3), 0, 2);
    EXPECT_EQ(unpack(0x0000001F, &c), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 2), 0, 2);
    EXPECT_EQ(unpack(0x2000000F, &c), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 2), 0, 2);
    EXPECT_EQ(unpack(0x2000367F, &c), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 2), 0, 2);
    EXPECT_EQ(c.year, 7);  // nothing written

    // Every day of a leap and a common year survives the round trip.
    for (int y : {1999, 2000, 2100}) {
        for (int doy = 1, m = 1, d = 1; m <= 12; ++doy) {
            XCalendar in = cal(y, m, d), out{};
            uint8_t b[4];
            ASSERT_EQ(XPackDate(&in, b), 1);
            ASSERT_EQ(XUnpackDate(&out, b), 1);
            ASSERT_EQ(out.month, m);
            ASSERT_EQ(out.day, d);
            static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            int ml = len[m - 1] + (m == 2 && y % 4 == 0 && (y % 100 || y % 400 == 0));
            if (++d > ml) d = 1, ++m;
        }
    }

    uint8_t b[4] = {1, 2, 3, 4};
    XCalendar bad = cal(2001, 2, 29);
    EXPECT_EQ(XPackDate(&bad, b), 0);
    EXPECT_LAST_ERROR(code(kPackDate, 2), 3, 2);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(XPackDate(nullptr, b), 0);
    EXPECT_LAST_ERROR(code(kPackDate, 1), 1, 2);
    EXPECT_EQ(XPackDate(&bad, nullptr), 0);
    EXPECT_LAST_ERROR(code(kPackDate, 1), 2, 2);
    EXPECT_EQ(XUnpackDate(nullptr, b), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 1), 1, 2);
    EXPECT_EQ(XUnpackDate(&c, nullptr), 0);
    EXPECT_LAST_ERROR(code(kUnpackDate, 1), 2, 2);
}

TEST_F(Time, PackedTimes) {
    auto pack = [](XCalendar c, int32_t *r = nullptr) {
        uint8_t b[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        int32_t res = XPackTime(&c, b);
        if (r) *r = res;
        return (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    };
    EXPECT_EQ(pack(cal(2000, 1, 1, 23, 59, 59, 999999)), 0x23595999u);
    EXPECT_EQ(pack(cal(2000, 1, 1, 0, 0, 0, 9999)), 0x00000000u);
    EXPECT_EQ(pack(cal(2000, 1, 1, 24, 0, 0, 0)), 0x24000000u);
    // From hour 24 on the other fields are not tested; large ones keep their
    // first two digits.
    EXPECT_EQ(pack(cal(0, 0, 0, 99, 123, 60, 5000000)), 0x99126050u);
    int32_t r = -1;
    EXPECT_EQ(pack(cal(0, 0, 0, 100), &r), 0xAAAAAAAAu);
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kPackTime, 2), 1, 2);
    pack(cal(0, 0, 0, 23, 60), &r);
    EXPECT_LAST_ERROR(code(kPackTime, 2), 2, 2);
    pack(cal(0, 0, 0, 23, 0, 60), &r);
    EXPECT_LAST_ERROR(code(kPackTime, 2), 3, 2);
    pack(cal(0, 0, 0, 23, 0, 0, 1000000), &r);
    EXPECT_LAST_ERROR(code(kPackTime, 2), 4, 2);

    XCalendar c = cal(2011, 3, 4, 1, 1, 1, 1);
    const uint8_t t[4] = {0x23, 0x59, 0x59, 0x99};
    ASSERT_EQ(XUnpackTime(&c, t), 1);
    EXPECT_EQ(c.hour, 23);
    EXPECT_EQ(c.minute, 59);
    EXPECT_EQ(c.second, 59);
    EXPECT_EQ(c.microsecond, 990000u);
    EXPECT_EQ(c.year, 2011);  // the date fields keep their values
    EXPECT_EQ(c.day, 4);
    const uint8_t h24[4] = {0x24, 0, 0, 0};
    ASSERT_EQ(XUnpackTime(&c, h24), 1);
    EXPECT_EQ(c.hour, 24);
    const uint8_t odd[4] = {0x1F, 0, 0, 0};  // nibbles are not tested further
    ASSERT_EQ(XUnpackTime(&c, odd), 1);
    EXPECT_EQ(c.hour, 25);
    for (const auto &bad : {std::array<uint8_t, 4>{0x9A, 0, 0, 0}, {0, 0x60, 0, 0},
                            {0, 0, 0x5A, 0}, {0, 0, 0, 0xA0}}) {
        EXPECT_EQ(XUnpackTime(&c, bad.data()), 0);
        EXPECT_LAST_ERROR(code(kUnpackTime, 2), 0, 2);
    }
    EXPECT_EQ(c.hour, 25);
    EXPECT_EQ(XPackTime(nullptr, &r), 0);
    EXPECT_LAST_ERROR(code(kPackTime, 1), 1, 2);
    EXPECT_EQ(XPackTime(&c, nullptr), 0);
    EXPECT_LAST_ERROR(code(kPackTime, 1), 2, 2);
    EXPECT_EQ(XUnpackTime(nullptr, t), 0);
    EXPECT_LAST_ERROR(code(kUnpackTime, 1), 1, 2);
    EXPECT_EQ(XUnpackTime(&c, nullptr), 0);
    EXPECT_LAST_ERROR(code(kUnpackTime, 1), 2, 2);
}
