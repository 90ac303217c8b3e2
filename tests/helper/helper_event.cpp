// Helper commands for events and cross-process posting. Commands that run in
// the large event mode get ZAXXLIB_EVENT_NUMBER from the test.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

static uint32_t num(const char *s) { return uint32_t(std::strtoul(s, nullptr, 0)); }

// Runs fn with the event of key in the initialised library, then destroys the
// event and ends the library; 101 when the event cannot be made.
template <class Fn>
static int with_event(const char *key, Fn fn) {
    XInitXlib();
    XHANDLE ev = nullptr;
    if (!XCreateEvent(&ev, num(key))) return 101;
    fn(ev);
    XDestroyEvent(ev);
    XTermXlib();
    return 0;
}

// evpost KEY: post the event of KEY once; prints the result.
ZAX_HELPER(evpost) {
    if (argc < 2) return 100;
    return with_event(argv[1], [](XHANDLE &ev) { std::printf("%d\n", XPostEvent(ev, 0)); });
}

// evwait KEY TIMEOUT: print "ready PID", wait for the event of KEY, print the
// result of the wait.
ZAX_HELPER(evwait) {
    if (argc < 3) return 100;
    return with_event(argv[1], [&](XHANDLE &ev) {
        std::printf("ready %u\n", unsigned(getpid()));
        std::fflush(stdout);
        std::printf("%d\n", XWaitEvent(&ev, 1, num(argv[2])));
    });
}

// gpost PID KEY: post the event of KEY into process PID; prints the result
// and the error code.
ZAX_HELPER(gpost) {
    if (argc < 3) return 100;
    return with_event(argv[2], [&](XHANDLE &ev) {
        int32_t r = XGlobalPostEvent(ev, 0, num(argv[1]));
        std::printf("%d %X\n", r, r ? 0u : XGetLastError(nullptr));
    });
}

// initexit: initialise and end without terminating (leaves the socket file
// of a process that has ended).
ZAX_HELPER(initexit) {
    (void)argc;
    (void)argv;
    XInitXlib();
    _exit(0);
}

// connectdie PATH: send the event socket PATH part of a message (one byte)
// and die by SIGKILL.
ZAX_HELPER(connectdie) {
    if (argc < 2) return 100;
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, argv[1], sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 101;
    (void)!write(fd, "\x01", 1);  // part of a message only
    kill(getpid(), SIGKILL);
    return 102;
}

// evwait_nofd KEY: like evwait, but the process can open no descriptor for
// 200 ms after "ready" (its pipe-server thread's accepts fail meanwhile);
// then waits up to 5 s and prints the result.
ZAX_HELPER(evwait_nofd) {
    if (argc < 2) return 100;
    return with_event(argv[1], [&](XHANDLE &ev) {
        struct rlimit old;
        getrlimit(RLIMIT_NOFILE, &old);
        int lowest = dup(0);  // every descriptor below this one is in use
        close(lowest);
        struct rlimit none = old;
        none.rlim_cur = rlim_t(lowest);
        setrlimit(RLIMIT_NOFILE, &none);
        std::printf("ready %u\n", unsigned(getpid()));
        std::fflush(stdout);
        XSleep(200);
        int probe = dup(0);  // still refused here, as the server's accepts were
        setrlimit(RLIMIT_NOFILE, &old);
        std::printf("%s %d\n", probe < 0 ? "refused" : "allowed", XWaitEvent(&ev, 1, 5000));
    });
}
