// Helper commands of the diagnostics tests.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "helper.h"
#include "zaxxlib.h"

// diag_console <format>: one high trace line (format with 42) through the
// default debug console, whose standard error goes to standard output here;
// then prints "result <n>".
ZAX_HELPER(diag_console) {
    if (argc < 2) return 2;
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    if (r == nullptr) return 3;
    dup2(1, 2);
    int32_t res = XTraceH(r, "HELPER", argv[1], 42);
    std::printf("result %d\n", res);
    return XTermDebug(r) == 1 ? 0 : 4;
}
