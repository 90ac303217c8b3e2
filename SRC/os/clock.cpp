// The wall clock in local time (see clock.h).
#include "os/clock.h"
#include "os/env.h"

#include <cerrno>
#include <ctime>

namespace zax::os {

int local_now(LocalTime *out) {
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return errno;
    tm parts;
    // localtime_r need not call tzset; have it made so that a TZ changed by
    // the program takes effect at the next reading.
    env_tzset(long(ts.tv_sec));
    if (localtime_r(&ts.tv_sec, &parts) == nullptr) return errno != 0 ? errno : EOVERFLOW;
    out->year = parts.tm_year + 1900;
    out->month = parts.tm_mon + 1;
    out->day = parts.tm_mday;
    out->hour = parts.tm_hour;
    out->minute = parts.tm_min;
    // The library's clock has no leap second: 60 reads as 59.
    out->second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    out->millisecond = int(ts.tv_nsec / 1000000);
    return 0;
}

}  // namespace zax::os
