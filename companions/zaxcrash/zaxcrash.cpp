// The crash handler companion: a report of the fault on standard error, with
// the failing thread, the signal, the faulting address and a backtrace. It
// runs inside a signal handler, so it formats by hand and writes with write().
#include "zaxcrash.h"

#include <execinfo.h>
#include <signal.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int kFrames = 64;

// backtrace() loads the unwinder on its first call; do that now, at load,
// and never inside the handler.
__attribute__((constructor)) void warm_up() {
    void *frames[2];
    backtrace(frames, 2);
}

// A line under construction, in static-free stack memory.
struct Line {
    char text[256];
    size_t len = 0;
    void add(const char *s) {
        while (*s != '\0' && len < sizeof text - 1) text[len++] = *s++;
    }
    void dec(unsigned long v) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = char('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0 && len < sizeof text - 1) text[len++] = digits[--n];
    }
    void hex(unsigned long v) {
        add("0x");
        char digits[20];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 15];
            v >>= 4;
        } while (v != 0);
        while (n > 0 && len < sizeof text - 1) text[len++] = digits[--n];
    }
    void put() {
        text[len++] = '\n';
        ssize_t done = 0;
        while (done < ssize_t(len)) {
            ssize_t w = write(STDERR_FILENO, text + done, len - size_t(done));
            if (w <= 0) break;
            done += w;
        }
        len = 0;
    }
};

const char *signal_name(int signo) {
    switch (signo) {
    case SIGSEGV: return "SIGSEGV (invalid memory reference)";
    case SIGBUS: return "SIGBUS (bus error)";
    case SIGILL: return "SIGILL (illegal instruction)";
    case SIGFPE: return "SIGFPE (arithmetic error)";
    case SIGTRAP: return "SIGTRAP (trap)";
    case SIGSYS: return "SIGSYS (bad system call)";
    case SIGABRT: return "SIGABRT (abnormal end)";
    default: return "signal";
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZaxCrashHandler(const ZaxCrashInfo *info) {
    if (info == nullptr) return;
    Line l;
    l.add("*** zaxxlib crash report ***");
    l.put();
    l.add("process ");
    l.dec((unsigned long)getpid());
    l.add(", thread ");
    l.dec(info->tid);
    l.put();
    if (info->abend) {
        l.add("abnormal end (XAbend), code ");
        l.dec(info->code);
        l.add(" (");
        l.hex(info->code);
        l.add(")");
    } else {
        l.add("signal ");
        l.dec((unsigned long)info->signo);
        l.add(" ");
        l.add(signal_name(info->signo));
        l.add(", exception code ");
        l.dec(info->code);
    }
    l.put();
    if (!info->abend && info->siginfo != nullptr) {
        const siginfo_t *si = static_cast<const siginfo_t *>(info->siginfo);
        l.add("si_code ");
        l.dec((unsigned long)(long)si->si_code);
        l.add(", fault address ");
        l.hex((unsigned long)si->si_addr);
        l.put();
    }
#if defined(__x86_64__)
    if (info->ucontext != nullptr) {
        const ucontext_t *uc = static_cast<const ucontext_t *>(info->ucontext);
        l.add("instruction at ");
        l.hex((unsigned long)uc->uc_mcontext.gregs[REG_RIP]);
        l.add(", stack at ");
        l.hex((unsigned long)uc->uc_mcontext.gregs[REG_RSP]);
        l.put();
    }
#elif defined(__i386__)
    if (info->ucontext != nullptr) {
        const ucontext_t *uc = static_cast<const ucontext_t *>(info->ucontext);
        l.add("instruction at ");
        l.hex((unsigned long)uc->uc_mcontext.gregs[REG_EIP]);
        l.put();
    }
#endif
    l.add("backtrace:");
    l.put();
    void *frames[kFrames];
    int n = backtrace(frames, kFrames);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    l.add("*** end of crash report ***");
    l.put();
}
