#include "os/signal.h"

#include <dlfcn.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/companion.h"
#include "os/own.h"
#include "os/thread.h"

namespace zax::os {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};
constexpr int kSignalCount = int(sizeof kSignals / sizeof kSignals[0]);
constexpr const char *kCrashLibrary = ZAX_COMPANION_FILE("zaxcrash");
constexpr const char *kCrashEntry = "ZaxCrashHandler";

pthread_mutex_t g_install_lock = PTHREAD_MUTEX_INITIALIZER;
FaultFilter g_filter = nullptr;
bool g_installed = false;
struct sigaction g_previous[kSignalCount];
struct sigaction g_previous_abort;  // consulted for abends; never replaced
void *g_crash = nullptr;  // the crash handler companion's entry

// Per-thread state read inside the handler: initial-exec so that touching it
// there never allocates.
#define ZAX_TLS __thread __attribute__((tls_model("initial-exec")))
ZAX_TLS ThreadEnd t_end = nullptr;
ZAX_TLS sigjmp_buf *t_guard = nullptr;
ZAX_TLS int t_depth = 0;       // filters running on this thread
ZAX_TLS bool t_ending_abnormally = false;
ZAX_TLS void *t_stack = nullptr;  // the alternate stack made here, if any
ZAX_TLS size_t t_stack_size = 0;

pthread_once_t g_stack_key_once = PTHREAD_ONCE_INIT;
pthread_key_t g_stack_key;
bool g_have_stack_key = false;

size_t stack_bytes() {
    long min = sysconf(_SC_MINSIGSTKSZ);
    size_t size = 128 * 1024;
    if (min > 0) size += size_t(min);
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    return (size + size_t(page) - 1) / size_t(page) * size_t(page);
}

// Runs on the ending thread, on its own stack again: switch the alternate
// stack off before unmapping it. If the kernel refuses (the thread is still
// on it) the memory is left alone rather than pulled from under it.
void free_stack(void *) {
    if (t_stack == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (sigaltstack(&off, nullptr) != 0) return;
    long page = sysconf(_SC_PAGESIZE);
    munmap(static_cast<char *>(t_stack) - page, t_stack_size + size_t(page));
    t_stack = nullptr;
}

void make_stack_key() { g_have_stack_key = pthread_key_create(&g_stack_key, free_stack) == 0; }

uint32_t gettid_now() { return uint32_t(syscall(SYS_gettid)); }

// Ending a thread through pthread_exit unwinds it, and glibc loads the
// unwinder on first use. Loading inside a signal handler can deadlock (the
// fault may have hit the loader or the allocator), so one throwaway thread
// ends that way here, at installation.
void *end_at_once(void *) {
    pthread_exit(nullptr);
    return nullptr;
}
void preload_unwinder() {
    pthread_t t;
    if (pthread_create(&t, nullptr, end_at_once, nullptr) == 0) pthread_join(t, nullptr);
}

// The crash handler companion, found where every companion is.
void load_crash_handler() {
    CompanionFailure why;
    g_crash = companion_entry(kCrashLibrary, nullptr, kCrashEntry, &why);
}

void unblock(int signo) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Hand the fault to the system: the default action, delivered again to this
// thread. A plain return would not do for SIGTRAP (the trap does not repeat)
// nor for a signal that kill sent.
void pass_on(int signo) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, nullptr);
    unblock(signo);
    syscall(SYS_tgkill, getpid(), gettid_now(), signo);
}

// Work parked by the fatal-signal path: free (0), being filled (1), ready (2)
// or being run (3).
struct Parked {
    int state;
    void (*release)(void *);
    void *arg;
};
constexpr int kParkedSlots = 128;
Parked g_parked[kParkedSlots];
int g_parked_count = 0;

[[noreturn]] void end_thread(uint32_t code) {
    mark_ending_abnormally();
    if (ThreadEnd end = t_end) end(code);
    // The last thread takes the process with it, with its code.
    thread_ending(code);
    pthread_exit(reinterpret_cast<void *>(uintptr_t(code)));
}

// The common path of signals and abends. Returns when the fault was handed
// to the system (and the process did not end at once).
void run_filter(const Fault &fault) {
    if (t_depth > 0) {
        // A fault inside the filter itself, outside the guarded walk (the
        // previous handler or the crash handler faulted): the process ends.
        pass_on(fault.signo);
        return;
    }
    ++t_depth;
    bool end = g_filter(fault);
    --t_depth;
    if (end) end_thread(fault.code);
    pass_on(fault.signo);
}

void on_fault(int signo, siginfo_t *si, void *uc) {
    int saved = errno;
    if (sigjmp_buf *guard = t_guard) {
        // An exit routine faulted: back to the walk, which stops there.
        t_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    Fault fault{signo, 128u + uint32_t(signo), false, si, uc};
    run_filter(fault);
    errno = saved;
}

int signal_index(int signo) {
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == signo) return i;
    return -1;
}

}  // namespace

void library_pin() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&library_pin), &info) == 0 || info.dli_fname == nullptr) return;
    // A second reference that is never given back; RTLD_NODELETE makes even
    // the program's last dlclose leave the library in place.
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

int fault_altstack() {
    if (t_stack != nullptr) return 0;
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0) return errno;
    // The program's own alternate stack (or a sanitizer's) is kept.
    if ((current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= 16384) return 0;
    pthread_once(&g_stack_key_once, make_stack_key);
    if (!g_have_stack_key) return EAGAIN;
    size_t size = stack_bytes();
    long page = sysconf(_SC_PAGESIZE);
    // One guard page below, so that overrunning the stack faults instead of
    // writing over whatever lies there.
    Map stack;
    if (int err = Map::anonymous(size + size_t(page), &stack)) return err;
    char *base = static_cast<char *>(stack.get());
    mprotect(base, size_t(page), PROT_NONE);
    stack_t ss{};
    ss.ss_sp = base + page;
    ss.ss_size = size;
    if (sigaltstack(&ss, nullptr) != 0) return errno;
    (void)stack.release();  // unmapped when the thread ends (free_stack)
    t_stack = ss.ss_sp;
    t_stack_size = size;
    pthread_setspecific(g_stack_key, t_stack);
    return 0;
}

int fault_install(FaultFilter filter) {
    Locked hold(g_install_lock);
    if (__atomic_load_n(&g_installed, __ATOMIC_ACQUIRE)) return 0;
    preload_unwinder();
    load_crash_handler();
    library_pin();
    (void)fault_altstack();
    // Touch the handler's per-thread state once on this thread.
    t_guard = nullptr;
    t_depth = 0;
    g_filter = filter;
    struct sigaction sa {};
    sa.sa_sigaction = on_fault;
    // SA_NODEFER: a routine that faults during the walk must reach the
    // handler again (a blocked synchronous fault kills the process).
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    int err = 0;
    int done = 0;
    for (; done < kSignalCount; ++done) {
        if (sigaction(kSignals[done], &sa, &g_previous[done]) != 0) {
            err = errno;
            break;
        }
    }
    if (err != 0) {
        for (int i = 0; i < done; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
    } else {
        sigaction(SIGABRT, nullptr, &g_previous_abort);
        __atomic_store_n(&g_installed, true, __ATOMIC_RELEASE);
    }
    return err;
}

bool fault_installed() { return __atomic_load_n(&g_installed, __ATOMIC_ACQUIRE); }

void fault_call_previous(const Fault &fault) {
    const struct sigaction *prev = nullptr;
    if (fault.abend) {
        prev = &g_previous_abort;
    } else {
        int i = signal_index(fault.signo);
        if (i < 0) return;
        prev = &g_previous[i];
    }
    if (prev->sa_flags & SA_SIGINFO) {
        if (prev->sa_sigaction != nullptr)
            prev->sa_sigaction(fault.signo, static_cast<siginfo_t *>(fault.siginfo), fault.ucontext);
        return;
    }
    if (prev->sa_handler == SIG_DFL || prev->sa_handler == SIG_IGN) return;
    prev->sa_handler(fault.signo);
}

void *fault_crash_entry() { return g_crash; }

bool fault_guarded(void (*fn)(void *), void *arg) {
    sigjmp_buf guard;
    sigjmp_buf *volatile outer = t_guard;
    if (sigsetjmp(guard, 1) != 0) {
        t_guard = outer;
        return false;
    }
    t_guard = &guard;
    fn(arg);
    t_guard = outer;
    return true;
}

void fault_abend(uint32_t code) {
    if (sigjmp_buf *guard = t_guard) {
        // An exit routine ended itself abnormally: the walk stops there.
        t_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Handlers of the program expect a siginfo; make the one that
    // abort() would have given.
    siginfo_t si{};
    si.si_signo = SIGABRT;
    si.si_code = SI_TKILL;
    si.si_pid = getpid();
    si.si_uid = getuid();
    Fault fault{SIGABRT, code, true, &si, nullptr};
    if (!fault_installed()) {
        // Nobody handles it: the system ends the process.
        pass_on(SIGABRT);
        return;
    }
    run_filter(fault);
}

void fault_set_thread_end(ThreadEnd end) { t_end = end; }

bool fault_in_walk() { return t_guard != nullptr; }

void park(void (*release)(void *), void *arg) {
    for (Parked &p : g_parked) {
        int free_slot = 0;
        if (!__atomic_compare_exchange_n(&p.state, &free_slot, 1, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED))
            continue;
        p.release = release;
        p.arg = arg;
        __atomic_store_n(&p.state, 2, __ATOMIC_RELEASE);
        __atomic_add_fetch(&g_parked_count, 1, __ATOMIC_RELEASE);
        return;
    }
}

void run_parked() {
    if (__atomic_load_n(&g_parked_count, __ATOMIC_ACQUIRE) == 0) return;
    for (Parked &p : g_parked) {
        int ready = 2;
        if (!__atomic_compare_exchange_n(&p.state, &ready, 3, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED))
            continue;
        p.release(p.arg);
        __atomic_sub_fetch(&g_parked_count, 1, __ATOMIC_RELEASE);
        __atomic_store_n(&p.state, 0, __ATOMIC_RELEASE);
    }
}

void mark_ending_abnormally() { t_ending_abnormally = true; }

bool ending_abnormally() { return t_ending_abnormally; }

}  // namespace zax::os
