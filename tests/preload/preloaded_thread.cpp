// A thread that existed before the library was loaded records and reads its
// own errors; the library is loaded with dlopen, after the thread started.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "zaxxlib.h"

namespace {

using SetFn = int32_t (*)(uint32_t, uint32_t, uint32_t);
using GetFn = uint32_t (*)(XErrorInfo *);

TEST(PreloadedThread, RecordsAndReadsErrorsAfterDlopen) {
    std::mutex m;
    std::condition_variable cv;
    bool loaded = false;
    SetFn set = nullptr;
    GetFn get = nullptr;
    uint32_t seen_first = 1, seen_after = 0;
    XErrorInfo info{};

    std::thread early([&] {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return loaded; });
        seen_first = get(nullptr);  // the record is made on this first use
        set(0x790002, 5, 1);
        seen_after = get(&info);
    });

    void *lib = dlopen(ZAXXLIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    set = reinterpret_cast<SetFn>(dlsym(lib, "XSetLastError"));
    get = reinterpret_cast<GetFn>(dlsym(lib, "XGetLastError"));
    ASSERT_NE(set, nullptr);
    ASSERT_NE(get, nullptr);
    {
        std::lock_guard<std::mutex> lk(m);
        loaded = true;
    }
    cv.notify_all();
    early.join();

    EXPECT_EQ(seen_first, 0u);
    EXPECT_EQ(seen_after, 0x790002u);
    EXPECT_EQ(info.detail, 5u);
    EXPECT_EQ(info.kind, 1u);
    EXPECT_STREQ(info.text, "00000005");
    // The loading thread kept its own record, which holds what the load
    // left there: the failed open of the settings file (there is none).
    EXPECT_NE(get(nullptr), 0u);
    EXPECT_NE(get(nullptr), 0x790002u);
    EXPECT_EQ(dlclose(lib), 0);
}

}  // namespace
