// Helper commands for the vector table.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "helper.h"
#include "zaxxlib.h"

// vcycle PREFIX N: register, look up and remove N entries PREFIX0..; prints
// the number of failures.
ZAX_HELPER(vcycle) {
    if (argc < 3) return 2;
    int n = std::atoi(argv[2]), failures = 0;
    for (int i = 0; i < n; ++i) {
        std::string name = std::string(argv[1]) + std::to_string(i % 100);
        uint32_t v[2] = {0, 0};
        if (!XSetVectorTable(name.c_str(), uint32_t(i + 1), 7)) ++failures;
        if (XGetVectorTableEx(name.c_str(), v) != uint32_t(i + 1) || v[1] != 7) ++failures;
        if (!XResetVectorTable(name.c_str())) ++failures;
    }
    std::printf("%d\n", failures);
    return failures == 0 ? 0 : 1;
}

// vget NAME: print the first value of NAME, or the error code.
ZAX_HELPER(vget) {
    if (argc < 2) return 2;
    uint32_t v = XGetVectorTable(argv[1]);
    if (v == 0) {
        std::printf("error %X\n", XGetLastError(nullptr));
        return 1;
    }
    std::printf("%u\n", v);
    return 0;
}
