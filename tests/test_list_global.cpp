// Global lists across processes: creation, attachment, mismatches, the last
// detach, order, and processes that die attached or holding the lock; on
// shared memory and on a Redis server alike.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "OMIKINIT/omikextn.h"
#include "redis_server.h"
#include "xlist.h"
#include "xmemg.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0xaa, kDestroy = 0xab, kAllocList = 0xac, kDestroyList = 0xb5,
                   kAdd = 0xb6, kNum = 0xbb, kLockObj = 0x106;

class GlobalList : public ZaxTest {
protected:
    void TearDown() override {
        zax::omik::pause_ms = 100;
        ZaxTest::TearDown();
    }
    static zax::GlobalRegion *region(XHANDLE list) {
        return static_cast<zax::GlobalRegion *>(static_cast<zax::ListHandle *>(list)->region);
    }
    static std::string peek(XHANDLE list, int32_t pos) {
        char buf[256] = {};
        int32_t n = XPeekGlobalList(list, buf, sizeof buf, pos);
        return std::string(buf, size_t(n > 0 ? n : 0));
    }
    bool exists(const std::string &name) const {
        struct stat st;
        return stat(path(name).c_str(), &st) == 0;
    }
};

// The same cases with the list on either backend. What only one backend has
// (the region's layout, the segment file, fragmented words) is checked on
// that one; what both have is asked of the backend that holds the list.
class GlobalListOn : public GlobalList, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        GlobalList::SetUp();
        if (!shm()) {
            if (!RedisServer::available()) GTEST_SKIP() << "no redis-server or companion";
            redis_ = std::make_unique<RedisServer>(rundir_);
            ASSERT_TRUE(redis_->start());
            redis_->use();
        }
    }
    void TearDown() override {
        redis_.reset();
        GlobalList::TearDown();
    }
    bool shm() const { return GetParam() == Backend::SharedMemory; }
    // Attachments that count: the region's count, or the processes on the
    // server whose lease has not ended.
    uint32_t attached(XHANDLE list, uint32_t key) const {
        if (shm()) return region(list)->h.attach;
        std::vector<std::string> t = redis_->command({"TIME"});
        uint64_t now = std::stoull(t.at(0)) * 1000 + std::stoull(t.at(1)) / 1000;
        std::vector<std::string> users =
            redis_->command({"HGETALL", RedisServer::list_key(key, "users")});
        uint32_t n = 0;
        for (size_t i = 1; i < users.size(); i += 2) {
            char *end;
            unsigned long count = std::strtoul(users[i].c_str(), &end, 10);
            if (std::strtoull(end, nullptr, 10) >= now) n += uint32_t(count);
        }
        return n;
    }
    bool list_exists(uint32_t key) const {
        if (shm()) {
            char name[16];
            std::snprintf(name, sizeof name, "%08X", key);
            return exists(name);
        }
        return redis_->command({"EXISTS", RedisServer::list_key(key, "meta")}) ==
               std::vector<std::string>{"1"};
    }
    // Count, bytes used, free and total words.
    struct Counters {
        uint32_t count, used, free_words, total_words;
    };
    Counters counters(XHANDLE list, uint32_t key) const {
        if (shm()) {
            zax::GlobalRegion *r = region(list);
            return {r->h.count, r->h.used, r->h.free_words, r->h.total_words};
        }
        std::vector<std::string> m = redis_->command(
            {"HMGET", RedisServer::list_key(key, "meta"), "used", "free", "total"});
        std::vector<std::string> n = redis_->command({"LLEN", RedisServer::list_key(key, "data")});
        return {uint32_t(std::stoul(n.at(0))), uint32_t(std::stoul(m.at(0))),
                uint32_t(std::stoul(m.at(1))), uint32_t(std::stoul(m.at(2)))};
    }
    std::unique_ptr<RedisServer> redis_;
};

TEST_P(GlobalListOn, ASecondProcessAttachesAndSharesTheElements) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE a = XCreateGlobalList(1000, 0x1234, 0x177);
    ASSERT_NE(a, nullptr);
    if (shm()) {
        zax::GlobalRegion *r = region(a);
        // The region: 250 words, a bitmap of 32 bytes, the data area at 88.
        EXPECT_EQ(r->h.type, 71u);
        EXPECT_EQ(r->h.capacity, 1000u);
        EXPECT_EQ(r->h.tag, 0x177u);
        EXPECT_EQ(r->h.total_words, 250u);
        EXPECT_EQ(r->h.free_words, 250u);
        EXPECT_EQ(r->h.data_offset, 88u);
        EXPECT_EQ(r->h.attach, 1u);
        const auto *seg =
            reinterpret_cast<const zax::ShmHeader *>(reinterpret_cast<char *>(r) - 16);
        EXPECT_EQ(seg->total, 16u + 88u + 1000u);
        EXPECT_EQ(seg->tag1, 0x77);
        EXPECT_EQ(seg->tag2, 0xF1);
    }

    ASSERT_EQ(XAddGlobalList(a, "first", 5, -1), 1);
    ASSERT_EQ(XAddGlobalList(a, "second", 6, -1), 1);
    if (shm()) {
        zax::GlobalRegion *r = region(a);
        // Links are offsets from the region's start, never addresses.
        EXPECT_EQ(r->first, 88u);
        EXPECT_EQ(r->last, 88u + 5u * 4u);
    } else {
        EXPECT_EQ(counters(a, 0x1234).total_words, 250u);
        EXPECT_EQ(counters(a, 0x1234).free_words, 250u - 5u - 5u);
        EXPECT_EQ(counters(a, 0x1234).used, 5u + 6u + 24u);
    }

    HelperResult h = RunHelper(
        {"glist", "1234", "1000", "0x177", "peek:0", "peek:-1", "num", "add:third", "destroy"});
    EXPECT_EQ(h.exit_code, 0);
    EXPECT_EQ(h.out, "peek first\npeek second\nnum 2\ndestroy 1\n");
    EXPECT_EQ(XGetGlobalListNum(a), 3);
    EXPECT_EQ(peek(a, -1), "third");
    EXPECT_EQ(attached(a, 0x1234), 1u);

    // A second handle in the same process is one more attachment.
    XHANDLE b = XCreateGlobalList(1000, 0x1234, 0x177);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(attached(a, 0x1234), 2u);
    EXPECT_EQ(peek(b, 2), "second");
    EXPECT_EQ(XDestroyGlobalList(b), 1);
    EXPECT_EQ(attached(a, 0x1234), 1u);
    EXPECT_EQ(XDestroyGlobalList(a), 1);
    EXPECT_FALSE(list_exists(0x1234));
}

TEST_P(GlobalListOn, AnotherCapacityOrTagIsRefusedAndTheListStaysAsItWas) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE a = XCreateGlobalList(1000, 0x1234, 7);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(XAddGlobalList(a, "keep", 4, -1), 1);
    HelperResult h = RunHelper({"glist", "1234", "2000", "7"});
    EXPECT_EQ(h.exit_code, 1);
    EXPECT_EQ(h.out, "create error AA0002 1\n");
    h = RunHelper({"glist", "1234", "1000", "8"});
    EXPECT_EQ(h.exit_code, 1);
    EXPECT_EQ(h.out, "create error AA0002 2\n");
    EXPECT_EQ(XCreateGlobalList(999, 0x1234, 7), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 2), 1, 2);
    EXPECT_EQ(XCreateGlobalList(1000, 0x1234, 0x107), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 2), 2, 2);
    EXPECT_EQ(attached(a, 0x1234), 1u);
    EXPECT_EQ(XGetGlobalListNum(a), 1);
    EXPECT_EQ(peek(a, 0), "keep");

    // A segment of the key that holds no list is refused the same way.
    if (shm()) {
        XHANDLE seg = nullptr;
        void *area = XAllocShrMemory(&seg, 4096, 0x4321, 0, 0);
        ASSERT_NE(area, X_FAILED_PTR);
        EXPECT_EQ(XCreateGlobalList(1000, 0x4321, 0), nullptr);
        EXPECT_LAST_ERROR(code(kCreate, 2), 1, 2);
        EXPECT_EQ(XFreeShrMemory(area, seg), 1);
    }
    EXPECT_EQ(XDestroyGlobalList(a), 1);
}

TEST_P(GlobalListOn, TheLastProcessToLeaveFreesTheList) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    // B creates the list and stays until told to go; C comes and goes.
    std::string ready = path("b.ready"), go = path("b.go");
    int b = SpawnHelper({"glist", "55", "500", "3", "add:fromB", "touch:" + ready, "wait:" + go,
                         "destroy"});
    ASSERT_GT(b, 0);
    for (int i = 0; i < 2000 && access(ready.c_str(), F_OK) != 0; ++i) usleep(5000);
    ASSERT_EQ(access(ready.c_str(), F_OK), 0);
    XHANDLE a = XCreateGlobalList(500, 0x55, 3);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(attached(a, 0x55), 2u);
    EXPECT_EQ(peek(a, 0), "fromB");
    HelperResult c = RunHelper({"glist", "55", "500", "3", "num", "add:fromC", "destroy"});
    EXPECT_EQ(c.out, "num 1\ndestroy 1\n");
    EXPECT_EQ(attached(a, 0x55), 2u);

    // The creator leaving does not end the list while this process has it.
    ASSERT_TRUE(WriteFile(go, ""));
    EXPECT_EQ(WaitHelper(b), 0);
    EXPECT_EQ(attached(a, 0x55), 1u);
    EXPECT_EQ(XGetGlobalListNum(a), 2);
    EXPECT_EQ(peek(a, -1), "fromC");
    EXPECT_TRUE(list_exists(0x55));

    // The last one out frees segment and key; the next create starts afresh.
    EXPECT_EQ(XDestroyGlobalList(a), 1);
    EXPECT_FALSE(list_exists(0x55));
    if (shm()) {
        EXPECT_EQ(XGetVectorTable("00000055"), 0u);
    }
    a = XCreateGlobalList(500, 0x55, 3);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(XGetGlobalListNum(a), 0);
    EXPECT_EQ(attached(a, 0x55), 1u);
    EXPECT_EQ(XDestroyGlobalList(a), 1);
}

TEST_P(GlobalListOn, ElementsFromTwoProducersArriveInTheirOrder) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE list = XCreateGlobalList(64 * 1024, 0x77, 0);
    ASSERT_NE(list, nullptr);
    constexpr int kEach = 400;
    std::string go = path("go");
    int p1 = SpawnHelper({"glist", "77", "65536", "0", "wait:" + go, "addn:A:400", "destroy"});
    int p2 = SpawnHelper({"glist", "77", "65536", "0", "wait:" + go, "addn:B:400", "destroy"});
    ASSERT_GT(p1, 0);
    ASSERT_GT(p2, 0);
    ASSERT_TRUE(WriteFile(go, ""));
    // Consume while they produce: each producer's elements in its own order.
    std::map<char, int> next{{'A', 0}, {'B', 0}};
    int received = 0;
    for (int spins = 0; received < 2 * kEach && spins < 200000; ++spins) {
        char buf[32] = {};
        int32_t n = XPeekGlobalListT(list, buf, sizeof buf, 0, -1);
        if (n <= 0) {
            usleep(100);
            continue;
        }
        ASSERT_EQ(XRemoveGlobalList(list, buf, sizeof buf, 0), 1);
        std::string s(buf, size_t(n));
        ASSERT_EQ(s.substr(1), std::to_string(next[s[0]])) << s;
        ++next[s[0]];
        ++received;
    }
    EXPECT_EQ(received, 2 * kEach);
    EXPECT_EQ(WaitHelper(p1), 0);
    EXPECT_EQ(WaitHelper(p2), 0);
    EXPECT_EQ(attached(list, 0x77), 1u);
    Counters c = counters(list, 0x77);
    EXPECT_EQ(c.count, 0u);
    EXPECT_EQ(c.used, 0u);
    EXPECT_EQ(c.free_words, c.total_words);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_P(GlobalListOn, AProcessThatDiesHoldingTheLockLeavesItToTheNext) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE list = XCreateGlobalList(100, 0x66, 0);
    ASSERT_NE(list, nullptr);
    HelperResult h = RunHelper({"glist", "66", "100", "0", "add:x", "hold", "kill"});
    EXPECT_EQ(h.signal, SIGKILL);
    EXPECT_EQ(XAddGlobalListT(list, "y", 1, -1, 5000), 1);
    EXPECT_EQ(XGetGlobalListNumT(list, 0), 2);
    EXPECT_EQ(peek(list, 0), "x");
    if (shm()) {
        // Its attachment stays counted: the list outlives this process's leaving.
        EXPECT_EQ(region(list)->h.attach, 2u);
        EXPECT_EQ(region(list)->h.depth, 0u);
        EXPECT_EQ(XDestroyGlobalList(list), 1);
        EXPECT_TRUE(exists("00000066"));
    } else {
        // Its lock and its attachment ended with its lease: leaving ends the list.
        EXPECT_EQ(attached(list, 0x66), 1u);
        EXPECT_EQ(XDestroyGlobalList(list), 1);
        EXPECT_FALSE(list_exists(0x66));
    }
}

TEST_P(GlobalListOn, AProcessThatEndsAttachedLeavesTheListSound) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE list = XCreateGlobalList(4000, 0x67, 0);
    ASSERT_NE(list, nullptr);
    HelperResult h = RunHelper({"glist", "67", "4000", "0", "addn:k:50", "exit"});
    EXPECT_EQ(h.exit_code, 0);
    EXPECT_EQ(XGetGlobalListNum(list), 50);
    for (int i = 0; i < 50; ++i) {
        char buf[8] = {};
        ASSERT_EQ(XRemoveGlobalList(list, buf, sizeof buf, 0), 1);
        EXPECT_EQ(std::string(buf), "k" + std::to_string(i));
    }
    Counters c = counters(list, 0x67);
    EXPECT_EQ(c.free_words, c.total_words);
    EXPECT_EQ(c.used, 0u);
    if (shm()) {
        zax::GlobalRegion *r = region(list);
        EXPECT_EQ(r->first, 0u);
        EXPECT_EQ(r->last, 0u);
    }
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

// A service that restarts without its table (its file lost) knows no key: a
// process that then creates the list of a live key joins the live list (its
// elements, and the others see its adds) instead of putting an empty list
// over its name.
TEST_F(GlobalList, ARestartedServiceNeverSplitsALiveList) {
    auto svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    XHANDLE list = XCreateGlobalList(1000, 0x6060, 0x5);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(XAddGlobalList(list, "a", 1, -1), 1);
    ASSERT_EQ(XAddGlobalList(list, "b", 1, -1), 1);
    svc.reset();
    ASSERT_EQ(unlink(path("ZAX_OMIKINIT.table").c_str()), 0);
    svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    uint32_t v[2];
    EXPECT_EQ(XGetVectorTableEx("00006060", v), 0u);  // the new service knows nothing

    HelperResult h = RunHelper({"glist", "6060", "1000", "0x5", "num", "peek:0", "add:c", "destroy"});
    EXPECT_EQ(h.exit_code, 0);
    EXPECT_EQ(h.out, "num 2\npeek a\ndestroy 1\n");
    EXPECT_EQ(XGetGlobalListNum(list), 3);
    EXPECT_EQ(peek(list, -1), "c");
    EXPECT_EQ(region(list)->h.attach, 1u);
    EXPECT_NE(XGetVectorTableEx("00006060", v), 0u);  // registered again by the joiner

    // Another capacity is refused as with a known key; the list stays.
    h = RunHelper({"glist", "6060", "2000", "0x5", "num"});
    EXPECT_EQ(h.out, "create error AA0002 1\n");
    EXPECT_EQ(XGetGlobalListNum(list), 3);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
    EXPECT_FALSE(exists("00006060"));
}

TEST_P(GlobalListOn, StorageRunsOutOfWordsBeforeTheCapacityAndFailsUnderItsOwnCode) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    // Capacity 100 is 25 words; an element of 1 byte counts 13 bytes but takes 4 words.
    XHANDLE list = XCreateGlobalList(100, 0x68, 0);
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(XAddGlobalList(list, "abcdef" + i, 1, -1), 1);
    EXPECT_EQ(XAddGlobalList(list, "g", 1, -1), 0);
    EXPECT_LAST_ERROR(code(kAllocList, 2), 0, 2);
    EXPECT_EQ(XAddGlobalListT(list, "g", 1, -1, 0), -1);
    // Free words 4 + 4 + 1, none of them five in a row in a region; a list
    // on Redis has no region to scatter them in.
    ASSERT_EQ(XRemoveGlobalList(list, nullptr, 0, 2), 1);
    ASSERT_EQ(XRemoveGlobalList(list, nullptr, 0, 3), 1);
    if (shm()) {
        EXPECT_EQ(XAddGlobalList(list, "12345", 5, -1), 0);
        EXPECT_LAST_ERROR(code(kAllocList, 3), 0, 2);
        EXPECT_EQ(XGetGlobalListNum(list), 4);
    } else {
        EXPECT_EQ(XAddGlobalList(list, "12345", 5, -1), 1);
        EXPECT_EQ(XGetGlobalListNum(list), 5);
        EXPECT_EQ(counters(list, 0x68).free_words, 4u);
    }
    // The capacity itself still applies first.
    EXPECT_EQ(XAddGlobalList(list, std::string(60, 'x').data(), 60, -1), 0);
    EXPECT_LAST_ERROR(code(kAdd, 3), 0, 2);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_P(GlobalListOn, GlobalFormsMapTheirResults) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    EXPECT_EQ(XCreateGlobalList(0, 1, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 1), 1, 2);
    EXPECT_EQ(XCreateGlobalList(10, 0, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, 1), 2, 2);
    EXPECT_EQ(XDestroyGlobalList(nullptr), 0);
    EXPECT_LAST_ERROR(code(kDestroy, 1), 1, 2);
    EXPECT_EQ(XGetGlobalListNum(nullptr), -1);
    EXPECT_LAST_ERROR(code(kNum, 1), 1, 2);
    EXPECT_EQ(XGetGlobalListNumT(nullptr, 0), -1);
    EXPECT_EQ(XAddGlobalList(nullptr, "a", 1, -1), 0);
    EXPECT_EQ(XAddGlobalListT(nullptr, "a", 1, -1, 0), -1);
    EXPECT_EQ(XPeekGlobalList(nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(XPeekGlobalListT(nullptr, nullptr, 0, 0, 0), -1);
    EXPECT_EQ(XRemoveGlobalList(nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(XRemoveGlobalListT(nullptr, nullptr, 0, 0, 0), -1);

    XHANDLE list = XCreateGlobalList(100, 0x69, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(XAddGlobalList(list, "abc", 3, -1), 1);
    EXPECT_EQ(XPeekGlobalList(list, nullptr, 0, 0), 3);
    EXPECT_EQ(XPeekGlobalListT(list, nullptr, 0, 0, 0), 3);
    // A global list is left, never destroyed as a local one.
    EXPECT_EQ(XDestroyList(list), 0);
    EXPECT_LAST_ERROR(code(kDestroyList, 1), 1, 2);
    EXPECT_EQ(XGetGlobalListNum(list), 1);

    // Held by another thread: every T form times out with -2, the lock's error.
    ASSERT_EQ(X_lock_list(list), 1);
    std::vector<int32_t> got;
    std::thread([&] {
        got.push_back(XAddGlobalListT(list, "x", 1, -1, 0));
        got.push_back(XRemoveGlobalListT(list, nullptr, 0, 0, 0));
        got.push_back(XPeekGlobalListT(list, nullptr, 0, 0, 0));
        got.push_back(XGetGlobalListNumT(list, 10));
        got.push_back(XSaveGlobalListT(list, path("s").c_str(), 0));
        got.push_back(XLoadGlobalListT(list, path("s").c_str(), 0));
        got.push_back(XGetLastError(nullptr) == code(kLockObj, 2) ? 1 : 0);
    }).join();
    EXPECT_EQ(got, (std::vector<int32_t>{-2, -2, -2, -2, -2, -2, 1}));
    EXPECT_EQ(X_unlock_list(list), 1);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(GlobalList, WithoutTheServiceCreationFailsWithTheConnectionError) {
    zax::omik::pause_ms = 1;
    EXPECT_EQ(XCreateGlobalList(100, 5, 0), nullptr);
    EXPECT_LAST_ERROR(code(0x8d, 3), ENOENT, 1);
    EXPECT_FALSE(exists("00000005"));
}

INSTANTIATE_TEST_SUITE_P(Backends, GlobalListOn,
                         ::testing::Values(Backend::SharedMemory, Backend::Redis), BackendName);

}  // namespace
