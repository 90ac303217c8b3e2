/* Two processes: the demonstration starts a copy of itself, and the two meet
 * in a shared memory segment and an event, both found by key. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

/* Kind 1, code "43": keys of the demonstration's own. */
#define SEGMENT_KEY XMakeKey(1, "43", 1, 1)
#define ANSWERED_KEY XMakeKey(1, "43", 1, 2)

void demo_exchange(const char *self) {
    const char *args[] = {"child"};
    XHANDLE segment, answered, child, waits[2];
    char *area;
    int32_t pos;

    printf("Two processes\n");
    area = (char *)XAllocShrMemory(&segment, 128, SEGMENT_KEY, 0, 0);
    if (area == (char *)X_FAILED_PTR) {
        show_error("XAllocShrMemory (is omikinit running?)");
        return;
    }
    strcpy(area, "6 x 7");
    if (!XCreateEvent(&answered, ANSWERED_KEY)) {
        show_error("XCreateEvent");
        XFreeShrMemory(area, segment);
        return;
    }
    /* waits[1] holds the child's process handle while it runs. */
    waits[0] = answered;
    waits[1] = NULL;
    printf("  asking a child process: \"%s\"\n", area);
    fflush(stdout);
    if (XCreateProcess(&child, self, &waits[1], 1, args)) {
        pos = XWaitEvent(waits, 2, 10000);
        if (pos == 0)
            printf("  its answer, through the segment: \"%s\"\n", area);
        else
            show_error("waiting for the answer");
        XWaitEvent(&waits[1], 1, 10000);
        printf("  XTermProcess collects the child: %d\n", XTermProcess(child, 0));
    } else {
        show_error("XCreateProcess");
    }
    XDestroyEvent(answered);
    XFreeShrMemory(area, segment);
}

int demo_exchange_child(void) {
    XHANDLE segment, answered;
    char *area = (char *)XOpenShrMemory(&segment, SEGMENT_KEY);
    if (area == (char *)X_FAILED_PTR || !XCreateEvent(&answered, ANSWERED_KEY)) return 1;
    if (strcmp(area, "6 x 7") == 0) strcpy(area, "42");
    XPostEvent(answered, 0);
    XDestroyEvent(answered);
    XCloseShrMemory(area, segment);
    return 0;
}
