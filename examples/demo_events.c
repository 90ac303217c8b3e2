/* Lock objects, events, waits and cross-process posting. */
#include <stdio.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_events(void) {
    XHANDLE lock, twin, events[2];
    XProcInfo self;
    uint32_t word = 5;
    int32_t r1, r2;

    printf("Lock objects and compare-and-swap\n");
    lock = XCreateLockObj(0x1A); /* the file ZAXLOCK0000001A.lck */
    twin = XCreateLockObj(0x1A); /* the same mutex, an owner of its own */
    r1 = XLockObj(lock, X_INFINITE);
    r2 = XIsLockObj(lock);
    printf("  XLockObj = %d, XIsLockObj = %d\n", r1, r2);
    printf("  XLockObj again = %d\n", XLockObj(lock, X_INFINITE));
    show_error("a second lock by the holder");
    printf("  XIsLockObj through the second record = %d\n", XIsLockObj(twin));
    r1 = XUnlockObj(lock);
    r2 = XUnlockObj(lock);
    printf("  XUnlockObj = %d, then again = %d\n", r1, r2);
    XDestroyLockObj(twin);
    XDestroyLockObj(lock);
    r1 = XCompareSwap(&word, 5, 7);
    printf("  XCompareSwap(5 -> 7) = %d, word %u\n", r1, word);
    r1 = XCompareSwap(&word, 5, 7);
    printf("  XCompareSwap(5 -> 7) = %d, word %u\n", r1, word);
    show_error("a word that was not 5");

    printf("Events (small mode: no XInitXlib yet)\n");
    XCreateEvent(&events[0], 0xFFFFFFFFu); /* private */
    XCreateEvent(&events[1], 0x20);        /* shared by key: ZAXEVT00000020.ev */
    XPostEvent(events[1], 0);
    XPostEvent(events[1], 0);
    r1 = XWaitEvent(events, 2, 10);
    r2 = XWaitEvent(events, 2, 10);
    printf("  two posts, then XWaitEvent = %d, again with time-out 10 = %d\n", r1, r2);
    XPostEvent(events[0], 0);
    XPostEvent(events[1], 0);
    printf("  both posted: XWaitEvent = %d (the lowest position wins)\n",
           XWaitEvent(events, 2, 0));
    XWaitEvent(events, 65, 0);
    show_error("a wait for 65 events");
    XDestroyEvent(events[0]);
    XDestroyEvent(events[1]);

    printf("Events (large mode: ZAXXLIB_EVENT_NUMBER=100, then XInitXlib)\n");
    XWriteEnvInt("ZAXXLIB", "EVENT", "NUMBER", 100);
    XInitXlib();
    XGetProcInfo(&self);
    XCreateEvent(&events[0], 0x30);
    XCreateEvent(&events[1], 0x30);
    printf("  two creates of key 0x30 give one slot: %s\n",
           events[0] == events[1] ? "yes" : "no");
    r1 = XGlobalPostEvent(events[0], 0, self.pid);
    r2 = XWaitEvent(events, 1, 1000);
    printf("  XGlobalPostEvent into this process = %d, XWaitEvent = %d\n", r1, r2);
    XGlobalPostEvent(events[0], 0, 0x7FFFFFF0u);
    show_error("posting to a process without socket");
    XDestroyEvent(events[1]);
    XDestroyEvent(events[0]);
    XTermXlib();
    printf("  XSleep(0) = %d\n", XSleep(0));
    show_error("XSleep(0)");
}
