// Helper commands for the process and job tests.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <cstdlib>
#include <ctime>

#include "helper.h"

namespace {
[[noreturn]] void sleep_for_ever() {
    for (;;) pause();
}
}  // namespace

// sleepms MS [CODE]: sleep, then end with CODE (default 0).
ZAX_HELPER(sleepms) {
    if (argc < 2) return 2;
    long ms = std::atol(argv[1]);
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return argc > 2 ? std::atoi(argv[2]) : 0;
}

// jobtree FILE: start a grandchild that sleeps for ever, write its pid to
// FILE, then sleep for ever too.
ZAX_HELPER(jobtree) {
    if (argc < 2) return 2;
    pid_t child = fork();
    if (child < 0) return 3;
    if (child == 0) sleep_for_ever();
    std::string tmp = std::string(argv[1]) + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) return 4;
    std::fprintf(f, "%d\n", int(child));
    std::fclose(f);
    std::rename(tmp.c_str(), argv[1]);  // the reader sees the whole pid or nothing
    sleep_for_ever();
}
