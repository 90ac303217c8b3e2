// Errno capture and identity of the process, the thread and the kernel.
#pragma once
#include <cerrno>
#include <cstdint>
#include <new>
#include <stdexcept>

namespace zax::os {

// The errno of the last failing call on this thread.
[[nodiscard]] int last_errno();
// The process identifier.
uint32_t process_id();
// Handlers that fork runs (pthread_atfork): prepare in the parent before,
// parent and child after; any may be null. 0 or errno.
[[nodiscard]] int at_fork(void (*prepare)(), void (*parent)(), void (*child)());
// The kernel's identifier of the calling thread.
uint32_t thread_id();
// Major, minor and patch numbers of the kernel release (uname); 0, or the
// errno of uname (the outputs are then untouched).
[[nodiscard]] int kernel_release(uint32_t *major, uint32_t *minor, uint32_t *patch);

// Run f, which returns 0 or an errno, so that no C++ exception leaves it:
// the strings and containers inside throw when memory runs out (ENOMEM) or a
// length passes their limit (ENAMETOOLONG); the caller records that as the
// call's system error. (Not noexcept itself: a thread that the abnormal-end
// handling ends unwinds through it.)
template <class F>
[[nodiscard]] int no_throw(F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    } catch (const std::length_error &) {
        return ENAMETOOLONG;
    }
}

}  // namespace zax::os
