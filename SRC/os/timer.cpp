#include "os/timer.h"

#include "os/own.h"
#include "os/signal.h"
#include "os/thread.h"
#include "os/wait.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

namespace zax::os {
namespace {

struct Entry {
    uint32_t id;
    uint64_t deadline;  // on the service's clock
    uint32_t period;    // 0 for a one-shot timer
    TimerCallback cb;
    void *user;
    bool fired;  // a one-shot whose callback is running: killable, not due again
};

// The service's state, guarded by g_lock. Made on first use and never freed:
// unloading the library does not stop running timers.
struct Service {
    std::vector<Entry> entries;
    uint32_t next_id = 1;
    bool thread_running = false;
    uint64_t wake_gen = 0;  // bumped by timer_wake
    uint64_t done_gen = 0;  // the last wake_gen whose due timers all ran
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond;       // wakes the service's thread
pthread_cond_t g_done_cond;  // wakes timer_settle
bool g_conds_made = false;
Service *g_service = nullptr;
TimerClock g_clock = nullptr;
void (*g_fork_hook)() = nullptr;
// Resolutions asked for and not given back (0: a free place). Fixed, so that
// the load allocates nothing here.
uint32_t g_begun[16] = {};

uint64_t now_ms() {
    TimerClock c = __atomic_load_n(&g_clock, __ATOMIC_ACQUIRE);
    return c != nullptr ? c() : monotonic_ms(false);
}

// The moment a new timer counts from: rounded up, since a due time counted
// from a reading rounded down would come up to a millisecond early. A timer
// never fires before its delay has passed.
uint64_t start_ms() {
    TimerClock c = __atomic_load_n(&g_clock, __ATOMIC_ACQUIRE);
    return c != nullptr ? c() : monotonic_ms(true);
}

// The child of a fork has no service thread: it starts afresh, without the
// parent's timers (as a new process has none).
void reset_in_child() {
    pthread_mutex_init(&g_lock, nullptr);
    g_conds_made = false;
    g_service = nullptr;
    if (g_fork_hook != nullptr) g_fork_hook();
}

bool ensure_service() {
    if (g_service != nullptr) return true;
    if (!g_conds_made) {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&g_cond, &attr);
        pthread_cond_init(&g_done_cond, &attr);
        pthread_condattr_destroy(&attr);
        static bool atfork_set = false;
        if (!atfork_set) atfork_set = pthread_atfork(nullptr, nullptr, reset_in_child) == 0;
        g_conds_made = true;
    }
    g_service = new (std::nothrow) Service;
    return g_service != nullptr;
}

void wait_ms(uint64_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    if (ms > 86400000ull * 2) ms = 86400000ull * 2;
    ts.tv_sec += time_t(ms / 1000);
    ts.tv_nsec += long(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&g_cond, &g_lock, &ts);
}

bool erase(Service *s, uint32_t id) {
    for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
        if (it->id == id) {
            s->entries.erase(it);
            return true;
        }
    }
    return false;
}

void *service_main(void *) {
    pthread_mutex_lock(&g_lock);
    Service *s = g_service;
    for (;;) {
        uint64_t gen = s->wake_gen;
        uint64_t now = now_ms();
        size_t due = s->entries.size();
        for (size_t i = 0; i < s->entries.size(); ++i) {
            const Entry &e = s->entries[i];
            if (e.fired || e.deadline > now) continue;
            if (due == s->entries.size() || e.deadline < s->entries[due].deadline) due = i;
        }
        if (due < s->entries.size()) {
            Entry e = s->entries[due];
            if (e.period != 0)
                s->entries[due].deadline += e.period;  // no drift: the next tick counts from this one
            else
                s->entries[due].fired = true;  // killable until its callback has returned
            // The callback may start and kill timers: it runs without the lock.
            pthread_mutex_unlock(&g_lock);
            e.cb(e.id, e.user);
            pthread_mutex_lock(&g_lock);
            if (e.period == 0) erase(s, e.id);
            continue;
        }
        s->done_gen = gen;
        pthread_cond_broadcast(&g_done_cond);
        bool any = false;
        uint64_t next = 0;
        for (const Entry &e : s->entries) {
            if (e.fired) continue;
            if (!any || e.deadline < next) next = e.deadline;
            any = true;
        }
        if (!any)
            pthread_cond_wait(&g_cond, &g_lock);
        else
            wait_ms(next > now ? next - now : 0);
    }
    return nullptr;
}

int start_thread() {
    // The service's thread takes no signals meant for the process.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &attr, service_main, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc == 0) service_threads_add(1);  // it runs until the process ends
    return rc;
}

}  // namespace

int timer_caps(TimerCaps *caps) {
    caps->min_period = kTimerMinPeriod;
    caps->max_period = kTimerMaxPeriod;
    return 0;
}

int timer_begin_period(uint32_t period) {
    if (period < kTimerMinPeriod || period > kTimerMaxPeriod) return EINVAL;
    Locked hold(g_lock);
    for (uint32_t &slot : g_begun) {
        if (slot == 0) {
            slot = period;
            return 0;
        }
    }
    return EBUSY;  // more requests outstanding than the service keeps
}

int timer_end_period(uint32_t period) {
    Locked hold(g_lock);
    for (uint32_t &slot : g_begun) {
        if (period != 0 && slot == period) {
            slot = 0;
            return 0;
        }
    }
    return EINVAL;
}

uint32_t timer_period() {
    Locked hold(g_lock);
    uint32_t best = 0;
    for (uint32_t p : g_begun)
        if (p != 0 && (best == 0 || p < best)) best = p;
    return best;
}

int timer_start(uint32_t delay, uint32_t /*resolution: advisory*/, bool periodic, TimerCallback cb,
                void *user, uint32_t *id) {
    if (cb == nullptr || delay < kTimerMinPeriod || delay > kTimerMaxPeriod) return EINVAL;
    Locked hold(g_lock);
    int rc = 0;
    if (!ensure_service()) {
        rc = ENOMEM;
    } else if (!g_service->thread_running) {
        rc = start_thread();
        if (rc == 0) {
            g_service->thread_running = true;
            library_pin();  // the thread runs the library's code until the process ends
        }
    }
    if (rc == 0) {
        Service *s = g_service;
        uint32_t new_id = s->next_id++;
        if (s->next_id == 0) s->next_id = 1;
        try {
            s->entries.push_back(Entry{new_id, start_ms() + delay, periodic ? delay : 0, cb, user, false});
            *id = new_id;
            pthread_cond_signal(&g_cond);
        } catch (...) {
            rc = ENOMEM;
        }
    }
    return rc;
}

int timer_kill(uint32_t id) {
    Locked hold(g_lock);
    return g_service != nullptr && erase(g_service, id) ? 0 : EINVAL;
}

int timer_count() {
    Locked hold(g_lock);
    return g_service != nullptr ? int(g_service->entries.size()) : 0;
}

bool timer_service_started() {
    Locked hold(g_lock);
    return g_service != nullptr && g_service->thread_running;
}

void timer_set_fork_hook(void (*in_child)()) { __atomic_store_n(&g_fork_hook, in_child, __ATOMIC_RELEASE); }

void timer_set_clock(TimerClock clock) {
    __atomic_store_n(&g_clock, clock, __ATOMIC_RELEASE);
    timer_wake();
}

void timer_wake() {
    Locked hold(g_lock);
    if (g_service != nullptr) {
        ++g_service->wake_gen;
        pthread_cond_signal(&g_cond);
    }
}

void timer_settle() {
    Locked hold(g_lock);
    if (g_service != nullptr && g_service->thread_running) {
        uint64_t want = ++g_service->wake_gen;
        pthread_cond_signal(&g_cond);
        while (g_service->done_gen < want) pthread_cond_wait(&g_done_cond, &g_lock);
    }
}

}  // namespace zax::os
