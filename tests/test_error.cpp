// The per-thread error record.
#include <cstring>
#include <thread>

#include "zaxtest.h"

using namespace zaxtest;

TEST(ErrorRecord, FreshThreadReadsNoError) {
    std::thread t([] {
        XErrorInfo info;
        std::memset(&info, 0x55, sizeof info);
        EXPECT_EQ(XGetLastError(&info), 0u);
        EXPECT_EQ(info.detail, 0u);
        EXPECT_EQ(info.kind, 0u);
        EXPECT_EQ(info.text[0], '\0');
        EXPECT_EQ(XGetLastError(nullptr), 0u);
    });
    t.join();
}

TEST(ErrorRecord, SetThenGetKeepsCodeDetailKindAndText) {
    EXPECT_EQ(XSetLastError(0x790002, 5, 1), 1);
    XErrorInfo a{}, b{};
    EXPECT_EQ(XGetLastError(&a), 0x790002u);
    EXPECT_EQ(a.detail, 5u);
    EXPECT_EQ(a.kind, 1u);
    EXPECT_STREQ(a.text, "00000005");
    for (size_t i = 9; i < sizeof a.text; ++i) EXPECT_EQ(a.text[i], '\0') << i;
    // Reading does not reset the record.
    EXPECT_EQ(XGetLastError(&b), 0x790002u);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));

    XSetLastError(0x10001, 0xFFFFFFFFu, 2);
    XGetLastError(&a);
    EXPECT_STREQ(a.text, "FFFFFFFF");

    XSetLastError(0, 0, 0);
    XGetLastError(&a);
    EXPECT_EQ(a.code, 0u);
    EXPECT_STREQ(a.text, "00000000");
}

TEST(ErrorRecord, ThreadsNeverSeeEachOthersErrors) {
    XSetLastError(0x790002, 5, 1);
    std::thread t([] {
        EXPECT_EQ(XGetLastError(nullptr), 0u);
        XSetLastError(0x230001, 3, 2);
        EXPECT_EQ(XGetLastError(nullptr), 0x230001u);
    });
    t.join();
    EXPECT_EQ(XGetLastError(nullptr), 0x790002u);
}

TEST(ErrorRecord, ManyShortLivedThreadsEachGetTheirOwnRecord) {
    // Threads that end give their records back; this also runs under the
    // leak and thread sanitizers.
    for (int round = 0; round < 4; ++round) {
        std::thread ts[16];
        for (uint32_t i = 0; i < 16; ++i)
            ts[i] = std::thread([i] {
                XSetLastError(0x10000 + i, i, 2);
                XErrorInfo e{};
                EXPECT_EQ(XGetLastError(&e), 0x10000 + i);
                EXPECT_EQ(e.detail, i);
            });
        for (auto &t : ts) t.join();
    }
}

TEST(ErrorRecord, HelperProcessHasItsOwnRecord) {
    XSetLastError(0x110001, 1, 2);
    HelperResult r = RunHelper({"error"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "790002 5 1 00000005\n");
    EXPECT_EQ(XGetLastError(nullptr), 0x110001u);
}
