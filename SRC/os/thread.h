// Threads that run a module's entry through a trampoline of the library.
//
// The trampoline keeps a jump buffer: killing a thread sends it a real-time
// signal of the library's, whose handler jumps back to the trampoline, which
// then ends the thread as if the entry had returned 0xFFFFFFFF. Either way
// the trampoline records the exit code and signals the thread's handle (an
// eventfd that stays readable). Threads are detached: nobody joins them.
//
// A thread killed while it holds a lock (the allocator's, stdio's, one of
// the program's) leaves it held: kill only threads that are known to be in
// code of their own.
#pragma once
#include <cstdint>

#include "os/event.h"

namespace zax::os {

// The entry of a thread: two 32-bit arguments, the 32-bit exit code.
using ThreadEntry = uint32_t (*)(uint32_t, uint32_t);

// The exit code of a killed thread.
constexpr uint32_t kKilledThreadCode = 0xFFFFFFFFu;

class Thread;

// Start entry(arg1, arg2) on a new thread (default stack). at_end(context)
// runs on the thread after its handle was signalled, as the last thing
// before it ends (it may release the code that the entry ran in); null for
// none. 0 with *out, or errno (nothing started, at_end not run).
[[nodiscard]] int thread_start(ThreadEntry entry, uint32_t arg1, uint32_t arg2, void (*at_end)(void *),
                 void *context, Thread **out);

// The descriptor that polls readable once the thread has ended.
[[nodiscard]] int thread_fd(const Thread *t);
// The thread as a waitable object: signalled once it has ended, and it stays
// so (taking consumes nothing).
Waitable *thread_waitable(Thread *t);
// The kernel's identifier of the thread.
uint32_t thread_tid(const Thread *t);
// The exit code, or kStillActive (259) while the thread runs.
uint32_t thread_exit_code(const Thread *t);
// Make the thread end with kKilledThreadCode: 0 (also when it has already
// ended) or the errno of sending the signal. Returns at once; the thread
// ends when the signal reaches it (not while it blocks the signal).
[[nodiscard]] int thread_kill(Thread *t);
// End the calling thread with code when the library started it (the jump
// back to its trampoline, usable from a signal handler); returns at once,
// doing nothing, on any other thread and outside the entry.
void thread_end_current(uint32_t code);
// Give the caller's reference back; the thread's own goes when it ends.
// 0 or the errno of closing the handle.
[[nodiscard]] int thread_close(Thread *t);

// The process's exit status for a thread's exit code: its low 8 bits, except
// that a code other than 0 whose low 8 bits are 0 gives 255, so that a failure
// never reads as success.
[[nodiscard]] int exit_status_of(uint32_t code);
// The calling thread is about to end with code (a thread of the library's, or
// one that an abnormal end ends). When it is the last thread of the program,
// the process exits now with exit_status_of(code), as the system would have
// exited with 0; otherwise it returns and the thread ends. Threads that end
// at the same moment are counted one after the other, so that the last of
// them sees itself last. Async-signal-safe up to the exit.
void thread_ending(uint32_t code);
// Threads of the library's own services (the timer thread, the event-socket
// server) do not count as the program's: add 1 once one has started, and -1
// once it has been joined.
void service_threads_add(int delta);

}  // namespace zax::os
