// System information: what the system reports, combined with the system
// description file.
#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kFunc = 0x28, kInfo = 0x1e;

class SysInfo : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_XSYSTEM");
        ZaxTest::TearDown();
    }
    void describe(const std::string &text) { WriteFile(path("XSYSTEM"), text); }
};

// Runs body in a child of a new session without a controlling terminal, or
// (with_tty) with a fresh pseudo-terminal as its controlling terminal. The
// child's exit status is the number of the first check that failed, or 0.
template <typename Body>
int in_session(bool with_tty, Body body) {
    int master = -1;
    std::string slave;
    if (with_tty) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 100;
        slave = ptsname(master);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (setsid() < 0) _exit(101);
        if (with_tty) {
            // The first terminal a session leader opens becomes its own.
            if (open(slave.c_str(), O_RDWR) < 0) _exit(102);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (master >= 0) close(master);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

std::string user() {
    struct passwd *pw = getpwuid(geteuid());
    return pw != nullptr ? std::string(pw->pw_name).substr(0, 32) : "";
}

std::string host() {
    char h[256] = {};
    gethostname(h, sizeof h - 1);
    return std::string(h).substr(0, 32);
}

bool last_error_is(uint32_t code, uint32_t detail, uint32_t kind) {
    XErrorInfo e{};
    XGetLastError(&e);
    return e.code == code && e.detail == detail && e.kind == kind;
}

// The fields that do not depend on the session.
bool system_fields_ok(const XSystemInfo &r) {
    XOsInfo os{};
    XGetOsInfo(&os);
    static const char zeros[40] = {};
    return r.platform == 200 && r.os_name == 270 && r.os_major == os.major &&
           r.os_minor == os.minor && r.os_level == os.build && r.reserved1 == 0 &&
#if defined(__x86_64__)
           r.cpu_name == 8664 &&
#endif
           r.cpu_count == uint32_t(sysconf(_SC_NPROCESSORS_ONLN)) && r.sbcs == 32 &&
           r.mbcs == 165 && r.word_size == sizeof(void *) * 8 && r.byte_order == 2 &&
           r.jes[0] == '\0' && r.step[0] == '\0' && std::memcmp(r.reserved2, zeros, 40) == 0;
}

}  // namespace

TEST_F(SysInfo, WithATerminalEveryNameIsFilled) {
    unsetenv("LC_ALL");
    setenv("LANG", "C", 1);
    int failed = in_session(true, [] {
        XSystemInfo r;
        std::memset(&r, 0xAB, sizeof r);
        if (XGetSystemInfoFunc(&r) != 1) return 1;
        if (!system_fields_ok(r)) return 2;
        if (host() != r.machine) return 3;
        if (user() != r.user_id) return 4;
        // The job name is the command line, arguments joined by spaces.
        std::string cmd = ReadFile("/proc/self/cmdline");
        while (!cmd.empty() && cmd.back() == '\0') cmd.pop_back();
        for (char &c : cmd) c = c == '\0' ? ' ' : c;
        if (cmd.substr(0, 256) != r.job) return 5;
        if (r.location[0] != '\0') return 6;  // the C locale names no country
        return 0;
    });
    EXPECT_EQ(failed, 0);
}

TEST_F(SysInfo, WithoutATerminalTheLaterNamesStayEmpty) {
    setenv("LANG", "C", 1);
    int failed = in_session(false, [] {
        XSystemInfo r;
        std::memset(&r, 0xAB, sizeof r);
        if (XGetSystemInfoFunc(&r) != 0) return 1;
        if (!last_error_is((kFunc << 16) | 2, ENXIO, 1)) return 2;
        if (r.machine[0] != '\0' || r.user_id[0] != '\0' || r.job[0] != '\0') return 3;
        // The codes are filled whatever the names did.
        if (!system_fields_ok(r)) return 4;
        return 0;
    });
    EXPECT_EQ(failed, 0);
}

TEST_F(SysInfo, AMissingLocaleStopsTheNamesAtTheFirst) {
    setenv("LC_ALL", "zz_ZZ.UTF-8", 1);
    int failed = in_session(true, [] {
        XSystemInfo r;
        if (XGetSystemInfoFunc(&r) != 0) return 1;
        if (!last_error_is((kFunc << 16) | 6, ENOENT, 1)) return 2;
        if (r.job[0] != '\0' || r.machine[0] != '\0') return 3;
        return 0;
    });
    unsetenv("LC_ALL");
    EXPECT_EQ(failed, 0);
}

TEST_F(SysInfo, TheDescriptionFileOverridesAndRescuesAFailure) {
    setenv("LANG", "C", 1);
    // Without a file: the system's result and its error.
    int failed = in_session(false, [] {
        XSystemInfo r;
        if (XGetSystemInfo(&r) != 0) return 1;
        if (!last_error_is((kFunc << 16) | 2, ENXIO, 1)) return 2;
        return system_fields_ok(r) ? 0 : 3;
    });
    EXPECT_EQ(failed, 0);

    describe("OS :\nPLATFORM = WINDOWS\nLOCATION :\nMACHINE = HOSTX\nSTEP = STEP1\n");
    failed = in_session(false, [] {
        XSystemInfo r;
        if (XGetSystemInfo(&r) != 1) return 1;
        if (r.platform != 300 || std::string(r.machine) != "HOSTX" ||
            std::string(r.step) != "STEP1")
            return 2;
        if (r.os_name != 270 || r.sbcs != 32) return 3;  // the system's values stay
        return 0;
    });
    EXPECT_EQ(failed, 0);

    // A bad file: its error, and 0.
    describe("OS :\nPLATFORM = unix\n");
    XSystemInfo r;
    EXPECT_EQ(XGetSystemInfo(&r), 0);
    EXPECT_LAST_ERROR(code(0x29, 2), 1, 2);

    // A search that fails otherwise than by absence: its error, and 0.
    setenv("ZAXXLIB_XSYSTEM", std::string(250, 'd').c_str(), 1);  // the path is too long
    EXPECT_EQ(XGetSystemInfo(&r), 0);
    EXPECT_LAST_ERROR(code(0x7e, 1), 1, 2);
}

TEST_F(SysInfo, WithoutAFileASuccessLeavesTheAbsenceInTheRecord) {
    unsetenv("LC_ALL");
    setenv("LANG", "C", 1);
    int failed = in_session(true, [] {
        XSystemInfo r;
        XSetLastError(0x12345, 7, 2);
        if (XGetSystemInfo(&r) != 1) return 1;
        // The system's answer stands; nothing of before is put back.
        if (!last_error_is((0x7eu << 16) | 4, ENOENT, 1)) return 2;
        return 0;
    });
    EXPECT_EQ(failed, 0);
}

TEST_F(SysInfo, NoRecordIsRefused) {
    EXPECT_EQ(XGetSystemInfoFunc(nullptr), 0);
    EXPECT_LAST_ERROR(code(kFunc, 1), 1, 2);
    EXPECT_EQ(XGetSystemInfo(nullptr), 0);
    EXPECT_LAST_ERROR(code(kInfo, 1), 1, 2);
}

TEST(UniqueKey, KeysGrowStrictlyAcrossThreads) {
    EXPECT_EQ(XGetUniqueKey(nullptr), 0);
    EXPECT_LAST_ERROR(code(0x22, 1), 1, 2);

    // Packed date and time of now: YYYY DDD F, then HH MM SS hh.
    unsigned char first[8];
    ASSERT_EQ(XGetUniqueKey(first), 1);
    XClock now{};
    XCalendar cal{};
    ASSERT_EQ(XGetTime(&now), 1);
    ASSERT_EQ(XGetTimeDetail(&now, &cal), 1);
    unsigned char date[4];
    ASSERT_EQ(XPackDate(&cal, date), 1);
    EXPECT_EQ(std::memcmp(first, date, 2), 0);  // the year

    constexpr int kThreads = 4, kEach = 15;
    std::vector<std::string> keys[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&keys, t] {
            for (int i = 0; i < kEach; ++i) {
                unsigned char k[8];
                if (XGetUniqueKey(k) != 1) return;
                keys[t].emplace_back(reinterpret_cast<char *>(k), 8);
            }
        });
    }
    for (auto &th : threads) th.join();
    std::set<std::string> all;
    for (auto &list : keys) {
        ASSERT_EQ(list.size(), size_t(kEach));
        // Within one thread each key is greater than the one before (the
        // test does not run across midnight of the year's last day).
        for (size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1], list[i]);
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), size_t(kThreads * kEach));  // no key twice
    EXPECT_EQ(all.count(std::string(reinterpret_cast<char *>(first), 8)), 0u);
}
