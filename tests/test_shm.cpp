// Shared memory segments.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "OMIKINIT/omikextn.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

class Shm : public ZaxTest {
protected:
    void TearDown() override {
        zax::omik::pause_ms = 100;
        ZaxTest::TearDown();
    }
};

TEST_F(Shm, SegmentIsSharedWithAnotherProcessBehindItsHeader) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE h = nullptr;
    char *area = static_cast<char *>(XAllocShrMemory(&h, 100, 0x1234ABCD, 0x1FF, 0x02));
    ASSERT_NE(area, X_FAILED_PTR);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(area[i], 0) << i;
    const unsigned char *hdr = reinterpret_cast<unsigned char *>(area) - 16;
    EXPECT_EQ(std::memcmp(hdr, "KELM", 4), 0);
    uint32_t total, key;
    std::memcpy(&total, hdr + 4, 4);
    std::memcpy(&key, hdr + 8, 4);
    EXPECT_EQ(total, 116u);
    EXPECT_EQ(key, 0x1234ABCDu);
    EXPECT_EQ(hdr[12], 0xFF);  // low bytes of the tags
    EXPECT_EQ(hdr[13], 0x02);
    EXPECT_EQ(hdr[14] | hdr[15], 0);

    // The vector table records the key with the size.
    uint32_t v[2];
    EXPECT_NE(XGetVectorTableEx("1234ABCD", v), 0u);
    EXPECT_EQ(v[1], 100u);

    std::strcpy(area, "from parent");
    HelperResult r = RunHelper({"shmpeek", "1234ABCD", "from child"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "from parent KELM 116 1234ABCD\n");
    EXPECT_STREQ(area, "from child");

    // Opening in this process gives a second view of the same bytes.
    XHANDLE h2 = nullptr;
    char *again = static_cast<char *>(XOpenShrMemory(&h2, 0x1234ABCD));
    ASSERT_NE(again, X_FAILED_PTR);
    EXPECT_STREQ(again, "from child");
    EXPECT_EQ(XCloseShrMemory(again, h2), 1);
    EXPECT_EQ(XFreeShrMemory(area, h), 1);
}

TEST_F(Shm, SegmentIsCommittedWhenItIsCreated) {
    // Its storage is reserved at once: a full file system fails the
    // allocation instead of a later touch of the area raising SIGBUS.
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE h = nullptr;
    const uint32_t size = 1024 * 1024;
    void *area = XAllocShrMemory(&h, size, 0x5E6, 0, 0);
    ASSERT_NE(area, X_FAILED_PTR);
    struct stat st;
    ASSERT_EQ(stat(path("000005E6").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t(size) + 16);
    EXPECT_GE(off_t(st.st_blocks) * 512, off_t(size) + 16);
    EXPECT_EQ(XFreeShrMemory(area, h), 1);
}

TEST_F(Shm, KeyIsAllocatedUntilFreedAndViewsOutliveTheFree) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE h = nullptr, h2 = nullptr, h3 = nullptr;
    char *a = static_cast<char *>(XAllocShrMemory(&h, 64, 0x77, 0, 0));
    ASSERT_NE(a, X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);  // the lookup that found the key free
    EXPECT_EQ(XAllocShrMemory(&h2, 64, 0x77, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa0, 16), 0, 2);

    char *view = static_cast<char *>(XOpenShrMemory(&h2, 0x77));
    ASSERT_NE(view, X_FAILED_PTR);
    std::strcpy(a, "still here");
    EXPECT_EQ(XFreeShrMemory(a, h), 1);
    // The key is free at once...
    EXPECT_EQ(XOpenShrMemory(&h3, 0x77), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);
    // ...while the other view stays valid.
    EXPECT_STREQ(view, "still here");
    // A new segment of the same key is a new, empty one.
    char *b = static_cast<char *>(XAllocShrMemory(&h3, 32, 0x77, 0, 0));
    ASSERT_NE(b, X_FAILED_PTR);
    EXPECT_EQ(b[0], 0);
    EXPECT_STREQ(view, "still here");
    // Freeing through the old view does not remove the new segment's file.
    EXPECT_EQ(XCloseShrMemory(view, h2), 1);
    struct stat st;
    EXPECT_EQ(stat(path("00000077").c_str(), &st), 0);
    EXPECT_EQ(XFreeShrMemory(b, h3), 1);
    EXPECT_NE(stat(path("00000077").c_str(), &st), 0);
}

TEST_F(Shm, ArgumentsAndMissingKeysFailWithMinusOne) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE h = nullptr;
    EXPECT_EQ(XAllocShrMemory(nullptr, 1, 1, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa0, 1), 1, 2);
    EXPECT_EQ(XAllocShrMemory(&h, 0, 1, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa0, 1), 2, 2);
    EXPECT_EQ(XAllocShrMemory(&h, 1, 0, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa0, 1), 3, 2);
    EXPECT_EQ(XAllocShrMemory(&h, 0xFFFFFFF0u, 9, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa0, 2), EINVAL, 1);
    EXPECT_EQ(XOpenShrMemory(nullptr, 1), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa2, 1), 1, 2);
    EXPECT_EQ(XOpenShrMemory(&h, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa2, 1), 2, 2);
    EXPECT_EQ(XOpenShrMemory(&h, 0x4242), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);
    char area[32] = {};
    EXPECT_EQ(XFreeShrMemory(nullptr, h), 0);
    EXPECT_LAST_ERROR(code(0xa1, 1), 1, 2);
    EXPECT_EQ(XCloseShrMemory(area + 16, nullptr), 0);
    EXPECT_LAST_ERROR(code(0xa1, 1), 2, 2);

    // A key registered but whose segment file is gone cannot be opened.
    ASSERT_EQ(XSetVectorTable("00000099", 1, 1), 1);
    EXPECT_EQ(XOpenShrMemory(&h, 0x99), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa2, 2), ENOENT, 1);
}

TEST_F(Shm, WithoutTheServiceAllocAndOpenFailWithTheConnectionError) {
    zax::omik::pause_ms = 1;
    XHANDLE h = nullptr;
    EXPECT_EQ(XAllocShrMemory(&h, 10, 5, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0x8d, 3), ENOENT, 1);
    EXPECT_EQ(XOpenShrMemory(&h, 5), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0x8d, 3), ENOENT, 1);
    struct stat st;
    EXPECT_NE(stat(path("00000005").c_str(), &st), 0);  // nothing left behind
}

// Allocating a key whose segment some process still uses (a service
// restarted without its table lost the key) attaches to that segment as it
// stands; a file that nobody holds any more is a leftover and is replaced by
// a new segment.
TEST_F(Shm, AllocatingAKeyWhoseSegmentIsInUseAttachesToIt) {
    auto svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    XHANDLE h = nullptr;
    char *area = static_cast<char *>(XAllocShrMemory(&h, 100, 0xA77, 1, 2));
    ASSERT_NE(area, X_FAILED_PTR);
    std::strcpy(area, "live");
    svc.reset();
    ASSERT_EQ(unlink(path("ZAX_OMIKINIT.table").c_str()), 0);
    svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());

    XHANDLE h2 = nullptr;
    char *again = static_cast<char *>(XAllocShrMemory(&h2, 60, 0xA77, 7, 8));
    ASSERT_NE(again, X_FAILED_PTR);
    EXPECT_STREQ(again, "live");
    uint32_t total;
    std::memcpy(&total, again - 12, 4);
    EXPECT_EQ(total, 116u);  // the header stays the segment's own
    EXPECT_EQ(static_cast<unsigned char>(again[-4]), 1);
    uint32_t v[2];
    ASSERT_NE(XGetVectorTableEx("00000A77", v), 0u);
    EXPECT_EQ(v[1], 100u);
    EXPECT_EQ(XCloseShrMemory(again, h2), 1);

    // More than the live segment holds cannot be had from it.
    svc.reset();
    ASSERT_EQ(unlink(path("ZAX_OMIKINIT.table").c_str()), 0);
    svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    EXPECT_EQ(XAllocShrMemory(&h2, 200, 0xA77, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xA0, 2), EEXIST, 1);

    // Left by everyone (closed without a free): a leftover, made anew.
    EXPECT_EQ(XCloseShrMemory(area, h), 1);
    struct stat st;
    ASSERT_EQ(stat(path("00000A77").c_str(), &st), 0);
    area = static_cast<char *>(XAllocShrMemory(&h, 200, 0xA77, 0, 0));
    ASSERT_NE(area, X_FAILED_PTR);
    EXPECT_EQ(area[0], 0);
    std::memcpy(&total, area - 12, 4);
    EXPECT_EQ(total, 216u);
    EXPECT_EQ(XFreeShrMemory(area, h), 1);
}

}  // namespace
