// Lists: global-list round trips in one process; a producer and a consumer
// in two processes moving 64-byte and 4 KiB elements through a global list
// and through a POSIX message queue; a local list against a std::deque under
// a std::mutex; the global allocator on a fragmented 1 MiB region.
//
// Both sides of the two-process runs block when there is nothing to do: the
// list's consumer waits on an event that the producer posts when it adds to
// an empty list, and the producer of a full list waits on one that the
// consumer posts when the list has drained to half; the message queue blocks in
// mq_send and mq_receive. A second form of the list exchange posts only to a
// side that said in shared memory that it sleeps, and a side with nothing to
// do looks at the list for a while before it says so. Each benchmark
// iteration moves a batch of messages and waits until the consumer has them
// all.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "xlist.h"
#include "zaxxlib.h"

extern char **environ;

namespace {

constexpr int kBatch = 10000;

// The run-time directory and the initiator service the global lists need,
// started on first use and stopped at exit.
class Service {
public:
    static void ensure() {
        static Service s;
        (void)s;
    }

private:
    Service() {
        if (std::getenv("ZAXXLIB_RUNDIR") == nullptr) {
            static char tmpl[] = "/tmp/zaxbench.XXXXXX";
            if (mkdtemp(tmpl) == nullptr) std::abort();
            setenv("ZAXXLIB_RUNDIR", tmpl, 1);
        }
        XInitXlib();  // events
#ifdef ZAX_OMIKINIT_PATH
        const char *rundir = std::getenv("ZAXXLIB_RUNDIR");
        char *argv[] = {const_cast<char *>(ZAX_OMIKINIT_PATH), const_cast<char *>("--foreground"),
                        const_cast<char *>("--rundir"), const_cast<char *>(rundir), nullptr};
        if (posix_spawn(&pid_, ZAX_OMIKINIT_PATH, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        // Ready once the vector table answers.
        for (int i = 0; i < 500; ++i) {
            if (XSetVectorTable("BENCHRDY", 1, 1) == 1) break;
            usleep(10000);
        }
#endif
    }
    ~Service() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid_ = -1;
};

// ---------------------------------------------------------------------------
// One process.

void BM_GlobalListRoundTrip(benchmark::State &state) {
    Service::ensure();
    const uint32_t size = uint32_t(state.range(0));
    XHANDLE list = XCreateGlobalList(1 << 20, 0xB0001, 0);
    if (list == nullptr) return state.SkipWithError("no global list (is omikinit there?)");
    std::vector<char> in(size, 'x'), out(size);
    for (auto _ : state) {
        XAddGlobalList(list, in.data(), size, -1);
        XRemoveGlobalList(list, out.data(), size, 0);
    }
    state.SetItemsProcessed(state.iterations());
    XDestroyGlobalList(list);
}
BENCHMARK(BM_GlobalListRoundTrip)->Arg(64)->Arg(4096);

void BM_LocalListRoundTrip(benchmark::State &state) {
    const uint32_t size = uint32_t(state.range(0));
    XHANDLE list = XCreateList(0, 0, 0);
    std::vector<char> in(size, 'x'), out(size);
    // A few elements stay in the list, as in a queue that is in use.
    for (int i = 0; i < 16; ++i) XAddList(list, in.data(), size, -1);
    for (auto _ : state) {
        XAddList(list, in.data(), size, -1);
        XRemoveList(list, out.data(), size, 0);
    }
    state.SetItemsProcessed(state.iterations());
    XDestroyList(list);
}
BENCHMARK(BM_LocalListRoundTrip)->Arg(64)->Arg(4096);

// The same work with the standard library: copies in and out of a deque of
// byte vectors under a mutex.
void BM_DequeMutexRoundTrip(benchmark::State &state) {
    const size_t size = size_t(state.range(0));
    std::mutex m;
    std::deque<std::vector<char>> q;
    std::vector<char> in(size, 'x'), out(size);
    for (int i = 0; i < 16; ++i) q.emplace_back(in);
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> g(m);
            q.emplace_back(in.begin(), in.end());
        }
        {
            std::lock_guard<std::mutex> g(m);
            std::memcpy(out.data(), q.front().data(), q.front().size());
            q.pop_front();
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DequeMutexRoundTrip)->Arg(64)->Arg(4096);

// ---------------------------------------------------------------------------
// The allocator: a 1 MiB data area fragmented so that half its words are
// free, in holes of hole words between used runs of the same length; the
// only run long enough for the request lies at the end, so every request
// scans the whole bitmap. Holes of 4 words make every bitmap byte mixed (bit
// by bit); holes of 32 words let the scan pass whole groups.
void BM_AllocatorFragmented(benchmark::State &state) {
    const uint64_t hole = uint64_t(state.range(0));
    zax::GlobalGeometry g(1 << 20);
    std::vector<uint8_t> mem(g.region_size, 0);
    auto *r = reinterpret_cast<zax::GlobalRegion *>(mem.data());
    r->h.type = zax::kGlobalType;
    r->h.capacity = 1 << 20;
    r->h.total_words = r->h.free_words = uint32_t(g.words);
    r->h.data_offset = uint32_t(sizeof(zax::GlobalRegion) + g.bitmap_bytes);
    const uint32_t hole_size = uint32_t(4 * hole - 12);  // data bytes of a hole-sized element
    std::vector<void *> elements;
    while (void *e = X_alloc_list(r, hole_size, 0)) {
        static_cast<zax::GlobalElem *>(e)->size = hole_size;
        elements.push_back(e);
    }
    // Free every other element, and the whole tail for a run of 64 words.
    for (size_t i = 0; i < elements.size(); i += 2) X_free_list(r, elements[i]);
    size_t tail = (64 + hole - 1) / hole * 2;
    for (size_t i = elements.size() - tail; i < elements.size(); ++i)
        if (i % 2 == 1) X_free_list(r, elements[i]);
    const uint32_t request = 4 * 48 - 12;  // 48 words: longer than any hole
    for (auto _ : state) {
        void *e = X_alloc_list(r, request, 0);
        if (e == nullptr) return state.SkipWithError("no run found");
        static_cast<zax::GlobalElem *>(e)->size = request;
        X_free_list(r, e);
    }
    state.counters["free_words"] = double(r->h.free_words);
    state.counters["total_words"] = double(r->h.total_words);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AllocatorFragmented)->Arg(4)->Arg(32)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Two processes.

// The consumer reports each finished batch through a pipe.
struct AckPipe {
    int fd[2] = {-1, -1};
    AckPipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) std::abort();
    }
    ~AckPipe() {
        close(fd[0]);
        close(fd[1]);
    }
    void ack() const {
        char c = 1;
        while (write(fd[1], &c, 1) < 0 && errno == EINTR) {
        }
    }
    bool wait() const {
        char c;
        ssize_t n;
        while ((n = read(fd[0], &c, 1)) < 0 && errno == EINTR) {
        }
        return n == 1;
    }
};

// A message whose first byte is 'Q' ends the consumer.
constexpr char kQuit = 'Q';

void BM_TwoProcessGlobalList(benchmark::State &state) {
    Service::ensure();
    const uint32_t size = uint32_t(state.range(0));
    const uint32_t depth = uint32_t(state.range(1));  // elements the list holds at most
    const uint32_t key = 0xB0002 + size + depth;
    const uint32_t capacity = depth * (size + 12);
    const uint32_t data_key = 0xB1000 + size + depth, space_key = 0xB2000 + size + depth;
    XHANDLE list = XCreateGlobalList(capacity, key, 0);
    XHANDLE data_ev = nullptr, space_ev = nullptr;
    if (list == nullptr || !XCreateEvent(&data_ev, data_key) || !XCreateEvent(&space_ev, space_key))
        return state.SkipWithError("no global list or events");
    AckPipe ack;
    pid_t child = fork();
    if (child == 0) {
        XHANDLE l = XCreateGlobalList(capacity, key, 0);
        XHANDLE d = nullptr, s = nullptr;
        XCreateEvent(&d, data_key);
        XCreateEvent(&s, space_key);
        std::vector<char> buf(size);
        int got = 0;
        for (;;) {
            X_lock_list(l);
            int32_t before = XGetGlobalListNum(l);
            int32_t r = XRemoveGlobalList(l, buf.data(), size, 0);
            X_unlock_list(l);
            if (r != 1) {
                XWaitEvent(&d, 1, X_INFINITE);
                continue;
            }
            // A producer waits only on a full list; it is woken once the
            // list has drained to half, so that it comes back with room for
            // a run of adds rather than for one.
            if (before - 1 == int32_t(depth / 2)) XPostEvent(s, 0);
            if (buf[0] == kQuit) break;
            if (++got == kBatch) got = 0, ack.ack();
        }
        XDestroyGlobalList(l);
        _exit(0);
    }
    std::vector<char> msg(size, 'm');
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            for (;;) {
                // The count and the add are one step under the held list lock.
                X_lock_list(list);
                int32_t before = XGetGlobalListNum(list);
                int32_t r = XAddGlobalList(list, msg.data(), size, -1);
                X_unlock_list(list);
                if (r == 1) {
                    if (before == 0) XPostEvent(data_ev, 0);
                    break;
                }
                XWaitEvent(&space_ev, 1, X_INFINITE);
            }
        }
        ack.wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    msg[0] = kQuit;
    while (XAddGlobalList(list, msg.data(), size, -1) != 1) XWaitEvent(&space_ev, 1, 10);
    XPostEvent(data_ev, 0);
    waitpid(child, nullptr, 0);
    XDestroyEvent(data_ev);
    XDestroyEvent(space_ev);
    XDestroyGlobalList(list);
}
BENCHMARK(BM_TwoProcessGlobalList)
    ->Args({64, 10})
    ->Args({64, 1000})
    ->Args({4096, 10})
    ->Args({4096, 1000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same exchange written as a program that minds the cost of a wake-up
// would write it: each side says in a shared word when it is about to sleep
// (XAllocShrMemory, XCompareSwap), and the other posts the event only then:
// the consumer's at the first add, the producer's once the list has drained
// to half (so that it comes back to room for a run of adds). A sleeper sets
// its word first and then looks at the list once more, and a poster looks at
// the word after its change of the list: so no change goes unseen, and while
// both sides run an add or a remove is one list operation and posts nothing.
// A side that finds nothing to do looks again for a while before it sleeps.
struct SleepWords {
    uint32_t consumer;  // 1: the consumer sleeps, or is about to
    uint32_t producer;  // 1: the producer sleeps, or is about to
};

// Looks at the list for a few microseconds first (the other side, running on
// another core, is often about to change it), then sets *word to 1, asks
// ready() once more, and waits on ev only when it still says no. The word is
// cleared by whoever posts, or here.
constexpr int kSpins = 20;
template <class Ready> void sleep_unless(uint32_t *word, XHANDLE ev, Ready ready) {
    for (int i = 0; i < kSpins; ++i) {
        if (ready()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    XCompareSwap(word, 0, 1);
    if (!ready()) XWaitEvent(&ev, 1, X_INFINITE);
    if (__atomic_load_n(word, __ATOMIC_SEQ_CST) == 1) XCompareSwap(word, 1, 0);
}

// Whether the other side said it sleeps; the fence orders this look after
// the change of the list.
bool asleep(uint32_t *word) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return __atomic_load_n(word, __ATOMIC_RELAXED) == 1;
}

// Posts ev for a side that said it sleeps (once: the word is taken back).
void wake(uint32_t *word, XHANDLE ev) {
    if (XCompareSwap(word, 1, 0) == 1) XPostEvent(ev, 0);
}

void BM_TwoProcessGlobalListPostToSleepers(benchmark::State &state) {
    Service::ensure();
    const uint32_t size = uint32_t(state.range(0));
    const int32_t depth = int32_t(state.range(1));
    const uint32_t key = 0xB3002 + size + uint32_t(depth);
    const uint32_t capacity = uint32_t(depth) * (size + 12);
    const uint32_t data_key = 0xB4000 + size + uint32_t(depth);
    const uint32_t space_key = 0xB5000 + size + uint32_t(depth);
    const uint32_t words_key = 0xB6000 + size + uint32_t(depth);
    XHANDLE list = XCreateGlobalList(capacity, key, 0);
    XHANDLE data_ev = nullptr, space_ev = nullptr, seg = nullptr;
    auto *words = static_cast<SleepWords *>(XAllocShrMemory(&seg, sizeof(SleepWords), words_key, 0, 0));
    if (list == nullptr || words == X_FAILED_PTR || !XCreateEvent(&data_ev, data_key) ||
        !XCreateEvent(&space_ev, space_key))
        return state.SkipWithError("no global list, segment or events");
    AckPipe ack;
    pid_t child = fork();
    if (child == 0) {
        XHANDLE l = XCreateGlobalList(capacity, key, 0);
        XHANDLE d = nullptr, sp = nullptr, wseg = nullptr;
        XCreateEvent(&d, data_key);
        XCreateEvent(&sp, space_key);
        auto *w = static_cast<SleepWords *>(XOpenShrMemory(&wseg, words_key));
        std::vector<char> buf(size);
        int got = 0;
        for (;;) {
            while (XRemoveGlobalList(l, buf.data(), size, 0) != 1)
                sleep_unless(&w->consumer, d, [&] { return XGetGlobalListNum(l) > 0; });
            if (asleep(&w->producer) && XGetGlobalListNum(l) <= depth / 2) wake(&w->producer, sp);
            if (buf[0] == kQuit) break;
            if (++got == kBatch) got = 0, ack.ack();
        }
        XCloseShrMemory(w, wseg);
        XDestroyGlobalList(l);
        _exit(0);
    }
    std::vector<char> msg(size, 'm');
    auto send = [&] {
        while (XAddGlobalList(list, msg.data(), size, -1) != 1)
            sleep_unless(&words->producer, space_ev, [&] { return XGetGlobalListNum(list) <= depth / 2; });
        if (asleep(&words->consumer)) wake(&words->consumer, data_ev);
    };
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) send();
        ack.wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    msg[0] = kQuit;
    send();
    waitpid(child, nullptr, 0);
    XDestroyEvent(data_ev);
    XDestroyEvent(space_ev);
    XFreeShrMemory(words, seg);
    XDestroyGlobalList(list);
}
BENCHMARK(BM_TwoProcessGlobalListPostToSleepers)
    ->Args({64, 10})
    ->Args({4096, 10})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The message queue holds as many messages as the system allows an
// unprivileged queue (fs.mqueue.msg_max, 10 by default).
long mq_depth() {
    FILE *f = std::fopen("/proc/sys/fs/mqueue/msg_max", "r");
    long n = 10;
    if (f != nullptr) {
        if (std::fscanf(f, "%ld", &n) != 1) n = 10;
        std::fclose(f);
    }
    return n;
}

void BM_TwoProcessMessageQueue(benchmark::State &state) {
    const size_t size = size_t(state.range(0));
    char name[64];
    std::snprintf(name, sizeof name, "/zaxbench.%d.%zu", int(getpid()), size);
    mq_attr attr{};
    attr.mq_maxmsg = mq_depth();
    attr.mq_msgsize = long(size);
    mqd_t q = mq_open(name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600, &attr);
    if (q == mqd_t(-1)) return state.SkipWithError("mq_open failed");
    mq_unlink(name);  // the two descriptors keep it
    AckPipe ack;
    pid_t child = fork();
    if (child == 0) {
        std::vector<char> buf(size);
        int got = 0;
        for (;;) {
            ssize_t n = mq_receive(q, buf.data(), size, nullptr);
            if (n < 0) {
                if (errno == EINTR) continue;
                _exit(1);
            }
            if (buf[0] == kQuit) break;
            if (++got == kBatch) got = 0, ack.ack();
        }
        _exit(0);
    }
    std::vector<char> msg(size, 'm');
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            while (mq_send(q, msg.data(), size, 0) != 0 && errno == EINTR) {
            }
        ack.wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["depth"] = double(attr.mq_maxmsg);
    msg[0] = kQuit;
    mq_send(q, msg.data(), size, 0);
    waitpid(child, nullptr, 0);
    mq_close(q);
}
BENCHMARK(BM_TwoProcessMessageQueue)->Arg(64)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
