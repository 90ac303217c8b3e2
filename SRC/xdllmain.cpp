// xdllmain: what the library does when it is loaded into a process, when a
// thread ends, and when it is unloaded.
#include "xdllmain.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "os/slot.h"
#include "os/timer.h"
#include "xerror.h"
#include "xevent_timer.h"
#include "xint.h"

namespace zax {
namespace {

// Written by the load and the unload only, which the system serialises.
int32_t g_lock_timeout = kDefaultLockTimeout;
uint32_t g_term_mode = kDefaultTermMode;
uint32_t g_resolution = 0;
XHANDLE g_timer_lock = nullptr;
XHANDLE g_exit_lock = nullptr;
bool g_loaded = false;

// A constructor cannot refuse the load on Linux: the failed load says so
// once on standard error and leaves the library unloaded; the functions that
// need its locks then fail as they would on a null lock object.
int load_failed(const char *what) {
    std::fprintf(stderr, "zaxxlib: the library could not be loaded: %s\n", what);
    return 0;
}

// The steps of the load, each with what undoes it.
bool make_thread_record() { return thread_record() != nullptr; }
// The thread slot and record are also made by any first use, before the load
// or after an unload: the unload releases them last in any case. 1, or 0
// when the slot cannot be released.
int drop_thread_record() {
    free_thread_record();
    if (os::slot_exists()) return os::slot_delete() == 0 ? 1 : 0;
    return 1;
}

bool read_settings() {
    read_load_settings();
    return true;
}

bool begin_timer_period() {
    os::TimerCaps caps{};
    if (os::timer_caps(&caps) != 0) return false;
    g_resolution = resolution_for(caps.min_period, caps.max_period);
    (void)os::timer_begin_period(g_resolution);
    timer_table_clear();
    return true;
}
void end_timer_period() { (void)os::timer_end_period(g_resolution); }

// A lock that an unload left to the timer service's thread is taken up again.
bool make_timer_lock() {
    if (g_timer_lock == nullptr) g_timer_lock = XCreateLockObj(-1);
    return g_timer_lock != nullptr;
}
void drop_timer_lock() {
    // The timer service's thread outlives the unload and may be inside an
    // expiry now (the process's end comes while it posts a last event):
    // once it has started, the table's lock stays for it.
    if (g_timer_lock == nullptr || os::timer_service_started()) return;
    XDestroyLockObj(g_timer_lock);
    g_timer_lock = nullptr;
}

bool make_exit_lock() { return (g_exit_lock = XCreateLockObj(-1)) != nullptr; }
void drop_exit_lock() {
    // A lock that cannot be destroyed keeps its handle.
    if (g_exit_lock != nullptr && XDestroyLockObj(g_exit_lock) == 1) g_exit_lock = nullptr;
}

// What the load builds, in this order; the unload undoes, in the reverse
// order, every step that the load began (each undo copes with a step that
// failed).
struct Step {
    bool (*build)();
    void (*undo)();       // null: nothing to undo
    const char *failure;  // what a failed load says
};
constexpr Step kSteps[] = {
    {make_thread_record, nullptr, "no thread slot or error record"},
    {read_settings, nullptr, nullptr},
    {begin_timer_period, end_timer_period, "no timer capabilities"},
    {make_timer_lock, drop_timer_lock, "no timer-table lock"},
    {make_exit_lock, drop_exit_lock, "no exit-routine lock"},
};
size_t g_begun = 0;  // steps of kSteps that the load began

int load() {
    for (g_begun = 0; g_begun < std::size(kSteps);)
        if (const Step &s = kSteps[g_begun++]; !s.build()) return load_failed(s.failure);
    g_loaded = true;
    return 1;
}

int unload() {
    g_loaded = false;
    while (g_begun > 0)
        if (const Step &s = kSteps[--g_begun]; s.undo != nullptr) s.undo();
    return drop_thread_record();
}

}  // namespace

int32_t lock_timeout() { return g_lock_timeout; }
uint32_t termination_mode() { return g_term_mode; }
uint32_t timer_resolution() { return g_resolution; }
XHANDLE timer_table_lock() { return g_timer_lock; }
XHANDLE exit_routine_lock() { return g_exit_lock; }
bool library_loaded() { return g_loaded; }

uint32_t resolution_for(uint32_t minimum, uint32_t maximum) {
    uint32_t r = minimum < 10 ? 10 : minimum;
    return r < maximum ? r : maximum;
}

void read_load_settings() {
    g_lock_timeout = kDefaultLockTimeout;
    g_term_mode = kDefaultTermMode;
    // The directory of the settings file, cut to 256 characters; without
    // one the file is looked for in the current directory.
    char directory[257] = {};
    int32_t length = XReadEnvStr("ZAXXLIB", "XSYSTEM", nullptr, directory, sizeof directory);
    XHANDLE file = length > 0 ? (directory[256] = '\0', XOpenParmFile(directory, "XTORASYS"))
                              : XOpenParmFile(nullptr, "XTORASYS");
    if (file == X_FAILED_PTR) return;
    int32_t value = 0;
    // No range check: a negative timeout (-1) waits without limit.
    if (XReadParmInt(file, "TIME", "TIMEOUT", &value) == 1) g_lock_timeout = value;
    value = 0;
    XReadParmInt(file, "ESTAE", "TERMMODE", &value);
    if (value == 1) g_term_mode = 0;
    XCloseParmFile(file);
}

int dll_entry(int reason) {
    switch (reason) {
    case 1:
        return load();
    case 2:  // thread attach (the layer calls it where it can; first use covers the rest)
        return thread_record() != nullptr ? 1 : 0;
    case 3:  // thread detach: the exit-routine chain is not walked
        if (thread_record() == nullptr) return 0;
        free_thread_record();
        return 1;
    case 0:
        return unload();
    default:
        return 0;
    }
}

// Load and unload: the shared library's constructor and destructor (the same
// objects run them in the static build). Threads have no attach notification
// on Linux; their records are made on first use. The first priority open to
// programs puts the load before every ordinary static initialiser of a
// program linked with the static library, and the unload after their
// destructors, so that these may use the library; the library itself has no
// file-scope initialiser that the load could run ahead of.
__attribute__((constructor(101))) static void on_load() { dll_entry(1); }
__attribute__((destructor(101))) static void on_unload() { dll_entry(0); }

}  // namespace zax
