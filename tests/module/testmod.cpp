// A thread module for the tests: its "osmain" does what its first argument
// says, so that one module serves every thread case.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
std::atomic<int> g_gate{0};
std::atomic<int> g_running{0};
std::atomic<void (*)(void)> g_callback{nullptr};

// Whether the process's main thread has ended (a zombie in /proc/self/stat).
bool main_thread_ended() {
    char buf[1024] = {};
    FILE *f = std::fopen("/proc/self/stat", "r");
    if (f == nullptr) return false;
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *p = std::strrchr(buf, ')');
    return p != nullptr && p[1] == ' ' && p[2] == 'Z';
}
}  // namespace

extern "C" {

// Looked up by name in the entry tests.
__attribute__((visibility("default"))) int32_t testmod_value = 42;

// Lets the threads that wait at the gate (mode 2) return.
__attribute__((visibility("default"))) void testmod_open_gate(void) { g_gate.store(1); }

// How many threads are inside osmain now.
__attribute__((visibility("default"))) int32_t testmod_running(void) { return g_running.load(); }

// The function that mode 4 calls (code of the test program).
__attribute__((visibility("default"))) void testmod_set_callback(void (*fn)(void)) {
    g_callback.store(fn);
}

// 0: return arg2 at once. 1: sleep in short steps for ever. 2: wait for the
// gate, then return arg2. 3: spin without system calls for ever. 4: call the
// callback, then return arg2. 5: wait until the main thread has ended, then
// return arg2.
__attribute__((visibility("default"))) uint32_t osmain(uint32_t arg1, uint32_t arg2) {
    g_running.fetch_add(1);
    struct timespec step = {0, 1000000};
    switch (arg1) {
        case 1:
            for (;;) nanosleep(&step, nullptr);
        case 2:
            while (g_gate.load() == 0) nanosleep(&step, nullptr);
            break;
        case 3:
            for (;;) __asm__ volatile("" ::: "memory");
        case 4:
            if (auto fn = g_callback.load()) fn();
            break;
        case 5:
            while (!main_thread_ended()) nanosleep(&step, nullptr);
            break;
        default:
            break;
    }
    g_running.fetch_sub(1);
    return arg2;
}
}
