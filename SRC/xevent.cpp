// xevent: events and waiting, in the small mode (every event an event object
// of the Linux layer, shared by key through the run-time directory) and the
// large mode (a process-wide table of slots, each waiter asleep on a private
// wake event).
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>

#include "os/event.h"
#include "os/mutex.h"
#include "os/names.h"
#include "os/pipe.h"
#include "os/sys.h"
#include "os/wait.h"
#include "xevent.h"
#include "xint.h"

using namespace zax;

namespace {

struct Wake;

struct Slot {
    uint32_t key;     // 0 free, 0xFFFFFFFF an event without a key
    uint16_t refs;    // XCreateEvent calls not yet matched by XDestroyEvent
    uint8_t posted;   // a post waits to be taken
    uint8_t waiting;  // a thread is registered on the slot
    Wake *wake;       // the registered thread's wake event
    uint32_t thread;  // the registered thread
};

constexpr uint32_t kNoKey = 0xFFFFFFFFu;

// The event-table state. size and table are read without the table lock (to
// tell the modes and the handles apart), so they are atomic; every slot field
// is read and written under the lock.
struct EventTable {
    XHANDLE lock = nullptr;
    os::PipeServer *pipe = nullptr;
    std::atomic<Slot *> table{nullptr};
    std::atomic<int32_t> size{0};
};
EventTable g_events;

Slot *slot_of(XHANDLE h) {
    Slot *t = g_events.table.load(std::memory_order_acquire);
    if (t == nullptr) return nullptr;
    auto *s = static_cast<Slot *>(h);
    int32_t n = g_events.size.load(std::memory_order_relaxed);
    if (s < t || s >= t + n) return nullptr;
    if ((reinterpret_cast<uintptr_t>(s) - reinterpret_cast<uintptr_t>(t)) % sizeof(Slot) != 0)
        return nullptr;
    return s;
}

// Takes the table lock for fn; on failure records reason with the errno of
// the wait (EDEADLK when the calling thread holds it already).
bool lock_table(Fn fn, Reason reason) {
    Status why;
    if (lock_object(g_events.lock, X_INFINITE, nullptr, &why) == 1) return true;
    bool mine = why.code == code_of(FN_XLockObj, R_XLockObj_ALREADY_HELD);
    sys_error(fn, reason, mine ? EDEADLK : int(why.detail));
    return false;
}

void unlock_table() { XUnlockObj(g_events.lock); }

// A waiter's wake event, shared with the posters that signal it after they
// gave up the table lock (woken under the lock, the waiter would at once
// block on it again); the last of them closes it.
struct Wake {
    os::Event *event;
    std::atomic<int> refs;
    std::atomic<bool> signalled;  // a poster signalled it since it was last emptied
};

void wake_release(Wake *w) {
    if (w->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        (void)os::event_close(w->event);
        delete w;
    }
}

// Sets the slot's posted flag (under the table lock); returns the wake event
// to signal with wake_after_unlock, or null. A slot that is posted already
// needs no signal: a waiter registers only on slots that are not posted, so
// the post that set the flag has signalled it.
Wake *post_slot(Slot *s) {
    bool was_posted = s->posted != 0;
    s->posted = 1;
    if (was_posted || !s->waiting || s->wake == nullptr) return nullptr;
    // The waiter itself, which read the post from the event socket in its
    // wait, looks at its slots next: no signal needed.
    if (s->thread == os::self_tid()) return nullptr;
    s->wake->refs.fetch_add(1, std::memory_order_relaxed);
    return s->wake;
}

// The wake event a thread kept from its last wait, for its next one: making
// and closing one costs two system calls per wait.
struct SpareWake {
    Wake *wake = nullptr;
    ~SpareWake() { drop(); }
    void drop() {
        if (wake != nullptr) {
            os::pipe_wait_forget(wake->event);
            wake_release(wake);
        }
        wake = nullptr;
    }
};
thread_local SpareWake t_spare;

// A child made by fork shares the descriptor of the forking thread's spare
// with the parent: it closes its copy (leaving the wait set, which it shares
// with the parent too, alone) and makes its own.
void drop_spare_in_child() {
    if (t_spare.wake != nullptr) wake_release(t_spare.wake);
    t_spare.wake = nullptr;
}

// A wake event for a wait, not signalled, or null.
Wake *wake_acquire() {
    if (Wake *w = t_spare.wake) {
        t_spare.wake = nullptr;
        return w;
    }
    static const int fork_handled = os::at_fork(nullptr, nullptr, drop_spare_in_child);
    (void)fork_handled;
    os::Event *event = nullptr;
    if (os::event_create(&event) != 0) return nullptr;
    auto *w = new (std::nothrow) Wake{event, {1}, {false}};
    if (w == nullptr) (void)os::event_close(event);
    return w;
}

// The waiter is done with w and no slot names it any more. When no poster
// holds it either, nothing can signal it again: emptied of a signal that the
// wait did not take, it is kept for the thread's next wait.
void wake_done(Wake *w) {
    if (t_spare.wake == nullptr && w->refs.load(std::memory_order_acquire) == 1) {
        if (w->signalled.exchange(false, std::memory_order_acq_rel)) w->event->try_take();
        t_spare.wake = w;
        return;
    }
    os::pipe_wait_forget(w->event);
    wake_release(w);
}

// 0, or the errno of the signal.
int wake_after_unlock(Wake *w) {
    if (w == nullptr) return 0;
    w->signalled.store(true, std::memory_order_release);
    int err = w->event->post();
    wake_release(w);
    return err;
}

// The object that a handle of the small mode (or a process's or thread's)
// stands for, or null.
os::Waitable *waitable_of(XHANDLE h) {
    auto *rec = handle_as<WaitRecord>(h, HandleKind::event);
    return rec != nullptr ? rec->object : nullptr;
}

int32_t wait_small(XHANDLE *events, int32_t count, uint32_t timeout) {
    os::Waitable *objs[os::kMaxWaitObjects];
    for (int32_t i = 0; i < count; ++i) {
        objs[i] = waitable_of(events[i]);
        if (objs[i] == nullptr) {
            sys_error(FN_XWaitEvent, R_XWaitEvent_WAIT_FAILED, EBADF);
            return -1;
        }
    }
    size_t index = 0;
    int err = os::wait_any(objs, size_t(count), timeout, &index);
    if (err == ETIMEDOUT) return -2;
    if (err != 0) {
        sys_error(FN_XWaitEvent, R_XWaitEvent_WAIT_FAILED, err);
        return -1;
    }
    return int32_t(index);
}

// What is left of a wait of timeout ms that started at start.
uint32_t time_left(uint32_t timeout, std::chrono::steady_clock::time_point start) {
    if (timeout == X_INFINITE) return timeout;
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    return spent >= int64_t(timeout) ? 0 : timeout - uint32_t(spent);
}

// Positions in the caller's array, split into table events and others.
struct WaitLists {
    int32_t *table_pos = nullptr;
    int32_t tables = 0;
    int32_t other_pos[os::kMaxWaitObjects];
    os::Waitable *set[os::kMaxWaitObjects];  // the wake event, then the others
    int32_t others = 0;
};

int32_t wait_large(XHANDLE *events, int32_t count, uint32_t timeout) {
    Wake *wake = wake_acquire();
    if (wake == nullptr) {
        record_error(FN_XWaitEvent, R_XWaitEvent_WAKE_EVENT_FAILED, 0, kSystem);
        return -1;
    }
    // The positions of a usual call fit here; a longer one gets a block.
    WaitLists here;
    int32_t positions[os::kMaxWaitObjects];
    WaitLists *lists = &here;
    if (size_t(count) <= os::kMaxWaitObjects) {
        lists->table_pos = positions;
    } else {
        void *block = XAllocMemory(int32_t(sizeof(int32_t)) * count, 0);
        if (block == X_FAILED_PTR) {
            wake_done(wake);
            return -1;
        }
        lists->table_pos = static_cast<int32_t *>(block);
    }
    auto free_positions = [&] {
        if (lists->table_pos != positions) XFreeMemory(lists->table_pos);
    };
    auto finish = [&](int32_t result) {
        free_positions();
        wake_done(wake);
        return result;
    };
    if (!lock_table(FN_XWaitEvent, R_XWaitEvent_TABLE_LOCK_FAILED)) return finish(-1);

    lists->set[0] = wake->event;
    for (int32_t i = 0; i < count; ++i) {
        if (slot_of(events[i]) != nullptr) {
            lists->table_pos[lists->tables++] = i;
            continue;
        }
        os::Waitable *other = waitable_of(events[i]);
        if (other == nullptr || lists->others + 1 >= int32_t(os::kMaxWaitObjects)) {
            unlock_table();
            // More than 63 other objects: the count is out of range.
            if (other == nullptr)
                sys_error(FN_XWaitEvent, R_XWaitEvent_WAIT_FAILED, EBADF);
            else
                lib_error(FN_XWaitEvent, R_XWaitEvent_BAD_ARGUMENT, 2);
            return finish(-1);
        }
        lists->other_pos[lists->others] = i;
        lists->set[1 + lists->others++] = other;
    }
    auto slot_at = [&](int32_t t) { return slot_of(events[lists->table_pos[t]]); };
    for (int32_t t = 0; t < lists->tables; ++t) {
        if (slot_at(t)->waiting) {
            unlock_table();
            lib_error(FN_XWaitEvent, R_XWaitEvent_ALREADY_WAITED_ON, uint32_t(t));
            return finish(-1);
        }
    }
    for (int32_t t = 0; t < lists->tables; ++t) {
        Slot *s = slot_at(t);
        if (s->posted) {
            s->posted = 0;
            unlock_table();
            return finish(lists->table_pos[t]);
        }
    }
    uint32_t self = os::self_tid();
    for (int32_t t = 0; t < lists->tables; ++t) {
        Slot *s = slot_at(t);
        s->waiting = 1;
        s->wake = wake;
        s->thread = self;
    }
    unlock_table();

    // A wait for table events alone sleeps on the event socket too: a post
    // from another process then wakes this thread at once, instead of the
    // server thread, which would wake it in turn.
    const size_t n = size_t(1 + lists->others);
    const bool via_socket = lists->others == 0 && g_events.pipe != nullptr &&
                            os::pipe_wait_ready(g_events.pipe, wake->event);
    constexpr size_t kFromSocket = 1;

    // A post between the registration and this wait leaves the wake event
    // signalled, so it is not lost.
    const auto start = std::chrono::steady_clock::now();
    bool relocked;
    int32_t result;
    for (;;) {
        size_t index = 0;
        uint32_t left = time_left(timeout, start);
        int err = via_socket ? os::pipe_wait(g_events.pipe, wake->event, left, &index)
                             : os::wait_any(lists->set, n, left, &index);
        bool from_socket = via_socket && index == kFromSocket;
        relocked = lock_table(FN_XWaitEvent, R_XWaitEvent_TABLE_LOCK_FAILED);
        if (!relocked) {
            result = -1;
        } else if (err == ETIMEDOUT) {
            result = -2;
        } else if (err != 0) {
            sys_error(FN_XWaitEvent, R_XWaitEvent_WAIT_FAILED, err);
            result = -1;
        } else if (index == 0 || from_socket) {
            result = -1;
            for (int32_t t = 0; t < lists->tables && result < 0; ++t) {
                Slot *s = slot_at(t);
                if (s->posted) {
                    s->posted = 0;
                    result = lists->table_pos[t];
                }
            }
            if (result < 0 && from_socket) {
                // The socket brought posts for other threads only.
                unlock_table();
                continue;
            }
            if (result < 0) lib_error(FN_XWaitEvent, R_XWaitEvent_NOTHING_POSTED, 0);
        } else {
            result = lists->other_pos[index - 1];
        }
        break;
    }
    // Unregister, leaving alone a slot that was freed and taken meanwhile.
    for (int32_t t = 0; t < lists->tables; ++t) {
        Slot *s = slot_at(t);
        if (s->wake == wake) {
            s->waiting = 0;
            s->wake = nullptr;
            s->thread = 0;
        }
    }
    if (!relocked) {
        // Without the lock the slots may still name the wake event: keep it.
        free_positions();
        return -1;
    }
    unlock_table();
    return finish(result);
}

}  // namespace

namespace zax {

int32_t event_table_size() { return g_events.size.load(std::memory_order_acquire); }

int event_table_setup() {
    g_events.lock = nullptr;
    g_events.pipe = nullptr;
    g_events.table.store(nullptr);
    g_events.size.store(0);
    int32_t size = 0;
    {
        // A missing variable is the normal case, not an error of the caller;
        // a value that is no number is recorded, which says why the setting
        // was ignored.
        Status s = read_env_int("ZAXXLIB", "EVENT", "NUMBER", &size);
        bool missing = s.code == code_of(FN_XReadEnvStr, R_XReadEnvStr_NOT_SET) &&
                       s.detail == uint32_t(ENOENT);
        if (s.failed() && !missing) record_failure(s);
    }
    if (size < 1) size = kSmallModeMax;
    if (size > kMaxEventTable) size = kMaxEventTable;
    if (size <= kSmallModeMax) {
        g_events.size.store(size);
        return 1;
    }
    void *slots = XAllocMemory(int32_t(sizeof(Slot)) * size, 0);
    XHANDLE lock = slots != X_FAILED_PTR ? XCreateLockObj(-1) : nullptr;
    os::PipeServer *pipe = nullptr;
    int err = 0;
    if (lock != nullptr) {
        err = os::no_throw([&] { return os::pipe_create(os::process_id(), &pipe); });
        if (err != 0) sys_error(FN_XCreateEvent, R_XCreateEvent_CREATE_FAILED, err);
    }
    if (slots == X_FAILED_PTR || lock == nullptr || err != 0) {
        // Never half a large mode, and never a small one in its place: the
        // program asked for the large mode and is told that it failed.
        if (lock != nullptr) XDestroyLockObj(lock);
        if (slots != X_FAILED_PTR) XFreeMemory(slots);
        return 0;
    }
    g_events.lock = lock;
    g_events.pipe = pipe;
    g_events.table.store(static_cast<Slot *>(slots));
    g_events.size.store(size, std::memory_order_release);
    return 1;
}

void event_table_teardown() {
    if (g_events.table.load() == nullptr) {
        g_events.size.store(0);
        return;
    }
    XHANDLE lock = g_events.lock;
    XLockObj(lock, X_INFINITE);
    Slot *t = g_events.table.exchange(nullptr);
    g_events.size.store(0);
    XUnlockObj(lock);
    XFreeMemory(t);
    g_events.lock = nullptr;
    XDestroyLockObj(lock);
}

os::PipeServer *event_pipe() { return g_events.pipe; }
void event_pipe_release() { g_events.pipe = nullptr; }

void post_by_key(uint32_t key) {
    if (key == 0 || key == kNoKey || !large_mode()) return;
    if (XLockObj(g_events.lock, X_INFINITE) != 1) return;
    Wake *wake = nullptr;
    Slot *t = g_events.table.load();
    int32_t n = g_events.size.load();
    for (int32_t i = 0; t != nullptr && i < n; ++i) {
        if (t[i].key == key) {
            wake = post_slot(&t[i]);
            break;
        }
    }
    unlock_table();
    wake_after_unlock(wake);
}

void release_thread_waits(uint32_t tid) {
    if (tid == 0 || !large_mode()) return;
    if (XLockObj(g_events.lock, X_INFINITE) != 1) return;
    Slot *t = g_events.table.load();
    int32_t n = g_events.size.load();
    for (int32_t i = 0; t != nullptr && i < n; ++i)
        if (t[i].thread == tid) t[i] = Slot{};
    unlock_table();
}

bool event_key(XHANDLE event, uint32_t *key) {
    Slot *s = slot_of(event);
    if (s == nullptr) return false;
    if (XLockObj(g_events.lock, X_INFINITE) != 1) return false;
    *key = s->key;
    unlock_table();
    return true;
}

void wait_handle_open(WaitRecord &rec, os::Waitable *object) {
    rec.object = object;
    rec.closable = false;
    handle_open_inner(rec.header, HandleKind::event);
}

bool event_live(XHANDLE h) { return slot_of(h) != nullptr || waitable_of(h) != nullptr; }

}  // namespace zax

extern "C" {

XAPI int32_t XCreateEvent(XHANDLE *handle_out, uint32_t key) {
    if (handle_out == nullptr) {
        lib_error(FN_XCreateEvent, R_XCreateEvent_BAD_ARGUMENT, 1);
        return 0;
    }
    if (large_mode()) {
        // A slot of key 0 could not be told from a free one.
        if (key == 0) {
            lib_error(FN_XCreateEvent, R_XCreateEvent_BAD_ARGUMENT, 2);
            return 0;
        }
        if (!lock_table(FN_XCreateEvent, R_XCreateEvent_TABLE_LOCK_FAILED)) return 0;
        Slot *t = g_events.table.load();
        int32_t n = g_events.size.load();
        Slot *found = nullptr, *free_slot = nullptr;
        for (int32_t i = 0; i < n; ++i) {
            if (key != kNoKey && t[i].key == key) {
                found = &t[i];
                break;
            }
            if (free_slot == nullptr && t[i].key == 0) free_slot = &t[i];
        }
        if (found != nullptr && found->refs < 0xFFFF) {
            ++found->refs;
        } else if (found == nullptr && free_slot != nullptr) {
            *free_slot = Slot{key, 1, 0, 0, nullptr, 0};
            found = free_slot;
        } else {
            // No free slot, or a slot whose reference count is full.
            unlock_table();
            lib_error(FN_XCreateEvent, R_XCreateEvent_TABLE_FULL, 0);
            return 0;
        }
        unlock_table();
        *handle_out = found;
        return 1;
    }
    auto *rec = handle_new<WaitRecord>(HandleKind::event);
    if (rec == nullptr) return 0;
    os::Event *e = nullptr;
    int err;
    if (key == kNoKey) {
        err = os::event_create(&e);
    } else {
        char name[32];
        std::snprintf(name, sizeof name, os::names::kEvent, key);
        err = os::no_throw([&] { return os::event_open(name, &e); });
    }
    if (err != 0) {
        handle_free(rec);
        sys_error(FN_XCreateEvent, R_XCreateEvent_CREATE_FAILED, err);
        return 0;
    }
    rec->object = e;
    rec->closable = true;
    *handle_out = rec;
    return 1;
}

XAPI int32_t XDestroyEvent(XHANDLE event) {
    if (Slot *s = slot_of(event)) {
        if (!lock_table(FN_XDestroyEvent, R_XDestroyEvent_TABLE_LOCK_FAILED)) return 0;
        if (s->refs > 1)
            --s->refs;
        else
            *s = Slot{};
        unlock_table();
        return 1;
    }
    auto *rec = handle_get<WaitRecord>(event, HandleKind::event, FN_XDestroyEvent,
                                       R_XDestroyEvent_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    // Only events are closed here; process and thread handles belong to
    // their records.
    if (!rec->closable) {
        sys_error(FN_XDestroyEvent, R_XDestroyEvent_CLOSE_FAILED, EBADF);
        return 0;
    }
    auto *e = static_cast<os::Event *>(rec->object);
    handle_free(rec);
    if (int err = os::event_close(e)) {
        sys_error(FN_XDestroyEvent, R_XDestroyEvent_CLOSE_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XPostEvent(XHANDLE event, uint32_t /*reserved: no effect*/) {
    int err;
    if (Slot *s = slot_of(event)) {
        if (!lock_table(FN_XPostEvent, R_XPostEvent_TABLE_LOCK_FAILED)) return 0;
        Wake *wake = post_slot(s);
        unlock_table();
        err = wake_after_unlock(wake);
    } else if (os::Waitable *w = waitable_of(event)) {
        err = w->post();
    } else {
        lib_error(FN_XPostEvent, R_XPostEvent_BAD_ARGUMENT, 1);
        return 0;
    }
    if (err != 0) {
        sys_error(FN_XPostEvent, R_XPostEvent_SIGNAL_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XWaitEvent(XHANDLE *events, int32_t count, uint32_t timeout) {
    if (events == nullptr) {
        lib_error(FN_XWaitEvent, R_XWaitEvent_BAD_ARGUMENT, 1);
        return -1;
    }
    bool large = large_mode();
    // The large mode takes every table event (repeats included) besides at
    // most 63 other objects.
    int32_t most = large ? kMaxEventTable + int32_t(os::kMaxWaitObjects) - 1
                         : int32_t(os::kMaxWaitObjects);
    if (count < 1 || count > most) {
        lib_error(FN_XWaitEvent, R_XWaitEvent_BAD_ARGUMENT, 2);
        return -1;
    }
    return large ? wait_large(events, count, timeout) : wait_small(events, count, timeout);
}

XAPI int32_t XSleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        lib_error(FN_XSleep, R_XSleep_BAD_ARGUMENT, 1);
        return 0;
    }
    os::sleep_ms(milliseconds);
    return 1;
}

}  // extern "C"
