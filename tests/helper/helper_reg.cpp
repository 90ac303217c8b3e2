// Helper commands for the registry: writers that run beside the test process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helper.h"
#include "zaxxlib.h"

namespace {

int fail(const char *what) {
    XErrorInfo e{};
    XGetLastError(&e);
    std::printf("%s failed: code 0x%X detail 0x%X kind %u\n", what, e.code, e.detail, e.kind);
    return 1;
}

}  // namespace

// regwrite PREFIX COUNT: writes PREFIX_i = i for i below COUNT into
// HKCU "Race\Shared", a counter into one of five sub-keys, and "last" =
// PREFIX, each through its own open-write-close. Exit 0 when every write
// succeeded.
ZAX_HELPER(regwrite) {
    if (argc < 3) return 2;
    const char *prefix = argv[1];
    int count = std::atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        char name[64], sub[64];
        std::snprintf(name, sizeof name, "%s_%d", prefix, i);
        std::snprintf(sub, sizeof sub, "Shared\\Sub%d", i % 5);
        if (!XWriteRegIntEx(HKEY_CURRENT_USER, "Race", "Shared", name, i))
            return fail("XWriteRegIntEx");
        if (!XWriteRegIntEx(HKEY_CURRENT_USER, "Race", sub, prefix, i))
            return fail("XWriteRegIntEx sub-key");
        if (XWriteRegStrEx(HKEY_CURRENT_USER, "Race", "Shared", "last", prefix, 64) == 0)
            return fail("XWriteRegStrEx");
    }
    return 0;
}

// regflood: writes v0, v1, ... into HKCU "Flood" (259 bytes each, the letter
// of i repeated) and a sub-key Ki holding n = i, on a held key, until killed.
ZAX_HELPER(regflood) {
    (void)argc;
    (void)argv;
    XHANDLE key = XOpenRegistry(HKEY_CURRENT_USER, "Flood", nullptr, X_REG_ALL);
    if (key == X_FAILED_PTR) return fail("XOpenRegistry");
    char text[260];
    for (int i = 0;; ++i) {
        char name[32], sub[32];
        std::memset(text, 'a' + i % 26, 259);
        text[259] = '\0';
        std::snprintf(name, sizeof name, "v%d", i);
        std::snprintf(sub, sizeof sub, "K%d", i);
        if (XWriteRegStr(key, name, text, 259) != 259) return fail("XWriteRegStr");
        if (!XWriteRegIntEx(HKEY_CURRENT_USER, "Flood", sub, "n", i))
            return fail("XWriteRegIntEx");
    }
}

// regfill: a small tree in HKLM "Fill" for tests that damage the file after.
ZAX_HELPER(regfill) {
    (void)argc;
    (void)argv;
    for (int i = 0; i < 200; ++i) {
        char sub[32];
        std::snprintf(sub, sizeof sub, "Key%d", i);
        if (!XWriteRegIntEx(HKEY_LOCAL_MACHINE, "Fill", sub, "n", i))
            return fail("XWriteRegIntEx");
    }
    return 0;
}
