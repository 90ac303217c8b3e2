// Crash points: named steps of the operations that must survive the death of
// their process (or thread) at any step, such as a list add or a save. Each
// point orders the compiler's stores (what comes before it in the source is
// in memory before what comes after), and does nothing else unless a test
// arms the points: then the n-th point reached from the arming runs the
// test's action (by default the process is killed with SIGKILL), so that a
// test can end an operation at each step in turn and look at what it left.
#pragma once
#include <atomic>

namespace zax::os {

// Nonzero while a test has armed the points.
extern std::atomic<int> g_crash_armed;
void crash_point_reached(const char *step);

inline void crash_point(const char *step) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (g_crash_armed.load(std::memory_order_relaxed) != 0) [[unlikely]]
        crash_point_reached(step);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// For tests. crash_arm(n, action): the n-th point reached from now (1 = the
// next one) calls action (null: SIGKILL of the process); the points are
// disarmed when it is reached. crash_arm(0) disarms them. crash_count()
// counts the points reached from now on without acting (crash_arm(0) ends
// it); crash_points() then says how many, and crash_step(i) names the i-th
// of the first 64 (1-based; null beyond).
void crash_arm(int n, void (*action)() = nullptr);
void crash_count();
[[nodiscard]] int crash_points();
const char *crash_step(int i);

}  // namespace zax::os
