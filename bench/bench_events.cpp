// Lock objects, events and cross-process posting, each beside its Linux
// anchor in the same run:
//   lock+unlock             vs a plain and a robust recursive shared pthread mutex
//   cross-process hand-over vs the same on a robust shared pthread mutex
//   event round trips       vs eventfd (threads) and a futex in shared memory (processes)
//   XGlobalPostEvent        vs 4-byte messages through a POSIX message queue
//                           into another process, and a bare datagram send
// Runs itself (/proc/self/exe) as the partner process of the large-mode round trip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zaxxlib.h"

extern char **environ;

namespace {

// ---- uncontended lock and unlock -----------------------------------------

void BM_LockUnlock_X(benchmark::State &state) {
    XHANDLE lock = XCreateLockObj(state.range(0) ? 0x7E57 : -1);
    for (auto _ : state) {
        XLockObj(lock, X_INFINITE);
        XUnlockObj(lock);
    }
    XDestroyLockObj(lock);
}
BENCHMARK(BM_LockUnlock_X)->Arg(0)->Arg(1)->ArgName("keyed");

void BM_LockUnlock_PthreadPlain(benchmark::State &state) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
}
BENCHMARK(BM_LockUnlock_PthreadPlain);

void init_robust(pthread_mutex_t *m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

void BM_LockUnlock_PthreadRobustShared(benchmark::State &state) {
    pthread_mutex_t m;
    init_robust(&m);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
}
BENCHMARK(BM_LockUnlock_PthreadRobustShared);

// ---- cross-process hand-over of one lock --------------------------------
// Two processes take turns: each takes the lock, and when the turn word says
// it is its turn, passes the turn on. One iteration = one turn there and back.

struct Shared {
    pthread_mutex_t mutex;
    volatile uint32_t turn;
    volatile uint32_t stop;
    uint32_t futex[2];
};

Shared *map_shared() {
    void *p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    return static_cast<Shared *>(p);
}

template <class Lock, class Unlock>
void take_turns(Shared *s, uint32_t me, Lock lock, Unlock unlock, bool *stopped) {
    for (;;) {
        lock();
        bool mine = s->turn == me;
        if (mine) s->turn = 1 - me;
        bool stop = s->stop;
        unlock();
        if (stop) {
            *stopped = true;
            return;
        }
        if (mine) return;
        sched_yield();  // not our turn: let the other side run
    }
}

void BM_CrossProcessLock_X(benchmark::State &state) {
    Shared *s = map_shared();
    s->turn = 0;
    pid_t child = fork();
    if (child == 0) {
        XHANDLE lock = XCreateLockObj(0x7E58);
        bool stopped = false;
        while (!stopped)
            take_turns(s, 1, [&] { XLockObj(lock, X_INFINITE); }, [&] { XUnlockObj(lock); },
                       &stopped);
        _exit(0);
    }
    XHANDLE lock = XCreateLockObj(0x7E58);
    bool stopped = false;
    for (auto _ : state)
        take_turns(s, 0, [&] { XLockObj(lock, X_INFINITE); }, [&] { XUnlockObj(lock); },
                   &stopped);
    XLockObj(lock, X_INFINITE);
    s->stop = 1;
    XUnlockObj(lock);
    waitpid(child, nullptr, 0);
    XDestroyLockObj(lock);
    munmap(s, sizeof(Shared));
}
BENCHMARK(BM_CrossProcessLock_X)->UseRealTime();

void BM_CrossProcessLock_PthreadRobustShared(benchmark::State &state) {
    Shared *s = map_shared();
    init_robust(&s->mutex);
    s->turn = 0;
    pid_t child = fork();
    auto lock = [&] { pthread_mutex_lock(&s->mutex); };
    auto unlock = [&] { pthread_mutex_unlock(&s->mutex); };
    if (child == 0) {
        bool stopped = false;
        while (!stopped) take_turns(s, 1, lock, unlock, &stopped);
        _exit(0);
    }
    bool stopped = false;
    for (auto _ : state) take_turns(s, 0, lock, unlock, &stopped);
    lock();
    s->stop = 1;
    unlock();
    waitpid(child, nullptr, 0);
    munmap(s, sizeof(Shared));
}
BENCHMARK(BM_CrossProcessLock_PthreadRobustShared)->UseRealTime();

// ---- event round trips between two threads ------------------------------

void event_ping_pong_threads(benchmark::State &state) {
    XHANDLE ping = nullptr, pong = nullptr, stop = nullptr;
    XCreateEvent(&ping, 0xFFFFFFFFu);
    XCreateEvent(&pong, 0xFFFFFFFFu);
    XCreateEvent(&stop, 0xFFFFFFFFu);
    std::thread other([&] {
        XHANDLE set[2] = {stop, ping};
        while (XWaitEvent(set, 2, X_INFINITE) == 1) XPostEvent(pong, 0);
    });
    for (auto _ : state) {
        XPostEvent(ping, 0);
        XWaitEvent(&pong, 1, X_INFINITE);
    }
    XPostEvent(stop, 0);
    other.join();
    XDestroyEvent(ping);
    XDestroyEvent(pong);
    XDestroyEvent(stop);
}

// Before any XInitXlib the process is in the small mode.
void BM_EventRoundTripThreads_Small(benchmark::State &state) { event_ping_pong_threads(state); }
BENCHMARK(BM_EventRoundTripThreads_Small)->UseRealTime();

// The last XTermXlib of the large mode returns the process to its first state.
void BM_EventRoundTripThreads_Large(benchmark::State &state) {
    XWriteEnvInt("ZAXXLIB", "EVENT", "NUMBER", 128);
    XInitXlib();
    event_ping_pong_threads(state);
    XTermXlib();
}
BENCHMARK(BM_EventRoundTripThreads_Large)->UseRealTime();

void BM_EventRoundTripThreads_Eventfd(benchmark::State &state) {
    int ping = eventfd(0, EFD_CLOEXEC), pong = eventfd(0, EFD_CLOEXEC);
    std::thread other([&] {
        uint64_t v;
        for (;;) {
            if (read(ping, &v, 8) != 8 || v > 1) break;
            v = 1;
            (void)!write(pong, &v, 8);
        }
    });
    uint64_t v = 1;
    for (auto _ : state) {
        v = 1;
        (void)!write(ping, &v, 8);
        (void)!read(pong, &v, 8);
    }
    v = 2;
    (void)!write(ping, &v, 8);
    other.join();
    close(ping);
    close(pong);
}
BENCHMARK(BM_EventRoundTripThreads_Eventfd)->UseRealTime();

// ---- event round trips between two processes ----------------------------

constexpr uint32_t kPing = 0x7E5A, kPong = 0x7E5B, kStop = 0x7E5C, kIdle = 0x7E5E;

// The partner process: waits for ping (or stop) and answers with pong, in
// the mode its environment sets. Prints "ready" once its events exist.
int partner_main(uint32_t parent) {
    XInitXlib();
    XHANDLE ping = nullptr, pong = nullptr, stop = nullptr;
    XCreateEvent(&ping, kPing);
    XCreateEvent(&pong, kPong);
    XCreateEvent(&stop, kStop);
    XHANDLE idle = nullptr;  // posted to, never waited on
    XCreateEvent(&idle, kIdle);
    std::printf("ready\n");
    std::fflush(stdout);
    XHANDLE set[2] = {stop, ping};
    while (XWaitEvent(set, 2, X_INFINITE) == 1) XGlobalPostEvent(pong, 0, parent);
    XDestroyEvent(ping);
    XDestroyEvent(pong);
    XDestroyEvent(stop);
    XDestroyEvent(idle);
    XTermXlib();
    return 0;
}

pid_t start_partner(const char *event_number) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    char parent[16];
    std::snprintf(parent, sizeof parent, "%u", unsigned(getpid()));
    char self[] = "/proc/self/exe", mode[] = "--partner";
    char *argv[] = {self, mode, parent, nullptr};
    setenv("ZAXXLIB_EVENT_NUMBER", event_number, 1);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, self, &fa, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[8] = {};
    (void)!read(fds[0], buf, 6);  // "ready\n"
    close(fds[0]);
    return pid;
}

void event_ping_pong_processes(benchmark::State &state, const char *event_number) {
    XHANDLE ping = nullptr, pong = nullptr, stop = nullptr;
    XCreateEvent(&ping, kPing);
    XCreateEvent(&pong, kPong);
    XCreateEvent(&stop, kStop);
    pid_t child = start_partner(event_number);
    if (child <= 0) {
        state.SkipWithError("no partner process");
        return;
    }
    for (auto _ : state) {
        XGlobalPostEvent(ping, 0, uint32_t(child));
        XWaitEvent(&pong, 1, X_INFINITE);
    }
    XGlobalPostEvent(stop, 0, uint32_t(child));
    waitpid(child, nullptr, 0);
    XDestroyEvent(ping);
    XDestroyEvent(pong);
    XDestroyEvent(stop);
}

void BM_EventRoundTripProcesses_Small(benchmark::State &state) {
    event_ping_pong_processes(state, "0");
}
BENCHMARK(BM_EventRoundTripProcesses_Small)->UseRealTime();

void BM_EventRoundTripProcesses_Large(benchmark::State &state) {
    XWriteEnvInt("ZAXXLIB", "EVENT", "NUMBER", 128);
    XInitXlib();
    event_ping_pong_processes(state, "128");
    XTermXlib();
}
BENCHMARK(BM_EventRoundTripProcesses_Large)->UseRealTime();

long futex(uint32_t *word, int op, uint32_t value) {
    return syscall(SYS_futex, word, op, value, nullptr, nullptr, 0);
}

// Post = set the word and wake; wait = sleep while the word is 0, then clear.
void futex_post(uint32_t *w) {
    __atomic_store_n(w, 1, __ATOMIC_RELEASE);
    futex(w, FUTEX_WAKE, 1);
}
void futex_wait(uint32_t *w) {
    while (__atomic_exchange_n(w, 0, __ATOMIC_ACQUIRE) == 0) futex(w, FUTEX_WAIT, 0);
}

void BM_EventRoundTripProcesses_Futex(benchmark::State &state) {
    Shared *s = map_shared();
    pid_t child = fork();
    if (child == 0) {
        for (;;) {
            futex_wait(&s->futex[0]);
            if (s->stop) _exit(0);
            futex_post(&s->futex[1]);
        }
    }
    for (auto _ : state) {
        futex_post(&s->futex[0]);
        futex_wait(&s->futex[1]);
    }
    s->stop = 1;
    futex_post(&s->futex[0]);
    waitpid(child, nullptr, 0);
    munmap(s, sizeof(Shared));
}
BENCHMARK(BM_EventRoundTripProcesses_Futex)->UseRealTime();

// ---- posting messages ----------------------------------------------------

void BM_GlobalPostEvent(benchmark::State &state) {
    XWriteEnvInt("ZAXXLIB", "EVENT", "NUMBER", 128);
    XInitXlib();
    XHANDLE ev = nullptr;
    XCreateEvent(&ev, 0x7E5D);
    uint32_t self = uint32_t(getpid());
    for (auto _ : state) benchmark::DoNotOptimize(XGlobalPostEvent(ev, 0, self));
    XDestroyEvent(ev);
    XTermXlib();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GlobalPostEvent)->UseRealTime();

// Posts into the partner process (which has the event, but does not wait on
// it): its server thread reads the posts and latches the event.
void BM_GlobalPostEventToOtherProcess(benchmark::State &state) {
    XWriteEnvInt("ZAXXLIB", "EVENT", "NUMBER", 128);
    XInitXlib();
    XHANDLE ping = nullptr, stop = nullptr;
    XCreateEvent(&ping, kPing);
    XCreateEvent(&stop, kStop);
    pid_t child = start_partner("128");
    if (child <= 0) {
        state.SkipWithError("no partner process");
        return;
    }
    // The partner waits on ping and stop and answers ping with pong: post
    // an event it has but does not wait on.
    XHANDLE idle = nullptr;
    XCreateEvent(&idle, kIdle);
    for (auto _ : state) benchmark::DoNotOptimize(XGlobalPostEvent(idle, 0, uint32_t(child)));
    XGlobalPostEvent(stop, 0, uint32_t(child));
    waitpid(child, nullptr, 0);
    XDestroyEvent(idle);
    XDestroyEvent(ping);
    XDestroyEvent(stop);
    XTermXlib();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GlobalPostEventToOtherProcess)->UseRealTime();

// The anchor: 4-byte messages into another process through a POSIX message
// queue as deep as the system lets an unprivileged queue be
// (fs.mqueue.msg_max, 10 by default); the receiver drains it.
void BM_PostMessageQueueToOtherProcess(benchmark::State &state) {
    char name[64];
    std::snprintf(name, sizeof name, "/zaxbench.post.%d", int(getpid()));
    mq_attr attr{};
    attr.mq_maxmsg = 10;
    if (FILE *f = std::fopen("/proc/sys/fs/mqueue/msg_max", "r")) {
        if (std::fscanf(f, "%ld", &attr.mq_maxmsg) != 1) attr.mq_maxmsg = 10;
        std::fclose(f);
    }
    attr.mq_msgsize = 4;
    mqd_t q = mq_open(name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600, &attr);
    if (q == mqd_t(-1)) return state.SkipWithError("mq_open failed");
    mq_unlink(name);
    pid_t child = fork();
    if (child == 0) {
        uint32_t v = 0;
        while (mq_receive(q, reinterpret_cast<char *>(&v), 4, nullptr) >= 0 || errno == EINTR)
            if (v == 0xFFFFFFFFu) break;
        _exit(0);
    }
    uint32_t key = 1;
    for (auto _ : state) mq_send(q, reinterpret_cast<const char *>(&key), 4, 0);
    key = 0xFFFFFFFFu;
    mq_send(q, reinterpret_cast<const char *>(&key), 4, 0);
    waitpid(child, nullptr, 0);
    mq_close(q);
    state.SetItemsProcessed(state.iterations());
    state.counters["depth"] = double(attr.mq_maxmsg);
}
BENCHMARK(BM_PostMessageQueueToOtherProcess)->UseRealTime();

// The floor of the transport: one send of 4 bytes on a connected Unix
// datagram socket, read in batches by a thread of the same process.
void BM_GlobalPostEvent_BareDatagram(benchmark::State &state) {
    char dir[] = "/tmp/zaxbench.sock.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no directory");
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/s", dir);
    int rfd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bind(rfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    std::thread server([&] {
        uint32_t v[64];
        iovec iov[64];
        mmsghdr m[64] = {};
        for (int i = 0; i < 64; ++i) {
            iov[i] = {&v[i], 4};
            m[i].msg_hdr.msg_iov = &iov[i];
            m[i].msg_hdr.msg_iovlen = 1;
        }
        for (;;) {
            int n = recvmmsg(rfd, m, 64, MSG_WAITFORONE, nullptr);
            if (n > 0 && v[n - 1] == 0xFFFFFFFFu) break;
        }
    });
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    uint32_t key = 1;
    for (auto _ : state) (void)!send(fd, &key, 4, MSG_NOSIGNAL);
    key = 0xFFFFFFFFu;
    (void)!send(fd, &key, 4, MSG_NOSIGNAL);
    server.join();
    close(fd);
    close(rfd);
    unlink(addr.sun_path);
    rmdir(dir);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GlobalPostEvent_BareDatagram)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--partner") == 0)
        return partner_main(uint32_t(std::strtoul(argv[2], nullptr, 10)));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
