// Global lists on a Redis server: which keys go there, many processes at
// once, clients that die, and a server that goes away and comes back.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "redis_server.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreate = 0xaa, kAdd = 0xb6, kRemove = 0xb7, kNum = 0xbb;
constexpr uint32_t kServer = 8;  // the reason of a server that cannot be used

class RedisList : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        if (!RedisServer::available()) GTEST_SKIP() << "no redis-server or companion";
        redis_ = std::make_unique<RedisServer>(rundir_);
        ASSERT_TRUE(redis_->start());
        redis_->use();
    }
    void TearDown() override {
        redis_.reset();
        ZaxTest::TearDown();
    }
    std::vector<std::string> cmd(const std::vector<std::string> &args) const {
        return redis_->command(args);
    }
    std::vector<std::string> elements(uint32_t key) const {
        return cmd({"LRANGE", RedisServer::list_key(key, "data"), "0", "-1"});
    }
    // The counters agree with the elements the server holds.
    void ExpectSound(uint32_t key) const {
        std::vector<std::string> m =
            cmd({"HMGET", RedisServer::list_key(key, "meta"), "used", "free", "total"});
        ASSERT_EQ(m.size(), 3u);
        uint64_t used = 0, words = 0;
        for (const auto &e : elements(key)) {
            used += e.size() + 12;
            words += (e.size() + 12 + 3) / 4;
        }
        EXPECT_EQ(std::stoull(m[0]), used);
        EXPECT_EQ(std::stoull(m[1]) + words, std::stoull(m[2]));
    }
    // Processes that add and remove at once: every element added is removed
    // by exactly one of them.
    void Churn(int processes);
    std::unique_ptr<RedisServer> redis_;
};

TEST_F(RedisList, TheSettingsChooseTheKeysThatLiveOnTheServer) {
    // From the settings file: two ranges; the environment does not say.
    unsetenv("ZAXXLIB_REDIS_URL");
    unsetenv("ZAXXLIB_REDIS_KEYS");
    setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    WriteFile(path("XTORASYS"), "REDIS :\nURL = " + redis_->url() +
                                    "/3\nKEYS = \"0x100-0x1FF, 4096\"\nLEASE = 1500\n");
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    // Without its client library no list goes to the server (once loaded,
    // the library stays).
    setenv("ZAXXLIB_ZAXREDIS", path("no-such-companion.so").c_str(), 1);
    EXPECT_EQ(XCreateGlobalList(100, 0x180, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, kServer), ELIBACC, 1);
    redis_->use();
    unsetenv("ZAXXLIB_REDIS_URL");
    unsetenv("ZAXXLIB_REDIS_KEYS");
    XHANDLE on_redis = XCreateGlobalList(100, 0x180, 0);
    XHANDLE also = XCreateGlobalList(100, 4096, 0);
    XHANDLE in_shm = XCreateGlobalList(100, 0x200, 0);
    ASSERT_NE(on_redis, nullptr);
    ASSERT_NE(also, nullptr);
    ASSERT_NE(in_shm, nullptr);
    struct stat st;
    EXPECT_NE(stat(path("00000180").c_str(), &st), 0);
    EXPECT_EQ(stat(path("00000200").c_str(), &st), 0);
    // Database 3 holds them.
    ASSERT_EQ(XAddGlobalList(on_redis, "r", 1, -1), 1);
    std::vector<std::string> info = cmd({"INFO", "keyspace"});
    ASSERT_EQ(info.size(), 1u);
    EXPECT_NE(info[0].find("db3:keys="), std::string::npos) << info[0];
    EXPECT_EQ(info[0].find("db0:"), std::string::npos) << info[0];
    for (XHANDLE l : {on_redis, also, in_shm}) EXPECT_EQ(XDestroyGlobalList(l), 1);

    // An empty URL in the environment keeps every list in shared memory.
    setenv("ZAXXLIB_REDIS_URL", "", 1);
    XHANDLE l = XCreateGlobalList(100, 0x181, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(stat(path("00000181").c_str(), &st), 0);
    EXPECT_EQ(XDestroyGlobalList(l), 1);

    // Settings that make no sense fail the creation rather than pick a place.
    for (const char *url : {"http://127.0.0.1:1", "redis://", "redis://h:0", "redis://h:1/x"}) {
        setenv("ZAXXLIB_REDIS_URL", url, 1);
        EXPECT_EQ(XCreateGlobalList(100, 0x182, 0), nullptr) << url;
        EXPECT_LAST_ERROR(code(kCreate, kServer), EINVAL, 1);
    }
    setenv("ZAXXLIB_REDIS_URL", redis_->url().c_str(), 1);
    setenv("ZAXXLIB_REDIS_KEYS", "0x100-0x1", 1);
    EXPECT_EQ(XCreateGlobalList(100, 0x182, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, kServer), EINVAL, 1);
}

TEST_F(RedisList, APasswordFromAFileIsGivenToTheServer) {
    ASSERT_EQ(cmd({"CONFIG", "SET", "requirepass", "s3cret"}), std::vector<std::string>{"OK"});
    EXPECT_EQ(XCreateGlobalList(100, 0x10, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, kServer), EACCES, 1);
    WriteFile(path("pw"), "s3cret\n");
    setenv("ZAXXLIB_REDIS_PASSWORD_FILE", path("pw").c_str(), 1);
    XHANDLE l = XCreateGlobalList(100, 0x10, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(XAddGlobalList(l, "x", 1, -1), 1);
    EXPECT_EQ(XDestroyGlobalList(l), 1);
    setenv("ZAXXLIB_REDIS_PASSWORD_FILE", path("missing").c_str(), 1);
    EXPECT_EQ(XCreateGlobalList(100, 0x10, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, kServer), ENOENT, 1);
}

void RedisList::Churn(int processes) {
    constexpr int kEach = 300;
    XHANDLE list = XCreateGlobalList(64 * 1024, 0x90, 0);
    ASSERT_NE(list, nullptr);
    std::string go = path("go");
    std::vector<int> pids;
    std::vector<std::string> outs;
    for (int p = 0; p < processes; ++p) {
        outs.push_back(path("out" + std::to_string(p)));
        FILE *f = std::fopen(outs.back().c_str(), "w");
        int pid = SpawnHelper({"glist", "90", "65536", "0", "wait:" + go,
                               "churn:" + std::string(1, char('A' + p)) + ":" + std::to_string(kEach),
                               "destroy"},
                              fileno(f));
        std::fclose(f);
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    WriteFile(go, "");
    for (int pid : pids) EXPECT_EQ(WaitHelper(pid), 0);
    std::map<std::string, int> seen;
    for (const auto &o : outs) {
        std::istringstream in(ReadFile(o));
        std::string word, data;
        while (in >> word >> data) {
            if (word == "destroy") continue;
            ASSERT_EQ(word, "got") << data;
            ++seen[data];
        }
    }
    EXPECT_EQ(seen.size(), size_t(processes * kEach));
    for (const auto &[data, n] : seen) EXPECT_EQ(n, 1) << data;
    EXPECT_EQ(XGetGlobalListNum(list), 0);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(RedisList, TwoProcessesAddingAndRemovingLoseAndDuplicateNothing) { Churn(2); }
TEST_F(RedisList, ThreeProcessesAddingAndRemovingLoseAndDuplicateNothing) { Churn(3); }

TEST_F(RedisList, AClientKilledInTheMiddleLeavesTheListSoundAndStopsCounting) {
    XHANDLE list = XCreateGlobalList(1 << 20, 0x91, 0);
    ASSERT_NE(list, nullptr);
    int pid = SpawnHelper({"glist", "91", "1048576", "0", "churn:K:1000000"});
    ASSERT_GT(pid, 0);
    // Kill it while it is busy: once the server has seen some of its work.
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::string> ops = cmd({"HLEN", RedisServer::list_key(0x91, "ops")});
        if (!ops.empty() && ops[0] != "0") break;
        usleep(5000);
    }
    usleep(20000);
    kill(pid, SIGKILL);
    EXPECT_EQ(WaitHelper(pid), -1);
    ExpectSound(0x91);
    int32_t n = XGetGlobalListNum(list);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, 1);  // it adds one, then removes one
    ASSERT_EQ(XAddGlobalList(list, "after", 5, -1), 1);
    ExpectSound(0x91);
    // Its attachment ends with its lease: leaving now ends the list.
    EXPECT_EQ(cmd({"HLEN", RedisServer::list_key(0x91, "users")}), std::vector<std::string>{"2"});
    usleep(1700 * 1000);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
    EXPECT_EQ(cmd({"EXISTS", RedisServer::list_key(0x91, "meta")}), std::vector<std::string>{"0"});
}

TEST_F(RedisList, AServerThatGoesAwayFailsTheCallsAndTheNextCallsReconnect) {
    XHANDLE list = XCreateGlobalList(1000, 0x92, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(XAddGlobalList(list, "one", 3, -1), 1);

    // Stopped: each call fails with the server's reason and the errno.
    redis_->stop();
    EXPECT_EQ(XAddGlobalList(list, "two", 3, -1), 0);
    EXPECT_LAST_ERROR(code(kAdd, kServer), ECONNREFUSED, 1);
    EXPECT_EQ(XRemoveGlobalListT(list, nullptr, 0, 0, 0), -1);
    EXPECT_LAST_ERROR(code(kRemove, kServer), ECONNREFUSED, 1);
    EXPECT_EQ(XGetGlobalListNum(list), -1);
    EXPECT_LAST_ERROR(code(kNum, kServer), ECONNREFUSED, 1);
    EXPECT_EQ(XCreateGlobalList(1000, 0x93, 0), nullptr);
    EXPECT_LAST_ERROR(code(kCreate, kServer), ECONNREFUSED, 1);

    // Back with its data (and without its scripts): the next call goes on.
    ASSERT_TRUE(redis_->start());
    EXPECT_EQ(XGetGlobalListNum(list), 1);
    ASSERT_EQ(XAddGlobalList(list, "two", 3, -1), 1);
    EXPECT_EQ(elements(0x92), (std::vector<std::string>{"one", "two"}));

    // Connections dropped by the server, scripts flushed: nothing shows.
    cmd({"CLIENT", "KILL", "TYPE", "normal"});
    cmd({"SCRIPT", "FLUSH"});
    ASSERT_EQ(XAddGlobalList(list, "three", 5, 0), 1);
    cmd({"CLIENT", "KILL", "TYPE", "normal"});
    char buf[8] = {};
    ASSERT_EQ(XRemoveGlobalList(list, buf, sizeof buf, -1), 1);
    EXPECT_STREQ(buf, "two");
    EXPECT_EQ(elements(0x92), (std::vector<std::string>{"three", "one"}));
    ExpectSound(0x92);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(RedisList, ACallThatTimesOutChangesNothing) {
    XHANDLE list = XCreateGlobalList(1000, 0x94, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(XAddGlobalList(list, "one", 3, -1), 1);
    // The server takes no commands for longer than a call waits (2 s).
    ASSERT_EQ(cmd({"CLIENT", "PAUSE", "5000", "ALL"}), std::vector<std::string>{"OK"});
    EXPECT_EQ(XAddGlobalList(list, "two", 3, -1), 0);
    EXPECT_LAST_ERROR(code(kAdd, kServer), ETIMEDOUT, 1);
    cmd({"CLIENT", "UNPAUSE"});
    EXPECT_EQ(XGetGlobalListNum(list), 1);
    EXPECT_EQ(elements(0x94), std::vector<std::string>{"one"});
    ExpectSound(0x94);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(RedisList, TheListLockNestsForItsHolderAndHoldsOthersOff) {
    XHANDLE list = XCreateGlobalList(100, 0x95, 0);
    ASSERT_NE(list, nullptr);
    // The list lock nests for its holder.
    ASSERT_EQ(X_lock_list(list), 1);
    ASSERT_EQ(X_lock_list(list), 1);
    EXPECT_EQ(XAddGlobalListT(list, "a", 1, -1, 0), 1);
    EXPECT_EQ(X_unlock_list(list), 1);
    int32_t other = 0;
    std::thread([&] { other = XGetGlobalListNumT(list, 0); }).join();
    EXPECT_EQ(other, -2);
    EXPECT_EQ(X_unlock_list(list), 1);
    EXPECT_EQ(X_unlock_list(list), 0);
    std::thread([&] { other = XGetGlobalListNumT(list, 0); }).join();
    EXPECT_EQ(other, 1);
    EXPECT_EQ(cmd({"EXISTS", RedisServer::list_key(0x95, "lock")}), std::vector<std::string>{"0"});
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

}  // namespace
