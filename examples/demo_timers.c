/* Timers: an event posted after a delay, and a timer stopped in time. */
#include <stdio.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_timers(void) {
    XHANDLE event = NULL, timer, stopped;
    printf("Timers\n");
    if (!XCreateEvent(&event, 0xFFFFFFFFu)) {
        show_error("XCreateEvent");
        return;
    }
    timer = XSetTimer(event, 50);
    printf("  XSetTimer(event, 50 ms) -> %s\n", timer != NULL ? "set" : "failed");
    printf("  XWaitEvent(1000 ms) = %d (0: the timer posted)\n", XWaitEvent(&event, 1, 1000));
    XKillTimer(timer);
    show_error("XKillTimer after expiry");
    stopped = XSetTimer(event, 600000);
    printf("  XKillTimer on a 10-minute timer = %d\n", XKillTimer(stopped));
    XSetTimer(event, 86400001);
    show_error("XSetTimer(event, 86400001)");
    XDestroyEvent(event);
}
