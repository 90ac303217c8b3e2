#include "os/sys.h"

#include <pthread.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zax::os {

int last_errno() { return errno; }

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

int at_fork(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child);
}

uint32_t thread_id() { return static_cast<uint32_t>(gettid()); }

int kernel_release(uint32_t *major, uint32_t *minor, uint32_t *patch) {
    struct utsname u;
    if (uname(&u) != 0) return errno;
    // "6.1.0-18-amd64": up to three dot-separated numbers; the rest is the
    // distribution's suffix.
    uint32_t parts[3] = {0, 0, 0};
    const char *p = u.release;
    for (int i = 0; i < 3; ++i) {
        char *end = nullptr;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p) break;
        parts[i] = static_cast<uint32_t>(v);
        if (*end != '.') break;
        p = end + 1;
    }
    *major = parts[0];
    *minor = parts[1];
    *patch = parts[2];
    return 0;
}

}  // namespace zax::os
