/*
 * abend: a worker thread ends abnormally, and its exit routine cleans up.
 *
 * The worker (abend_task.so) holds a lock object and a work file when it
 * calls XAbend.  Its exit routine, registered with XInitEstae, releases both;
 * this program then finds the lock free and the file gone.  The crash
 * handler's report on standard error is part of the abnormal end.
 *
 *   abend [MODULE]    MODULE is the path of abend_task.so (default ./abend_task.so)
 */
#include <stdio.h>

#include "zaxxlib.h"

#define ABEND_CODE 42

typedef uint32_t (*ValueFn)(void);

static int fail(const char *what) {
    XErrorInfo e;
    XGetLastError(&e);
    printf("%s failed: code 0x%X, detail %u, kind %u\n", what, e.code, e.detail, e.kind);
    return 1;
}

int main(int argc, char **argv) {
    const char *module = argc > 1 ? argv[1] : "./abend_task.so";
    uint32_t key = XMakeKey(1, "42", 7, 20);
    XHANDLE task, worker, end = NULL, lock;
    ValueFn reason, parameter;

    if (!XLoadModule(&task, module)) return fail("XLoadModule");
    reason = (ValueFn)XGetEntry(task, "abend_routine_reason");
    parameter = (ValueFn)XGetEntry(task, "abend_routine_parameter");
    if (reason == NULL || parameter == NULL) return fail("XGetEntry");

    if (!XCreateThread(&worker, module, &end, key, ABEND_CODE)) return fail("XCreateThread");
    printf("worker started: it takes lock 0x%08X, opens abend_task.work and calls XAbend(%d)\n",
           key, ABEND_CODE);
    if (XWaitEvent(&end, 1, 30000) != 0) return fail("XWaitEvent");
    if (!XTermThread(worker)) return fail("XTermThread");
    printf("worker ended; its exit routine was called with reason %u and parameter %u\n",
           reason(), parameter());

    /* What the routine gave back is usable again. */
    lock = XCreateLockObj((int32_t)key);
    printf("the lock is %s\n", XLockObj(lock, 0) == 1 ? "free" : "still held");
    XUnlockObj(lock);
    XDestroyLockObj(lock);
    printf("abend_task.work %s\n", XExistFile("abend_task.work") ? "is still there" : "is gone");
    XUnloadModule(task);
    return 0;
}
