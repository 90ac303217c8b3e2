// Processes, job processes and threads, and their handles in event waits.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "xtask.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0x32, kTerm = 0x33, kKill = 0x34, kCreateThread = 0x37,
                   kTermThread = 0x38, kKillThread = 0x39, kCreateJob = 0x3a, kTermJob = 0x3b,
                   kKillJob = 0x3c;

// A process that has gone, or that only its zombie is left of, within
// about tries * 10 ms.
bool gone(pid_t pid, int tries = 500) {
    for (int i = 0; i < tries; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return true;
        size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() &&
            (line[close + 2] == 'Z' || line[close + 2] == 'X'))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool module_mapped(const char *path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(path) != std::string::npos) return true;
    return false;
}

class Task : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        helper_ = HelperPath();
    }
    void TearDown() override {
        zax::job_support_release();
        ZaxTest::TearDown();
    }
    // Starts the helper command with its arguments.
    XHANDLE start(std::vector<const char *> args, XHANDLE *ev = nullptr, bool job = false) {
        XHANDLE rec = nullptr;
        int32_t r = job ? XCreateJobProcess(&rec, helper_.c_str(), 0, ev, int32_t(args.size()),
                                            args.data())
                        : XCreateProcess(&rec, helper_.c_str(), ev, int32_t(args.size()),
                                         args.data());
        EXPECT_EQ(r, 1);
        return rec;
    }
    // The grandchild's pid that the jobtree helper writes.
    pid_t grandchild(const std::string &file) {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(file);
            pid_t pid = 0;
            if (in >> pid) return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
    }
    std::string helper_;
};

}  // namespace

TEST_F(Task, TermCollectsOnlyAnEndedProcessAndGivesTheEventBack) {
    XHANDLE mine = nullptr;
    ASSERT_EQ(XCreateEvent(&mine, 0xFFFFFFFF), 1);
    XHANDLE ev = mine;
    XHANDLE rec = start({"sleepms", "300"}, &ev);
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(ev, mine);  // the variable holds the process handle now

    EXPECT_EQ(XTermProcess(rec, 0), 0);
    EXPECT_LAST_ERROR(code(kTerm, 4), 0, 2);
    EXPECT_NE(ev, mine);  // nothing changed

    // The process handle is waitable like an event and ends the wait when
    // the process ends.
    EXPECT_EQ(XWaitEvent(&ev, 1, 10000), 0);
    EXPECT_EQ(XWaitEvent(&ev, 1, 0), 0);  // stays signalled
    EXPECT_EQ(XTermProcess(rec, 0), 1);
    EXPECT_EQ(ev, mine);
    EXPECT_TRUE(NoChildren());
    EXPECT_EQ(XDestroyEvent(mine), 1);

    EXPECT_EQ(XTermProcess(nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kTerm, 1), 1, 2);
}

TEST_F(Task, KillEndsTheProcessReapsItAndPostsTheSavedEvent) {
    XHANDLE mine = nullptr;
    ASSERT_EQ(XCreateEvent(&mine, 0xFFFFFFFF), 1);
    XHANDLE ev = mine;
    XHANDLE rec = start({"sleepms", "60000"}, &ev);
    ASSERT_EQ(XKillProcess(rec), 1);
    EXPECT_EQ(ev, mine);
    EXPECT_TRUE(NoChildren());
    // A thread waiting on the old event is woken by the kill.
    EXPECT_EQ(XWaitEvent(&mine, 1, 0), 0);
    EXPECT_EQ(XDestroyEvent(mine), 1);

    // An ended process is collected the same way. Without a saved event
    // the post still runs and fails on its own, leaving the result alone.
    rec = start({"sleepms", "0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XKillProcess(rec), 1);
    EXPECT_LAST_ERROR(code(0xd, 1), 1, 2);
    EXPECT_TRUE(NoChildren());

    EXPECT_EQ(XKillProcess(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKill, 1), 1, 2);
}

TEST_F(Task, CreateChecksItsArgumentsAndTheCommandLineLimit) {
    XHANDLE rec = nullptr;
    const char *argv[] = {"a"};
    EXPECT_EQ(XCreateProcess(nullptr, helper_.c_str(), nullptr, 1, argv), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 1, 2);
    EXPECT_EQ(XCreateProcess(&rec, nullptr, nullptr, 1, argv), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 2, 2);
    EXPECT_EQ(XCreateProcess(&rec, "", nullptr, 1, argv), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 2, 2);
    std::string p256(256, 'p');
    EXPECT_EQ(XCreateProcess(&rec, p256.c_str(), nullptr, 1, argv), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 2, 2);

    // A program path of 250 characters (a link to the helper).
    std::string prog = path("");
    prog += std::string(250 - prog.size(), 'x');
    ASSERT_EQ(prog.size(), 250u);
    ASSERT_EQ(symlink(helper_.c_str(), prog.c_str()), 0);
    int fds = CountOpenFds();
    const char *nine[] = {"123456789"};
    const char *ten[] = {"1234567890"};
    ASSERT_EQ(XCreateProcess(&rec, prog.c_str(), nullptr, 1, nine), 1);  // 260 characters
    EXPECT_EQ(XKillProcess(rec), 1);
    EXPECT_EQ(XCreateProcess(&rec, prog.c_str(), nullptr, 1, ten), 0);
    EXPECT_LAST_ERROR(code(kCreate, 4), 261, 2);
    EXPECT_EQ(XCreateJobProcess(&rec, prog.c_str(), 0, nullptr, 1, ten), 0);
    EXPECT_LAST_ERROR(code(kCreate, 4), 261, 2);  // job support off: the plain call's codes

    // Arguments without a zero within 260 bytes, or missing.
    std::string a260(260, 'a');
    const char *two[] = {"x", a260.c_str()};
    EXPECT_EQ(XCreateProcess(&rec, helper_.c_str(), nullptr, 2, two), 0);
    EXPECT_LAST_ERROR(code(kCreate, 3), 1, 2);
    const char *holes[] = {"x", nullptr};
    EXPECT_EQ(XCreateProcess(&rec, helper_.c_str(), nullptr, 2, holes), 0);
    EXPECT_LAST_ERROR(code(kCreate, 3), 1, 2);
    EXPECT_EQ(XCreateProcess(&rec, helper_.c_str(), nullptr, 1, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCreate, 3), 0, 2);
    // A count of 0 or less means no arguments at all.
    ASSERT_EQ(XCreateProcess(&rec, helper_.c_str(), nullptr, -5, nullptr), 1);
    EXPECT_EQ(XKillProcess(rec), 1);

    // A program that does not exist: the system's error, nothing left.
    XHANDLE ev = reinterpret_cast<XHANDLE>(0x77);
    EXPECT_EQ(XCreateProcess(&rec, path("missing").c_str(), &ev, 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCreate, 2), ENOENT, 1);
    EXPECT_EQ(ev, reinterpret_cast<XHANDLE>(0x77));
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_TRUE(NoChildren());
}

TEST_F(Task, AKilledJobTakesItsGrandchildrenWithIt) {
    ASSERT_EQ(zax::job_support_setup(), 1);
    std::string file = path("tree");
    XHANDLE ev = nullptr;
    XHANDLE rec = start({"jobtree", file.c_str()}, &ev, true);
    pid_t grand = grandchild(file);
    ASSERT_GT(grand, 0);
    EXPECT_EQ(XTermJobProcess(rec, 0), 0);
    EXPECT_LAST_ERROR(code(kTermJob, 3), 0, 2);
    EXPECT_EQ(XKillJobProcess(rec), 1);
    EXPECT_EQ(ev, nullptr);
    EXPECT_TRUE(gone(grand));
    EXPECT_TRUE(NoChildren());

    // The plain kill ends only the process itself.
    std::string file2 = path("tree2");
    rec = start({"jobtree", file2.c_str()});
    grand = grandchild(file2);
    ASSERT_GT(grand, 0);
    EXPECT_EQ(XKillProcess(rec), 1);
    EXPECT_FALSE(gone(grand, 20));
    kill(grand, SIGKILL);

    // A plain record has no job.
    rec = start({"sleepms", "60000"});
    EXPECT_EQ(XKillJobProcess(rec), 0);
    EXPECT_LAST_ERROR(code(kKillJob, 2), 0, 2);
    EXPECT_EQ(XKillProcess(rec), 1);
    EXPECT_EQ(XKillJobProcess(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKillJob, 1), 1, 2);
}

TEST_F(Task, AJobThatEndedIsCollectedAndJobsStartThroughInitialisation) {
    ASSERT_EQ(XInitXlib(), 1);
    ASSERT_TRUE(zax::job_support_on());
    XHANDLE ev = nullptr;
    XHANDLE rec = start({"sleepms", "50", "3"}, &ev, true);
    EXPECT_EQ(XWaitEvent(&ev, 1, 10000), 0);
    EXPECT_EQ(XTermJobProcess(rec, 0), 1);
    EXPECT_TRUE(NoChildren());
    EXPECT_EQ(XTermJobProcess(nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kTermJob, 1), 1, 2);

    // Support off: the job calls are the plain ones, with their codes.
    EXPECT_EQ(zax::job_support_release(), 1);
    EXPECT_EQ(zax::job_support_release(), 0);
    EXPECT_EQ(XTermJobProcess(nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kTerm, 1), 1, 2);
    EXPECT_EQ(XKillJobProcess(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKill, 1), 1, 2);
    EXPECT_EQ(XCreateJobProcess(&rec, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCreateJob, 1), 2, 2);
    XTermXlib();
}

TEST_F(Task, ThreadRunsOsmainAndEndsTheWait) {
    XHANDLE mod = nullptr;
    ASSERT_EQ(XLoadModule(&mod, ZAX_TEST_MODULE), 1);
    auto open_gate = reinterpret_cast<void (*)()>(XGetEntry(mod, "testmod_open_gate"));
    ASSERT_NE(open_gate, nullptr);

    XHANDLE mine = nullptr;
    ASSERT_EQ(XCreateEvent(&mine, 0xFFFFFFFF), 1);
    XHANDLE ev = mine;
    XHANDLE rec = nullptr;
    ASSERT_EQ(XCreateThread(&rec, ZAX_TEST_MODULE, &ev, 2, 5), 1);  // waits at the gate
    EXPECT_NE(ev, mine);
    EXPECT_EQ(XWaitEvent(&ev, 1, 50), -2);  // still running: the wait times out
    EXPECT_EQ(XTermThread(rec), 0);
    EXPECT_LAST_ERROR(code(kTermThread, 4), 0, 2);
    open_gate();
    EXPECT_EQ(XWaitEvent(&ev, 1, 10000), 0);
    EXPECT_EQ(XTermThread(rec), 1);
    EXPECT_EQ(ev, mine);
    EXPECT_EQ(XDestroyEvent(mine), 1);
    EXPECT_EQ(XUnloadModule(mod), 1);

    EXPECT_EQ(XTermThread(nullptr), 0);
    EXPECT_LAST_ERROR(code(kTermThread, 1), 1, 2);
}

TEST_F(Task, ThreadModulesAreCheckedAndUnloadedOnFailure) {
    XHANDLE rec = nullptr;
    EXPECT_EQ(XCreateThread(nullptr, ZAX_TEST_MODULE, nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kCreateThread, 1), 1, 2);
    EXPECT_EQ(XCreateThread(&rec, "", nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kCreateThread, 1), 2, 2);
    EXPECT_EQ(XCreateThread(&rec, path("missing.so").c_str(), nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(0xdc, 2), ENOENT, 1);  // the load's own error

    ASSERT_FALSE(module_mapped(ZAX_TEST_NOMAIN));
    EXPECT_EQ(XCreateThread(&rec, ZAX_TEST_NOMAIN, nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kCreateThread, 3), 0, 2);
    EXPECT_FALSE(module_mapped(ZAX_TEST_NOMAIN));  // unloaded again
}

TEST_F(Task, KilledThreadsEndAndTheirModuleGoesWithThem) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer holds a signal back until its thread makes a system call: "
                    "a thread that spins without one is never killed";
#endif
    ASSERT_FALSE(module_mapped(ZAX_TEST_MODULE));
    XHANDLE mine = nullptr;
    ASSERT_EQ(XCreateEvent(&mine, 0xFFFFFFFF), 1);
    XHANDLE ev = mine;
    XHANDLE sleeper = nullptr, spinner = nullptr;
    ASSERT_EQ(XCreateThread(&sleeper, ZAX_TEST_MODULE, &ev, 1, 0), 1);
    ASSERT_EQ(XCreateThread(&spinner, ZAX_TEST_MODULE, nullptr, 3, 0), 1);
    XHANDLE watch = ev;  // the sleeper's handle, to see it end
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    EXPECT_EQ(XKillThreadSync(spinner), 1);
    EXPECT_EQ(XKillThread(sleeper), 1);
    EXPECT_EQ(ev, mine);
    EXPECT_EQ(XWaitEvent(&mine, 1, 0), 0);  // the saved event was posted
    // Both threads are gone once the module is: each held it until its end.
    for (int i = 0; i < 500 && module_mapped(ZAX_TEST_MODULE); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(module_mapped(ZAX_TEST_MODULE));
    (void)watch;
    EXPECT_EQ(XDestroyEvent(mine), 1);

    // A thread that has ended is killed without trouble.
    XHANDLE quick = nullptr;
    ASSERT_EQ(XCreateThread(&quick, ZAX_TEST_MODULE, nullptr, 0, 9), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XKillThread(quick), 1);
    EXPECT_LAST_ERROR(code(0xd, 1), 1, 2);  // the post of no saved event

    EXPECT_EQ(XKillThread(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKillThread, 1), 1, 2);
    EXPECT_EQ(XKillThreadSync(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKillThread, 17), 1, 2);
}

TEST_F(Task, IgnoredChildSignalLosesOnlyTheExitCode) {
    // The system reaps children itself then; the handle still tells the end.
    struct sigaction ign{}, old{};
    ign.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGCHLD, &ign, &old), 0);
    XHANDLE ev = nullptr;
    XHANDLE rec = start({"sleepms", "2000", "5"}, &ev);
    EXPECT_EQ(XTermProcess(rec, 0), 0);
    EXPECT_LAST_ERROR(code(kTerm, 4), 0, 2);
    EXPECT_EQ(XWaitEvent(&ev, 1, 10000), 0);
    EXPECT_EQ(XTermProcess(rec, 0), 1);
    rec = start({"sleepms", "60000"});
    EXPECT_EQ(XKillProcess(rec), 1);
    sigaction(SIGCHLD, &old, nullptr);
}

namespace {
XHANDLE g_table_event = nullptr;
// Refused while the test's own probe holds the slot: it tries again.
void wait_on_table_event() {
    while (XWaitEvent(&g_table_event, 1, X_INFINITE) == -1 && XGetLastError(nullptr) == 0xC0005u)
        XSleep(1);
}
}  // namespace

TEST_F(Task, AKilledThreadLeavesNoWaitInTheEventTable) {
    // A thread killed inside a wait leaves that wait's own records behind
    // (nothing on its stack is unwound), so the case runs in a child that
    // ends without the leak check; its status is the first failed step.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
        if (XInitXlib() != 1 || XCreateEvent(&g_table_event, 0x1234) != 1) _exit(1);
        XHANDLE mod = nullptr;
        if (XLoadModule(&mod, ZAX_TEST_MODULE) != 1) _exit(2);
        auto set_callback =
            reinterpret_cast<void (*)(void (*)(void))>(XGetEntry(mod, "testmod_set_callback"));
        if (set_callback == nullptr) _exit(3);
        set_callback(wait_on_table_event);
        XHANDLE rec = nullptr;
        if (XCreateThread(&rec, ZAX_TEST_MODULE, nullptr, 4, 0) != 1) _exit(4);
        // Until the thread is registered as the event's waiter, a look times
        // out; then a second waiter is refused.
        XHANDLE ev = g_table_event;
        int32_t r;
        while ((r = XWaitEvent(&ev, 1, 0)) == -2) XSleep(1);
        if (r != -1) _exit(5);
        if (XKillThreadSync(rec) != 1) _exit(6);
        // The killed thread's wait is gone with it: a new waiter is taken
        // (and times out), and a post reaches it.
        if (XWaitEvent(&ev, 1, 0) != -2) _exit(7);
        if (XPostEvent(ev, 0) != 1 || XWaitEvent(&ev, 1, 1000) != 0) _exit(8);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed";
}
