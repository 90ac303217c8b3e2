/*
 * pool: a pool of worker threads that share one counter under a lock.
 *
 * Threads started by XCreateThread run the function "osmain" of a loadable
 * module: here pool_task.so, whose workers add to a counter of the module,
 * each addition under the lock object of one key.  The program loads the same
 * module itself to read the counter when the workers are done.
 *
 *   pool [MODULE]    MODULE is the path of pool_task.so (default ./pool_task.so)
 */
#include <stdio.h>

#include "zaxxlib.h"

#define WORKERS 4
#define ROUNDS 2500

typedef uint32_t (*TotalFn)(void);

static int fail(const char *what) {
    XErrorInfo e;
    XGetLastError(&e);
    printf("%s failed: code 0x%X, detail %u, kind %u\n", what, e.code, e.detail, e.kind);
    return 1;
}

int main(int argc, char **argv) {
    const char *module = argc > 1 ? argv[1] : "./pool_task.so";
    XHANDLE self, workers[WORKERS], ends[WORKERS];
    TotalFn total;
    int32_t i;

    /* Loading the module here too keeps its counter alive between the
     * workers (each thread holds the module only while it runs). */
    if (!XLoadModule(&self, module)) return fail("XLoadModule");
    total = (TotalFn)XGetEntry(self, "pool_total");
    if (total == NULL) return fail("XGetEntry");

    /* Each worker gets its number and the rounds to do as osmain's two
     * arguments; ends[i] holds its thread handle while it runs. */
    for (i = 0; i < WORKERS; ++i) {
        ends[i] = NULL;
        if (!XCreateThread(&workers[i], module, &ends[i], (uint32_t)i + 1, ROUNDS))
            return fail("XCreateThread");
    }
    printf("%d workers started, %d rounds each\n", WORKERS, ROUNDS);

    /* A thread handle is signalled once the thread has ended; XTermThread
     * collects the thread and gives the event variable its old value. */
    for (i = 0; i < WORKERS; ++i) {
        if (XWaitEvent(&ends[i], 1, 30000) != 0) return fail("XWaitEvent");
        if (!XTermThread(workers[i])) return fail("XTermThread");
    }
    printf("all workers ended; the counter is %u (%d expected)\n", total(), WORKERS * ROUNDS);
    XUnloadModule(self);
    return 0;
}
