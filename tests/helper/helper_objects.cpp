// A process that holds one named object of every kind, for the tests of the
// zaxx command.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helper.h"
#include "zaxxlib.h"

// objects KEY READY [kill]: with keys KEY+1 to KEY+4 (hexadecimal) make an
// event (a FIFO: made before the large mode), a lock object held by this
// thread, a segment of 64 bytes with tags 0x11 and 0x22, and a global list of
// capacity 1000 and tag 7 holding "alpha" and "beta" (saved to READY.list and
// loaded again, which leaves the list's load record); then enter the large
// event mode (its socket is the pipe), create the file READY and either wait
// to be killed or, with "kill", die at once by SIGKILL, leaving every object
// behind. Prints "failed STEP CODE" and exits 1 when a step fails.
ZAX_HELPER(objects) {
    if (argc < 3) return 2;
    const uint32_t key = uint32_t(std::strtoul(argv[1], nullptr, 16));
    auto failed = [](const char *step) {
        std::printf("failed %s %X\n", step, XGetLastError(nullptr));
        return 1;
    };
    XHANDLE event = nullptr;
    if (!XCreateEvent(&event, key + 1)) return failed("event");
    XHANDLE lock = XCreateLockObj(int32_t(key + 2));
    if (lock == nullptr || XLockObj(lock, X_INFINITE) != 1) return failed("lock");
    XHANDLE segment = nullptr;
    if (XAllocShrMemory(&segment, 64, key + 3, 0x11, 0x22) == X_FAILED_PTR) return failed("segment");
    XHANDLE list = XCreateGlobalList(1000, key + 4, 7);
    if (list == nullptr || !XAddGlobalList(list, "alpha", 5, -1) || !XAddGlobalList(list, "beta", 4, -1))
        return failed("list");
    // A save and a load leave the list as it was, with its load record.
    const std::string saved = std::string(argv[2]) + ".list";
    if (!XSaveGlobalList(list, saved.c_str()) || !XLoadGlobalList(list, saved.c_str())) return failed("load");
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    if (!XInitXlib()) return failed("pipe");
    FILE *ready = std::fopen(argv[2], "w");
    if (ready == nullptr) return 3;
    std::fclose(ready);
    std::fflush(stdout);
    if (argc > 3 && std::strcmp(argv[3], "kill") == 0) raise(SIGKILL);
    for (;;) pause();
}
