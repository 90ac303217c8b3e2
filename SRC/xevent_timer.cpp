// xevent (timers): timers that post an event once their delay has passed,
// kept in the process's 16-slot timer table and run by the timer service.
#include "xevent_timer.h"

#include <cerrno>

#include "os/sys.h"
#include "os/timer.h"
#include "xdllmain.h"
#include "xevent.h"
#include "xhandle.h"
#include "xint.h"

using namespace zax;

namespace zax {
namespace {

constexpr int kTimerSlots = 16;
constexpr uint32_t kMaxDelay = 86400000;  // 24 hours
constexpr uint32_t kSplitPeriod = 420000; // 7 minutes
constexpr uint32_t kResolution = 100;
constexpr int kAttempts = 10;
constexpr uint32_t kAttemptPause = 100;

// The record behind a timer handle.
struct TimerRecord {
    HandleHeader header;
    uint32_t periods_left;  // whole split periods still to run (long only)
    uint32_t remainder;     // ms after the last whole period
    uint32_t system_timer;  // id of the current timer of the service
    XHANDLE event;          // posted at expiry
    uint32_t long_running;  // 1 while the periodic split timer runs
    uint32_t owner;         // thread that set the timer
};

// Changed only under the timer-table lock (and by the load, before it exists).
TimerRecord *g_table[kTimerSlots];

// The timer-table lock with the load's lock timeout. A time-out (XLockObj's
// 2) does not count as held: the table is never changed without the lock.
bool lock_table() { return XLockObj(timer_table_lock(), uint32_t(lock_timeout())) == 1; }

// The timer thread waits again after a time-out rather than lose an expiry;
// only a lock that cannot be used at all (or is held by itself) stops it.
bool lock_table_for_expiry() {
    for (;;) {
        Status why;
        int32_t r = lock_object(timer_table_lock(), uint32_t(lock_timeout()), nullptr, &why);
        if (r == 1) return true;
        if (r == 0 || why.detail != ETIMEDOUT) return false;
    }
}

void unlock_table() { XUnlockObj(timer_table_lock()); }

// Empties the slot holding rec (and, with an owner, set by that thread);
// whether there was one. Records are compared by address before they are
// read, so a stale handle is never dereferenced.
bool take_out(const TimerRecord *rec, const uint32_t *owner) {
    for (TimerRecord *&slot : g_table) {
        if (slot != rec) continue;
        if (owner != nullptr && slot->owner != *owner) return false;
        slot = nullptr;
        return true;
    }
    return false;
}

bool in_table(const TimerRecord *rec) {
    for (TimerRecord *slot : g_table)
        if (slot == rec) return true;
    return false;
}

void expire(TimerRecord *rec) {
    XPostEvent(rec->event, 0);
    take_out(rec, nullptr);
    handle_free(rec);
}

void on_timer(uint32_t id, void *user) {
    auto *rec = static_cast<TimerRecord *>(user);
    if (!lock_table_for_expiry()) return;
    // Stopped (or expired) meanwhile: whoever had the lock first has won. A
    // tick of a timer that the record no longer runs is as late.
    if (!in_table(rec) || rec->system_timer != id) {
        unlock_table();
        return;
    }
    if (rec->long_running == 0) {
        expire(rec);
    } else if (--rec->periods_left == 0) {
        (void)os::timer_kill(rec->system_timer);
        if (rec->remainder == 0) {
            expire(rec);
        } else {
            rec->long_running = 0;
            uint32_t next = 0;
            if (os::timer_start(rec->remainder, kResolution, false, on_timer, rec, &next) != 0)
                expire(rec);  // no timer for the rest: post now rather than never
            else
                rec->system_timer = next;
        }
    }
    unlock_table();
}

// The child of a fork runs none of the parent's timers: their records are
// given back. The child has one thread, so the table needs no lock (which a
// thread of the parent may have held at the fork).
void forget_parents_timers() {
    for (TimerRecord *&slot : g_table) {
        handle_free(slot);
        slot = nullptr;
    }
}

}  // namespace

void timer_table_clear() {
    for (TimerRecord *&slot : g_table) slot = nullptr;
    os::timer_set_fork_hook(forget_parents_timers);
}

}  // namespace zax

extern "C" {

XAPI XHANDLE XSetTimer(XHANDLE event, uint32_t delay) {
    if (!event_live(event)) {
        lib_error(FN_XSetTimer, R_XSetTimer_BAD_ARGUMENT, 1);
        return nullptr;
    }
    if (delay == 0 || delay > kMaxDelay) {
        lib_error(FN_XSetTimer, R_XSetTimer_BAD_ARGUMENT, 2);
        return nullptr;
    }
    auto *rec = handle_new<TimerRecord>(HandleKind::timer);
    if (rec == nullptr) return nullptr;
    if (delay > kSplitPeriod) {
        rec->periods_left = delay / kSplitPeriod;
        rec->remainder = delay % kSplitPeriod;
        rec->long_running = 1;
    }
    rec->event = event;
    rec->owner = os::thread_id();

    bool placed = false;
    for (int attempt = 0; attempt < kAttempts && !placed; ++attempt) {
        if (lock_table()) {
            for (TimerRecord *&slot : g_table) {
                if (slot == nullptr) {
                    slot = rec;
                    placed = true;
                    break;
                }
            }
            if (placed) break;  // the lock stays held for the start below
            lib_error(FN_XSetTimer, R_XSetTimer_TABLE_FULL, 0);
            unlock_table();
        }
        XSleep(kAttemptPause);
    }
    if (!placed) {
        handle_free(rec);
        return nullptr;
    }
    uint32_t first = rec->long_running != 0 ? kSplitPeriod : delay;
    uint32_t id = 0;
    if (int err = os::timer_start(first, kResolution, rec->long_running != 0, on_timer, rec, &id)) {
        sys_error(FN_XSetTimer, R_XSetTimer_START_FAILED, err);
        take_out(rec, nullptr);
        unlock_table();
        handle_free(rec);
        return nullptr;
    }
    rec->system_timer = id;
    unlock_table();
    return rec;
}

XAPI int32_t XKillTimer(XHANDLE timer) {
    auto *rec =
        handle_get<TimerRecord>(timer, HandleKind::timer, FN_XKillTimer, R_XKillTimer_BAD_ARGUMENT);
    if (rec == nullptr || !lock_table()) return 0;
    uint32_t self = os::thread_id();
    int32_t result = 0;
    if (!take_out(rec, &self)) {
        lib_error(FN_XKillTimer, R_XKillTimer_BAD_ARGUMENT, 1);
    } else if (int err = os::timer_kill(rec->system_timer)) {
        // Out of the table, so it never posts; left allocated, as its expiry
        // may still be on its way to the lock.
        sys_error(FN_XKillTimer, R_XKillTimer_STOP_FAILED, err);
    } else {
        handle_free(rec);
        result = 1;
    }
    unlock_table();
    return result;
}

}  // extern "C"
