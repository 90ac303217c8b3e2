// The timer service: one thread of the library per process that runs
// one-shot and periodic timers and calls their callbacks, in the manner of
// the multimedia timer service that the library was first built on. Timers
// have ids; killing one stops it. The clock can be replaced (tests run long
// delays without waiting for them).
#pragma once
#include <cstdint>

namespace zax::os {

// Periods the service accepts, in milliseconds.
struct TimerCaps {
    uint32_t min_period;
    uint32_t max_period;
};
constexpr uint32_t kTimerMinPeriod = 1;
constexpr uint32_t kTimerMaxPeriod = 1000000;

// The service's capabilities; 0.
[[nodiscard]] int timer_caps(TimerCaps *caps);
// Ask for (and give back) a resolution for the life of a user; 0, or EINVAL
// for a period outside the capabilities (or, at the end, one never asked).
[[nodiscard]] int timer_begin_period(uint32_t period);
[[nodiscard]] int timer_end_period(uint32_t period);
// The finest resolution asked for and not given back, or 0.
uint32_t timer_period();

// Called on the service's thread with the timer's id and the user value.
using TimerCallback = void (*)(uint32_t id, void *user);

// Start a timer that calls cb after delay ms, once or every delay ms. The
// resolution is advisory. 0 with the id (never 0) in *id, or EINVAL (delay
// outside the capabilities, no callback), ENOMEM, or the error of starting
// the service's thread.
[[nodiscard]] int timer_start(uint32_t delay, uint32_t resolution, bool periodic, TimerCallback cb, void *user,
                uint32_t *id);
// Stop a timer: its callback is not called again. A one-shot timer can be
// killed until its callback has returned (a callback already under way
// finishes). 0, or EINVAL for an id that runs no timer.
[[nodiscard]] int timer_kill(uint32_t id);
// Timers running now.
[[nodiscard]] int timer_count();
// Whether the service's thread has started in this process: it runs until
// the process ends, and a callback of it may be under way at any time.
[[nodiscard]] bool timer_service_started();

// Called in the child of a fork (which runs none of the parent's timers),
// before it can start timers of its own; null for nothing.
void timer_set_fork_hook(void (*in_child)());

// The service's clock in milliseconds; by default the monotonic clock.
using TimerClock = uint64_t (*)();
// Replace the clock (null: back to the monotonic clock). The service waits in
// real time for the clock's differences, and re-reads it on timer_wake.
void timer_set_clock(TimerClock clock);
// Make the service read its clock again now.
void timer_wake();
// Return once every timer due at the clock's present reading has had its
// callback (the service's thread has gone through its due timers since the
// call). Not for the service's own thread.
void timer_settle();

}  // namespace zax::os
