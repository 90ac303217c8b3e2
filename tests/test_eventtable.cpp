// The large event mode (the event table), cross-process posting through each
// process's event socket, and initialisation and termination.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "os/event.h"
#include "os/pipe.h"
#include "os/sys.h"
#include "xevent.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0xa, kWait = 0xc, kGlobal = 0x10;

std::string socket_of(const std::string &dir, uint32_t pid) {
    char name[32];
    std::snprintf(name, sizeof name, "/.zaxfifo%08x", pid);
    return dir + name;
}

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// A helper that runs while the test goes on: its first output line is read
// at once ("ready PID"), the rest when it ends.
class Child {
public:
    explicit Child(const std::vector<std::string> &args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = SpawnHelper(args, fds[1]);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~Child() { finish(); }
    std::string line() {
        char buf[256] = {};
        if (out_ == nullptr || std::fgets(buf, sizeof buf, out_) == nullptr) return "";
        return buf;
    }
    pid_t pid() const { return pid_; }
    // The pid that the helper's first line "ready PID" gives, or 0 (a test
    // failure) when the line is anything else.
    uint32_t ready() {
        std::string l = line();
        if (l.rfind("ready ", 0) == 0) return uint32_t(std::stoul(l.substr(6)));
        ADD_FAILURE() << "not ready: " << l;
        return 0;
    }
    // Waits for the end; the rest of the output.
    std::string finish() {
        std::string rest;
        if (out_ != nullptr) {
            for (std::string l; !(l = line()).empty();) rest += l;
            std::fclose(out_);
            out_ = nullptr;
        }
        if (pid_ > 0) WaitHelper(pid_);
        pid_ = -1;
        return rest;
    }

private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
};

class EventTable : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
        ASSERT_EQ(XInitXlib(), 1);
        ASSERT_EQ(zax::event_table_size(), 100);
    }
    void TearDown() override {
        XTermXlib();
        EXPECT_EQ(zax::event_table_size(), 0);
        unsetenv("ZAXXLIB_EVENT_NUMBER");
        ZaxTest::TearDown();
    }
    static XHANDLE make(uint32_t key) {
        XHANDLE ev = nullptr;
        EXPECT_EQ(XCreateEvent(&ev, key), 1);
        return ev;
    }
};

TEST_F(EventTable, CreatorsOfOneKeyShareACountedSlot) {
    XHANDLE a = make(7), b = make(7), c = make(0xFFFFFFFF), d = make(0xFFFFFFFF);
    EXPECT_EQ(a, b);
    EXPECT_NE(c, d);
    EXPECT_EQ(XDestroyEvent(a), 1);
    EXPECT_EQ(make(7), a);  // the slot kept its key
    EXPECT_EQ(XDestroyEvent(a), 1);
    EXPECT_EQ(XDestroyEvent(a), 1);
    EXPECT_EQ(make(8), a);  // freed: the first free slot again
    EXPECT_EQ(XDestroyEvent(a), 1);

    // Key 0 cannot be told from a free slot: refused.
    XHANDLE z = nullptr;
    EXPECT_EQ(XCreateEvent(&z, 0), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 2, 2);
    EXPECT_EQ(XDestroyEvent(c), 1);
    EXPECT_EQ(XDestroyEvent(d), 1);
}

TEST_F(EventTable, TheTableHoldsAsManyEventsAsItsSize) {
    std::vector<XHANDLE> evs;
    for (uint32_t k = 1; k <= 100; ++k) evs.push_back(make(k));
    XHANDLE ev = nullptr;
    EXPECT_EQ(XCreateEvent(&ev, 101), 0);
    EXPECT_LAST_ERROR(code(kCreate, 6), 0, 2);
    EXPECT_EQ(XCreateEvent(&ev, 50), 1);  // an existing key still counts up
    EXPECT_EQ(ev, evs[49]);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    for (XHANDLE h : evs) EXPECT_EQ(XDestroyEvent(h), 1);
}

TEST_F(EventTable, PostsLatchAndAWaitTakesTheFirstPostedInCallerOrder) {
    XHANDLE e[2] = {make(1), make(2)};
    EXPECT_EQ(XPostEvent(e[0], 0), 1);
    EXPECT_EQ(XPostEvent(e[0], 0), 1);
    EXPECT_EQ(XWaitEvent(e, 1, X_INFINITE), 0);
    EXPECT_EQ(XWaitEvent(e, 1, 0), -2);

    EXPECT_EQ(XPostEvent(e[1], 0), 1);
    EXPECT_EQ(XWaitEvent(e, 2, X_INFINITE), 1);
    EXPECT_EQ(XWaitEvent(e, 2, 0), -2);  // A was left alone

    // A system object before the table event: positions stay the caller's.
    zax::os::Event *sys = nullptr;
    ASSERT_EQ(zax::os::event_create(&sys), 0);
    zax::WaitRecord sys_handle{};
    zax::wait_handle_open(sys_handle, sys);
    XHANDLE mixed[3] = {&sys_handle, e[0], e[1]};
    EXPECT_EQ(XPostEvent(e[1], 0), 1);
    EXPECT_EQ(XWaitEvent(mixed, 3, 100), 2);
    EXPECT_EQ(XPostEvent(mixed[0], 0), 1);
    EXPECT_EQ(XWaitEvent(mixed, 3, 100), 0);
    std::thread poster([&] {
        XSleep(20);
        XPostEvent(e[0], 0);
    });
    EXPECT_EQ(XWaitEvent(mixed, 3, 5000), 1);
    poster.join();
    (void)zax::os::event_close(sys);

    // More than 63 objects beside the table events: out of range.
    std::vector<zax::os::Event *> many(64);
    std::vector<zax::WaitRecord> handles(64);
    std::vector<XHANDLE> hs{e[0]};
    for (size_t i = 0; i < many.size(); ++i) {
        ASSERT_EQ(zax::os::event_create(&many[i]), 0);
        zax::wait_handle_open(handles[i], many[i]);
        hs.push_back(&handles[i]);
    }
    EXPECT_EQ(XWaitEvent(hs.data(), 64, 0), -2);
    EXPECT_EQ(XWaitEvent(hs.data(), 65, 0), -1);
    EXPECT_LAST_ERROR(code(kWait, 1), 2, 2);
    for (auto *m : many) (void)zax::os::event_close(m);
    for (XHANDLE h : e) EXPECT_EQ(XDestroyEvent(h), 1);
}

// A waiter that arrives while the test's own probe (a wait with time-out 0)
// holds the slot is refused; like a real program, it tries again.
int32_t WaitPastProbes(XHANDLE *events, int32_t count, uint32_t timeout) {
    for (;;) {
        int32_t r = XWaitEvent(events, count, timeout);
        if (r != -1 || XGetLastError(nullptr) != code(kWait, 5)) return r;
        XSleep(1);
    }
}

TEST_F(EventTable, ASecondWaiterOnOneEventIsRefused) {
    XHANDLE e[2] = {make(1), make(2)};
    std::atomic<int32_t> got{-9};
    std::thread waiter([&] { got = WaitPastProbes(&e[1], 1, 5000); });
    // Until the first waiter has registered, a wait with time-out 0 just runs out.
    int32_t r;
    while ((r = XWaitEvent(e, 2, 0)) == -2) XSleep(1);
    EXPECT_EQ(r, -1);
    EXPECT_LAST_ERROR(code(kWait, 5), 1, 2);  // the second table event of the call
    EXPECT_EQ(XPostEvent(e[1], 0), 1);
    waiter.join();
    EXPECT_EQ(got.load(), 0);
    for (XHANDLE h : e) EXPECT_EQ(XDestroyEvent(h), 1);
}

TEST_F(EventTable, ReleasingAKilledThreadsWaitsFreesItsSlots) {
    XHANDLE ev = make(5);
    zax::os::Event *sys = nullptr;
    ASSERT_EQ(zax::os::event_create(&sys), 0);
    zax::WaitRecord sys_handle{};
    zax::wait_handle_open(sys_handle, sys);
    XHANDLE set[2] = {ev, &sys_handle};
    std::atomic<uint32_t> tid{0};
    std::atomic<int32_t> got{-9};
    std::thread waiter([&] {
        tid = zax::os::thread_id();
        got = WaitPastProbes(set, 2, 10000);
    });
    // Wait for the registration (a second waiter is refused then).
    while (XWaitEvent(&ev, 1, 0) == -2) XSleep(1);
    zax::release_thread_waits(tid);
    EXPECT_EQ(make(9), ev);  // the slot is free
    EXPECT_EQ(XPostEvent(set[1], 0), 1);
    waiter.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    (void)zax::os::event_close(sys);
}

TEST_F(EventTable, ThreadsPlayPingPongWithoutLosingAWakeUp) {
    XHANDLE ping = make(1), pong = make(2);
    constexpr int kRounds = 2000;
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (XWaitEvent(&ping, 1, 10000) != 0) ++failures;
            XPostEvent(pong, 0);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        XPostEvent(ping, 0);
        if (XWaitEvent(&pong, 1, 10000) != 0) ++failures;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(XDestroyEvent(ping), 1);
    EXPECT_EQ(XDestroyEvent(pong), 1);
}

TEST_F(EventTable, GlobalPostReachesOwnProcessAndChecksItsArguments) {
    XHANDLE ev = make(0x31), keyless = make(0xFFFFFFFF);
    uint32_t self = zax::os::process_id();
    EXPECT_EQ(XGlobalPostEvent(ev, 0, self), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);

    EXPECT_EQ(XGlobalPostEvent(nullptr, 0, self), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 1), 1, 2);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 1), 3, 2);
    EXPECT_EQ(XGlobalPostEvent(keyless, 0, self), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 2), 0, 2);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, 0x7FFFFFF0), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 4), ENOENT, 2);

    // Another process posts a key we have and one we do not.
    EXPECT_EQ(RunHelper({"gpost", std::to_string(self), "0x31"}).out, "1 0\n");
    EXPECT_EQ(RunHelper({"gpost", std::to_string(self), "0x32"}).out, "1 0\n");
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XWaitEvent(&ev, 1, 50), -2);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    EXPECT_EQ(XDestroyEvent(keyless), 1);
}

TEST_F(EventTable, GlobalPostWakesAWaiterInAnotherProcess) {
    Child child({"evwait", "0x40", "10000"});
    uint32_t pid = child.ready();
    ASSERT_NE(pid, 0u);
    XHANDLE ev = make(0x40);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, pid), 1);
    EXPECT_EQ(child.finish(), "0\n");
    // It has ended and removed its socket: posting fails at once.
    EXPECT_EQ(XGlobalPostEvent(ev, 0, pid), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 4), ENOENT, 2);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(EventTable, DeadSendersAndDeadTargetsLeaveNothingUnusable) {
    uint32_t self = zax::os::process_id();
    // A sender killed half-way through its message.
    HelperResult r = RunHelper({"connectdie", socket_of(rundir_, self)});
    EXPECT_EQ(r.signal, SIGKILL);
    XHANDLE ev = make(0x50);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, self), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);

    // A target that ended without terminating left its socket file behind.
    Child dead({"initexit"});
    uint32_t dead_pid = uint32_t(dead.pid());
    dead.finish();
    ASSERT_TRUE(exists(socket_of(rundir_, dead_pid)));
    EXPECT_EQ(XGlobalPostEvent(ev, 0, dead_pid), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 4), ECONNREFUSED, 2);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(EventTable, ServerRecoversFromFailedAccepts) {
    Child child({"evwait_nofd", "0x45"});
    uint32_t pid = child.ready();
    ASSERT_NE(pid, 0u);
    XHANDLE ev = make(0x45);
    // Queued while the target cannot accept; delivered once it can again.
    EXPECT_EQ(XGlobalPostEvent(ev, 0, pid), 1);
    EXPECT_EQ(child.finish(), "refused 0\n");
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(EventTable, SimultaneousSendersAllSucceed) {
    XHANDLE ev = make(0x60);
    uint32_t self = zax::os::process_id();
    std::atomic<int> ok{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            XHANDLE mine = nullptr;
            XCreateEvent(&mine, 0x60);
            for (int n = 0; n < 100; ++n) ok += XGlobalPostEvent(mine, 0, self);
            XDestroyEvent(mine);
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(ok.load(), 400);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(EventTable, PostsFromOutsideReachWaitersWhateverTheyWaitOn) {
    // Two threads wait at once: one on a table event alone (it sleeps on the
    // event socket too), one on a table event beside a system object.
    XHANDLE mine = make(0x61), theirs = make(0x62);
    zax::os::Latch *latch = nullptr;
    ASSERT_EQ(zax::os::latch_create(&latch), 0);
    zax::WaitRecord latch_handle{};
    zax::wait_handle_open(latch_handle, latch);
    std::atomic<int32_t> other_result{-9};
    std::thread other([&] {
        XHANDLE set[2] = {&latch_handle, theirs};
        other_result = XWaitEvent(set, 2, 10000);
    });
    std::atomic<int32_t> my_result{-9};
    std::thread waiter([&] { my_result = XWaitEvent(&mine, 1, 10000); });
    XSleep(50);  // both asleep
    uint32_t self = zax::os::process_id();
    // A post for the other thread wakes it; this one goes on waiting.
    EXPECT_EQ(RunHelper({"gpost", std::to_string(self), "0x62"}).out, "1 0\n");
    other.join();
    EXPECT_EQ(other_result.load(), 1);
    XSleep(50);
    EXPECT_EQ(my_result.load(), -9);
    EXPECT_EQ(RunHelper({"gpost", std::to_string(self), "0x61"}).out, "1 0\n");
    waiter.join();
    EXPECT_EQ(my_result.load(), 0);
    // A wait with a time limit is not ended early by posts for others, and
    // those stay posted.
    std::thread poster([&] {
        XSleep(30);
        RunHelper({"gpost", std::to_string(self), "0x62"});
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XWaitEvent(&mine, 1, 300), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    poster.join();
    EXPECT_EQ(XWaitEvent(&theirs, 1, 0), 0);
    EXPECT_EQ(XDestroyEvent(mine), 1);
    EXPECT_EQ(XDestroyEvent(theirs), 1);
    delete latch;
}

TEST_F(EventTable, ASenderFindsOutThatItsReceiverIsGone) {
    // A receiver killed without terminating: its socket file stays, nobody
    // reads it, and the sender's kept socket tells so at once.
    Child child({"evwait", "0x70", "20000"});
    uint32_t pid = child.ready();
    ASSERT_NE(pid, 0u);
    XHANDLE other = make(0x71);
    EXPECT_EQ(XGlobalPostEvent(other, 0, pid), 1);  // it has no such event: ignored
    kill(child.pid(), SIGKILL);
    child.finish();
    EXPECT_EQ(XGlobalPostEvent(other, 0, pid), 0);
    EXPECT_LAST_ERROR(code(kGlobal, 4), ECONNREFUSED, 2);

    // This process's own socket, made anew by a new large mode, is found again.
    uint32_t self = zax::os::process_id();
    XHANDLE ev = make(0x72);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, self), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    EXPECT_EQ(XDestroyEvent(other), 1);
    EXPECT_EQ(XTermXlib(), 1);
    ASSERT_EQ(XInitXlib(), 1);
    ev = make(0x72);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, self), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(EventTable, AChildMadeByForkLeavesTheParentsSocketAlone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a multi-threaded fork";
#endif
    XHANDLE parent_ev = make(0x81), child_ev = make(0x82);
    uint32_t parent = zax::os::process_id();
    // The parent has waited on its socket and posted once: its wait set and a
    // kept sending socket exist when it forks.
    EXPECT_EQ(XGlobalPostEvent(parent_ev, 0, parent), 1);
    EXPECT_EQ(XWaitEvent(&parent_ev, 1, 5000), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        // A large mode of its own, then a post back to the parent.
        XTermXlib();
        if (XInitXlib() != 1) _exit(2);
        XHANDLE mine = nullptr;
        if (XCreateEvent(&mine, 0x82) != 1) _exit(3);
        if (write(ready[1], "r", 1) != 1) _exit(4);
        if (XWaitEvent(&mine, 1, 10000) != 0) _exit(5);
        XHANDLE back = nullptr;
        if (XCreateEvent(&back, 0x81) != 1 || XGlobalPostEvent(back, 0, parent) != 1) _exit(6);
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(XGlobalPostEvent(child_ev, 0, uint32_t(child)), 1);
    EXPECT_EQ(XWaitEvent(&parent_ev, 1, 10000), 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The child is gone, and with it nothing of the parent's.
    EXPECT_TRUE(exists(socket_of(rundir_, parent)));
    EXPECT_EQ(XGlobalPostEvent(parent_ev, 0, parent), 1);
    EXPECT_EQ(XWaitEvent(&parent_ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(parent_ev), 1);
    EXPECT_EQ(XDestroyEvent(child_ev), 1);
}

class SharedEvent : public ZaxTest {};

TEST_F(SharedEvent, AProcessKilledWhileWaitingLeavesTheEventUsable) {
    XHANDLE ev = nullptr;
    ASSERT_EQ(XCreateEvent(&ev, 0x21), 1);
    Child child({"evwait", "0x21", "10000"});
    ASSERT_NE(child.ready(), 0u);
    XSleep(20);  // let it block in its wait
    kill(child.pid(), SIGKILL);
    child.finish();
    EXPECT_EQ(XPostEvent(ev, 0), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 1000), 0);
    EXPECT_EQ(RunHelper({"evpost", "0x21"}).out, "1\n");
    EXPECT_EQ(XWaitEvent(&ev, 1, 1000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

class EventPipe : public ZaxTest {};

std::atomic<uint32_t> g_received{0}, g_sum{0};
void count_message(uint32_t m) {
    ++g_received;
    g_sum += m;
}

TEST_F(EventPipe, StoppingDeliversEveryMessageAlreadyQueued) {
    using namespace zax::os;
    constexpr uint32_t kPid = 0x7FFFFF01, kMessages = 50;  // no live process has it
    PipeServer *server = nullptr;
    ASSERT_EQ(pipe_create(kPid, &server), 0);
    ASSERT_EQ(pipe_start(server, count_message), 0);
    SendStep step;
    for (uint32_t i = 1; i <= kMessages; ++i) ASSERT_EQ(pipe_send(kPid, i, &step), 0) << i;
    pipe_destroy(server);  // right away: most connections still wait in the backlog
    EXPECT_EQ(g_received.load(), kMessages);
    EXPECT_EQ(g_sum.load(), kMessages * (kMessages + 1) / 2);
    EXPECT_FALSE(exists(socket_of(rundir_, kPid)));
    EXPECT_EQ(pipe_send(kPid, 1, &step), ENOENT);
    EXPECT_EQ(step, SendStep::Connect);
}

TEST_F(EventPipe, AFullReceiverHoldsSendersBackUntilItReads) {
    using namespace zax::os;
    constexpr uint32_t kPid = 0x7FFFFF02;  // no live process has it
    g_received = 0;
    PipeServer *server = nullptr;
    ASSERT_EQ(pipe_create(kPid, &server), 0);
    // Nobody reads yet: the queue fills, and a sender that may try twice
    // (5 ms each) gives up with EAGAIN.
    SendStep step;
    uint32_t queued = 0;
    int err = 0;
    while ((err = pipe_send(kPid, 1, &step, 2)) == 0) ASSERT_LT(++queued, 100000u);
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(step, SendStep::Connect);
    EXPECT_GT(queued, 0u);
    // A sender with the whole bound waits until the server reads.
    std::thread reader([&] {
        XSleep(50);
        EXPECT_EQ(pipe_start(server, count_message), 0);
    });
    EXPECT_EQ(pipe_send(kPid, 1, &step), 0);
    reader.join();
    pipe_destroy(server);
    EXPECT_EQ(g_received.load(), queued + 1);
}

class Init : public ZaxTest {
protected:
    void TearDown() override {
        unsetenv("ZAXXLIB_EVENT_NUMBER");
        ZaxTest::TearDown();
    }
};

TEST_F(Init, SmallModeStartsNothingAndTerminationDoesNothing) {
    uint32_t self = zax::os::process_id();
    EXPECT_EQ(XInitXlib(), 1);
    EXPECT_EQ(XInitXlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 64);
    EXPECT_FALSE(exists(socket_of(rundir_, self)));
    EXPECT_EQ(XTermXlib(), 1);
    EXPECT_EQ(X_term_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 64);  // for ever initialised
    // A later large size is not read again.
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 64);
}

TEST_F(Init, AMissingTableSizeLeavesTheRecordAlone) {
    // Missing: the normal case, the record stays as it was.
    XSetLastError(0, 0, 0);
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_LAST_ERROR(0, 0, 0);
    EXPECT_EQ(zax::event_table_size(), 64);
}

TEST_F(Init, ATableSizeThatIsNoNumberIsIgnoredWithItsError) {
    setenv("ZAXXLIB_EVENT_NUMBER", "1x0", 1);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 64);
    EXPECT_LAST_ERROR(code(0xe6, 2), 0, 2);  // XReadEnvInt: not a number
}

TEST_F(Init, LargeModeLivesFromTheFirstInitialisationToTheLastTermination) {
    uint32_t self = zax::os::process_id();
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    EXPECT_EQ(X_term_xlib(), 1);  // nothing to end yet
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_TRUE(exists(socket_of(rundir_, self)));
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(X_term_xlib(), 1);
    EXPECT_TRUE(exists(socket_of(rundir_, self)));
    EXPECT_EQ(zax::event_table_size(), 100);
    EXPECT_EQ(X_term_xlib(), 1);
    EXPECT_FALSE(exists(socket_of(rundir_, self)));
    EXPECT_EQ(zax::event_table_size(), 0);

    // Initialised again: read again, and working again.
    setenv("ZAXXLIB_EVENT_NUMBER", "70000", 1);
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), zax::kMaxEventTable);
    XHANDLE ev = nullptr;
    ASSERT_EQ(XCreateEvent(&ev, 3), 1);
    EXPECT_EQ(XGlobalPostEvent(ev, 0, self), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    EXPECT_EQ(X_term_xlib(), 1);
}

TEST_F(Init, AFailedLargeSetUpFailsTheInitialisation) {
    uint32_t self = zax::os::process_id();
    // A directory where the socket should go: bind fails.
    ASSERT_EQ(mkdir(socket_of(rundir_, self).c_str(), 0700), 0);
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    EXPECT_EQ(X_init_xlib(), 0);
    EXPECT_LAST_ERROR(code(kCreate, 2), EADDRINUSE, 1);
    EXPECT_EQ(XInitXlib(), 1);  // says nothing, as ever; the record tells
    EXPECT_LAST_ERROR(code(kCreate, 2), EADDRINUSE, 1);
    // Nothing was counted or kept: no small mode in place of the large one.
    EXPECT_EQ(zax::event_table_size(), 0);
    EXPECT_EQ(X_term_xlib(), 1);

    // Once the way is clear, the next initialisation gets the large mode.
    ASSERT_EQ(rmdir(socket_of(rundir_, self).c_str()), 0);
    EXPECT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 100);
    EXPECT_EQ(X_term_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 0);
}

TEST_F(Init, FirstInitialisationsRacingMakeOneLock) {
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) ts.emplace_back([] { X_init_xlib(); });
    for (auto &t : ts) t.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(X_term_xlib(), 1);
        EXPECT_EQ(zax::event_table_size(), 100) << i;
    }
    EXPECT_EQ(X_term_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 0);
}

}  // namespace
