/*
 * pool_task: the module whose "osmain" the workers of the pool example run.
 */
#include <stdint.h>

#include "zaxxlib.h"

static volatile uint32_t g_total;

/* The counter, for the program that loads this module. */
__attribute__((visibility("default"))) uint32_t pool_total(void) { return g_total; }

/* A worker: number is its position in the pool, rounds the additions to make.
 * The thread's exit code is the number of additions it made. */
__attribute__((visibility("default"))) uint32_t osmain(uint32_t number, uint32_t rounds) {
    /* All workers take the lock object of one key: every record made for a
     * key shares one mutex, in this process and in any other. */
    XHANDLE lock = XCreateLockObj((int32_t)XMakeKey(1, "42", 7, 10));
    uint32_t done = 0, value;
    (void)number;
    if (lock == NULL) return 0;
    for (; done < rounds; ++done) {
        if (XLockObj(lock, X_INFINITE) != 1) break;
        /* Read, then write: without the lock, two workers would lose updates. */
        value = g_total;
        g_total = value + 1;
        XUnlockObj(lock);
    }
    XDestroyLockObj(lock);
    return done;
}
