// Exit routines and abnormal ends. Faults that could end the process run in
// helper processes; an abend that ends only a thread may run here.
#include <setjmp.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/signal.h"
#include "xdllmain.h"
#include "xerror.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kInit = 0x35, kTerm = 0x36;

int32_t noop_a(uint32_t, uint32_t) { return 0; }
int32_t noop_b(uint32_t, uint32_t) { return 0; }

class Estae : public ZaxTest {
protected:
    // Runs "estae WHAT CODE" and returns what it wrote to standard error.
    std::string run(const std::string &what, const std::string &code = "0",
                    const std::vector<std::string> &env = {}) {
        std::string file = path("stderr.txt");
        // Ending a thread from its signal handler runs its thread-end work
        // "inside a signal", which the thread sanitizer would report.
        std::vector<std::string> all_env = env;
        all_env.push_back("TSAN_OPTIONS=report_signal_unsafe=0");
        result_ = RunHelper({"estae", file, what, code}, all_env);
        return ReadFile(file);
    }
    HelperResult result_;
};

// Each of marks occurs in text, in this order.
::testing::AssertionResult InOrder(const std::string &text, const std::vector<std::string> &marks) {
    size_t at = 0;
    for (const std::string &m : marks) {
        size_t found = text.find(m, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << m << "\" missing (in order) from:\n" << text;
        at = found + m.size();
    }
    return ::testing::AssertionSuccess();
}

TEST_F(Estae, BadBlocksAreRefusedWithTheirReasons) {
    EXPECT_EQ(XInitEstae(nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kInit, 1), 1, 2);
    XEstaeBlock empty = {0, 0, nullptr};
    EXPECT_EQ(XInitEstae(&empty, 1), 0);
    EXPECT_LAST_ERROR(code(kInit, 2), 0, 2);
    EXPECT_EQ(XTermEstae(nullptr), 0);
    EXPECT_LAST_ERROR(code(kTerm, 1), 1, 2);
    // Nothing was registered by the refused calls.
    EXPECT_EQ(zax::thread_record()->exit_chain, nullptr);
}

TEST_F(Estae, RemovalFindsTheNewestRegistrationOfTheRoutine) {
    XEstaeBlock a = {0, 0, noop_a}, b = {0, 0, noop_b};
    ASSERT_EQ(XInitEstae(&a, 1), 1);
    ASSERT_EQ(XInitEstae(&b, 2), 1);
    ASSERT_EQ(XInitEstae(&a, 3), 1);
    // The blocks' other fields do not matter: the routine identifies them.
    XEstaeBlock a_again = {7, 7, noop_a};
    EXPECT_EQ(XTermEstae(&a_again), 1);
    EXPECT_EQ(XTermEstae(&a), 1);
    EXPECT_EQ(XTermEstae(&a), 0);
    EXPECT_LAST_ERROR(code(kTerm, 2), uint32_t(reinterpret_cast<uintptr_t>(&noop_a)), 2);
    EXPECT_NE(zax::thread_record()->exit_chain, nullptr);
    EXPECT_EQ(XTermEstae(&b), 1);
    EXPECT_EQ(zax::thread_record()->exit_chain, nullptr);
}

TEST_F(Estae, RoutinesAreThreadsOwn) {
    XEstaeBlock a = {0, 0, noop_a};
    ASSERT_EQ(XInitEstae(&a, 1), 1);
    int32_t other = 1;
    std::thread t([&] { other = XTermEstae(&a); });
    t.join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(XTermEstae(&a), 1);
}

TEST_F(Estae, AbendInWorkerEndsOnlyThatThreadWithItsCode) {
    std::string err = run("abend", "5");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"routine B 1 2\n", "routine A 1 1\n", "*** zaxxlib crash report ***",
                              "abnormal end (XAbend), code 5", "backtrace:", "end of crash report",
                              "exit 5\n", "main goes on\n"}));
    EXPECT_EQ(err.find("abend returned"), std::string::npos);
    EXPECT_EQ(err.find("previous"), std::string::npos);  // none was set for SIGABRT
}

TEST_F(Estae, TheLastThreadToEndAbnormallyGivesTheProcessItsCode) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's own background thread keeps a process alive after "
                    "its last thread has ended";
#endif
    // A main thread that ends abnormally leaves what it owned to the exit:
    // no leak report in the sanitizer build.
    const std::vector<std::string> env = {"TSAN_OPTIONS=report_signal_unsafe=0",
                                          "ASAN_OPTIONS=detect_leaks=0"};
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"lastthread", "abend", "12"}, 12},
        {{"lastthread", "segv", "0"}, 139},
        // Codes above 255 keep their low 8 bits, but a failure never reads 0.
        {{"lastthread", "abend", "300"}, 44},
        {{"lastthread", "abend", "512"}, 255},
        // The main thread was not the last: the thread that ends last decides.
        {{"lastthread", "worker", "12"}, 13},
        {{"lastthread", "thread", "12", ZAX_TEST_MODULE}, 13},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        HelperResult r = RunHelper(c.args, env);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, c.status);
    }
}

TEST_F(Estae, TheFatalSignalPathNeitherAllocatesNorFrees) {
    for (const char *what : {"segv", "abend", "nested"}) {
        SCOPED_TRACE(what);
        HelperResult r = RunHelper({"fatalpath", what}, {"TSAN_OPTIONS=report_signal_unsafe=0"});
        if (r.out == "not interposed\n") GTEST_SKIP() << "the sanitizer's runtime owns the allocator";
        EXPECT_EQ(r.out, "clean\n");
        EXPECT_EQ(r.exit_code, 0);
    }
}

TEST_F(Estae, SegfaultRunsRoutinesNewestFirstThenPreviousThenCrashHandler) {
    std::string err = run("segv");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"routine B 1 2\n", "routine A 1 1\n", "previous 11\n",
                              "*** zaxxlib crash report ***", "signal 11 SIGSEGV",
                              "fault address 0x", "backtrace:", "exit 139\n", "main goes on\n"}));
    EXPECT_EQ(err.find("segv returned"), std::string::npos);
}

TEST_F(Estae, ThreadWithoutRoutinesStillPassesPreviousAndCrashHandler) {
    std::string err = run("bare");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"previous 11\n", "crash report", "exit 139\n", "main goes on\n"}));
    EXPECT_EQ(err.find("routine"), std::string::npos);
}

TEST_F(Estae, RoutineThatFaultsEndsTheWalk) {
    std::string err = run("faultwalk", "7");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"routine B 1 3\n", "routine faulting 2\n", "crash report",
                              "exit 7\n", "main goes on\n"}));
    EXPECT_EQ(err.find("routine A"), std::string::npos);
}

TEST_F(Estae, RoutineThatAbendsEndsTheWalk) {
    std::string err = run("abendwalk");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"routine B 1 3\n", "routine abending 2\n", "previous 11\n",
                              "exit 139\n", "main goes on\n"}));
    EXPECT_EQ(err.find("routine A"), std::string::npos);
}

TEST_F(Estae, TrapSentByRaiseIsHandledToo) {
    std::string err = run("trap");
    EXPECT_EQ(result_.exit_code, 0);
    EXPECT_TRUE(InOrder(err, {"routine A 1 4\n", "previous 5\n", "exit 133\n", "main goes on\n"}));
}

}  // namespace

namespace {

TEST_F(Estae, ExitRoutineLockNotHadInTimeRegistersNothing) {
    WriteFile(path("XTORASYS"), "TIME :\nTIMEOUT = 20\n");
    setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    zax::read_load_settings();
    unsetenv("ZAXXLIB_XSYSTEM");
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
        XLockObj(zax::exit_routine_lock(), X_INFINITE);
        std::unique_lock<std::mutex> l(m);
        held = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
        XUnlockObj(zax::exit_routine_lock());
    });
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return held; });
    }
    XEstaeBlock a = {0, 0, noop_a};
    EXPECT_EQ(XInitEstae(&a, 1), 0);
    EXPECT_LAST_ERROR(code(0x106, 2), ETIMEDOUT, 1);  // XLockObj's own code
    EXPECT_EQ(zax::thread_record()->exit_chain, nullptr);
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    holder.join();
    EXPECT_EQ(XInitEstae(&a, 1), 1);
    EXPECT_EQ(XTermEstae(&a), 1);
}

// A thread start of the library's own kind: it keeps a jump buffer and gets
// the exit code through the thread-end hook.
thread_local sigjmp_buf t_start;
thread_local uint32_t t_code;
void jump_to_start(uint32_t code) {
    t_code = code;
    siglongjmp(t_start, 1);
}

TEST_F(Estae, ThreadWithAStartOfItsOwnJumpsBackWithTheCode) {
    uint32_t seen = 0;
    int routine_calls = 0;
    static int *calls;
    calls = &routine_calls;
    static const XEstaeBlock counting = {0, 0, [](uint32_t, uint32_t p) -> int32_t {
                                             *calls += int(p);
                                             return 0;
                                         }};
    std::thread t([&] {
        if (sigsetjmp(t_start, 1) == 0) {
            zax::os::fault_set_thread_end(jump_to_start);
            XInitEstae(&counting, 3);
            XAbend(9);
            seen = 1000;  // not reached
        } else {
            zax::os::fault_set_thread_end(nullptr);
            seen = t_code;
        }
    });
    t.join();
    EXPECT_EQ(seen, 9u);
    EXPECT_EQ(routine_calls, 3);
}

}  // namespace
