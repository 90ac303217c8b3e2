#include "os/wait.h"

#include <poll.h>
#include <time.h>

#include <cerrno>

#include "os/syscall.h"

namespace zax::os {

uint64_t monotonic_ms(bool round_up) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + (uint64_t(ts.tv_nsec) + (round_up ? 999999u : 0u)) / 1000000u;
}

namespace {

int64_t now_ns() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

int wait_any(Waitable *const *objects, size_t n, uint32_t timeout_ms, size_t *index) {
    if (n == 0 || n > kMaxWaitObjects) return EINVAL;
    struct pollfd fds[kMaxWaitObjects];
    for (size_t i = 0; i < n; ++i) fds[i] = {objects[i]->fd(), POLLIN, 0};
    const bool forever = timeout_ms == 0xFFFFFFFFu;
    const int64_t deadline = now_ns() + int64_t(timeout_ms) * 1000000;
    for (;;) {
        struct timespec left, *tp = nullptr;
        if (!forever) {
            int64_t rest = deadline - now_ns();
            if (rest < 0) rest = 0;
            left = {time_t(rest / 1000000000), long(rest % 1000000000)};
            tp = &left;
        }
        int r = ppoll(fds, n, tp, nullptr);
        if (r < 0 && errno != EINTR) return errno;
        if (r <= 0) {  // the time ran out, or a signal came: poll with what is left
            if (!forever && now_ns() >= deadline) return ETIMEDOUT;
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            if (fds[i].revents & POLLNVAL) return EBADF;
            // Error and hang-up states are taken as signals: the take step
            // decides what they mean for each kind.
            if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) && objects[i]->try_take()) {
                *index = i;
                return 0;
            }
        }
        // Another waiter was faster: poll again with the time left.
        if (!forever && now_ns() >= deadline) return ETIMEDOUT;
    }
}

void sleep_ms(uint32_t ms) {
    struct timespec t = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
    (void)sys::retry_err([&] { return clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t); });
}

}  // namespace zax::os
