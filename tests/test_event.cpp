// Events in the small mode: event objects shared by key across processes.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "os/event.h"
#include "xevent.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0xa, kDestroy = 0xb, kWait = 0xc, kPost = 0xd, kSleep = 0x11,
                   kGlobal = 0x10;

class Event : public ZaxTest {};

XHANDLE make(uint32_t key) {
    XHANDLE ev = nullptr;
    EXPECT_EQ(XCreateEvent(&ev, key), 1);
    return ev;
}

TEST_F(Event, ArgumentsAreRefusedWithTheirReasons) {
    EXPECT_EQ(XCreateEvent(nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kCreate, 1), 1, 2);
    EXPECT_EQ(XDestroyEvent(nullptr), 0);
    EXPECT_LAST_ERROR(code(kDestroy, 1), 1, 2);
    EXPECT_EQ(XPostEvent(nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kPost, 1), 1, 2);
    EXPECT_EQ(XWaitEvent(nullptr, 1, 0), -1);
    EXPECT_LAST_ERROR(code(kWait, 1), 1, 2);
    XHANDLE evs[65];
    for (auto &e : evs) e = make(0xFFFFFFFF);
    EXPECT_EQ(XWaitEvent(evs, 0, 0), -1);
    EXPECT_LAST_ERROR(code(kWait, 1), 2, 2);
    EXPECT_EQ(XWaitEvent(evs, 65, 0), -1);
    EXPECT_LAST_ERROR(code(kWait, 1), 2, 2);
    XPostEvent(evs[63], 0);
    EXPECT_EQ(XWaitEvent(evs, 64, 0), 63);
    for (auto &e : evs) EXPECT_EQ(XDestroyEvent(e), 1);
    EXPECT_EQ(XSleep(0), 0);
    EXPECT_LAST_ERROR(code(kSleep, 1), 1, 2);
    EXPECT_EQ(XSleep(1), 1);
    // Small mode: a global post is a local one, whatever the process.
    EXPECT_EQ(XGlobalPostEvent(nullptr, 0, 0), 0);
    EXPECT_LAST_ERROR(code(kPost, 1), 1, 2);
}

TEST_F(Event, KeyedEventsAreOneSharedFifoAndPrivateOnesAreSeparate) {
    XHANDLE a = make(0x1A), b = make(0x1A);
    ASSERT_NE(a, b);
    struct stat st;
    ASSERT_EQ(stat(path("ZAXEVT0000001A.ev").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the default sharing mode, user
    EXPECT_EQ(XPostEvent(a, 0), 1);
    EXPECT_EQ(XWaitEvent(&b, 1, 0), 0);
    EXPECT_EQ(XWaitEvent(&a, 1, 0), -2);
    EXPECT_EQ(XGlobalPostEvent(b, 0, 0), 1);
    EXPECT_EQ(XWaitEvent(&a, 1, 0), 0);

    XHANDLE p = make(0xFFFFFFFF), q = make(0xFFFFFFFF);
    EXPECT_EQ(XPostEvent(p, 0), 1);
    EXPECT_EQ(XWaitEvent(&q, 1, 0), -2);
    EXPECT_EQ(XWaitEvent(&p, 1, 0), 0);
    for (XHANDLE h : {a, b, p, q}) EXPECT_EQ(XDestroyEvent(h), 1);

    // The state goes with the last holder; the FIFO left behind is reused.
    a = make(0x1A);
    EXPECT_EQ(XWaitEvent(&a, 1, 0), -2);
    EXPECT_EQ(XDestroyEvent(a), 1);
}

TEST_F(Event, ManyPostsCountAsOneAndTheLowestPositionWins) {
    for (uint32_t key : {0xFFFFFFFFu, 0x2Bu}) {
        SCOPED_TRACE(key);
        XHANDLE e[3] = {make(0xFFFFFFFF), make(key), make(0xFFFFFFFF)};
        // More posts than a pipe page holds: still one signal, none fails.
        for (int i = 0; i < 5000; ++i) ASSERT_EQ(XPostEvent(e[1], 0), 1);
        EXPECT_EQ(XPostEvent(e[2], 0), 1);
        EXPECT_EQ(XWaitEvent(e, 3, 0), 1);
        EXPECT_EQ(XWaitEvent(e, 3, 0), 2);
        EXPECT_EQ(XWaitEvent(e, 3, 0), -2);
        for (XHANDLE h : e) EXPECT_EQ(XDestroyEvent(h), 1);
    }
}

TEST_F(Event, WaitEndsOnAPostFromAnotherThreadOrWhenTheTimeRunsOut) {
    XHANDLE ev = make(0x33);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(XWaitEvent(&ev, 1, 50), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));

    std::thread poster([&] {
        XSleep(30);
        XPostEvent(ev, 0);
    });
    EXPECT_EQ(XWaitEvent(&ev, 1, X_INFINITE), 0);
    poster.join();

    // Two waiters, one post: exactly one of them takes it.
    std::atomic<int> taken{0};
    std::vector<std::thread> ws;
    for (int i = 0; i < 2; ++i)
        ws.emplace_back([&] {
            if (XWaitEvent(&ev, 1, 300) == 0) ++taken;
        });
    XSleep(30);
    XPostEvent(ev, 0);
    for (auto &w : ws) w.join();
    EXPECT_EQ(taken.load(), 1);
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(Event, ALatchStaysSignalledAndJoinsWaitsBesideEvents) {
    // The kind that thread handles are: taking it consumes nothing.
    zax::os::Latch *latch = nullptr;
    ASSERT_EQ(zax::os::latch_create(&latch), 0);
    zax::WaitRecord handle{};
    zax::wait_handle_open(handle, latch);
    XHANDLE e[2] = {make(0xFFFFFFFF), &handle};
    EXPECT_EQ(XWaitEvent(e, 2, 0), -2);
    EXPECT_EQ(XPostEvent(e[1], 0), 1);
    EXPECT_EQ(XWaitEvent(e, 2, 0), 1);
    EXPECT_EQ(XWaitEvent(e, 2, 0), 1);
    EXPECT_EQ(XPostEvent(e[0], 0), 1);
    EXPECT_EQ(XWaitEvent(e, 2, 0), 0);
    // Only events are destroyed through XDestroyEvent.
    EXPECT_EQ(XDestroyEvent(e[1]), 0);
    EXPECT_LAST_ERROR(code(kDestroy, 2), EBADF, 1);
    EXPECT_EQ(XDestroyEvent(e[0]), 1);
    delete latch;
}

TEST_F(Event, ProcessesShareTheEventOfAKey) {
    XHANDLE ev = make(0x20);
    EXPECT_EQ(RunHelper({"evpost", "0x20"}).out, "1\n");
    EXPECT_EQ(XWaitEvent(&ev, 1, 0), 0);

    HelperResult r;
    std::thread child([&] { r = RunHelper({"evwait", "0x20", "5000"}); });
    XSleep(50);
    EXPECT_EQ(XPostEvent(ev, 0), 1);
    child.join();
    EXPECT_NE(r.out.find("\n0\n"), std::string::npos) << r.out;
    EXPECT_EQ(XDestroyEvent(ev), 1);
}

TEST_F(Event, BadRunDirectoryOrForeignFileFailsCreationWithReasonTwo) {
    ASSERT_TRUE(WriteFile(path("ZAXEVT00000044.ev"), ""));
    XHANDLE ev = nullptr;
    EXPECT_EQ(XCreateEvent(&ev, 0x44), 0);
    EXPECT_LAST_ERROR(code(kCreate, 2), EPROTO, 1);
    EXPECT_EQ(ev, nullptr);
}

TEST_F(Event, WithoutInitialisationALargeTableSizeHasNoEffect) {
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    XHANDLE ev = make(0x55);
    struct stat st;
    EXPECT_EQ(stat(path("ZAXEVT00000055.ev").c_str(), &st), 0);
    // No table: a global post is a local one.
    EXPECT_EQ(XGlobalPostEvent(ev, 0, 0), 1);
    EXPECT_EQ(XWaitEvent(&ev, 1, 0), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    unsetenv("ZAXXLIB_EVENT_NUMBER");
    (void)kGlobal;
}

}  // namespace
