#include "os/crash.h"

#include <signal.h>
#include <unistd.h>

namespace zax::os {

std::atomic<int> g_crash_armed{0};

namespace {

constexpr int kCounting = -1;
constexpr int kNamed = 64;

std::atomic<int> g_left{0};      // points until the action, while armed
std::atomic<int> g_reached{0};   // points reached while counting
std::atomic<void (*)()> g_action{nullptr};
const char *g_names[kNamed];

}  // namespace

void crash_point_reached(const char *step) {
    if (g_crash_armed.load() == kCounting) {
        int i = g_reached.fetch_add(1);
        if (i < kNamed) g_names[i] = step;
        return;
    }
    if (g_left.fetch_sub(1) != 1) return;
    g_crash_armed.store(0);
    void (*action)() = g_action.load();
    if (action != nullptr) {
        action();
        return;
    }
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

void crash_arm(int n, void (*action)()) {
    g_crash_armed.store(0);
    g_left.store(n);
    g_action.store(action);
    if (n > 0) g_crash_armed.store(1);
}

void crash_count() {
    g_reached.store(0);
    g_crash_armed.store(kCounting);
}

int crash_points() { return g_reached.load(); }

const char *crash_step(int i) { return i >= 1 && i <= kNamed && i <= g_reached.load() ? g_names[i - 1] : nullptr; }

}  // namespace zax::os
