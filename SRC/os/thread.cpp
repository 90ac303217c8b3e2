#include "os/thread.h"

#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

#include "os/process.h"
#include "os/signal.h"
#include "os/sys.h"

namespace zax::os {

class Thread : public Waitable {
public:
    int fd() const override { return efd; }
    bool try_take() override { return true; }

    ThreadEntry entry;
    uint32_t arg1, arg2;
    void (*at_end)(void *);
    void *context;
    int efd = -1;
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
        sem_destroy(&t->started);
        close(t->efd);
        delete t;
    }
}

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
    {
        std::lock_guard<std::mutex> g(t->state);
        t->running = false;
    }
    t->code.store(code, std::memory_order_release);
    uint64_t one = 1;
    while (write(t->efd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    fault_set_thread_end(nullptr);
    t_self = nullptr;
    if (t->at_end != nullptr) t->at_end(t->context);
    release(t);
    return nullptr;
}

}  // namespace

int thread_start(ThreadEntry entry, uint32_t arg1, uint32_t arg2, void (*at_end)(void *),
                 void *context, Thread **out) {
    if (int err = install_handler()) return err;
    auto *t = new (std::nothrow) Thread;
    if (t == nullptr) return ENOMEM;
    t->entry = entry;
    t->arg1 = arg1;
    t->arg2 = arg2;
    t->at_end = at_end;
    t->context = context;
    t->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (t->efd < 0) {
        int err = errno;
        delete t;
        return err;
    }
    sem_init(&t->started, 0, 0);
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) err = pthread_create(&t->handle, &attr, trampoline, t);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        sem_destroy(&t->started);
        close(t->efd);
        delete t;
        return err;
    }
    // The caller learns the thread's identifier at once.
    while (sem_wait(&t->started) != 0 && errno == EINTR) {
    }
    *out = t;
    return 0;
}

int thread_fd(const Thread *t) { return t->efd; }

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

}  // namespace zax::os
