// Helper commands for lock objects.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

static int32_t key_arg(const char *s) { return int32_t(std::strtoul(s, nullptr, 0)); }

// locktry KEY [TIMEOUT]: print the result of XLockObj and the error code.
ZAX_HELPER(locktry) {
    if (argc < 2) return 100;
    XHANDLE lock = XCreateLockObj(key_arg(argv[1]));
    if (lock == nullptr) return 101;
    uint32_t timeout = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 0)) : 0;
    // The load may have left the settings file's failed open in the record.
    XSetLastError(0, 0, 0);
    int32_t r = XLockObj(lock, timeout);
    std::printf("%d %X\n", r, XGetLastError(nullptr));
    if (r == 1) XUnlockObj(lock);
    XDestroyLockObj(lock);
    return 0;
}

// lockdie KEY: take the lock and die by SIGKILL while holding it.
ZAX_HELPER(lockdie) {
    if (argc < 2) return 100;
    XHANDLE lock = XCreateLockObj(key_arg(argv[1]));
    if (lock == nullptr || XLockObj(lock, X_INFINITE) != 1) return 101;
    std::fflush(stdout);
    kill(getpid(), SIGKILL);
    return 102;
}

// lockcount KEY PATH N: N times, under the lock, add 1 to the number in the
// 4-byte file PATH (which several processes share).
ZAX_HELPER(lockcount) {
    if (argc < 4) return 100;
    XHANDLE lock = XCreateLockObj(key_arg(argv[1]));
    if (lock == nullptr) return 101;
    int n = std::atoi(argv[3]);
    for (int i = 0; i < n; ++i) {
        if (XLockObj(lock, X_INFINITE) != 1) return 102;
        FILE *f = std::fopen(argv[2], "r+b");
        if (f == nullptr) return 103;
        uint32_t v = 0;
        if (std::fread(&v, 4, 1, f) != 1) v = 0;
        ++v;
        std::rewind(f);
        std::fwrite(&v, 4, 1, f);
        std::fclose(f);
        if (XUnlockObj(lock) != 1) return 104;
    }
    XDestroyLockObj(lock);
    return 0;
}

// lockwhere KEY: make the lock object of KEY and print the path of the lock
// file that the process mapped for it (where the library put its objects).
ZAX_HELPER(lockwhere) {
    if (argc < 2) return 100;
    XHANDLE lock = XCreateLockObj(key_arg(argv[1]));
    if (lock == nullptr) {
        std::printf("error %X\n", XGetLastError(nullptr));
        return 1;
    }
    char want[32];
    std::snprintf(want, sizeof want, "/ZAXLOCK%08X.lck", uint32_t(key_arg(argv[1])));
    FILE *maps = std::fopen("/proc/self/maps", "r");
    char line[4096];
    while (maps != nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
        // A file the process built and linked into place is mapped under
        // its temporary name: print the directory and the object's name.
        const char *path = std::strchr(line, '/');
        const char *name = path != nullptr ? std::strstr(path, want) : nullptr;
        if (name != nullptr) {
            std::printf("%.*s%s\n", int(name - path), path, want);
            break;
        }
    }
    if (maps != nullptr) std::fclose(maps);
    XDestroyLockObj(lock);
    return 0;
}
