// Helper commands for files and memory-mapped files.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

namespace {
// Print the error record's code and detail, exit with the reason.
int report_failure() {
    XErrorInfo e{};
    uint32_t code = XGetLastError(&e);
    std::printf("%X %u\n", code, e.detail);
    return int(code & 0xFFFF);
}
}  // namespace

// lockfile PATH MODE [ro]: open PATH read-write (read-only with "ro") with
// lock MODE (256 wait, 512 no wait); prints "locked" and exits 0, or prints
// the error and exits with its reason.
ZAX_HELPER(lockfile) {
    if (argc < 3) return 100;
    uint32_t access = argc > 3 && std::strcmp(argv[3], "ro") == 0 ? X_OPEN_READ : X_OPEN_READWRITE;
    XFILE f = XOpenFile(argv[1], 0, access | uint32_t(std::atoi(argv[2])));
    if (f == 0) return report_failure();
    std::printf("locked\n");
    XCloseFile(f);
    return 0;
}

// filelockdie PATH: lock PATH and end without closing or unlocking it.
ZAX_HELPER(filelockdie) {
    if (argc < 2) return 100;
    if (XOpenFile(argv[1], 0, X_OPEN_READWRITE | X_OPEN_LOCK_NOWAIT) == 0) return report_failure();
    _exit(0);
}

// mapecho PATH: map PATH shared for writing, print its first 5 bytes and
// write "world" at offset 8, without flushing.
ZAX_HELPER(mapecho) {
    if (argc < 2) return 100;
    XHANDLE h = nullptr;
    auto *view = static_cast<char *>(XOpenMemMapFile(&h, argv[1], X_MAP_READWRITE, X_MAP_SHARED));
    if (view == nullptr) return report_failure();
    std::printf("%.5s\n", view);
    std::memcpy(view + 8, "world", 5);
    return XCloseMemMapFile(h) ? 0 : report_failure();
}

// mapexcl PATH: open PATH exclusively and close it again; 0, or the error.
ZAX_HELPER(mapexcl) {
    if (argc < 2) return 100;
    XHANDLE h = nullptr;
    if (XOpenMemMapFile(&h, argv[1], X_MAP_READ, X_MAP_EXCLUSIVE) == nullptr)
        return report_failure();
    return XCloseMemMapFile(h) ? 0 : report_failure();
}

// mapread PATH [UID]: as user UID when given (group too), map PATH for
// reading and print its first 5 bytes; then try to map it for writing and
// print that error. Exits with 0, or with the reason of a failed read mapping.
ZAX_HELPER(mapread) {
    if (argc < 2) return 100;
    if (argc > 2) {
        auto id = uid_t(std::strtoul(argv[2], nullptr, 0));
        if (setgid(gid_t(id)) != 0 || setuid(id) != 0) return 101;
    }
    XHANDLE h = nullptr;
    auto *view = static_cast<char *>(XOpenMemMapFile(&h, argv[1], X_MAP_READ, X_MAP_SHARED));
    if (view == nullptr) return report_failure();
    std::printf("%.5s\n", view);
    if (!XCloseMemMapFile(h)) return report_failure();
    if (XOpenMemMapFile(&h, argv[1], X_MAP_READWRITE, X_MAP_SHARED) != nullptr) return 102;
    report_failure();
    return 0;
}

// mapexcl_die PATH: open PATH exclusively and end without closing it.
ZAX_HELPER(mapexcl_die) {
    if (argc < 2) return 100;
    XHANDLE h = nullptr;
    if (XOpenMemMapFile(&h, argv[1], X_MAP_READ, X_MAP_EXCLUSIVE) == nullptr)
        return report_failure();
    _exit(0);
}
