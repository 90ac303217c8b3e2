// The wall clock in local time.  The only place that reads the clock and the
// time zone (clock_gettime, localtime_r), so that the date functions stay pure
// arithmetic.
#pragma once

namespace zax::os {

// The current local date and time, broken down.
struct LocalTime {
    int year;         // e.g. 2026
    int month;        // 1-12
    int day;          // 1-31
    int hour;         // 0-23
    int minute;       // 0-59
    int second;       // 0-59 (a leap second reads as 59)
    int millisecond;  // 0-999
};

// Read the clock and break it down in the local time zone (TZ, else
// /etc/localtime).  0, or the errno of the failing call.
[[nodiscard]] int local_now(LocalTime *out);

}  // namespace zax::os
