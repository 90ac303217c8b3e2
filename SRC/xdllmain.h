// What the load sets up for the rest of the library: the settings read from
// the library settings file, the timer resolution and the two internal locks.
#pragma once
#include <cstdint>

#include "zaxxlib.h"

namespace zax {

// Defaults when the settings file or an entry is missing.
constexpr int32_t kDefaultLockTimeout = 1000;
constexpr uint32_t kDefaultTermMode = 1;

// How long the timer-table and exit-routine locks are waited for, in ms (as
// read: -1 waits without limit).
int32_t lock_timeout();
// 1: a thread that meets an unhandled fault ends alone; 0: the process ends.
uint32_t termination_mode();
// The period asked of the timer service for the life of the library.
uint32_t timer_resolution();
// The two unnamed lock objects made at load (null when the load failed).
XHANDLE timer_table_lock();
XHANDLE exit_routine_lock();
// True after a load that succeeded and before the unload.
bool library_loaded();

// The resolution rule over the timer service's capabilities:
// min(max(minimum, 10), maximum).
uint32_t resolution_for(uint32_t minimum, uint32_t maximum);
// Read the lock timeout and the termination mode from the settings file
// (defaults when it is missing); the load's second step, also run by tests.
void read_load_settings();

// The library's entry point, run by its constructor and destructor with the
// reason: 1 load, 2 thread attach, 3 thread detach, 0 unload. Returns 1 or 0.
int dll_entry(int reason);

}  // namespace zax
