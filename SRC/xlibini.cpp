// xlibini: explicit initialisation and termination of the event machinery.
#include <atomic>

#include "os/sys.h"
#include "xevent.h"
#include "xint.h"
#include "xlibini.h"

using namespace zax;

namespace {

std::atomic<XHANDLE> g_init_lock{nullptr};
int32_t g_init_count = 0;  // under the initialisation lock

// The initialisation lock, made by the first caller. Two first calls at the
// same moment each make one; the one that loses the exchange destroys its own.
XHANDLE init_lock() {
    XHANDLE lock = g_init_lock.load(std::memory_order_acquire);
    if (lock != nullptr) return lock;
    XHANDLE mine = XCreateLockObj(-1);
    if (mine == nullptr) return nullptr;
    if (g_init_lock.compare_exchange_strong(lock, mine, std::memory_order_acq_rel)) return mine;
    XDestroyLockObj(mine);
    return lock;
}

}  // namespace

extern "C" {

XAPI int32_t X_init_xlib(void) {
    XHANDLE lock = init_lock();
    if (lock == nullptr) return 0;
    // A failed wait (2) is refused like a refusal (0): nothing is set up or
    // counted without the lock.
    if (XLockObj(lock, X_INFINITE) != 1) return 0;
    if (g_init_count == 0) {
        // A large mode that cannot be had whole fails the initialisation
        // (nothing counted, the size still 0, so a later call tries again)
        // rather than running a mode the program did not ask for.
        bool ok = event_table_setup() == 1;
        if (ok && large_mode()) {
            if (int err = pipe_server_start()) {
                sys_error(FN_XCreateThread, R_XCreateThread_START_FAILED, err);
                event_table_teardown();
                ok = false;
            }
        }
        if (!ok) {
            XUnlockObj(lock);
            return 0;
        }
        job_support_setup();
    }
    ++g_init_count;
    XUnlockObj(lock);
    return 1;
}

XAPI int32_t X_term_xlib(void) {
    // Small mode: nothing to undo, ever.
    if (!large_mode()) return 1;
    XHANDLE lock = g_init_lock.load(std::memory_order_acquire);
    if (lock == nullptr || XLockObj(lock, X_INFINITE) != 1) return 0;
    if (g_init_count == 1) {
        job_support_release();
        // The server stops first: it posts into the table until then.
        pipe_server_stop();
        event_table_teardown();
    }
    --g_init_count;
    XUnlockObj(lock);
    return 1;
}

XAPI int32_t XInitXlib(void) {
    X_init_xlib();
    return 1;
}

XAPI int32_t XTermXlib(void) {
    X_term_xlib();
    return 1;
}

}  // extern "C"
