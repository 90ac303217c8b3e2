// Saving lists to files and loading them back, all or nothing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "redis_server.h"
#include "xlist.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kAllocList = 0xac, kAdd = 0xb6, kLoad = 0xb9, kSave = 0xba,
                   kOpenFile = 0x78, kReadFile = 0x7a;

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

class ListFile : public ZaxTest {
protected:
    void TearDown() override {
        for (XHANDLE l : lists_) EXPECT_EQ(XDestroyList(l), 1);
        ZaxTest::TearDown();
    }
    XHANDLE make(uint32_t capacity, const Texts &texts = {}) {
        XHANDLE l = XCreateList(capacity, 0, 0);
        EXPECT_NE(l, nullptr);
        for (const auto &t : texts) EXPECT_EQ(XAddList(l, t.data(), uint32_t(t.size()), -1), 1);
        lists_.push_back(l);
        return l;
    }
    static Texts contents(XHANDLE l) {
        Texts out;
        int32_t n = XGetListNumT(l, -1);
        for (int32_t i = 1; i <= n; ++i) {
            char buf[256];
            int32_t size = XPeekList(l, buf, sizeof buf, i);
            out.emplace_back(buf, size_t(size));
        }
        return out;
    }
    Bytes read(const std::string &name) const {
        const std::string s = ReadFile(path(name));
        return Bytes(s.begin(), s.end());
    }
    void write(const std::string &name, const Bytes &b) const {
        ASSERT_TRUE(WriteFile(path(name), std::string(b.begin(), b.end())));
    }
    // A file of the saved-list format: header (payload, count) then records.
    static Bytes file(uint32_t payload, uint32_t count, const Bytes &records) {
        Bytes b;
        for (uint32_t v : {payload, count})
            for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
        b.insert(b.end(), records.begin(), records.end());
        return b;
    }
    static Bytes record(const std::string &data) {
        Bytes b;
        uint32_t n = uint32_t(data.size());
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(n >> (8 * i)));
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
    static Bytes cat(std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const auto &p : parts) b.insert(b.end(), p.begin(), p.end());
        return b;
    }
    std::string name(const std::string &n) const { return path(n); }
    std::vector<XHANDLE> lists_;
};

TEST_F(ListFile, SaveWritesCountPayloadAndRecordsInOrder) {
    XHANDLE l = make(0, {"abc", "defgh"});
    ASSERT_EQ(XSaveList(l, name("f").c_str()), 1);
    EXPECT_EQ(read("f"), file(16, 2, cat({record("abc"), record("defgh")})));
    EXPECT_EQ(read("f").size(), 24u);
    // Saving again over a longer file cuts it to the new content.
    ASSERT_EQ(XRemoveList(l, nullptr, 0, -1), 1);
    ASSERT_EQ(XSaveListT(l, name("f").c_str(), 0), 1);
    EXPECT_EQ(read("f"), file(7, 1, record("abc")));
    // An empty list gives 8 zero bytes.
    XHANDLE e = make(0);
    ASSERT_EQ(XSaveList(e, name("empty").c_str()), 1);
    EXPECT_EQ(read("empty"), Bytes(8, 0));
}

TEST_F(ListFile, LoadReplacesTheWholeContent) {
    XHANDLE src = make(0, {"one", "two", "three"});
    ASSERT_EQ(XSaveList(src, name("f").c_str()), 1);
    XHANDLE dst = make(0, {"old1", "old2"});
    ASSERT_EQ(XLoadList(dst, name("f").c_str()), 1);
    EXPECT_EQ(contents(dst), (Texts{"one", "two", "three"}));
    // The loaded list works as any other: both ends and the middle.
    ASSERT_EQ(XAddList(dst, "mid", 3, 2), 1);
    ASSERT_EQ(XRemoveList(dst, nullptr, 0, -1), 1);
    EXPECT_EQ(contents(dst), (Texts{"one", "mid", "two"}));
    // An empty file empties the list.
    XHANDLE e = make(0);
    ASSERT_EQ(XSaveList(e, name("empty").c_str()), 1);
    ASSERT_EQ(XLoadListT(dst, name("empty").c_str(), 0), 1);
    EXPECT_EQ(XGetListNum(dst), 0);
    // A loaded list stays consistent under the heap checks of the sanitizer build.
    ASSERT_EQ(XLoadList(dst, name("f").c_str()), 1);
    ASSERT_EQ(XLoadList(dst, name("f").c_str()), 1);
    EXPECT_EQ(XGetListNum(dst), 3);
}

TEST_F(ListFile, AFailedLoadLeavesTheListExactlyAsItWas) {
    const Texts before{"keep", "these"};
    struct Case {
        const char *what;
        Bytes bytes;
        uint32_t code, detail, kind;
    };
    const std::vector<Case> cases = {
        // The payload is more than the capacity of 60.
        {"payload over capacity", file(61, 1, record(std::string(57, 'p'))), code(kLoad, 2), 0, 2},
        // 48 payload bytes fit, but four elements count 4 x 20 bytes: the
        // fourth add fails on the capacity.
        {"elements over capacity",
         file(48, 4, cat({record("12345678"), record("12345678"), record("12345678"),
                          record("12345678")})),
         code(kAdd, 3), 0, 2},
        // Fewer bytes than the header announces: the missing ones read as 0,
        // and a record of size 0 cannot be added.
        {"short payload", file(30, 2, record("abc")), code(kAdd, 1), 3, 2},
        // The zeros form a valid record: the load fails all the same.
        {"short data", file(20, 1, Bytes{16, 0, 0, 0, 'x'}), code(kReadFile, 1), 0, 1},
        {"zero-length record", file(8, 2, cat({record(""), record("abcd")})), code(kAdd, 1), 3, 2},
        {"record past the payload", file(9, 2, cat({record("abcd"), record("z")})), code(kLoad, 3), 2, 2},
        {"size field past the payload", file(10, 2, cat({record("abcd"), Bytes{1, 0}})),
         code(kLoad, 3), 2, 2},
        {"no header", Bytes{1, 0, 0}, code(kReadFile, 1), 0, 1},
        {"empty file", Bytes{}, code(kReadFile, 1), 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write("bad", c.bytes);
        XHANDLE l = make(60, before);
        auto *h = static_cast<zax::ListHandle *>(l);
        zax::LocalRegion copy = *static_cast<zax::LocalRegion *>(h->region);
        EXPECT_EQ(XLoadListT(l, name("bad").c_str(), -1), -1);
        EXPECT_LAST_ERROR(c.code, c.detail, c.kind);
        EXPECT_EQ(std::memcmp(&copy, h->region, sizeof copy), 0);
        EXPECT_EQ(contents(l), before);
        EXPECT_EQ(XLoadList(l, name("bad").c_str()), 0);
    }
}

#if !defined(__SANITIZE_ADDRESS__)
// The address space of this process, in kB.
long vm_size_kb() {
    FILE *f = std::fopen("/proc/self/status", "r");
    long kb = -1;
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "VmSize:", 7) == 0) kb = std::atol(line + 7);
    if (f != nullptr) std::fclose(f);
    return kb;
}
#endif

// A header that claims far more than the file holds fails as a short file
// does, without taking the memory it claims: in a child process whose
// address space cannot grow by what the header claims, the load still fails
// with the end of the file, not for want of memory.
TEST_F(ListFile, AHeaderThatClaimsMoreThanTheFileTakesNoMemoryForIt) {
    constexpr uint32_t kClaim = 256u << 20;
    write("bomb", file(kClaim, 1, cat({Bytes{0xfc, 0xff, 0xff, 0x0f}, Bytes(32, 'a')})));
    pid_t pid = fork();
    if (pid == 0) {
        XHANDLE l = XCreateList(0, 0, 0);
#if !defined(__SANITIZE_ADDRESS__)  // its allocator reserves address space of its own
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = rlim_t(vm_size_kb() + 64 * 1024) * 1024;
        setrlimit(RLIMIT_AS, &limit);
#endif
        int32_t r = XLoadListT(l, name("bomb").c_str(), -1);
        XErrorInfo e{};
        bool failed_short = r == -1 && XGetLastError(&e) == code(kReadFile, 1) &&
                            XGetListNum(l) == 0;
        _exit(failed_short ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // With a capacity, the record that reaches past the file is refused as
    // its add would refuse it.
    write("short", file(56, 1, cat({Bytes{52, 0, 0, 0}, Bytes(3, 'a')})));
    XHANDLE l = make(60, {"kept"});
    EXPECT_EQ(XLoadList(l, name("short").c_str()), 0);
    EXPECT_LAST_ERROR(code(kAdd, 3), 0, 2);
    EXPECT_EQ(contents(l), Texts{"kept"});
}

TEST_F(ListFile, BadArgumentsAndMissingFilesChangeNothing) {
    XHANDLE l = make(0, {"x"});
    EXPECT_EQ(XSaveList(nullptr, "f"), 0);
    EXPECT_LAST_ERROR(code(kSave, 1), 1, 2);
    EXPECT_EQ(XSaveListT(l, nullptr, -1), -1);
    EXPECT_LAST_ERROR(code(kSave, 1), 2, 2);
    EXPECT_EQ(XLoadList(nullptr, "f"), 0);
    EXPECT_LAST_ERROR(code(kLoad, 1), 1, 2);
    EXPECT_EQ(XLoadListT(l, nullptr, -1), -1);
    EXPECT_LAST_ERROR(code(kLoad, 1), 2, 2);
    EXPECT_EQ(XLoadListT(l, name("missing").c_str(), -1), -1);
    EXPECT_EQ(XGetLastError(nullptr) >> 16, kOpenFile);
    EXPECT_EQ(XSaveListT(l, path("no/such/dir").c_str(), -1), -1);
    EXPECT_EQ(XGetLastError(nullptr) >> 16, kOpenFile);
    EXPECT_EQ(contents(l), (Texts{"x"}));
}

TEST_F(ListFile, ALoadWaitsWhileAWriterOrAnotherLoadHoldsTheFile) {
    XHANDLE l = make(0, {"a"});
    ASSERT_EQ(XSaveList(l, name("f").c_str()), 1);
    // A save's handle, and a handle opened as a load opens it.
    for (uint32_t access : {X_OPEN_READWRITE, X_OPEN_READ}) {
        SCOPED_TRACE(access);
        XFILE held = XOpenFile(name("f").c_str(), 0, access | X_OPEN_LOCK);
        ASSERT_NE(held, 0);
        std::atomic<int32_t> result{99};
        std::thread loader([&] { result = XLoadList(l, name("f").c_str()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(result.load(), 99);  // still waiting for the file
        EXPECT_EQ(XCloseFile(held), 1);
        loader.join();
        EXPECT_EQ(result.load(), 1);
        EXPECT_EQ(contents(l), (Texts{"a"}));
    }
}

// ---------------------------------------------------------------------------
// Global lists save and load through the same functions, on either backend.

class GlobalListFile : public ListFile, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        ListFile::SetUp();
        svc_ = std::make_unique<OmikinitService>(rundir_);
        ASSERT_TRUE(svc_->ready());
        if (!shm()) {
            if (!RedisServer::available()) GTEST_SKIP() << "no redis-server or companion";
            redis_ = std::make_unique<RedisServer>(rundir_);
            ASSERT_TRUE(redis_->start());
            redis_->use();
        }
    }
    void TearDown() override {
        for (XHANDLE g : globals_) EXPECT_EQ(XDestroyGlobalList(g), 1);
        redis_.reset();
        svc_.reset();
        ListFile::TearDown();
    }
    bool shm() const { return GetParam() == Backend::SharedMemory; }
    // The free words of a list's storage.
    uint32_t free_words(XHANDLE g, uint32_t key) const {
        if (shm())
            return static_cast<zax::GlobalRegion *>(static_cast<zax::ListHandle *>(g)->region)
                ->h.free_words;
        return uint32_t(std::stoul(
            redis_->command({"HGET", RedisServer::list_key(key, "meta"), "free"}).at(0)));
    }
    // Everything that stands for the list: its region, or its keys on the server.
    Bytes state(XHANDLE g, uint32_t key) const {
        if (shm()) {
            auto *r = static_cast<zax::GlobalRegion *>(static_cast<zax::ListHandle *>(g)->region);
            size_t bytes = r->h.data_offset + 4 * r->h.total_words;
            return Bytes(reinterpret_cast<uint8_t *>(r), reinterpret_cast<uint8_t *>(r) + bytes);
        }
        Bytes b;
        std::vector<std::string> meta =
            redis_->command({"HGETALL", RedisServer::list_key(key, "meta")});
        std::vector<std::string> data =
            redis_->command({"LRANGE", RedisServer::list_key(key, "data"), "0", "-1"});
        for (const auto *v : {&meta, &data})
            for (const auto &e : *v) {
                b.insert(b.end(), e.begin(), e.end());
                b.push_back(0);
            }
        return b;
    }
    std::unique_ptr<RedisServer> redis_;
    XHANDLE make_global(uint32_t capacity, uint32_t key, const Texts &texts = {}) {
        XHANDLE g = XCreateGlobalList(capacity, key, 0);
        EXPECT_NE(g, nullptr);
        for (const auto &t : texts)
            EXPECT_EQ(XAddGlobalList(g, t.data(), uint32_t(t.size()), -1), 1);
        globals_.push_back(g);
        return g;
    }
    std::vector<XHANDLE> globals_;
    std::unique_ptr<OmikinitService> svc_;
};

TEST_P(GlobalListFile, FilesMoveBetweenGlobalAndLocalLists) {
    XHANDLE g = make_global(1000, 0x31, {"g1", "g22", "g333"});
    ASSERT_EQ(XSaveGlobalList(g, name("g").c_str()), 1);
    XHANDLE l = make(0, {"l1"});
    ASSERT_EQ(XSaveList(l, name("l").c_str()), 1);
    // The file does not depend on the kind of list.
    XHANDLE l2 = make(0);
    ASSERT_EQ(XLoadList(l2, name("g").c_str()), 1);
    EXPECT_EQ(contents(l2), (Texts{"g1", "g22", "g333"}));
    ASSERT_EQ(XSaveList(l2, name("l2").c_str()), 1);
    EXPECT_EQ(read("l2"), read("g"));

    ASSERT_EQ(XLoadGlobalListT(g, name("l").c_str(), 0), 1);
    EXPECT_EQ(contents(g), (Texts{"l1"}));
    EXPECT_EQ(free_words(g, 0x31), 250u - 4u);
    // Its last element's next link is 0: removing from the end keeps the chain.
    ASSERT_EQ(XLoadGlobalList(g, name("g").c_str()), 1);
    ASSERT_EQ(XRemoveGlobalList(g, nullptr, 0, -1), 1);
    ASSERT_EQ(XAddGlobalList(g, "new", 3, -1), 1);
    EXPECT_EQ(contents(g), (Texts{"g1", "g22", "new"}));
}

TEST_P(GlobalListFile, AFailedLoadPutsTheWholeRegionBack) {
    XHANDLE g = make_global(100, 0x32, {"a", "bb"});
    ASSERT_EQ(XRemoveGlobalList(g, nullptr, 0, 0), 1);  // a hole before "bb"
    ASSERT_EQ(XAddGlobalList(g, "c", 1, -1), 1);
    Bytes before = state(g, 0x32);
    // Seven 1-byte records fit the capacity (91 of 100) but not the 25 words.
    Bytes recs;
    for (int i = 0; i < 7; ++i) recs = cat({recs, record("x")});
    write("seven", file(35, 7, recs));
    EXPECT_EQ(XLoadGlobalList(g, name("seven").c_str()), 0);
    EXPECT_LAST_ERROR(code(kAllocList, 2), 0, 2);
    EXPECT_EQ(state(g, 0x32), before);
    EXPECT_EQ(contents(g), (Texts{"bb", "c"}));
    ASSERT_EQ(XAddGlobalList(g, "d", 1, 0), 1);
    EXPECT_EQ(contents(g), (Texts{"d", "bb", "c"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, GlobalListFile,
                         ::testing::Values(Backend::SharedMemory, Backend::Redis), BackendName);

}  // namespace
