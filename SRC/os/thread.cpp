#include "os/thread.h"

#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <memory>
#include <new>

#include "os/own.h"
#include "os/process.h"
#include "os/signal.h"
#include "os/slot.h"
#include "os/sys.h"
#include "os/syscall.h"

namespace zax::os {

class Thread : public Waitable {
public:
    Thread() { sem_init(&started, 0, 0); }
    ~Thread() override { sem_destroy(&started); }
    int fd() const override { return efd.get(); }
    bool try_take() override { return true; }

    ThreadEntry entry;
    uint32_t arg1, arg2;
    void (*at_end)(void *);
    void *context;
    Fd efd;  // readable once the thread has ended
    pthread_t handle{};
    std::atomic<uint32_t> tid{0};
    sem_t started;  // posted once tid is known
    std::atomic<uint32_t> code{kStillActive};
    // Set while the entry runs: a kill signal jumps only then.
    std::atomic<bool> armed{false};
    // Set by a killer before it signals: a kill that comes before the entry
    // was armed is seen when it is.
    std::atomic<bool> kill_requested{false};
    uint32_t leave_code = 0;  // the code of thread_end_current
    std::atomic<int> refs{2};  // the owner's and the thread's own
    // Held by a killer while it sends the signal, and by the thread while it
    // leaves the running state: the signal thus never reaches a thread that
    // has gone (pthread_kill on it would be undefined).
    std::mutex state;
    bool running = true;  // under state
    sigjmp_buf jump;
};

namespace {

// The library's signal for killing threads: one of the real-time signals
// that glibc leaves to programs, far from the first ones that programs
// usually take.
int kill_signal() { return SIGRTMIN + 7; }

thread_local Thread *t_self = nullptr;

void on_kill(int) {
    Thread *t = t_self;
    // A stray signal (another thread, or after the entry returned) is ignored.
    if (t == nullptr || !t->armed.load(std::memory_order_acquire)) return;
    t->armed.store(false, std::memory_order_release);
    siglongjmp(t->jump, 1);
}

int install_handler() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        struct sigaction sa{};
        sa.sa_handler = on_kill;
        sigfillset(&sa.sa_mask);
        sa.sa_flags = SA_ONSTACK;
        if (sigaction(kill_signal(), &sa, nullptr) != 0) result = errno;
    });
    return result;
}

void release(Thread *t) {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete t;
    }
}

// Counting the program's threads as they end.
std::atomic<int> g_service_threads{0};
std::atomic_flag g_end_lock = ATOMIC_FLAG_INIT;
// Threads that found themselves not last and went on to end: the next
// thread to end waits until they are gone before it counts.
constexpr int kEndingSlots = 32;
std::atomic<uint32_t> g_ending[kEndingSlots];

// The main thread's state letter and the number of threads, from
// /proc/self/stat (fields 3 and 20), with plain system calls only. A main
// thread that has ended is a zombie that still counts.
bool read_process_stat(char *leader_state, long *threads) {
    Fd fd(sys::retry([] { return ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC); }));
    if (!fd) return false;
    char buf[1024];
    ssize_t n = sys::retry([&] { return ::read(fd.get(), buf, sizeof buf - 1); });
    if (n <= 0) return false;
    buf[n] = '\0';
    // The command name (field 2) may hold anything: fields follow its last ')'.
    char *p = nullptr;
    for (char *q = buf; *q != '\0'; ++q)
        if (*q == ')') p = q;
    if (p == nullptr || p[1] != ' ' || p[2] == '\0') return false;
    *leader_state = p[2];
    int field = 3;
    for (p += 2; *p != '\0' && field < 20; ++p)
        if (*p == ' ') ++field;
    if (field != 20) return false;
    *threads = std::strtol(p, nullptr, 10);
    return *threads > 0;
}

bool leader_gone() {
    char state = 0;
    long threads = 0;
    return read_process_stat(&state, &threads) && (state == 'Z' || state == 'X');
}

bool task_gone(uint32_t pid, uint32_t tid) {
    if (tid == pid) return leader_gone();
    return syscall(SYS_tgkill, pid, tid, 0) != 0 && errno == ESRCH;
}

void release_parked(void *t) { release(static_cast<Thread *>(t)); }

void *trampoline(void *arg) {
    auto *t = static_cast<Thread *>(arg);
    t_self = t;
    t->tid.store(thread_id(), std::memory_order_release);
    sem_post(&t->started);
    sigset_t kill_set;
    sigemptyset(&kill_set);
    sigaddset(&kill_set, kill_signal());
    pthread_sigmask(SIG_UNBLOCK, &kill_set, nullptr);
    // A fault that the abnormal-end handling ends this thread for comes
    // back here with its code, as a kill does.
    fault_set_thread_end(thread_end_current);

    uint32_t code;
    // The jump lands here with the signal mask of this moment restored: 1
    // from a kill, 2 from thread_end_current.
    int jumped = sigsetjmp(t->jump, 1);
    if (jumped == 0) {
        t->armed.store(true, std::memory_order_seq_cst);
        code = t->kill_requested.load(std::memory_order_seq_cst) ? kKilledThreadCode
                                                                 : t->entry(t->arg1, t->arg2);
        t->armed.store(false, std::memory_order_release);
    } else {
        code = jumped == 2 ? t->leave_code : kKilledThreadCode;
    }
    // Ended by the fatal-signal path, maybe inside the allocator or the loader:
    // what frees memory or unloads code runs later, on an ordinary path
    // (parked before the code is published, so that a caller who sees the
    // code and then runs the parked work finds it there).
    const bool abnormal = ending_abnormally();
    if (abnormal) {
        // The thread's record too, so that whoever sees the code can release
        // all of it.
        slot_end_now();
        if (t->at_end != nullptr) park(t->at_end, t->context);
    }
    {
        std::lock_guard<std::mutex> g(t->state);
        t->running = false;
    }
    t->code.store(code, std::memory_order_release);
    uint64_t one = 1;
    (void)sys::retry([&] { return ::write(t->efd.get(), &one, sizeof one); });
    fault_set_thread_end(nullptr);
    t_self = nullptr;
    if (abnormal) {
        park(release_parked, t);  // the last use of t here
    } else {
        if (t->at_end != nullptr) t->at_end(t->context);
        release(t);
    }
    thread_ending(code);
    return nullptr;
}

}  // namespace

int thread_start(ThreadEntry entry, uint32_t arg1, uint32_t arg2, void (*at_end)(void *),
                 void *context, Thread **out) {
    if (int err = install_handler()) return err;
    std::unique_ptr<Thread> t(new (std::nothrow) Thread);
    if (t == nullptr) return ENOMEM;
    t->entry = entry;
    t->arg1 = arg1;
    t->arg2 = arg2;
    t->at_end = at_end;
    t->context = context;
    t->efd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!t->efd) return errno;
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) err = pthread_create(&t->handle, &attr, trampoline, t.get());
    pthread_attr_destroy(&attr);
    if (err != 0) return err;
    // The caller learns the thread's identifier at once.
    (void)sys::retry([&] { return sem_wait(&t->started); });
    *out = t.release();
    return 0;
}

int thread_fd(const Thread *t) { return t->efd.get(); }

Waitable *thread_waitable(Thread *t) { return t; }

uint32_t thread_tid(const Thread *t) { return t->tid.load(std::memory_order_acquire); }

uint32_t thread_exit_code(const Thread *t) { return t->code.load(std::memory_order_acquire); }

int thread_kill(Thread *t) {
    std::lock_guard<std::mutex> g(t->state);
    if (!t->running) return 0;
    t->kill_requested.store(true, std::memory_order_seq_cst);
    return pthread_kill(t->handle, kill_signal());
}

void thread_end_current(uint32_t code) {
    Thread *t = t_self;
    if (t == nullptr || !t->armed.load(std::memory_order_acquire)) return;
    t->armed.store(false, std::memory_order_release);
    t->leave_code = code;
    siglongjmp(t->jump, 2);
}

int thread_close(Thread *t) {
    release(t);
    return 0;
}

int exit_status_of(uint32_t code) {
    if (code != 0 && (code & 0xFF) == 0) return 255;
    return int(code & 0xFF);
}

void service_threads_add(int delta) { g_service_threads.fetch_add(delta); }

void thread_ending(uint32_t code) {
    int saved = errno;
    while (g_end_lock.test_and_set(std::memory_order_acquire)) sched_yield();
    const uint32_t pid = uint32_t(getpid());
    const uint32_t self = thread_id();
    // Those that went before must be gone, or two threads that end together
    // would each count the other. A thread that takes long to go (its own
    // clean-up blocks) is given up after about a second.
    for (auto &slot : g_ending) {
        uint32_t tid = slot.load(std::memory_order_relaxed);
        if (tid == 0) continue;
        for (int i = 0; i < 1000 && !task_gone(pid, tid); ++i) {
            struct timespec ms = {0, 1000000};
            nanosleep(&ms, nullptr);
        }
        if (task_gone(pid, tid)) slot.store(0, std::memory_order_relaxed);
    }
    char leader_state = 0;
    long threads = 0;
    if (read_process_stat(&leader_state, &threads)) {
        long live = threads - g_service_threads.load();
        if (self != pid && (leader_state == 'Z' || leader_state == 'X')) --live;
        // The lock stays taken: a thread that ends meanwhile waits for the exit.
        if (live <= 1) exit(exit_status_of(code));
    }
    for (auto &slot : g_ending) {
        uint32_t none = 0;
        if (slot.compare_exchange_strong(none, self, std::memory_order_relaxed)) break;
    }
    g_end_lock.clear(std::memory_order_release);
    errno = saved;
}

}  // namespace zax::os
