// The timer service of the Linux layer, the load's resolution rule, and the
// library's timers on top of them.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "os/timer.h"
#include "xdllmain.h"
#include "zaxtest.h"

using namespace zaxtest;
namespace os = zax::os;

namespace {

// A clock that moves only when the test says so.
std::atomic<uint64_t> g_manual_ms{1000};
uint64_t manual_clock() { return g_manual_ms.load(); }

class ManualClock {
public:
    ManualClock() { os::timer_set_clock(manual_clock); }
    ~ManualClock() { os::timer_set_clock(nullptr); }
    // Moves the clock on and waits until every timer due then has run.
    void advance(uint64_t ms) {
        g_manual_ms += ms;
        os::timer_settle();
    }
};

// Counts callbacks per id, and lets a test wait for a number of them.
struct Ticks {
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> ids;
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::seconds(10), [&] { return ids.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> l(m);
        return ids.size();
    }
};

void tick(uint32_t id, void *user) {
    auto *t = static_cast<Ticks *>(user);
    std::lock_guard<std::mutex> l(t->m);
    t->ids.push_back(id);
    t->cv.notify_all();
}

class TimerService : public ZaxTest {};

TEST_F(TimerService, CapabilitiesAndTheLoadsResolutionRule) {
    os::TimerCaps caps{};
    ASSERT_EQ(os::timer_caps(&caps), 0);
    EXPECT_EQ(caps.min_period, 1u);
    EXPECT_EQ(caps.max_period, 1000000u);
    EXPECT_EQ(zax::resolution_for(1, 1000), 10u);
    EXPECT_EQ(zax::resolution_for(15, 1000), 15u);
    EXPECT_EQ(zax::resolution_for(1, 5), 5u);
    EXPECT_EQ(zax::resolution_for(10, 10), 10u);
    // The library asked for its resolution at load and holds it.
    EXPECT_EQ(zax::timer_resolution(), 10u);
    EXPECT_EQ(os::timer_period(), 10u);
    EXPECT_EQ(os::timer_begin_period(0), EINVAL);
    EXPECT_EQ(os::timer_begin_period(1000001), EINVAL);
    EXPECT_EQ(os::timer_end_period(77), EINVAL);
    ASSERT_EQ(os::timer_begin_period(5), 0);
    EXPECT_EQ(os::timer_period(), 5u);
    EXPECT_EQ(os::timer_end_period(5), 0);
    EXPECT_EQ(os::timer_period(), 10u);
}

TEST_F(TimerService, RefusesDelaysOutsideItsCapabilities) {
    Ticks t;
    uint32_t id = 0;
    EXPECT_EQ(os::timer_start(0, 10, false, tick, &t, &id), EINVAL);
    EXPECT_EQ(os::timer_start(1000001, 10, false, tick, &t, &id), EINVAL);
    EXPECT_EQ(os::timer_start(10, 10, false, nullptr, &t, &id), EINVAL);
    EXPECT_EQ(os::timer_kill(12345), EINVAL);
    EXPECT_EQ(os::timer_count(), 0);
}

TEST_F(TimerService, OneShotFiresOnceAndPeriodicUntilKilled) {
    Ticks once, every;
    uint32_t a = 0, b = 0;
    ASSERT_EQ(os::timer_start(5, 1, false, tick, &once, &a), 0);
    ASSERT_EQ(os::timer_start(3, 1, true, tick, &every, &b), 0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    ASSERT_TRUE(once.wait_for(1));
    ASSERT_TRUE(every.wait_for(3));
    EXPECT_EQ(os::timer_kill(b), 0);
    size_t after_kill = every.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // At most a tick that was running while the kill came.
    EXPECT_LE(every.count(), after_kill + 1);
    EXPECT_EQ(once.count(), 1u);
    EXPECT_EQ(once.ids[0], a);
    EXPECT_EQ(os::timer_kill(a), EINVAL);  // expired: no longer a timer
    EXPECT_EQ(os::timer_count(), 0);
}

// When a timer's callback ran, against the clock read before it was started.
struct Stamp {
    std::chrono::steady_clock::time_point set, fired;
    uint32_t delay = 0;
    Ticks *ticks = nullptr;
};
void stamp_tick(uint32_t id, void *user) {
    auto *s = static_cast<Stamp *>(user);
    s->fired = std::chrono::steady_clock::now();
    tick(id, s->ticks);
}

TEST_F(TimerService, NoTimerFiresBeforeItsDelayHasPassed) {
    // Starts spread over the millisecond, so that every part of it is met.
    Ticks ticks;
    std::vector<Stamp> stamps(300);
    for (size_t i = 0; i < stamps.size(); ++i) {
        Stamp &s = stamps[i];
        s.delay = 1 + uint32_t(i % 3);
        s.ticks = &ticks;
        s.set = std::chrono::steady_clock::now();
        uint32_t id = 0;
        ASSERT_EQ(os::timer_start(s.delay, 1, false, stamp_tick, &s, &id), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(37));
    }
    ASSERT_TRUE(ticks.wait_for(stamps.size()));
    int early = 0;
    for (const Stamp &s : stamps)
        if (s.fired - s.set < std::chrono::milliseconds(s.delay)) ++early;
    EXPECT_EQ(early, 0);
}

// A periodic timer that kills itself from its own callback on the 2nd tick.
struct SelfKill {
    Ticks ticks;
    std::atomic<int> kill_result{-1};
};
void self_kill_tick(uint32_t id, void *user) {
    auto *s = static_cast<SelfKill *>(user);
    if (s->ticks.count() == 1) s->kill_result = os::timer_kill(id);
    tick(id, &s->ticks);
}

TEST_F(TimerService, CallbackMayKillItsOwnPeriodicTimer) {
    ManualClock clock;
    SelfKill s;
    uint32_t id = 0;
    ASSERT_EQ(os::timer_start(100, 10, true, self_kill_tick, &s, &id), 0);
    clock.advance(1000);
    EXPECT_EQ(s.kill_result.load(), 0);
    EXPECT_EQ(s.ticks.count(), 2u);
    EXPECT_EQ(os::timer_count(), 0);
}

}  // namespace

namespace {

// A callback that holds the service's thread until the test lets it go.
struct Held {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
};
void held_tick(uint32_t, void *user) {
    auto *h = static_cast<Held *>(user);
    std::unique_lock<std::mutex> l(h->m);
    h->entered = true;
    h->cv.notify_all();
    h->cv.wait(l, [&] { return h->release; });
}

TEST_F(TimerService, OneShotIsKillableUntilItsCallbackReturns) {
    Held h;
    uint32_t id = 0;
    ASSERT_EQ(os::timer_start(1, 1, false, held_tick, &h, &id), 0);
    {
        std::unique_lock<std::mutex> l(h.m);
        ASSERT_TRUE(h.cv.wait_for(l, std::chrono::seconds(10), [&] { return h.entered; }));
    }
    EXPECT_EQ(os::timer_kill(id), 0);
    EXPECT_EQ(os::timer_kill(id), EINVAL);
    {
        std::lock_guard<std::mutex> l(h.m);
        h.release = true;
    }
    h.cv.notify_all();
    os::timer_settle();
    EXPECT_EQ(os::timer_count(), 0);
}

}  // namespace

namespace {

constexpr uint32_t kSet = 0xe, kKill = 0xf;

class Timer : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        ASSERT_EQ(XCreateEvent(&event_, 0xFFFFFFFFu), 1);
    }
    void TearDown() override {
        XDestroyEvent(event_);
        ZaxTest::TearDown();
    }
    // Takes the event's post, waiting at most timeout ms.
    bool posted(uint32_t timeout = 0) { return XWaitEvent(&event_, 1, timeout) == 0; }
    XHANDLE event_ = nullptr;
};

TEST_F(Timer, BadArgumentsAreRefusedWithTheirPositions) {
    EXPECT_EQ(XSetTimer(nullptr, 10), nullptr);
    EXPECT_LAST_ERROR(code(kSet, 1), 1, 2);
    EXPECT_EQ(XSetTimer(event_, 0), nullptr);
    EXPECT_LAST_ERROR(code(kSet, 1), 2, 2);
    EXPECT_EQ(XSetTimer(event_, 86400001), nullptr);
    EXPECT_LAST_ERROR(code(kSet, 1), 2, 2);
    EXPECT_EQ(XKillTimer(nullptr), 0);
    EXPECT_LAST_ERROR(code(kKill, 1), 1, 2);
    EXPECT_EQ(os::timer_count(), 0);
    // The longest delay is accepted.
    ManualClock clock;
    XHANDLE t = XSetTimer(event_, 86400000);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(XKillTimer(t), 1);
    EXPECT_EQ(os::timer_count(), 0);
}

TEST_F(Timer, ShortTimerPostsOnceAndThenIsGone) {
    XHANDLE t = XSetTimer(event_, 20);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(posted(10000));
    os::timer_settle();
    EXPECT_EQ(os::timer_count(), 0);
    EXPECT_EQ(XKillTimer(t), 0);
    EXPECT_LAST_ERROR(code(kKill, 1), 1, 2);
    EXPECT_FALSE(posted(50));
}

TEST_F(Timer, LongDelaysRunInSevenMinutePeriodsThenTheRemainder) {
    ManualClock clock;
    // Exactly one period: a single one-shot.
    ASSERT_NE(XSetTimer(event_, 420000), nullptr);
    clock.advance(419999);
    EXPECT_FALSE(posted());
    clock.advance(1);
    EXPECT_TRUE(posted());
    EXPECT_EQ(os::timer_count(), 0);

    // One more millisecond: a period, then a one-shot of 1 ms.
    ASSERT_NE(XSetTimer(event_, 420001), nullptr);
    clock.advance(420000);
    EXPECT_FALSE(posted());
    EXPECT_EQ(os::timer_count(), 1);  // the remainder's timer
    clock.advance(1);
    EXPECT_TRUE(posted());
    EXPECT_EQ(os::timer_count(), 0);

    // Two periods and no remainder.
    ASSERT_NE(XSetTimer(event_, 840000), nullptr);
    clock.advance(420000);
    EXPECT_FALSE(posted());
    clock.advance(419999);
    EXPECT_FALSE(posted());
    clock.advance(1);
    EXPECT_TRUE(posted());
    EXPECT_EQ(os::timer_count(), 0);

    // The longest delay: 205 periods and 300000 ms.
    // (The remainder's timer starts when the last period ends, so the clock
    // is moved to that point first.)
    ASSERT_NE(XSetTimer(event_, 86400000), nullptr);
    clock.advance(86100000);
    EXPECT_FALSE(posted());
    EXPECT_EQ(os::timer_count(), 1);
    clock.advance(299999);
    EXPECT_FALSE(posted());
    clock.advance(1);
    EXPECT_TRUE(posted());
    EXPECT_EQ(os::timer_count(), 0);
}

TEST_F(Timer, OnlyTheSettingThreadCanKill) {
    ManualClock clock;
    XHANDLE t = XSetTimer(event_, 1000);
    ASSERT_NE(t, nullptr);
    uint32_t other_code = 0, other_detail = 0;
    int32_t other = -1;
    std::thread([&] {
        other = XKillTimer(t);
        XErrorInfo e{};
        other_code = XGetLastError(&e);
        other_detail = e.detail;
    }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(other_code, code(kKill, 1));
    EXPECT_EQ(other_detail, 1u);
    // It goes on and posts.
    clock.advance(1000);
    EXPECT_TRUE(posted());
}

TEST_F(Timer, LongTimerKilledDuringItsRemainderNeverPosts) {
    ManualClock clock;
    XHANDLE t = XSetTimer(event_, 420001);
    ASSERT_NE(t, nullptr);
    clock.advance(420000);
    ASSERT_EQ(os::timer_count(), 1);
    EXPECT_EQ(XKillTimer(t), 1);
    EXPECT_EQ(os::timer_count(), 0);
    clock.advance(420000);
    EXPECT_FALSE(posted());
    // Killed during its periods, likewise.
    t = XSetTimer(event_, 900000);
    ASSERT_NE(t, nullptr);
    clock.advance(420000);
    EXPECT_EQ(XKillTimer(t), 1);
    clock.advance(900000);
    EXPECT_FALSE(posted());
}

TEST_F(Timer, SeventeenthTimerFailsAfterTenAttemptsUnlessASlotFrees) {
    ManualClock clock;
    std::vector<XHANDLE> timers;
    for (int i = 0; i < 16; ++i) {
        XHANDLE t = XSetTimer(event_, 1000 + uint32_t(i));
        ASSERT_NE(t, nullptr) << i;
        timers.push_back(t);
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(XSetTimer(event_, 5000), nullptr);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LAST_ERROR(code(kSet, 8), 0, 2);
    // Ten attempts, each followed by its 100 ms pause.
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_EQ(os::timer_count(), 16);

    // A slot that frees during the attempts is taken.
    std::thread expire([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        clock.advance(1000);  // the first timer expires
    });
    XHANDLE late = XSetTimer(event_, 5000);
    expire.join();
    ASSERT_NE(late, nullptr);
    EXPECT_TRUE(posted());
    EXPECT_EQ(XKillTimer(late), 1);
    for (size_t i = 1; i < timers.size(); ++i) EXPECT_EQ(XKillTimer(timers[i]), 1) << i;
    EXPECT_EQ(os::timer_count(), 0);
}

TEST_F(Timer, ExpiryAndKillRaceSafely) {
    // Whichever takes the table lock first wins: a timer that was killed
    // never posts, one that could not be killed has posted.
    int killed = 0, expired = 0;
    for (int i = 0; i < 200; ++i) {
        XHANDLE t = XSetTimer(event_, 1 + uint32_t(i % 3));
        ASSERT_NE(t, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 7)));
        if (XKillTimer(t) == 1) {
            ++killed;
            os::timer_settle();
            EXPECT_FALSE(posted()) << i;
        } else {
            ++expired;
            EXPECT_LAST_ERROR(code(kKill, 1), 1, 2);
            EXPECT_TRUE(posted(10000)) << i;
        }
    }
    EXPECT_EQ(killed + expired, 200);
    EXPECT_EQ(os::timer_count(), 0);
}

}  // namespace

namespace {

// Holds the timer-table lock on a thread of its own until released.
class TableHolder {
public:
    TableHolder() {
        t_ = std::thread([this] {
            XLockObj(zax::timer_table_lock(), X_INFINITE);
            std::unique_lock<std::mutex> l(m_);
            held_ = true;
            cv_.notify_all();
            cv_.wait(l, [this] { return release_; });
            XUnlockObj(zax::timer_table_lock());
        });
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return held_; });
    }
    void release() {
        {
            std::lock_guard<std::mutex> l(m_);
            release_ = true;
        }
        cv_.notify_all();
        if (t_.joinable()) t_.join();
    }
    ~TableHolder() { release(); }

private:
    std::thread t_;
    std::mutex m_;
    std::condition_variable cv_;
    bool held_ = false, release_ = false;
};

class TimerLockTimeout : public Timer {
protected:
    void SetUp() override {
        Timer::SetUp();
        WriteFile(path("XTORASYS"), "TIME :\nTIMEOUT = 20\n");
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
        zax::read_load_settings();
        unsetenv("ZAXXLIB_XSYSTEM");
        ASSERT_EQ(zax::lock_timeout(), 20);
    }
};

constexpr uint32_t kLockObj = 0x106;

TEST_F(TimerLockTimeout, SetAndKillFailWithoutTouchingTheTable) {
    ManualClock clock;
    XHANDLE t = XSetTimer(event_, 1000);
    ASSERT_NE(t, nullptr);
    {
        TableHolder hold;
        EXPECT_EQ(XSetTimer(event_, 10), nullptr);
        EXPECT_LAST_ERROR(code(kLockObj, 2), ETIMEDOUT, 1);
        EXPECT_EQ(XKillTimer(t), 0);
        EXPECT_LAST_ERROR(code(kLockObj, 2), ETIMEDOUT, 1);
        EXPECT_EQ(os::timer_count(), 1);
    }
    EXPECT_EQ(XKillTimer(t), 1);
    EXPECT_EQ(os::timer_count(), 0);
}

TEST_F(TimerLockTimeout, ExpiryWaitsForTheLockInsteadOfBeingLost) {
    ManualClock clock;
    ASSERT_NE(XSetTimer(event_, 1000), nullptr);
    TableHolder hold;
    g_manual_ms += 1000;
    os::timer_wake();
    // Several lock time-outs pass on the timer thread meanwhile.
    EXPECT_FALSE(posted(150));
    hold.release();
    EXPECT_TRUE(posted(10000));
    os::timer_settle();
    EXPECT_EQ(os::timer_count(), 0);
}

}  // namespace

namespace {

TEST_F(Timer, ChildOfForkStartsWithAnEmptyTable) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a multi-threaded fork";
#endif
    ManualClock clock;
    std::vector<XHANDLE> mine;
    for (int i = 0; i < 16; ++i) mine.push_back(XSetTimer(event_, 60000));
    ASSERT_EQ(os::timer_count(), 16);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Sixteen slots of its own, at the first attempt each.
        int code = 0;
        for (int i = 0; i < 16 && code == 0; ++i) {
            XHANDLE t = XSetTimer(event_, 60000);
            if (t == nullptr || XKillTimer(t) != 1) code = 10 + i;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (XHANDLE t : mine) EXPECT_EQ(XKillTimer(t), 1);
}

}  // namespace
