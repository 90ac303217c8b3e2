// Handles that are not live: one that was destroyed, a live handle of
// another kind, and readable memory that no call made. Every function that
// takes a handle refuses each of them with its own bad-handle code, without
// a crash (the address sanitizer build reads nothing freed), and the live
// handles that were passed in the wrong place still work afterwards.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "xcodes.h"
#include "xhandle.h"
#include "zaxtest.h"

using namespace zaxtest;
using namespace zax;

namespace {

// One use of a handle: the call (true when it gave its failure value) and
// what it records then.
struct Use {
    const char *name;
    std::function<bool(XHANDLE)> refused;
    uint32_t code, detail = 1, kind = X_KIND_LIBRARY;
};

// A kind of handle: how to make a live one, how to end it, and its uses.
// Kinds of one family (local and global lists) share most functions.
struct Kind {
    const char *name;
    const char *family;
    std::function<XHANDLE()> make;
    std::function<bool(XHANDLE)> end;
    std::vector<Use> uses;
};

// Readable memory that no call made.
alignas(16) unsigned char g_garbage[512];

class Handles : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        std::memset(g_garbage, 0x41, sizeof g_garbage);
        setenv("ZAXXLIB_REGISTRY_DIR", path("reg").c_str(), 1);
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
        WriteFile(path("XTORASYS"), "XTORASYS :\nTRACE = 0\nDUMP = 0\nBINDINGS = NONE\n");
        WriteFile(path("p.ini"), "[S]\nK=1\n");
        WriteFile(path("m"), "mapped");
        ASSERT_EQ(XCreateEvent(&event_, 0xFFFFFFFFu), 1);
        kinds_ = Kinds();
    }
    void TearDown() override {
        XDestroyEvent(event_);
        unsetenv("ZAXXLIB_REGISTRY_DIR");
        unsetenv("ZAXXLIB_XSYSTEM");
        ZaxTest::TearDown();
    }

    std::vector<Kind> Kinds() {
        static char buffer[300];
        static int32_t number;
        static uint32_t level;
        const std::string dir = rundir_, mapped = path("m"), saved = path("saved");
        return {
            {"lock",
             "lock",
             [] { return XCreateLockObj(-1); },
             [](XHANDLE h) { return XDestroyLockObj(h) == 1; },
             {{"XLockObj", [](XHANDLE h) { return XLockObj(h, 0) == 0; }, code(FN_XLockObj, 1)},
              {"XUnlockObj", [](XHANDLE h) { return XUnlockObj(h) == 0; }, code(FN_XUnlockObj, 1)},
              {"XIsLockObj", [](XHANDLE h) { return XIsLockObj(h) == 0; }, code(FN_XIsLockObj, 1)},
              {"XDestroyLockObj", [](XHANDLE h) { return XDestroyLockObj(h) == 0; },
               code(FN_XDestroyLockObj, 1)}}},
            {"event",
             "event",
             [] {
                 XHANDLE e = nullptr;
                 XCreateEvent(&e, 0xFFFFFFFFu);
                 return e;
             },
             [](XHANDLE h) { return XDestroyEvent(h) == 1; },
             {{"XPostEvent", [](XHANDLE h) { return XPostEvent(h, 0) == 0; }, code(FN_XPostEvent, 1)},
              {"XWaitEvent", [](XHANDLE h) { return XWaitEvent(&h, 1, 0) == -1; },
               code(FN_XWaitEvent, 3), EBADF, X_KIND_SYSTEM},
              {"XSetTimer", [](XHANDLE h) { return XSetTimer(h, 1000) == nullptr; },
               code(FN_XSetTimer, 1)},
              {"XDestroyEvent", [](XHANDLE h) { return XDestroyEvent(h) == 0; },
               code(FN_XDestroyEvent, 1)}}},
            {"timer",
             "timer",
             [this] { return XSetTimer(event_, 3600000); },
             [](XHANDLE h) { return XKillTimer(h) == 1; },
             {{"XKillTimer", [](XHANDLE h) { return XKillTimer(h) == 0; },
               code(FN_XKillTimer, 1)}}},
            {"debug record",
             "debug record",
             [] { return XInitDebug("XP_TRACE_DEFAULT", 0); },
             [](XHANDLE h) { return XTermDebug(h) == 1; },
             {{"XTermDebug", [](XHANDLE h) { return XTermDebug(h) == 0; }, code(FN_XTermDebug, 1)},
              {"XRefreshDebug", [](XHANDLE h) { return XRefreshDebug(h) == 0; },
               code(FN_XRefreshDebug, 1)},
              {"XSetTraceLevel", [](XHANDLE h) { return XSetTraceLevel(h, "A", 0) == 0; },
               code(FN_XSetTraceLevel, 1)},
              {"XGetDumpLevel", [](XHANDLE h) { return XGetDumpLevel(h, "A", &level) == 0; },
               code(FN_XGetDumpLevel, 1)},
              {"XTrace", [](XHANDLE h) { return XTraceH(h, "A", "x") == 0; }, code(FN_XTrace, 1)},
              {"XDump", [](XHANDLE h) { return XDump(h, "A", "t", buffer, 4) == 0; },
               code(FN_XDump, 1)},
              {"X_dump_out", [](XHANDLE h) { return X_dump_out(h, buffer, 4) == 0; },
               code(FN_XDump, 1)}}},
            {"parameter file",
             "parameter file",
             [dir] { return XOpenParmFile(dir.c_str(), "p.ini"); },
             [](XHANDLE h) { return XCloseParmFile(h) == 1; },
             {{"XReadParmInt", [](XHANDLE h) { return XReadParmInt(h, "S", "K", &number) == 0; },
               code(FN_XReadParmInt, 1)},
              {"XWriteParmStr", [](XHANDLE h) { return XWriteParmStr(h, "S", "K", "2", 1) == 0; },
               code(FN_XWriteParmStr, 1)},
              {"XCloseParmFile", [](XHANDLE h) { return XCloseParmFile(h) == 0; },
               code(FN_XCloseParmFile, 1)}}},
            {"mapped file",
             "mapped file",
             [mapped] {
                 XHANDLE h = nullptr;
                 XOpenMemMapFile(&h, mapped.c_str(), X_MAP_READ, X_MAP_SHARED);
                 return h;
             },
             [](XHANDLE h) { return XCloseMemMapFile(h) == 1; },
             {{"XFlushMemMapFile", [](XHANDLE h) { return XFlushMemMapFile(h) == 0; },
               code(FN_XFlushMemMapFile, 1)},
              {"XCloseMemMapFile", [](XHANDLE h) { return XCloseMemMapFile(h) == 0; },
               code(FN_XCloseMemMapFile, 1)}}},
            {"process",
             "process",
             [] {
                 XHANDLE rec = nullptr;
                 XCreateProcess(&rec, "true", nullptr, 0, nullptr);
                 return rec;
             },
             [](XHANDLE h) { return XKillProcess(h) == 1; },
             {{"XTermProcess", [](XHANDLE h) { return XTermProcess(h, 0) == 0; },
               code(FN_XTermProcess, 1)},
              {"XKillProcess", [](XHANDLE h) { return XKillProcess(h) == 0; },
               code(FN_XKillProcess, 1)}}},
            {"thread",
             "thread",
             [] {
                 XHANDLE rec = nullptr;
                 XCreateThread(&rec, ZAX_TEST_MODULE, nullptr, 0, 0);
                 return rec;
             },
             [](XHANDLE h) { return XKillThread(h) == 1; },
             {{"XTermThread", [](XHANDLE h) { return XTermThread(h) == 0; },
               code(FN_XTermThread, 1)},
              {"XKillThread", [](XHANDLE h) { return XKillThread(h) == 0; },
               code(FN_XKillThread, 1)},
              {"XKillThreadSync", [](XHANDLE h) { return XKillThreadSync(h) == 0; },
               code(FN_XKillThread, R_XKillThread_SYNC_BAD_ARGUMENT)}}},
            {"module",
             "module",
             [] {
                 XHANDLE m = nullptr;
                 XLoadModule(&m, ZAX_TEST_MODULE);
                 return m;
             },
             [](XHANDLE h) { return XUnloadModule(h) == 1; },
             {{"XGetEntry", [](XHANDLE h) { return XGetEntry(h, "osmain") == nullptr; },
               code(FN_XGetEntry, 1)},
              {"XGetMsgString", [](XHANDLE h) { return XGetMsgString(h, 1, buffer) == nullptr; },
               code(FN_XGetMsgString, 1)},
              {"XUnloadModule", [](XHANDLE h) { return XUnloadModule(h) == 0; },
               code(FN_XUnloadModule, 1)}}},
            {"local list",
             "list",
             [] { return XCreateList(0, -1, 0); },
             [](XHANDLE h) { return XDestroyList(h) == 1; },
             {{"XAddList", [](XHANDLE h) { return XAddList(h, "x", 1, -1) == 0; },
               code(FN_XAddListT, 1)},
              {"XPeekListT", [](XHANDLE h) { return XPeekListT(h, buffer, 1, 0, -1) == -1; },
               code(FN_XPeekListT, 1)},
              {"XGetListNumT", [](XHANDLE h) { return XGetListNumT(h, -1) == -1; },
               code(FN_XGetListNumT, 1)},
              {"XSaveList", [saved](XHANDLE h) { return XSaveList(h, saved.c_str()) == 0; },
               code(FN_XSaveListT, 1)},
              {"X_lock_list", [](XHANDLE h) { return X_lock_list(h) == 0; }, code(FN_XLockObj, 1)},
              {"X_destroy_list_lock", [](XHANDLE h) { return X_destroy_list_lock(h) == 0; },
               code(FN_XDestroyLockObj, 1)},
              {"XDestroyList", [](XHANDLE h) { return XDestroyList(h) == 0; },
               code(FN_XDestroyList, 1)}}},
            {"global list",
             "list",
             [] { return XCreateGlobalList(64, 0x7A110001, 0); },
             [](XHANDLE h) { return XDestroyGlobalList(h) == 1; },
             {{"XRemoveGlobalList",
               [](XHANDLE h) { return XRemoveGlobalList(h, buffer, 1, 0) == 0; },
               code(FN_XRemoveListT, 1)},
              {"XDestroyGlobalList", [](XHANDLE h) { return XDestroyGlobalList(h) == 0; },
               code(FN_XDestroyGlobalList, 1)}}},
            {"shared segment",
             "shared segment",
             [] {
                 static uint32_t key = 0x5E600000;
                 XHANDLE h = nullptr;
                 void *area = XAllocShrMemory(&h, 64, ++key, 0, 0);
                 if (area == X_FAILED_PTR) return XHANDLE{};
                 areas()[h] = area;
                 return h;
             },
             [](XHANDLE h) { return XFreeShrMemory(areas()[h], h) == 1; },
             {{"XFreeShrMemory", [](XHANDLE h) { return XFreeShrMemory(g_garbage + 16, h) == 0; },
               code(FN_XFreeShrMemory, 1), 2},
              {"XCloseShrMemory",
               [](XHANDLE h) { return XCloseShrMemory(g_garbage + 16, h) == 0; },
               code(FN_XFreeShrMemory, 1), 2}}},
            {"registry key",
             "registry key",
             [] { return XOpenRegistry(HKEY_CURRENT_USER, "P", nullptr, X_REG_ALL); },
             [](XHANDLE h) { return XCloseRegistry(h) == 1; },
             {{"XReadRegInt", [](XHANDLE h) { return XReadRegInt(h, "V", &number) == 0; },
               code(FN_XReadRegInt, 3)},
              {"XReadRegStr", [](XHANDLE h) { return XReadRegStr(h, "V", buffer, 8) == 0; },
               code(FN_XReadRegStr, 3)},
              {"XWriteRegInt", [](XHANDLE h) { return XWriteRegInt(h, "V", 1) == 0; },
               code(FN_XWriteRegInt, 2)},
              {"XWriteRegStr", [](XHANDLE h) { return XWriteRegStr(h, "V", "s", 1) == 0; },
               code(FN_XWriteRegStr, 2)},
              {"XDeleteRegValue", [](XHANDLE h) { return XDeleteRegValue(h, "V") == 0; },
               code(FN_XDeleteRegValue, 2)},
              {"XListRegKey", [](XHANDLE h) { return XListRegKey(h, 0, buffer, 8) == -3; },
               code(FN_XListRegKey, 2)},
              {"XListRegValue",
               [](XHANDLE h) {
                   int32_t type, len = 8, dlen = 8;
                   return XListRegValue(h, 0, &type, buffer, &len, nullptr, &dlen) == -4;
               },
               code(FN_XListRegValue, 2)},
              {"XCloseRegistry", [](XHANDLE h) { return XCloseRegistry(h) == 0; },
               code(FN_XCloseRegistry, 1)}}},
        };
    }

    // The area that each live segment handle maps.
    static std::map<XHANDLE, void *> &areas() {
        static std::map<XHANDLE, void *> m;
        return m;
    }

    // Every use of kind refuses bad, which is described as what.
    void ExpectRefused(const Kind &kind, XHANDLE bad, const std::string &what) {
        for (const Use &use : kind.uses) {
            SCOPED_TRACE(std::string(use.name) + " given " + what);
            XSetLastError(0, 0, 0);
            EXPECT_TRUE(use.refused(bad));
            EXPECT_LAST_ERROR(use.code, use.detail, use.kind);
        }
    }

    XHANDLE event_ = nullptr;  // what the timers post
    std::vector<Kind> kinds_;
};

TEST_F(Handles, EveryKindRefusesDestroyedForeignAndGarbageHandles) {
    OmikinitService svc(rundir_);  // for the keys of the global list and the segments
    ASSERT_TRUE(svc.ready());
    std::vector<XHANDLE> live;
    for (const Kind &k : kinds_) {
        XHANDLE h = k.make();
        ASSERT_TRUE(h != nullptr && h != X_FAILED_PTR) << k.name;
        live.push_back(h);
    }
    for (size_t i = 0; i < kinds_.size(); ++i) {
        const Kind &k = kinds_[i];
        XHANDLE stale = k.make();
        ASSERT_TRUE(k.end(stale)) << k.name;
        ExpectRefused(k, stale, std::string("a destroyed ") + k.name);
        ExpectRefused(k, g_garbage, "readable memory");
        ExpectRefused(k, g_garbage + 8, "readable memory");
        for (size_t j = 0; j < kinds_.size(); ++j)
            if (std::strcmp(kinds_[j].family, k.family) != 0)
                ExpectRefused(k, live[j], kinds_[j].name);
    }
    // The live handles that were offered in the wrong places are untouched.
    for (size_t i = 0; i < kinds_.size(); ++i)
        EXPECT_TRUE(kinds_[i].end(live[i])) << kinds_[i].name;
}

// A segment handle is refused with an area that is not its own, and works
// with its own afterwards.
TEST_F(Handles, ASegmentIsReleasedOnlyWithItsOwnArea) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE a = nullptr, b = nullptr;
    void *area_a = XAllocShrMemory(&a, 64, 0x5E610001, 0, 0);
    void *area_b = XAllocShrMemory(&b, 64, 0x5E610002, 0, 0);
    ASSERT_NE(area_a, X_FAILED_PTR);
    ASSERT_NE(area_b, X_FAILED_PTR);
    EXPECT_EQ(XCloseShrMemory(area_b, a), 0);
    EXPECT_LAST_ERROR(code(FN_XFreeShrMemory, 1), 1, X_KIND_LIBRARY);
    EXPECT_EQ(XFreeShrMemory(static_cast<char *>(area_a) + 1, a), 0);
    EXPECT_LAST_ERROR(code(FN_XFreeShrMemory, 1), 1, X_KIND_LIBRARY);
    static_cast<char *>(area_b)[63] = 1;  // still mapped
    EXPECT_EQ(XFreeShrMemory(area_a, a), 1);
    EXPECT_EQ(XFreeShrMemory(area_b, b), 1);
}

// In the large event mode an event is a slot of the process's table, and
// what is neither a slot nor a live handle is refused there too.
TEST_F(Handles, TheLargeEventModeRefusesWhatIsNoEvent) {
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    ASSERT_EQ(X_init_xlib(), 1);
    XHANDLE live = nullptr;
    ASSERT_EQ(XCreateEvent(&live, 7), 1);
    XHANDLE lock = XCreateLockObj(-1);
    for (XHANDLE bad : {static_cast<XHANDLE>(g_garbage), lock}) {
        EXPECT_EQ(XPostEvent(bad, 0), 0);
        EXPECT_LAST_ERROR(code(FN_XPostEvent, 1), 1, X_KIND_LIBRARY);
        EXPECT_EQ(XDestroyEvent(bad), 0);
        EXPECT_LAST_ERROR(code(FN_XDestroyEvent, 1), 1, X_KIND_LIBRARY);
        XHANDLE both[] = {live, bad};
        EXPECT_EQ(XWaitEvent(both, 2, 0), -1);
        EXPECT_LAST_ERROR(code(FN_XWaitEvent, 3), EBADF, X_KIND_SYSTEM);
        EXPECT_EQ(XGlobalPostEvent(bad, 0, uint32_t(getpid())), 0);
        EXPECT_LAST_ERROR(code(FN_XGlobalPostEvent, 2), 0, X_KIND_LIBRARY);
    }
    EXPECT_EQ(XPostEvent(live, 0), 1);
    EXPECT_EQ(XWaitEvent(&live, 1, 0), 0);
    EXPECT_EQ(XDestroyEvent(live), 1);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
    EXPECT_EQ(X_term_xlib(), 1);
    unsetenv("ZAXXLIB_EVENT_NUMBER");
}

// The table of live handles through growth and many removals: every
// address answers as it was last added or removed.
TEST(HandleTable, KeepsTrackThroughGrowthAndRemovals) {
    static uint64_t slots[3000];
    for (int round = 0; round < 3; ++round) {
        for (uint64_t &s : slots) ASSERT_TRUE(handle_list(&s));
        for (size_t i = 0; i < 3000; i += 2) handle_unlist(&slots[i]);
        for (size_t i = 0; i < 3000; ++i) EXPECT_EQ(handle_listed(&slots[i]), i % 2 == 1) << i;
        for (size_t i = 1; i < 3000; i += 2) handle_unlist(&slots[i]);
        for (uint64_t &s : slots) EXPECT_FALSE(handle_listed(&s));
    }
}

// A record given back is refused at once; its block serves the next record
// of its size, zero-filled and with a new generation.
TEST(HandleRecords, AFreedRecordIsRefusedAndItsBlockComesBackClean) {
    struct Rec {
        HandleHeader header;
        uint64_t payload[5];
    };
    auto *a = handle_new<Rec>(HandleKind::timer);
    ASSERT_NE(a, nullptr);
    a->payload[3] = 77;
    EXPECT_EQ(handle_as<Rec>(a, HandleKind::timer), a);
    EXPECT_EQ(handle_as<Rec>(a, HandleKind::lock), nullptr);
    const uint16_t generation = a->header.generation;
    handle_free(a);
    EXPECT_EQ(handle_as<Rec>(a, HandleKind::timer), nullptr);
    handle_free(a);  // twice: nothing happens
    auto *b = handle_new<Rec>(HandleKind::lock);
    auto *c = handle_new<Rec>(HandleKind::lock);
    ASSERT_TRUE(b == a || c == a);  // the block served once only
    Rec *again = b == a ? b : c;
    EXPECT_EQ(again->header.generation, uint16_t(generation + 1));
    EXPECT_EQ(again->payload[3], 0u);
    EXPECT_EQ(handle_as<Rec>(a, HandleKind::timer), nullptr);
    handle_free(b);
    handle_free(c);
}

}  // namespace
