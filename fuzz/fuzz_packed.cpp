// Packed dates and times: the input is a packed date, a packed time and a
// calendar record. What unpacks packs back to the same bytes (digits as
// written, the date's sign as F), what packs unpacks to the same fields,
// unpacking touches only its own fields, and a failure writes nothing.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

bool decimal_nibbles(const uint8_t *p, int nibbles) {
    for (int i = 0; i < nibbles; ++i) {
        uint8_t n = i % 2 == 0 ? p[i / 2] >> 4 : p[i / 2] & 0xF;
        if (n > 9) return false;
    }
    return true;
}

XCalendar calendar(FuzzedDataProvider &in) {
    XCalendar c;
    bool sensible = in.ConsumeBool();
    c.year = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 10000) : in.ConsumeIntegral<uint16_t>();
    c.month = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 13) : in.ConsumeIntegral<uint16_t>();
    c.day = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 32) : in.ConsumeIntegral<uint16_t>();
    c.hour = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 100) : in.ConsumeIntegral<uint16_t>();
    c.minute = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 60) : in.ConsumeIntegral<uint16_t>();
    c.second = sensible ? in.ConsumeIntegralInRange<uint16_t>(0, 60) : in.ConsumeIntegral<uint16_t>();
    c.microsecond = sensible ? in.ConsumeIntegralInRange<uint32_t>(0, 1000000)
                             : in.ConsumeIntegral<uint32_t>();
    return c;
}

bool same(const XCalendar &a, const XCalendar &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void unpack_date(const uint8_t *packed) {
    XCalendar c, before;
    std::memset(&c, 0x77, sizeof c);
    before = c;
    if (XUnpackDate(&c, packed) != 1) {
        FUZZ_CHECK(same(c, before));
        return;
    }
    // Only year, month and day.
    FUZZ_CHECK(c.hour == before.hour && c.minute == before.minute && c.second == before.second &&
               c.microsecond == before.microsecond);
    Guarded out(4);
    FUZZ_CHECK(XPackDate(&c, out.data()) == 1 && out.intact());
    if (decimal_nibbles(packed, 7))
        FUZZ_CHECK(std::memcmp(out.data(), packed, 3) == 0 && out.data()[3] == ((packed[3] & 0xF0) | 0xF));
}

void unpack_time(const uint8_t *packed) {
    XCalendar c, before;
    std::memset(&c, 0x77, sizeof c);
    before = c;
    if (XUnpackTime(&c, packed) != 1) {
        FUZZ_CHECK(same(c, before));
        return;
    }
    FUZZ_CHECK(c.year == before.year && c.month == before.month && c.day == before.day);
    Guarded out(4);
    FUZZ_CHECK(XPackTime(&c, out.data()) == 1 && out.intact());
    if (decimal_nibbles(packed, 8)) FUZZ_CHECK(std::memcmp(out.data(), packed, 4) == 0);
}

void pack(const XCalendar &c) {
    Guarded date(4, 0x33), time(4, 0x33);
    if (XPackDate(&c, date.data()) == 1) {
        FUZZ_CHECK(date.intact());
        XCalendar u = c;
        FUZZ_CHECK(XUnpackDate(&u, date.data()) == 1);
        FUZZ_CHECK(u.year == c.year && u.month == c.month && u.day == c.day);
    } else {
        FUZZ_CHECK(date.untouched_from(0, 0x33) && date.intact());
    }
    if (XPackTime(&c, time.data()) == 1) {
        FUZZ_CHECK(time.intact());
        // Hours of 24 to 99 pack too, and fields past 99 keep their first two digits.
        if (c.hour < 24) {
            XCalendar u = c;
            FUZZ_CHECK(XUnpackTime(&u, time.data()) == 1);
            FUZZ_CHECK(u.hour == c.hour && u.minute == c.minute && u.second == c.second &&
                       u.microsecond == c.microsecond / 10000 * 10000);
        }
    } else {
        FUZZ_CHECK(time.untouched_from(0, 0x33) && time.intact());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    unpack_date(data);
    unpack_time(data + 4);
    FuzzedDataProvider in(data + 8, size - 8);
    pack(calendar(in));
    return 0;
}
