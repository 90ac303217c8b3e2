/*
 * abend_task: the module whose "osmain" the abend example runs.  The worker
 * takes a lock and opens a work file, registers an exit routine that gives
 * both back, and then ends abnormally half-way through its work.
 */
#include <stdint.h>

#include "zaxxlib.h"

#define WORK_FILE "abend_task.work"

static XHANDLE g_lock;
static XFILE g_file;
static volatile uint32_t g_routine_reason, g_routine_parameter;

/* The exit routine: called on the failing thread, newest registration first,
 * with reason 1 and the parameter given to XInitEstae.  It runs in a signal
 * handler's context, so it does little: give back what the worker holds. */
static int32_t clean_up(uint32_t reason, uint32_t parameter) {
    g_routine_reason = reason;
    g_routine_parameter = parameter;
    XCloseFile(g_file);
    XDeleteFile(WORK_FILE);
    XUnlockObj(g_lock);
    XDestroyLockObj(g_lock);
    return 0;
}

/* What the exit routine was called with (0 and 0 when it was not called). */
__attribute__((visibility("default"))) uint32_t abend_routine_reason(void) {
    return g_routine_reason;
}
__attribute__((visibility("default"))) uint32_t abend_routine_parameter(void) {
    return g_routine_parameter;
}

/* The worker: lock_key names the lock to hold, code is the abend code. */
__attribute__((visibility("default"))) uint32_t osmain(uint32_t lock_key, uint32_t code) {
    static const XEstaeBlock block = {0, 0, clean_up};
    g_lock = XCreateLockObj((int32_t)lock_key);
    if (g_lock == NULL || XLockObj(g_lock, X_INFINITE) != 1) return 1;
    g_file = XOpenFile(WORK_FILE, 0, X_OPEN_READWRITE | X_OPEN_CREATE);
    if (g_file == 0) return 2;
    if (!XInitEstae(&block, code)) return 3;
    XWriteFile(g_file, "half done\n", 10);
    /* Something goes badly wrong: end this thread abnormally.  The exit
     * routine runs, then the crash handler (which reports on standard error),
     * and the thread ends with code as its exit code; the process goes on. */
    XAbend(code);
    return 4; /* not reached */
}
