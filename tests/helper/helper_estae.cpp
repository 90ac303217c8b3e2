// Helper commands for exit routines and abnormal ends. Every mark goes to
// standard error with write(), from inside signal handlers as well, so that
// one stream shows the order of routines, previous handler and crash report;
// the test points standard error at a file with "errto PATH" first.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

namespace {

// A store into a page that allows no access: a real SIGSEGV, which the
// sanitizers do not catch before the hardware does.
void fault_now() {
    static volatile int *page = nullptr;
    if (page == nullptr)
        page = static_cast<volatile int *>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    *page = 1;
}

void mark(const char *text) {
    ssize_t r = write(STDERR_FILENO, text, std::strlen(text));
    (void)r;
}

void mark_number(const char *what, unsigned long n) {
    char line[64];
    std::snprintf(line, sizeof line, "%s %lu\n", what, n);
    mark(line);
}

int32_t routine_a(uint32_t reason, uint32_t parameter) {
    char line[64];
    std::snprintf(line, sizeof line, "routine A %u %u\n", reason, parameter);
    mark(line);
    return 0;
}

int32_t routine_b(uint32_t reason, uint32_t parameter) {
    char line[64];
    std::snprintf(line, sizeof line, "routine B %u %u\n", reason, parameter);
    mark(line);
    return 0;
}

// Faults inside the walk.
int32_t routine_faulting(uint32_t, uint32_t parameter) {
    mark_number("routine faulting", parameter);
    fault_now();
    return 0;
}

// Ends itself abnormally inside the walk.
int32_t routine_abending(uint32_t, uint32_t parameter) {
    mark_number("routine abending", parameter);
    XAbend(99);
    return 0;
}

const XEstaeBlock block_a = {0, 0, routine_a};
const XEstaeBlock block_b = {0, 0, routine_b};
const XEstaeBlock block_faulting = {0, 0, routine_faulting};
const XEstaeBlock block_abending = {0, 0, routine_abending};

void previous_handler(int signo, siginfo_t *, void *) { mark_number("previous", (unsigned long)signo); }

void install_previous(int signo) {
    struct sigaction sa {};
    sa.sa_sigaction = previous_handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
}

// What a worker thread does, by name.
struct Plan {
    const char *what;
    uint32_t code;
};

void *worker(void *arg) {
    const Plan *plan = static_cast<const Plan *>(arg);
    const char *w = plan->what;
    if (std::strcmp(w, "abend") == 0) {
        XInitEstae(&block_a, 1);
        XInitEstae(&block_b, 2);
        XAbend(plan->code);
        mark("abend returned\n");
    } else if (std::strcmp(w, "segv") == 0) {
        XInitEstae(&block_a, 1);
        XInitEstae(&block_b, 2);
        fault_now();
        mark("segv returned\n");
    } else if (std::strcmp(w, "bare") == 0) {
        fault_now();
    } else if (std::strcmp(w, "faultwalk") == 0) {
        XInitEstae(&block_a, 1);
        XInitEstae(&block_faulting, 2);
        XInitEstae(&block_b, 3);
        XAbend(plan->code);
    } else if (std::strcmp(w, "abendwalk") == 0) {
        XInitEstae(&block_a, 1);
        XInitEstae(&block_abending, 2);
        XInitEstae(&block_b, 3);
        fault_now();
    } else if (std::strcmp(w, "trap") == 0) {
        XInitEstae(&block_a, 4);
        raise(SIGTRAP);
    }
    return reinterpret_cast<void *>(uintptr_t(1000));
}

bool main_thread_ended() {
    char buf[1024] = {};
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    const char *p = std::strrchr(buf, ')');
    return p != nullptr && p[1] == ' ' && p[2] == 'Z';
}

// Waits for the main thread to end, then ends abnormally with its code.
void *abend_after_main(void *arg) {
    while (!main_thread_ended()) usleep(1000);
    XAbend(uint32_t(uintptr_t(arg)));
    return nullptr;
}

}  // namespace

// lastthread WHAT CODE [MODULE]: the main thread, with an exit routine,
// ends abnormally (termination mode 1): "abend" by XAbend(CODE), "segv" by a
// fault. "worker": a thread of the program's outlives it and then abends with
// CODE + 1. "thread": a thread that XCreateThread started from MODULE
// outlives it and returns CODE + 1. The process's exit status tells.
ZAX_HELPER(lastthread) {
    if (argc < 3) return 100;
    uint32_t code = uint32_t(std::strtoul(argv[2], nullptr, 0));
    // A previous handler of the program's own, so that a sanitizer's (which
    // would end the process with its report) is not the one called.
    install_previous(SIGSEGV);
    if (XInitEstae(&block_a, 1) != 1) return 101;
    if (std::strcmp(argv[1], "worker") == 0) {
        pthread_t t;
        if (pthread_create(&t, nullptr, abend_after_main, reinterpret_cast<void *>(uintptr_t(code + 1))) != 0)
            return 102;
    } else if (std::strcmp(argv[1], "thread") == 0) {
        XHANDLE rec = nullptr;
        if (argc < 4 || XCreateThread(&rec, argv[3], nullptr, 5, code + 1) != 1) return 103;
    }
    if (std::strcmp(argv[1], "segv") == 0) fault_now();
    XAbend(code);
    return 104;  // not reached
}

// estae ERRFILE WHAT [CODE]: standard error into ERRFILE; then: a worker thread does WHAT (abend, segv, bare, faultwalk,
// abendwalk, trap) after the main thread installed a previous handler for
// SIGSEGV and SIGTRAP and the library's filter (by registering and removing
// a routine); the main thread marks the worker's exit code and goes on.
ZAX_HELPER(estae) {
    if (argc < 3) return 100;
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) return 101;
    close(fd);
    install_previous(SIGSEGV);
    install_previous(SIGTRAP);
    if (XInitEstae(&block_a, 0) != 1 || XTermEstae(&block_a) != 1) return 102;
    Plan plan{argv[2], argc > 3 ? uint32_t(std::strtoul(argv[3], nullptr, 0)) : 0};
    pthread_t t;
    if (pthread_create(&t, nullptr, worker, &plan) != 0) return 103;
    void *result = nullptr;
    pthread_join(t, &result);
    mark_number("exit", (unsigned long)(uintptr_t)result);
    mark("main goes on\n");
    return 0;
}
