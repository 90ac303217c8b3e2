/* Dates and times: clock, strings, date arithmetic, packed dates. */
#include <stdio.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_time(void) {
    XClock clock;
    XCalendar cal;
    char text[16];
    char date[] = "12/31/1999";
    char late[] = "691231";
    unsigned char packed[4];

    printf("Dates and times\n");
    XGetTime(&clock);
    XGetTimeDetail(&clock, &cal);
    XGetDateStr(X_DATE_YYYYsMMsDD, &cal, text, '-');
    printf("  now: day %u, minute %u, %u us -> %s ", clock.day, clock.minute,
           clock.microsecond, text);
    XGetTimeStr(&cal, text, ':');
    printf("%s\n", text);
    printf("  XCheckDate(6, \"691231\") = %d (two-digit years are 1970-2069)\n",
           XCheckDate(X_DATE_YYMMDD, "691231"));
    XShiftDate(X_DATE_MMsDDsYYYY, date, 1);
    printf("  12/31/1999 shifted by one day: %s\n", date);
    if (XShiftDate(X_DATE_YYMMDD, late, 1) == 0) show_error("691231 shifted past 2069");
    cal.year = 2010;
    cal.month = 9;
    cal.day = 6;
    XPackDate(&cal, packed);
    printf("  2010-09-06 packed: %02X %02X %02X %02X\n", packed[0], packed[1], packed[2],
           packed[3]);
    cal.month = 2;
    cal.day = 30;
    XPackDate(&cal, packed);
    show_error("XPackDate of 2010-02-30");
}
