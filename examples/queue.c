/*
 * queue: a producer and a consumer in two processes share a queue.
 *
 * The queue is a global list: every process of the machine that creates the
 * list with the same key, capacity and tag gets the same list, kept in a shared
 * memory segment.  Two events, also found by key, carry the signals: the
 * consumer posts "ready" once it waits for work, the producer posts "work"
 * once the orders are queued.
 *
 *   queue            run as the producer; it starts the consumer itself
 *   queue consume    the consumer (started by the producer)
 *
 * Global lists need the initiator service (omikinit) of the run-time
 * directory; without it XCreateGlobalList fails after about 20 seconds.
 */
#include <stdio.h>
#include <string.h>

#include "zaxxlib.h"

/* The capacity and tag must be the same in every process that shares it. */
#define QUEUE_CAPACITY 4096
#define QUEUE_TAG 0x51

/* Keys are built from the parts of an object key: kind, a two-digit code,
 * group and number.  Kind 1 with code "42" is this application's own. */
static uint32_t key_of(uint32_t number) { return XMakeKey(1, "42", 7, number); }

/* What the calling thread's error record holds, after what failed. */
static int fail(const char *who, const char *what) {
    XErrorInfo e;
    XGetLastError(&e);
    printf("%s: %s failed: code 0x%X, detail %u, kind %u\n", who, what, e.code, e.detail,
           e.kind);
    return 1;
}

static int consume(void) {
    XHANDLE queue, work, ready;
    char order[64];
    int32_t size, taken = 0;

    queue = XCreateGlobalList(QUEUE_CAPACITY, key_of(1), QUEUE_TAG);
    if (queue == NULL) return fail("consumer", "XCreateGlobalList");
    if (!XCreateEvent(&work, key_of(2)) || !XCreateEvent(&ready, key_of(3)))
        return fail("consumer", "XCreateEvent");
    printf("consumer: attached to the queue, waiting for work\n");
    fflush(stdout);
    XPostEvent(ready, 0);

    if (XWaitEvent(&work, 1, 10000) != 0) return fail("consumer", "XWaitEvent");
    /* Take orders from the front until the queue is empty.  A peek with no
     * buffer gives the size of the next element. */
    while ((size = XPeekGlobalList(queue, NULL, 0, 0)) > 0 && size < (int32_t)sizeof order) {
        XRemoveGlobalList(queue, order, sizeof order, 0);
        order[size] = '\0';
        printf("consumer: took \"%s\"\n", order);
        ++taken;
    }
    printf("consumer: %d orders done, the queue is empty\n", taken);
    fflush(stdout);
    XDestroyEvent(ready);
    XDestroyEvent(work);
    XDestroyGlobalList(queue);
    return 0;
}

static int produce(const char *self) {
    static const char *const orders[] = {"10 bolts M8", "4 hinges", "1 door, oak"};
    const char *args[] = {"consume"};
    XHANDLE queue, work, ready, consumer, waits[2];
    int32_t i, pos;

    /* Create the queue and the events before the consumer starts, so that
     * nothing it needs is missing when it comes. */
    queue = XCreateGlobalList(QUEUE_CAPACITY, key_of(1), QUEUE_TAG);
    if (queue == NULL) return fail("producer", "XCreateGlobalList");
    if (!XCreateEvent(&work, key_of(2)) || !XCreateEvent(&ready, key_of(3)))
        return fail("producer", "XCreateEvent");
    printf("producer: queue 0x%08X and its events are ready\n", key_of(1));
    fflush(stdout);

    /* While the consumer runs, waits[1] holds its process handle: it is
     * signalled when the consumer ends, so one wait sees either. */
    waits[0] = ready;
    waits[1] = NULL;
    if (!XCreateProcess(&consumer, self, &waits[1], 1, args))
        return fail("producer", "XCreateProcess");
    pos = XWaitEvent(waits, 2, 10000);
    if (pos != 0) {
        XKillProcess(consumer);
        return fail("producer", pos == 1 ? "the consumer (it ended early)" : "XWaitEvent");
    }

    for (i = 0; i < 3; ++i)
        if (!XAddGlobalList(queue, orders[i], (uint32_t)strlen(orders[i]), -1))
            return fail("producer", "XAddGlobalList");
    printf("producer: queued %d orders, posting \"work\"\n", XGetGlobalListNum(queue));
    fflush(stdout);
    XPostEvent(work, 0);

    /* Wait for the consumer to end, then collect it. */
    if (XWaitEvent(&waits[1], 1, 10000) != 0) return fail("producer", "XWaitEvent");
    if (!XTermProcess(consumer, 0)) return fail("producer", "XTermProcess");
    printf("producer: the consumer ended; %d orders left in the queue\n",
           XGetGlobalListNum(queue));
    XDestroyEvent(ready);
    XDestroyEvent(work);
    XDestroyGlobalList(queue);
    return 0;
}

int main(int argc, char **argv) {
    int rc;
    XInitXlib();
    rc = argc > 1 && strcmp(argv[1], "consume") == 0 ? consume() : produce(argv[0]);
    XTermXlib();
    return rc;
}
