// Identity queries and object keys.
#include <sys/utsname.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "zaxtest.h"

using namespace zaxtest;

TEST(Identity, OsInfoIsLinuxWithTheKernelRelease) {
    EXPECT_EQ(XGetOsInfo(nullptr), X_PLATFORM_UNIX);
    XOsInfo info{};
    EXPECT_EQ(XGetOsInfo(&info), 200);
    EXPECT_EQ(info.os_name, 270u);
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    unsigned a = 0, b = 0, c = 0;
    std::sscanf(u.release, "%u.%u.%u", &a, &b, &c);
    EXPECT_EQ(info.major, a);
    EXPECT_EQ(info.minor, b);
    EXPECT_EQ(info.build, c);
}

TEST(Identity, ProcInfoGivesPidAndItsText) {
    XProcInfo p;
    std::memset(&p, 0x5A, sizeof p);
    ASSERT_EQ(XGetProcInfo(&p), 1);
    EXPECT_EQ(p.pid, uint32_t(getpid()));
    EXPECT_EQ(p.reserved, 0u);
    EXPECT_EQ(p.unused, 0x5A5A5A5Au);  // left as it was
    char want[16];
    std::snprintf(want, sizeof want, "%08X", unsigned(getpid()));
    EXPECT_STREQ(p.pid_text, want);

    EXPECT_EQ(XGetProcInfo(nullptr), 0);
    EXPECT_LAST_ERROR(code(0x21, 1), 1, 2);

    HelperResult r = RunHelper({"procinfo"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), 9u);
    EXPECT_NE(r.out, std::string(want) + "\n");
}

TEST(Identity, ThreadInfoDiffersBetweenThreads) {
    XThreadInfo a, b;
    std::memset(&a, 0x5A, sizeof a);
    ASSERT_EQ(XGetThreadInfo(&a), 1);
    EXPECT_EQ(a.tid, a.tid2);
    EXPECT_EQ(a.unused, 0x5A5A5A5Au);
    std::thread([&] { XGetThreadInfo(&b); }).join();
    EXPECT_NE(a.tid, b.tid);
    EXPECT_EQ(b.tid, b.tid2);
    EXPECT_EQ(XGetThreadInfo(nullptr), 0);
    EXPECT_LAST_ERROR(code(0x27, 1), 1, 2);
}

TEST(Identity, MakeKeyPacksAndChecksInOrder) {
    EXPECT_EQ(XMakeKey(2, "00", 1, 3), 0x20100003u);
    EXPECT_EQ(XMakeKey(4, "99", 255, 4095), 0x4FF99FFFu);
    EXPECT_EQ(XMakeKey(1, "42x", 0, 0), 0x10042000u);

    EXPECT_EQ(XMakeKey(5, "00", 1, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 1, 2);
    EXPECT_EQ(XMakeKey(0, "00", 1, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 1, 2);
    EXPECT_EQ(XMakeKey(2, "0A", 1, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 2, 2);
    EXPECT_EQ(XMakeKey(2, "0", 1, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 2, 2);
    EXPECT_EQ(XMakeKey(2, nullptr, 1, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 2, 2);
    EXPECT_EQ(XMakeKey(2, "00", 256, 3), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 3, 2);
    EXPECT_EQ(XMakeKey(2, "00", 1, 4096), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 4, 2);
    // The code is checked first, the kind last.
    EXPECT_EQ(XMakeKey(9, "xx", 999, 9999), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 2, 2);
    EXPECT_EQ(XMakeKey(9, "00", 1, 9999), 0u);
    EXPECT_LAST_ERROR(code(0x23, 1), 4, 2);
}

class IdentityRegistry : public ZaxTest {};

// The registry's own tests cover the value being there; here the store is
// empty (and kept inside the test's directory, never the machine's).
TEST_F(IdentityRegistry, NoMachineIsAServerWithoutTheRegistryValue) {
    setenv("ZAXXLIB_REGISTRY_DIR", path("reg").c_str(), 1);
    EXPECT_EQ(X_IsServer(), 0);
    EXPECT_EQ(XGetLastError(nullptr), 0u);
}
