// xestae: exit routines, called when a thread meets a fault that nobody
// handles, and the abnormal end of a thread (XAbend).
#include <cstddef>

#include "os/signal.h"
#include "os/slot.h"
#include "os/sys.h"
#include "xdllmain.h"
#include "xerror.h"
#include "xint.h"
#include "zaxcrash.h"

using namespace zax;

static_assert(offsetof(XEstaeBlock, routine) == 2 * sizeof(uint32_t),
              "the routine follows the two unused fields");

namespace zax {
namespace {

// One registration, allocated with XAllocMemory; the newest is the head.
struct ChainEntry {
    XEstaeRoutine routine;
    uint32_t parameter;
    ChainEntry *next;
};

constexpr uint32_t kInstalled = 255;

// A chain emptied by the filter is freed later (os::park): the filter runs
// inside a signal handler, where the allocator may be what faulted.
void free_chain(void *chain) {
    auto *e = static_cast<ChainEntry *>(chain);
    while (e != nullptr) {
        ChainEntry *next = e->next;
        XFreeMemory(e);
        e = next;
    }
}

// Set once the filter is installed; only under the exit-routine lock.
uint32_t g_filter_flag = 0;

// The walk runs inside the signal handler: it reads the record without
// making one (a thread without a record has no routines).
ErrorRecord *record_if_any() { return static_cast<ErrorRecord *>(os::slot_get()); }

struct Walk {
    ChainEntry *next;  // the routine to call next; advanced before each call
};

void walk_routines(void *arg) {
    auto *walk = static_cast<Walk *>(arg);
    while (ChainEntry *e = walk->next) {
        walk->next = e->next;
        e->routine(1, e->parameter);
    }
}

// The library's filter: the thread's routines newest first (a routine that
// faults ends the walk), the previous handler, the crash handler, then the
// termination mode decides.
// The crash handler companion, when it was found: the fault as its
// interface describes it, on the failing thread.
void call_crash_handler(const os::Fault &fault) {
    auto handler = reinterpret_cast<ZaxCrashHandlerFn>(os::fault_crash_entry());
    if (handler == nullptr) return;
    ZaxCrashInfo info{};
    info.size = sizeof info;
    info.code = fault.code;
    info.signo = fault.signo;
    info.abend = fault.abend ? 1 : 0;
    info.tid = os::thread_id();
    info.siginfo = fault.siginfo;
    info.ucontext = fault.ucontext;
    handler(&info);
}

bool estae_filter(const os::Fault &fault) {
    ErrorRecord *rec = record_if_any();
    auto *head = rec != nullptr ? static_cast<ChainEntry *>(rec->exit_chain) : nullptr;
    if (head != nullptr) {
        Walk walk{head};
        (void)os::fault_guarded(walk_routines, &walk);
        // From the head as it is now: a routine may have registered more.
        head = static_cast<ChainEntry *>(rec->exit_chain);
        rec->exit_chain = nullptr;
        if (head != nullptr) os::park(free_chain, head);
    }
    os::fault_call_previous(fault);
    call_crash_handler(fault);
    return termination_mode() == 1;
}

// XAbend's own routine: it only marks the chain with the code.
int32_t abend_routine(uint32_t /*reason*/, uint32_t parameter) { return int32_t(parameter); }

}  // namespace
}  // namespace zax

extern "C" {

XAPI int32_t XInitEstae(const XEstaeBlock *block, uint32_t parameter) {
    os::run_parked();
    XHANDLE lock = exit_routine_lock();
    if (XLockObj(lock, uint32_t(lock_timeout())) != 1) return 0;
    if (g_filter_flag != kInstalled) {
        // Installing changes nothing that the program sees until a fault, so a
        // failure (no signal handler can be set) leaves the flag for the next try.
        if (os::fault_install(estae_filter) == 0) g_filter_flag = kInstalled;
    }
    if (XUnlockObj(lock) != 1) return 0;
    if (block == nullptr) {
        lib_error(FN_XInitEstae, R_XInitEstae_BAD_ARGUMENT, 1);
        return 0;
    }
    if (block->routine == nullptr) {
        lib_error(FN_XInitEstae, R_XInitEstae_NO_ROUTINE, 0);
        return 0;
    }
    // The routines run on the faulting thread's alternate stack, so that a
    // stack overflow still reaches them.
    (void)os::fault_altstack();
    void *block_mem = XAllocMemory(sizeof(ChainEntry), 0);
    if (block_mem == X_FAILED_PTR) return 0;
    auto *entry = static_cast<ChainEntry *>(block_mem);
    entry->routine = block->routine;
    entry->parameter = parameter;
    ErrorRecord *rec = thread_record();
    if (rec == nullptr) {
        lib_error(FN_XInitEstae, R_XInitEstae_NO_THREAD_RECORD, 0);
        XFreeMemory(entry);
        return 0;
    }
    // The head is a field of the record we hold: storing it cannot fail here.
    entry->next = static_cast<ChainEntry *>(rec->exit_chain);
    rec->exit_chain = entry;
    return 1;
}

XAPI int32_t XTermEstae(const XEstaeBlock *block) {
    os::run_parked();
    if (block == nullptr) {
        lib_error(FN_XTermEstae, R_XTermEstae_BAD_ARGUMENT, 1);
        return 0;
    }
    ErrorRecord *rec = thread_record();
    if (rec == nullptr) {
        lib_error(FN_XTermEstae, R_XTermEstae_NO_THREAD_RECORD, 0);
        return 0;
    }
    auto *head = static_cast<ChainEntry *>(rec->exit_chain);
    ChainEntry *before = nullptr;
    for (ChainEntry *e = head; e != nullptr; before = e, e = e->next) {
        if (e->routine != block->routine) continue;
        if (before == nullptr)
            head = e->next;
        else
            before->next = e->next;
        int32_t freed = XFreeMemory(e);
        rec->exit_chain = head;
        return freed;
    }
    // The detail is the routine's address, cut to 32 bits as the record holds.
    lib_error(FN_XTermEstae, R_XTermEstae_NOT_REGISTERED,
              uint32_t(reinterpret_cast<uintptr_t>(block->routine)));
    return 0;
}

XAPI int32_t XAbend(uint32_t code) {
    static const XEstaeBlock own = {0, 0, abend_routine};
    // Inside the walk the abend only ends it (and registering would allocate
    // inside the signal handler).
    if (os::fault_in_walk()) os::fault_abend(code);
    XInitEstae(&own, code);
    os::fault_abend(code);
    // Only reached when the fault could not be raised.
    return XTermEstae(&own);
}

}  // extern "C"
