// The Linux layer of processes and threads: exit codes, reaping, kills.
#include <dirent.h>
#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "os/process.h"
#include "os/signal.h"
#include "os/thread.h"
#include "zaxtest.h"

using namespace zaxtest;
using zax::os::kStillActive;

namespace {

bool readable(int fd, int ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

uint32_t code_when_ended(zax::os::Process *p) {
    EXPECT_TRUE(readable(p->fd(), 10000));
    uint32_t code = 0;
    EXPECT_EQ(p->exit_code(&code), 0);
    return code;
}

uint32_t twice(uint32_t a, uint32_t b) { return a * 2 + b; }

std::atomic<int> g_spin_started{0};
uint32_t spin(uint32_t, uint32_t) {
    g_spin_started = 1;
    for (;;) __asm__ volatile("" ::: "memory");
}

void count_end(void *counter) { static_cast<std::atomic<int> *>(counter)->fetch_add(1); }

}  // namespace

TEST(ProcessLayer, ExitCodesAreLookedAtAndReapedOnce) {
    std::string helper = HelperPath();
    const char *argv[] = {helper.c_str(), "sleepms", "200", "7", nullptr};
    zax::os::Process *p = nullptr;
    ASSERT_EQ(zax::os::process_spawn(helper.c_str(), argv, false, &p), 0);
    uint32_t code = 0;
    ASSERT_EQ(p->exit_code(&code), 0);
    EXPECT_EQ(code, kStillActive);
    EXPECT_FALSE(readable(p->fd(), 0));
    EXPECT_EQ(code_when_ended(p), 7u);
    // Looking does not reap: the zombie keeps pid and group until the close.
    EXPECT_FALSE(NoChildren());
    EXPECT_EQ(p->exit_code(&code), 0);
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(readable(p->fd(), 0));  // stays signalled
    EXPECT_EQ(zax::os::process_close(p, true), 0);
    EXPECT_TRUE(NoChildren());
}

TEST(ProcessLayer, DeathBySignalGives128PlusTheSignal) {
    std::string helper = HelperPath();
    const char *argv[] = {helper.c_str(), "sleepms", "60000", nullptr};
    zax::os::Process *p = nullptr;
    ASSERT_EQ(zax::os::process_spawn(helper.c_str(), argv, false, &p), 0);
    ASSERT_EQ(p->kill(false), 0);
    EXPECT_EQ(code_when_ended(p), 128u + SIGKILL);
    EXPECT_EQ(p->kill(false), 0);  // killing an ended process is no error
    EXPECT_EQ(zax::os::process_close(p, true), 0);
    EXPECT_TRUE(NoChildren());
}

TEST(ProcessLayer, MissingProgramLeavesNothingBehind) {
    int fds = CountOpenFds();
    const char *argv[] = {"/nonexistent/program", nullptr};
    zax::os::Process *p = nullptr;
    EXPECT_EQ(zax::os::process_spawn(argv[0], argv, false, &p), ENOENT);
    EXPECT_EQ(p, nullptr);
    const char *argv2[] = {"zax-no-such-program-in-path", nullptr};
    EXPECT_EQ(zax::os::process_spawn(argv2[0], argv2, true, &p), ENOENT);
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_TRUE(NoChildren());
}

TEST(ThreadLayer, ExitCodeHandleAndKill) {
    std::atomic<int> ended{0};
    zax::os::Thread *t = nullptr;
    ASSERT_EQ(zax::os::thread_start(twice, 20, 2, count_end, &ended, &t), 0);
    EXPECT_NE(zax::os::thread_tid(t), 0u);
    ASSERT_TRUE(readable(zax::os::thread_fd(t), 10000));
    EXPECT_EQ(zax::os::thread_exit_code(t), 42u);
    EXPECT_EQ(zax::os::thread_kill(t), 0);  // ended: nothing to do
    EXPECT_EQ(zax::os::thread_close(t), 0);
    while (ended.load() == 0) sched_yield();

    // A thread spinning without system calls is still reached: the signal
    // jumps back to the trampoline.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer holds a signal back until its thread makes a system call: "
                    "a thread that spins without one is never killed";
#endif
    ASSERT_EQ(zax::os::thread_start(spin, 0, 0, count_end, &ended, &t), 0);
    while (g_spin_started.load() == 0) sched_yield();
    EXPECT_EQ(zax::os::thread_exit_code(t), kStillActive);
    EXPECT_FALSE(readable(zax::os::thread_fd(t), 0));
    ASSERT_EQ(zax::os::thread_kill(t), 0);
    ASSERT_TRUE(readable(zax::os::thread_fd(t), 10000));
    EXPECT_EQ(zax::os::thread_exit_code(t), zax::os::kKilledThreadCode);
    EXPECT_TRUE(readable(zax::os::thread_fd(t), 0));  // stays signalled
    // The owner may go first: the thread keeps its own reference.
    EXPECT_EQ(zax::os::thread_close(t), 0);
    while (ended.load() < 2) sched_yield();
}

TEST(ThreadLayer, AKillRightAfterTheStartIsNeverLost) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer holds a signal back until its thread makes a system call: "
                    "a thread that spins without one is never killed";
#endif
    // The kill may come before the thread has reached its entry; it must
    // end the thread all the same.
    std::atomic<int> ended{0};
    for (int i = 0; i < 50; ++i) {
        zax::os::Thread *t = nullptr;
        ASSERT_EQ(zax::os::thread_start(spin, 0, 0, count_end, &ended, &t), 0);
        ASSERT_EQ(zax::os::thread_kill(t), 0);
        ASSERT_TRUE(readable(zax::os::thread_fd(t), 10000)) << "kill " << i << " was lost";
        EXPECT_EQ(zax::os::thread_exit_code(t), zax::os::kKilledThreadCode);
        EXPECT_EQ(zax::os::thread_close(t), 0);
    }
    while (ended.load() < 50) sched_yield();
}

namespace {
uint32_t leave_early(uint32_t code, uint32_t) {
    zax::os::thread_end_current(code);
    return 1;  // not reached
}
}  // namespace

TEST(ThreadLayer, AThreadOfTheLibraryCanEndItselfWithACode) {
    zax::os::thread_end_current(5);  // not a thread of the library: nothing
    std::atomic<int> ended{0};
    zax::os::Thread *t = nullptr;
    ASSERT_EQ(zax::os::thread_start(leave_early, 77, 0, count_end, &ended, &t), 0);
    ASSERT_TRUE(readable(zax::os::thread_fd(t), 10000));
    EXPECT_EQ(zax::os::thread_exit_code(t), 77u);
    EXPECT_EQ(zax::os::thread_close(t), 0);
    while (ended.load() == 0) sched_yield();
}

namespace {
uint32_t abend_with(uint32_t code, uint32_t) {
    static const XEstaeBlock none = {0, 0, [](uint32_t, uint32_t) -> int32_t { return 0; }};
    XInitEstae(&none, 0);
    XAbend(code);
    return 1;  // not reached: the abnormal end comes back to the trampoline
}
}  // namespace

TEST(ThreadLayer, AnAbnormalEndEndsOnlyTheLibraryThreadWithItsCode) {
    std::atomic<int> ended{0};
    zax::os::Thread *t = nullptr;
    ASSERT_EQ(zax::os::thread_start(abend_with, 9, 0, count_end, &ended, &t), 0);
    ASSERT_TRUE(readable(zax::os::thread_fd(t), 10000));
    EXPECT_EQ(zax::os::thread_exit_code(t), 9u);
    EXPECT_EQ(zax::os::thread_close(t), 0);
    // The thread's end work waits, parked, for an ordinary path to run it.
    EXPECT_EQ(ended.load(), 0);
    zax::os::run_parked();
    EXPECT_EQ(ended.load(), 1);
}
