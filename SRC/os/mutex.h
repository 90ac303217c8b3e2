// Mutexes: robust, recursive pthread mutexes, either private to the process
// or named and shared by every process through a small file of the run-time
// directory. An owner that died (thread or process) leaves the mutex to the
// next waiter, which is told so and finds it consistent again.
#pragma once
#include <cstdint>
#include <string>

namespace zax::os {

struct Mutex;

// Timeout value that waits without limit.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// A mutex in private memory; 0 or errno.
[[nodiscard]] int mutex_create(Mutex **out);
// The mutex named name (a file of the run-time directory), created when
// missing; callers that name it alike, in any process, share it. 0 or errno
// (EPROTO when the file holds no mutex of this build, e.g. one made by a
// 32-bit process).
[[nodiscard]] int mutex_open(const std::string &name, Mutex **out);
// Give the handle back; 0 or errno. A named mutex stays mapped while this
// process holds it, so that its death still releases it.
[[nodiscard]] int mutex_close(Mutex *m);

// Take the mutex (recursively: the holder takes it again), waiting at most
// timeout_ms on the monotonic clock (0 only tries, kWaitForever without
// limit). Returns 0 when held, with *owner_died (when not null) telling
// whether the previous holder died holding it; ETIMEDOUT when the time ran
// out; another errno when the mutex is unusable.
[[nodiscard]] int mutex_lock(Mutex *m, uint32_t timeout_ms, bool *owner_died = nullptr);
// Release one hold; 0 or errno (EPERM when the caller does not hold it).
[[nodiscard]] int mutex_unlock(Mutex *m);

// The calling thread's kernel identifier, kept per thread so that lock
// owners cost no system call (refreshed in the child after fork). Inline:
// every lock and unlock of a lock object or list asks for it.
extern __thread uint32_t t_self_tid __attribute__((tls_model("initial-exec")));
uint32_t self_tid_slow();
inline uint32_t self_tid() {
    uint32_t t = t_self_tid;
    return t != 0 ? t : self_tid_slow();
}

}  // namespace zax::os
