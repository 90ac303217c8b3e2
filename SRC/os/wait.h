// Waits for any of several waitable objects, and sleeping.
#pragma once
#include <cstddef>
#include <cstdint>

#include "os/event.h"

namespace zax::os {

// The most objects one wait takes.
constexpr size_t kMaxWaitObjects = 64;

// Wait until one of the n objects (1 to kMaxWaitObjects) can be taken and
// take it: when several can, the lowest position wins. timeout_ms on the
// monotonic clock, 0xFFFFFFFF without limit, 0 only looks. Returns 0 with
// *index, ETIMEDOUT, EINVAL for a bad count, or the errno of poll (EBADF for
// an object whose descriptor is closed).
[[nodiscard]] int wait_any(Waitable *const *objects, size_t n, uint32_t timeout_ms, size_t *index);

// The monotonic clock in whole milliseconds, rounded down (or up), for
// deadlines and time spent.
uint64_t monotonic_ms(bool round_up = false);

// Suspend the calling thread for ms milliseconds (monotonic, resumed after
// signals).
void sleep_ms(uint32_t ms);

}  // namespace zax::os
