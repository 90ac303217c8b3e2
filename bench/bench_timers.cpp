// Timers against the kernel's own timers, and exit-routine registration.
#include <benchmark/benchmark.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

#include "zaxxlib.h"

namespace {

XHANDLE make_event() {
    static XHANDLE event = nullptr;
    if (event == nullptr) XCreateEvent(&event, 0xFFFFFFFFu);
    return event;
}

// Setting and stopping a timer that never expires: the table, its lock and
// the timer thread's list.
void BM_SetKillTimer(benchmark::State &state) {
    XHANDLE event = make_event();
    for (auto _ : state) {
        XHANDLE t = XSetTimer(event, 600000);
        benchmark::DoNotOptimize(XKillTimer(t));
    }
}
BENCHMARK(BM_SetKillTimer);

// The floor: a timerfd made, armed and closed.
void BM_TimerfdArmClose(benchmark::State &state) {
    for (auto _ : state) {
        int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        itimerspec its{};
        its.it_value.tv_sec = 600;
        timerfd_settime(fd, 0, &its, nullptr);
        close(fd);
    }
}
BENCHMARK(BM_TimerfdArmClose);

// A 1 ms timer from set to the waiter's wake-up: the delay plus the timer
// thread's and the event's latency.
void BM_OneMillisecondTimerToWake(benchmark::State &state) {
    XHANDLE event = make_event();
    for (auto _ : state) {
        XSetTimer(event, 1);
        benchmark::DoNotOptimize(XWaitEvent(&event, 1, 1000));
    }
}
BENCHMARK(BM_OneMillisecondTimerToWake)->UseRealTime();

// The same wait on a timerfd.
void BM_OneMillisecondTimerfd(benchmark::State &state) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    for (auto _ : state) {
        itimerspec its{};
        its.it_value.tv_nsec = 1000000;
        timerfd_settime(fd, 0, &its, nullptr);
        uint64_t n;
        benchmark::DoNotOptimize(read(fd, &n, sizeof n));
    }
    close(fd);
}
BENCHMARK(BM_OneMillisecondTimerfd)->UseRealTime();

int32_t routine(uint32_t, uint32_t) { return 0; }

// Registering and removing an exit routine (the filter is installed once).
void BM_InitTermEstae(benchmark::State &state) {
    static const XEstaeBlock block = {0, 0, routine};
    for (auto _ : state) {
        XInitEstae(&block, 1);
        benchmark::DoNotOptimize(XTermEstae(&block));
    }
}
BENCHMARK(BM_InitTermEstae);

}  // namespace
