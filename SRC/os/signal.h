// Fatal signals: the library's filter for the signals that end a thread by a
// fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS), run on an
// alternate stack; the handler that was installed before it; the crash
// handler companion; and the two ways of ending (the thread only, or the
// process by the signal's default action). XAbend enters the same path on the
// calling thread without a signal.
#pragma once
#include <cstdint>

namespace zax::os {

// One fault as the filter sees it.
struct Fault {
    int signo;         // the signal; SIGABRT for an abend
    uint32_t code;     // the exception code: the abend's code, or 128 + signo
    bool abend;        // entered by fault_abend, not by a signal
    void *siginfo;     // the signal's siginfo_t, or null for an abend
    void *ucontext;    // the signal's ucontext_t, or null for an abend
};

// The library's part of the handling: runs on the failing thread and answers
// true to end that thread only, false to hand the fault to the system.
using FaultFilter = bool (*)(const Fault &fault);

// Install filter for every fatal signal (once per process; later calls do
// nothing and return 0). Keeps the handlers found as the previous ones, gives
// the calling thread an alternate stack, loads the unwinder that ending a
// thread needs and the crash handler companion, so that the handler itself
// never loads anything. 0 or errno (nothing is installed then).
[[nodiscard]] int fault_install(FaultFilter filter);
// True once fault_install has succeeded.
[[nodiscard]] bool fault_installed();
// Give the calling thread an alternate signal stack unless it has one (its
// own or the program's); it is freed when the thread ends. 0 or errno.
[[nodiscard]] int fault_altstack();

// Call the handler that was installed before the library's for the fault's
// signal, when that was a function (not the default action, not "ignore").
void fault_call_previous(const Fault &fault);
// The crash handler companion's entry (ZaxCrashHandler), as fault_install
// found it, or null; the caller knows its interface.
void *fault_crash_entry();

// Run fn(arg) so that a fault inside it returns false here instead of
// entering the filter again; true when fn returned.
[[nodiscard]] bool fault_guarded(void (*fn)(void *), void *arg);

// Enter the filter on the calling thread for an abend with code. Returns
// only when no filter is installed.
void fault_abend(uint32_t code);
// True while the calling thread runs its exit routines (inside
// fault_guarded): an abend there only ends the walk.
[[nodiscard]] bool fault_in_walk();

// Nothing on the fatal-signal path may allocate or free: the fault may have
// hit the allocator, whose lock would then be held for ever. What must be
// freed there (an emptied chain of exit routines, the record of a thread that
// the path ends) is parked with park() and released by run_parked(), which
// ordinary calls of the library make. park is async-signal-safe; when its
// fixed room is full the work is dropped (a leak, never a deadlock).
void park(void (*release)(void *), void *arg);
void run_parked();
// Mark the calling thread as ended abnormally (by the fault path or a kill):
// from then on, what its end releases is parked instead.
void mark_ending_abnormally();
[[nodiscard]] bool ending_abnormally();

// How the library's own thread start ends a thread that met a fault: a
// function that does not return (it jumps back to the thread's start with
// the exit code). Threads without one end with pthread_exit.
using ThreadEnd = void (*)(uint32_t exit_code);
// Set (or clear, with null) the calling thread's ThreadEnd.
void fault_set_thread_end(ThreadEnd end);

// Keep the library mapped until the process ends, even when the program
// unloads it: its signal handler and its timer thread run its code for as
// long as the process lives.
void library_pin();

}  // namespace zax::os
