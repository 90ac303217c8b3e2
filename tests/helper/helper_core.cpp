// Helper commands for the library core.
#include <cstdio>
#include <cstdlib>

#include "helper.h"
#include "zaxxlib.h"

// exit CODE: end with that status.
ZAX_HELPER(exit) { return argc > 1 ? std::atoi(argv[1]) : 0; }

// procinfo: print the pid text of XGetProcInfo.
ZAX_HELPER(procinfo) {
    (void)argc;
    (void)argv;
    XProcInfo p{};
    if (!XGetProcInfo(&p)) return 1;
    std::printf("%s\n", p.pid_text);
    return 0;
}

// getenv GROUP NAME: print the value read through XReadEnvStr.
ZAX_HELPER(getenv) {
    if (argc < 3) return 2;
    char buf[257] = {};
    int32_t n = XReadEnvStr(argv[1], argv[2], nullptr, buf, 256);
    if (n == 0) return 1;
    std::printf("%s\n", buf);
    return 0;
}

// error: record an error, print what the record then reads.
ZAX_HELPER(error) {
    (void)argc;
    (void)argv;
    XSetLastError(0x790002, 5, 1);
    XErrorInfo e{};
    uint32_t code = XGetLastError(&e);
    std::printf("%X %u %u %s\n", code, e.detail, e.kind, e.text);
    return 0;
}
