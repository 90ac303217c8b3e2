// No C++ exception leaves the C interface: a failed allocation inside a call
// becomes that call's recorded error, and an input too long for its buffer is
// refused before anything is built from it.
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

namespace {
// While set, the calling thread's operator new fails as memory running out.
thread_local bool t_new_fails = false;
}  // namespace

// The test program's operator new: the C library's allocator, failing on
// request. (Aligned and array forms reach these through the standard
// library.) Not in the sanitizer builds, whose runtime owns operator new.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool kCanStarve = true;
void *operator new(size_t n) {
    if (t_new_fails) throw std::bad_alloc();
    if (void *p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
#else
constexpr bool kCanStarve = false;
#endif

namespace {

constexpr uint32_t kCreateLock = 0x104, kCreateEvent = 0xa, kOpenRegistry = 0xc8;

class NoThrow : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_REGISTRY_DIR", path("reg").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_REGISTRY_DIR");
        ZaxTest::TearDown();
    }
};

// Runs call with every operator new of this thread failing; its result.
template <class F>
auto Starved(F call) {
    t_new_fails = true;
    auto r = call();
    t_new_fails = false;
    return r;
}

TEST_F(NoThrow, NamedObjectsAndKeysWithoutMemoryFailWithTheirRecordedError) {
    if (!kCanStarve) GTEST_SKIP() << "the sanitizer's runtime owns operator new";
    EXPECT_EQ(Starved([] { return XCreateLockObj(0x61); }), nullptr);
    EXPECT_LAST_ERROR(code(kCreateLock, 2), ENOMEM, 2);
    XHANDLE ev = nullptr;
    EXPECT_EQ(Starved([&] { return XCreateEvent(&ev, 0x62); }), 0);
    EXPECT_LAST_ERROR(code(kCreateEvent, 2), ENOMEM, 1);
    EXPECT_EQ(Starved([] { return XOpenRegistry(HKEY_CURRENT_USER, "Prod", "Sub", X_REG_ALL); }),
              X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenRegistry, 2), ENOMEM, 1);

    // Memory back: the same calls succeed.
    XHANDLE lock = XCreateLockObj(0x61);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(XDestroyLockObj(lock), 1);
    ASSERT_EQ(XCreateEvent(&ev, 0x62), 1);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    XHANDLE key = XOpenRegistry(HKEY_CURRENT_USER, "Prod", "Sub", X_REG_ALL);
    ASSERT_NE(key, X_FAILED_PTR);
    EXPECT_EQ(XCloseRegistry(key), 1);
}

TEST_F(NoThrow, AHugeKeyNameIsRefusedBeforeAnythingIsBuiltFromIt) {
    // Nothing may be allocated for the name (where operator new can fail).
    std::string huge(1 << 20, 'p');
    EXPECT_EQ(Starved([&] { return XOpenRegistry(HKEY_CURRENT_USER, huge.c_str(), nullptr, X_REG_ALL); }),
              X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenRegistry, 2), ENAMETOOLONG, 1);
    EXPECT_EQ(Starved([&] { return XDeleteRegKey(HKEY_CURRENT_USER, "P", huge.c_str()); }), 0);
    EXPECT_LAST_ERROR(code(0xd4, 2), ENAMETOOLONG, 1);
}

}  // namespace
