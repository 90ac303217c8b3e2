// An allocator that refuses to be called on the fatal-signal path: the
// helper program's malloc, calloc, realloc and free forward to the C
// library's, except on a thread that has forbidden them, where any call ends
// the process with status 97. (Not in the sanitizer builds, whose runtime
// owns the allocator.)
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZAX_INTERPOSED 1

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
__thread bool t_forbidden = false;

[[noreturn]] void refuse(const char *what) {
    char line[96];
    int n = std::snprintf(line, sizeof line, "%s called on the fatal-signal path\n", what);
    ssize_t r = write(STDOUT_FILENO, line, size_t(n));
    (void)r;
    _exit(97);
}
}  // namespace

extern "C" {
void *malloc(size_t n) {
    if (t_forbidden) refuse("malloc");
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
    if (t_forbidden) refuse("calloc");
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
    if (t_forbidden) refuse("realloc");
    return __libc_realloc(p, n);
}
void free(void *p) {
    if (t_forbidden && p != nullptr) refuse("free");
    __libc_free(p);
}
}
#endif

namespace {

// The first thing the fatal-signal path runs of the program's: from here on,
// this thread must not reach the allocator.
int32_t forbid_allocation(uint32_t, uint32_t parameter) {
#ifdef ZAX_INTERPOSED
    t_forbidden = true;
#endif
    // An exit routine that itself ends abnormally.
    if (parameter == 1) XAbend(99);
    return 0;
}

const XEstaeBlock forbid_block = {0, 0, forbid_allocation};

void *fatal_worker(void *arg) {
    const char *what = static_cast<const char *>(arg);
    XInitEstae(&forbid_block, std::strcmp(what, "nested") == 0 ? 1 : 0);
    if (std::strcmp(what, "segv") == 0) {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    XAbend(12);
    return nullptr;
}

}  // namespace

// fatalpath WHAT: a worker thread meets "segv", "abend" or "nested" (an exit
// routine that abends) in termination mode 1 while the allocator is forbidden
// to it from its first exit routine on; the main thread waits for it and
// prints "clean", or "not interposed" in a sanitizer build.
ZAX_HELPER(fatalpath) {
    if (argc < 2) return 100;
#ifndef ZAX_INTERPOSED
    std::printf("not interposed\n");
    return 0;
#else
    pthread_t t;
    if (pthread_create(&t, nullptr, fatal_worker, argv[1]) != 0) return 101;
    pthread_join(t, nullptr);
    std::printf("clean\n");
    return 0;
#endif
}
