// The clock's time zone against the environment: the helper program's tzset
// forwards to the C library's and, while a "tzenv" run watches, counts the
// calls during which the environment changed (TZ, or the array moved).
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "helper.h"
#include "zaxxlib.h"

extern char **environ;

namespace {
std::atomic<bool> g_watching{false};
std::atomic<int> g_overlaps{0};

std::string tz_now() {
    const char *tz = std::getenv("TZ");
    return tz != nullptr ? tz : "";
}
}  // namespace

extern "C" void tzset() {
    static auto real = reinterpret_cast<void (*)()>(dlsym(RTLD_NEXT, "tzset"));
    if (!g_watching) return real();
    char **array = environ;
    std::string tz = tz_now();
    usleep(200);  // a reading as slow as a zone file's
    real();
    if (environ != array || tz_now() != tz) ++g_overlaps;
}

// tzenv: one thread reads the clock for as long as another changes TZ and
// grows the environment (which moves its array); prints the clock readings
// that failed and the tzset calls during which the environment changed:
// "0 0".
ZAX_HELPER(tzenv) {
    (void)argc;
    (void)argv;
    g_watching = true;
    std::atomic<bool> done{false};
    std::thread writer([&done] {
        for (int i = 0; i < 300; ++i) {
            XWriteEnvStr("TZ", nullptr, nullptr, i % 2 ? "UTC" : "IST-5:30", i % 2 ? 3 : 8);
            std::string name = "ZAXTEST" + std::to_string(i);
            XWriteEnvStr(name.c_str(), nullptr, nullptr, "x", 1);
            usleep(50);
        }
        done = true;
    });
    int failed = 0;
    while (!done) {
        XClock k{};
        failed += XGetTime(&k) != 1;
    }
    writer.join();
    g_watching = false;
    std::printf("%d %d\n", failed, g_overlaps.load());
    return 0;
}
