// Lock objects and compare-and-swap, across threads and processes.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0x104, kDestroy = 0x105, kLock = 0x106, kUnlock = 0x107,
                   kIsLock = 0x108, kCas = 0x109;

// Runs fn on a thread of its own and waits for it.
template <class F> auto on_other_thread(F fn) {
    decltype(fn()) r{};
    std::thread t([&] { r = fn(); });
    t.join();
    return r;
}

class Lock : public ZaxTest {};

TEST_F(Lock, NullArgumentsAreRefusedWithReasonOne) {
    EXPECT_EQ(XDestroyLockObj(nullptr), 0);
    EXPECT_LAST_ERROR(code(kDestroy, 1), 1, 2);
    EXPECT_EQ(XLockObj(nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kLock, 1), 1, 2);
    EXPECT_EQ(XUnlockObj(nullptr), 0);
    EXPECT_LAST_ERROR(code(kUnlock, 1), 1, 2);
    EXPECT_EQ(XIsLockObj(nullptr), 0);
    EXPECT_LAST_ERROR(code(kIsLock, 1), 1, 2);
    EXPECT_EQ(XCompareSwap(nullptr, 1, 2), 0);
    EXPECT_LAST_ERROR(code(kCas, 1), 1, 2);
    EXPECT_EQ(XGlobalCompareSwap(nullptr, 1, 2), 0);
    EXPECT_LAST_ERROR(code(kCas, 1), 1, 2);
}

TEST_F(Lock, KeyedLockIsAnOpenFileNamedAfterTheKeyAndLeavesNoTemporaries) {
    XHANDLE lock = XCreateLockObj(0x1A);
    ASSERT_NE(lock, nullptr);
    struct stat st;
    ASSERT_EQ(stat(path("ZAXLOCK0000001A.lck").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the default sharing mode, user
    int files = 0;
    for (auto &e : std::filesystem::directory_iterator(rundir_)) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

TEST_F(Lock, UnusableRunDirectoryOrForeignFileFailsCreationWithReasonTwo) {
    // A file of the right name that holds no mutex of this build.
    ASSERT_TRUE(WriteFile(path("ZAXLOCK00000007.lck"), "not a mutex"));
    chmod(path("ZAXLOCK00000007.lck").c_str(), 0600);
    EXPECT_EQ(XCreateLockObj(7), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 2), EPROTO, 2);

    // A directory that cannot be made (its parent is missing).
    setenv("ZAXXLIB_RUNDIR", path("missing/dir").c_str(), 1);
    EXPECT_EQ(XCreateLockObj(8), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 2), ENOENT, 2);
    // A private lock needs no directory.
    XHANDLE lock = XCreateLockObj(-1);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

// Anyone may fill the file system of the run-time directory: creating a lock
// there then fails with ENOSPC; it never kills the caller with SIGBUS.
TEST_F(Lock, AFullRunTimeDirectoryFailsCreationInsteadOfKillingTheCaller) {
    if (!IsRoot()) GTEST_SKIP() << "mounts a small file system: needs root";
    std::string dir = path("full");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    setenv("ZAXXLIB_RUNDIR", dir.c_str(), 1);
    int fd = open((dir + "/filler").c_str(), O_CREAT | O_WRONLY, 0600);
    char page[4096] = {};
    while (write(fd, page, sizeof page) > 0) {
    }
    close(fd);
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 100; ++i) {
            if (XCreateLockObj(0x44000000 + i) == nullptr) {
                XErrorInfo e{};
                _exit(XGetLastError(&e) == code(kCreate, 2) ? int(e.detail) : 101);
            }
        }
        _exit(100);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    umount2(dir.c_str(), MNT_DETACH);
    setenv("ZAXXLIB_RUNDIR", rundir_.c_str(), 1);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), ENOSPC);
}

TEST_F(Lock, SecondLockByTheHolderIsRefusedAndTheFirstHoldStays) {
    for (int32_t key : {-1, 0x2B}) {
        SCOPED_TRACE(key);
        XHANDLE lock = XCreateLockObj(key);
        ASSERT_NE(lock, nullptr);
        EXPECT_EQ(XIsLockObj(lock), 0);
        ASSERT_EQ(XLockObj(lock, X_INFINITE), 1);
        EXPECT_EQ(XIsLockObj(lock), 1);
        EXPECT_EQ(XLockObj(lock, X_INFINITE), 0);
        EXPECT_LAST_ERROR(code(kLock, 10), 0, 2);
        EXPECT_EQ(XIsLockObj(lock), 1);

        // Another thread: a try fails at once, XIsLockObj says reason 4.
        auto other = [&] {
            int32_t r = XLockObj(lock, 0);
            EXPECT_LAST_ERROR(code(kLock, 2), ETIMEDOUT, 1);
            EXPECT_EQ(XIsLockObj(lock), 0);
            EXPECT_LAST_ERROR(code(kIsLock, 4), 0, 2);
            XSetLastError(0, 0, 0);
            EXPECT_EQ(XUnlockObj(lock), 0);
            EXPECT_LAST_ERROR(code(kIsLock, 4), 0, 2);
            return r;
        };
        EXPECT_EQ(on_other_thread(other), 2);

        // One unlock frees it for everybody.
        EXPECT_EQ(XUnlockObj(lock), 1);
        EXPECT_EQ(XIsLockObj(lock), 0);
        auto take_and_give = [&] { return XLockObj(lock, 0) * 10 + XUnlockObj(lock); };
        EXPECT_EQ(on_other_thread(take_and_give), 11);

        // Unlocking a free lock fails and records nothing.
        XSetLastError(0, 0, 0);
        EXPECT_EQ(XUnlockObj(lock), 0);
        EXPECT_LAST_ERROR(0, 0, 0);
        EXPECT_EQ(XDestroyLockObj(lock), 1);
    }
}

TEST_F(Lock, TimedWaitRunsOutWhileHeldAndSucceedsOnceReleased) {
    XHANDLE lock = XCreateLockObj(-1);
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(XLockObj(lock, X_INFINITE), 1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(on_other_thread([&] { return XLockObj(lock, 60); }), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(60));

    std::atomic<int32_t> got{-1};
    std::thread waiter([&] {
        got = XLockObj(lock, 5000);
        XUnlockObj(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(XUnlockObj(lock), 1);
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

TEST_F(Lock, LockOfAThreadThatEndedIsTakenByTheNextWaiter) {
    for (int32_t key : {-1, 0x3C}) {
        SCOPED_TRACE(key);
        XHANDLE lock = XCreateLockObj(key);
        ASSERT_NE(lock, nullptr);
        EXPECT_EQ(on_other_thread([&] { return XLockObj(lock, X_INFINITE); }), 1);
        EXPECT_EQ(XLockObj(lock, 1000), 1);
        EXPECT_EQ(XIsLockObj(lock), 1);
        EXPECT_EQ(XUnlockObj(lock), 1);
        EXPECT_EQ(XLockObj(lock, 0), 1);
        EXPECT_EQ(XUnlockObj(lock), 1);
        EXPECT_EQ(XDestroyLockObj(lock), 1);
    }
}

TEST_F(Lock, RecordsOfOneKeyShareTheMutexButEachHasItsOwner) {
    XHANDLE a = XCreateLockObj(0x44), b = XCreateLockObj(0x44), c = XCreateLockObj(0x45);
    ASSERT_TRUE(a && b && c);
    ASSERT_EQ(XLockObj(a, X_INFINITE), 1);
    EXPECT_EQ(on_other_thread([&] { return XLockObj(b, 0); }), 2);
    EXPECT_EQ(on_other_thread([&] { return XLockObj(c, 0) + XUnlockObj(c); }), 2);
    // The holder of a takes b as well: b's owner field is its own.
    EXPECT_EQ(XIsLockObj(b), 0);
    EXPECT_EQ(XLockObj(b, 0), 1);
    EXPECT_EQ(XUnlockObj(b), 1);
    EXPECT_EQ(XUnlockObj(a), 1);
    // Destroying one record leaves the other working.
    EXPECT_EQ(XDestroyLockObj(a), 1);
    EXPECT_EQ(on_other_thread([&] { return XLockObj(b, 0) + XUnlockObj(b); }), 2);
    EXPECT_EQ(XDestroyLockObj(b), 1);
    EXPECT_EQ(XDestroyLockObj(c), 1);
}

TEST_F(Lock, DestroyingAHeldLockLeavesTheHoldToTheKernel) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a hold that the kernel ends";
#endif
    // The holder's robust list still points at the mutex: the destroy must
    // not free it under the holder, which ends afterwards.
    for (int32_t key : {-1, 0x4D}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(on_other_thread([&] {
                      XHANDLE lock = XCreateLockObj(key);
                      return XLockObj(lock, X_INFINITE) * 10 + XDestroyLockObj(lock);
                  }),
                  11);
    }
    // The keyed one is free again for the next comer.
    XHANDLE lock = XCreateLockObj(0x4D);
    EXPECT_EQ(XLockObj(lock, 1000), 1);
    EXPECT_EQ(XUnlockObj(lock), 1);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

TEST_F(Lock, ManyThreadsCountExactlyUnderOneKey) {
    constexpr int kThreads = 4, kRounds = 2000;
    uint32_t counter = 0;
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            XHANDLE lock = XCreateLockObj(0x55);
            if (lock == nullptr) {
                ++failures;
                return;
            }
            for (int r = 0; r < kRounds; ++r) {
                if (XLockObj(lock, X_INFINITE) != 1) ++failures;
                ++counter;
                if (XUnlockObj(lock) != 1) ++failures;
            }
            XDestroyLockObj(lock);
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, uint32_t(kThreads * kRounds));
}

TEST_F(Lock, ProcessesExcludeEachOtherByKey) {
    XHANDLE lock = XCreateLockObj(0x1A);
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(XLockObj(lock, X_INFINITE), 1);
    EXPECT_EQ(RunHelper({"locktry", "0x1A"}).out, "2 1060002\n");
    EXPECT_EQ(RunHelper({"locktry", "0x1B"}).out, "1 0\n");
    ASSERT_EQ(XUnlockObj(lock), 1);
    EXPECT_EQ(RunHelper({"locktry", "0x1A"}).out, "1 0\n");
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

TEST_F(Lock, ProcessesRacingToCreateAndUseOneKeyCountExactly) {
    std::string file = path("counter");
    ASSERT_TRUE(WriteFile(file, std::string(4, '\0')));
    std::vector<std::thread> ts;
    std::vector<int> rc(4, -1);
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&, i] { rc[i] = RunHelper({"lockcount", "0x66", file, "200"}).exit_code; });
    for (auto &t : ts) t.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rc[i], 0) << i;
    const std::string counter = ReadFile(file);
    ASSERT_GE(counter.size(), 4u);
    uint32_t v = 0;
    std::memcpy(&v, counter.data(), 4);
    EXPECT_EQ(v, 800u);
}

TEST_F(Lock, ProcessKilledWhileHoldingLeavesTheLockToTheNextWaiter) {
    HelperResult r = RunHelper({"lockdie", "0x77"});
    EXPECT_EQ(r.signal, SIGKILL);
    XHANDLE lock = XCreateLockObj(0x77);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(XLockObj(lock, X_INFINITE), 1);
    EXPECT_EQ(XUnlockObj(lock), 1);
    // And the mutex is as good as new for everyone afterwards.
    EXPECT_EQ(RunHelper({"locktry", "0x77"}).out, "1 0\n");
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

// Whether process pid sleeps in a futex wait (the system call it is in).
bool in_futex_wait(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long nr = -1;
    return (in >> nr) && nr == SYS_futex;
}

// Whether process pid ended within ms; its status in *rc.
bool ends_within(int pid, int ms, int *rc) {
    for (int waited = 0; waited < ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            *rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        usleep(10000);
    }
    return false;
}

// A waiter that the kernel chose to wake and that was killed before it ran
// took the wake-up with it, while another process took the free lock and
// gave it back without waking anyone: the waiter left sleeps on a free lock.
// A wait without limit must still end soon after.
TEST_F(Lock, AWakeUpLostWithAKilledWaiterDoesNotStrandTheOtherWaiter) {
    cpu_set_t one, old;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ASSERT_EQ(sched_getaffinity(0, sizeof old, &old), 0);
    if (!CPU_ISSET(0, &old)) GTEST_SKIP() << "CPU 0 is not available to this process";
    struct sched_param fifo = {10}, normal = {0};
    if (sched_setscheduler(0, SCHED_FIFO, &fifo) != 0)
        GTEST_SKIP() << "needs SCHED_FIFO (root): " << std::strerror(errno);
    sched_setscheduler(0, SCHED_OTHER, &normal);

    XHANDLE lock = XCreateLockObj(0x4C57);
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(XLockObj(lock, 0), 1);
    // Everyone on one processor, so that a woken waiter cannot run while
    // this process, at real-time priority, goes on.
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    // The first waiter queues first, and so is the one that a release wakes.
    auto start_waiter = [&] {
        int pid = SpawnHelper({"locktry", "0x4C57", "0xFFFFFFFF"}, out[1]);
        for (int i = 0; pid > 0 && i < 1000 && !in_futex_wait(pid); ++i) usleep(10000);
        return pid;
    };
    int w1 = start_waiter();
    int w2 = start_waiter();
    close(out[1]);
    ASSERT_GT(w1, 0);
    ASSERT_GT(w2, 0);
    ASSERT_TRUE(in_futex_wait(w1) && in_futex_wait(w2));

    ASSERT_EQ(sched_setscheduler(0, SCHED_FIFO, &fifo), 0);
    XUnlockObj(lock);                     // wakes one waiter, which cannot run yet
    int32_t again = XLockObj(lock, 0);    // taken at once, as any process may
    kill(w1, SIGKILL);
    int rc = 0;
    EXPECT_TRUE(ends_within(w1, 10000, &rc));
    if (again == 1) XUnlockObj(lock);     // no waiter is marked: nobody is woken
    sched_setscheduler(0, SCHED_OTHER, &normal);
    sched_setaffinity(0, sizeof old, &old);

    bool w2_ended = ends_within(w2, 10000, &rc);
    EXPECT_TRUE(w2_ended) << "the remaining waiter still sleeps on a free lock";
    if (!w2_ended) {
        kill(w2, SIGKILL);
        waitpid(w2, nullptr, 0);
    }
    char buf[64] = {};
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    close(out[0]);
    if (w2_ended) {
        EXPECT_STREQ(n > 0 ? buf : "", "1 0\n");
    }
    EXPECT_EQ(XDestroyLockObj(lock), 1);
}

TEST_F(Lock, CompareSwapReplacesOnlyTheExpectedValue) {
    uint32_t word = 5;
    EXPECT_EQ(XCompareSwap(&word, 5, 7), 1);
    EXPECT_EQ(word, 7u);
    EXPECT_EQ(XCompareSwap(&word, 5, 7), 0);
    EXPECT_LAST_ERROR(code(kCas, 4), 0, 2);
    EXPECT_EQ(word, 7u);
    EXPECT_EQ(XGlobalCompareSwap(&word, 7, 0xFFFFFFFFu), 1);
    EXPECT_EQ(word, 0xFFFFFFFFu);

    // As a counter under contention: no increment is lost.
    uint32_t counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int n = 0; n < 5000; ++n) {
                uint32_t v;
                do v = __atomic_load_n(&counter, __ATOMIC_RELAXED);
                while (XCompareSwap(&counter, v, v + 1) == 0);
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(counter, 20000u);
}

}  // namespace
