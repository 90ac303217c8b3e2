// Memory, buffers, strings and arithmetic.
#include <sys/stat.h>

#include <cstring>

#include "os/rundir.h"

#include "zaxtest.h"

using namespace zaxtest;

class Core : public ZaxTest {};

TEST_F(Core, AllocMemoryGivesZeroFilledBlocksAndRefusesSizeZero) {
    auto *p = static_cast<unsigned char *>(XAllocMemory(16, 0));
    ASSERT_NE(p, X_FAILED_PTR);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(XFreeMemory(p), 1);

    EXPECT_EQ(XAllocMemory(0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa4, 1), 1, 2);

    EXPECT_EQ(XAllocMemory(-5, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(0xa4, 2), ENOMEM, 1);
}

TEST_F(Core, FreeMemoryRefusesNullForeignAndFreedBlocks) {
    EXPECT_EQ(XFreeMemory(nullptr), 0);
    EXPECT_LAST_ERROR(code(0xa5, 1), 1, 2);

    alignas(16) unsigned char foreign[64] = {};
    EXPECT_EQ(XFreeMemory(foreign + 16), 0);
    EXPECT_LAST_ERROR(code(0xa5, 2), EINVAL, 1);

    void *p = XAllocMemory(32, 0);
    ASSERT_EQ(XFreeMemory(p), 1);
}

TEST_F(Core, BufferCopiesClearsAndComparisons) {
    char a[8] = "abcdefg";
    char b[8] = {};
    EXPECT_EQ(XCopyBuf(b, a, 8), b);
    EXPECT_STREQ(b, "abcdefg");
    EXPECT_EQ(XMoveBuf(a + 1, a, 5), a + 1);  // overlapping
    EXPECT_STREQ(a, "aabcdeg");
    EXPECT_EQ(XClearBuf(b, 'x', 3), b);
    EXPECT_STREQ(b, "xxxdefg");

    const unsigned char lo[2] = {0x01, 0x7F}, hi[2] = {0x01, 0x80};
    EXPECT_EQ(XCompBuf(lo, hi, 2), -1);  // unsigned: 0x80 is greater
    EXPECT_EQ(XCompBuf(hi, lo, 2), 1);
    EXPECT_EQ(XCompBuf(lo, hi, 1), 0);
    EXPECT_EQ(XCompBuf(lo, hi, 0), 0);
    // Negative lengths do nothing rather than run through memory.
    EXPECT_EQ(XClearBuf(b, 'y', -1), b);
    EXPECT_STREQ(b, "xxxdefg");
}

TEST_F(Core, GetBufLenFindsTheByteWithinTheLimit) {
    const char text[] = "abc";
    EXPECT_EQ(XGetBufLen(text, 0, 10), 3);
    EXPECT_EQ(XGetBufLen(text, 0, 3), -1);
    EXPECT_LAST_ERROR(code(0x67, 2), 0, 2);
    EXPECT_EQ(XGetBufLen(nullptr, 0, 3), -1);
    EXPECT_LAST_ERROR(code(0x67, 1), 1, 2);
    EXPECT_EQ(XGetBufLen(text, 0, 0), -1);
    EXPECT_LAST_ERROR(code(0x67, 1), 3, 2);
}

TEST_F(Core, GetStrLenStopsAtTerminatorZeroOrLimit) {
    EXPECT_EQ(XGetStrLen("abc", 'b', -1), 1);
    EXPECT_EQ(XGetStrLen("abc", 0, 2), 2);
    EXPECT_EQ(XGetStrLen("abc", 0, 10), 3);
    // Unbounded: a terminator above 0x7F is never found.
    EXPECT_EQ(XGetStrLen("ab\xA1" "cd", 0xA1, -1), 5);
    // Bounded: compared as unsigned bytes, so it is.
    EXPECT_EQ(XGetStrLen("ab\xA1" "cd", 0xA1, 10), 2);

    XSetLastError(0, 0, 0);
    EXPECT_EQ(XGetStrLen("abc", 0, 2), 2);
    EXPECT_EQ(XGetLastError(nullptr), 0u);  // hitting the limit is no error

    EXPECT_EQ(XGetStrLen(nullptr, 0, -1), -1);
    EXPECT_LAST_ERROR(code(0x110, 1), 1, 2);
    EXPECT_EQ(XGetStrLen("abc", 0, 0), -1);
    EXPECT_LAST_ERROR(code(0x110, 1), 3, 2);
    EXPECT_EQ(XGetStrLen("abc", 0, -2), -1);
    EXPECT_LAST_ERROR(code(0x110, 1), 3, 2);
}

TEST_F(Core, CompStrComparesLengthsThenBytes) {
    EXPECT_EQ(XCompStr("abc", "abd", 0, -1), -1);
    EXPECT_EQ(XCompStr("abd", "abc", 0, -1), 1);
    EXPECT_EQ(XCompStr("abc", "ab", 0, -1), -2);
    EXPECT_EQ(XCompStr("abc;x", "abc;y", ';', -1), 0);
    EXPECT_EQ(XCompStr("abcdef", "abcxyz", 0, 3), 0);
    // Lengths that cannot be had never compare equal.
    EXPECT_EQ(XCompStr(nullptr, nullptr, 0, -1), -2);
    EXPECT_LAST_ERROR(code(0x110, 1), 1, 2);
    EXPECT_EQ(XCompStr("a", "a", 0, 0), -2);
}

TEST_F(Core, ConcatStrAppends) {
    char buf[16] = "abc";
    EXPECT_EQ(XConcatStr(buf, "def"), buf);
    EXPECT_STREQ(buf, "abcdef");
}

TEST_F(Core, TestMaskChecksEveryByte) {
    EXPECT_EQ(XTestMask("123", 3, "0123456789"), 1);
    EXPECT_EQ(XTestMask("12a", 3, "0123456789"), 0);
    EXPECT_LAST_ERROR(code(0x10f, 2), 0, 2);
    // A zero byte always counts as allowed.
    EXPECT_EQ(XTestMask("1\0" "2", 3, "12"), 1);
    EXPECT_EQ(XTestMask(nullptr, 3, "1"), 0);
    EXPECT_LAST_ERROR(code(0x10f, 1), 1, 2);
    EXPECT_EQ(XTestMask("1", 0, "1"), 0);
    EXPECT_LAST_ERROR(code(0x10f, 1), 2, 2);
    EXPECT_EQ(XTestMask("1", 1, nullptr), 0);
    EXPECT_LAST_ERROR(code(0x10f, 1), 3, 2);
    // High bytes are tested as bytes, not as signed characters.
    EXPECT_EQ(XTestMask("\xB1\xB2", 2, "\xB2\xB1"), 1);
}

TEST_F(Core, CalcGCD) {
    const uint32_t v1[] = {12, 18, 30};
    EXPECT_EQ(XCalcGCD(v1, 3), 6u);
    const uint32_t v2[] = {7};
    EXPECT_EQ(XCalcGCD(v2, 1), 7u);
    const uint32_t v3[] = {0, 5};
    EXPECT_EQ(XCalcGCD(v3, 2), 5u);
    const uint32_t v4[] = {0, 0, 0};
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XCalcGCD(v4, 3), 0u);
    EXPECT_EQ(XGetLastError(nullptr), 0u);
    const uint32_t v5[] = {0xFFFFFFFFu, 0xFFFFFFFFu / 5 * 3};
    EXPECT_EQ(XCalcGCD(v5, 2), 0xFFFFFFFFu / 5);
    EXPECT_EQ(XCalcGCD(nullptr, 1), 0u);
    EXPECT_LAST_ERROR(code(0x1, 1), 1, 2);
    EXPECT_EQ(XCalcGCD(v1, 0), 0u);
    EXPECT_LAST_ERROR(code(0x1, 1), 2, 2);
}

TEST_F(Core, CalcPrimeNum) {
    EXPECT_EQ(XCalcPrimeNum(100), 97u);
    EXPECT_EQ(XCalcPrimeNum(97), 97u);
    EXPECT_EQ(XCalcPrimeNum(2), 2u);
    EXPECT_EQ(XCalcPrimeNum(3), 3u);
    EXPECT_EQ(XCalcPrimeNum(4), 3u);
    EXPECT_EQ(XCalcPrimeNum(9), 7u);
    EXPECT_EQ(XCalcPrimeNum(25), 23u);
    EXPECT_EQ(XCalcPrimeNum(0xFFFFFFFFu), 4294967291u);
    EXPECT_EQ(XCalcPrimeNum(1), 0u);
    EXPECT_LAST_ERROR(code(0x2, 1), 1, 2);
    EXPECT_EQ(XCalcPrimeNum(0), 0u);
    EXPECT_LAST_ERROR(code(0x2, 1), 1, 2);
}

TEST_F(Core, RunDirIsMadeOnDemand) {
    std::string dir;
    std::string sub = path("objects");
    setenv("ZAXXLIB_RUNDIR", sub.c_str(), 1);
    ASSERT_EQ(zax::os::run_dir(&dir), 0);
    EXPECT_EQ(dir, sub);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);  // the default sharing mode, user
    std::string p;
    EXPECT_EQ(zax::os::object_path("ZAXLOCK00000001.lck", &p), 0);
    EXPECT_EQ(p, sub + "/ZAXLOCK00000001.lck");
}
