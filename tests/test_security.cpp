// Attacks by another local user on the run-time directory and its objects,
// played by an unprivileged identity in a child process; and set-id programs.
// Each must be refused, or harmless, in the sharing modes that promise it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "os/mmap.h"
#include "os/rundir.h"
#include "os/shm.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kCreateLock = 0x104, kCreateEvent = 0xa, kAllocShm = 0xa0, kOpenShm = 0xa2;
constexpr gid_t kOtherGid = 65534;  // a group the strangers are not in

class Security : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        if (!IsRoot()) GTEST_SKIP() << "plays a second, unprivileged user: needs root";
        stranger_ = StrangerId(0);
        // The strangers may pass through the test's directory, and find in
        // it a world-writable sticky directory of root, as /dev/shm is.
        chmod(rundir_.c_str(), 0711);
        shared_ = path("shared");
        mkdir(shared_.c_str(), 0);
        chmod(shared_.c_str(), 01777);
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_SHARING");
        ZaxTest::TearDown();
    }
    // Runs fn as the stranger (outside every sharing scope of this test).
    int AsStranger(const std::function<int()> &fn, const std::vector<uint32_t> &groups = {}) {
        return RunAs(stranger_, stranger_, fn, groups);
    }
    void UseDir(const std::string &dir, const char *sharing) {
        setenv("ZAXXLIB_RUNDIR", dir.c_str(), 1);
        setenv("ZAXXLIB_SHARING", sharing, 1);
        XSetLastError(0, 0, 0);
    }
    uint32_t stranger_ = 0;
    std::string shared_;
};

int errno_of(int rc) { return rc == 0 ? 0 : errno; }

// Which of the names (in dir) the calling process can open for writing: bit
// i set for names[i].
int openable(const std::string &dir, const std::vector<std::string> &names) {
    int bits = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        int fd = open((dir + "/" + names[i]).c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW);
        if (fd >= 0) bits |= 1 << i;
        close(fd);
    }
    return bits;
}

bool can_connect(const std::string &path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Another user makes the library's directory before any program of the
// owner runs, then could remove a held lock's file or lock everybody out: a
// directory that others control is never used, and the failure names it.
TEST_F(Security, ADirectoryThatOthersControlIsRefusedAndNamed) {
    for (const char *mode : {"machine", "group:65534", "user"}) {
        SCOPED_TRACE(mode);
        std::string dir = shared_ + "/zaxxlib-" + std::string(mode).substr(0, 4);
        ASSERT_EQ(AsStranger([&] { return errno_of(mkdir(dir.c_str(), 0777) || chmod(dir.c_str(), 0777)); }), 0);
        UseDir(dir, mode);
        EXPECT_EQ(XCreateLockObj(0x12), nullptr);
        EXPECT_LAST_ERROR(code(kCreateLock, 2), EPERM, 2);
        std::string d, why;
        EXPECT_EQ(zax::os::run_dir(&d, nullptr, &why), EPERM);
        EXPECT_NE(why.find(dir + " "), std::string::npos) << why;
        EXPECT_NE(why.find("uid " + std::to_string(stranger_)), std::string::npos) << why;
        // Sticky or not, it stays the stranger's.
        ASSERT_EQ(AsStranger([&] { return errno_of(chmod(dir.c_str(), 01777)); }), 0);
        EXPECT_EQ(zax::os::run_dir(&d), EPERM);
    }

    struct Case {
        const char *mode;
        mode_t perms;
        gid_t group;
        int expected;
    } cases[] = {
        {"machine", 0777, 0, EPERM},      // anyone may swap its objects
        {"machine", 01777, 0, 0},         // as /dev/shm
        {"user", 0770, kOtherGid, EPERM}, // another group may swap them
        {"user", 0755, 0, 0},
        {"group:65534", 0770, kOtherGid, 0},
        {"group:65534", 0770, 0, EPERM},  // writable by a group that is not the sharing one
        {"group:65534", 0777, kOtherGid, EPERM},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dir = path("root-" + std::to_string(n++));
        ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
        ASSERT_EQ(chown(dir.c_str(), 0, c.group), 0);
        ASSERT_EQ(chmod(dir.c_str(), c.perms), 0);
        UseDir(dir, c.mode);
        std::string d;
        EXPECT_EQ(zax::os::run_dir(&d), c.expected) << c.mode << " " << std::oct << c.perms;
    }

    std::string good = path("good"), link = path("link"), file = path("file");
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    WriteFile(file, "x");
    std::string d;
    UseDir(link, "user");
    EXPECT_EQ(zax::os::run_dir(&d), ELOOP);
    UseDir(file, "user");
    EXPECT_EQ(zax::os::run_dir(&d), ENOTDIR);

    // A caller outside the sharing group is told so, not left to fail later.
    std::string group_dir = shared_ + "/group";
    UseDir(group_dir, "group:65534");
    EXPECT_EQ(zax::os::run_dir(&d), 0);
    EXPECT_EQ(AsStranger([&] { return zax::os::run_dir(&d); }), EPERM);
}

// A symbolic link under an object's name, to a file of the victim: the
// library refuses it and writes nothing into the target.
TEST_F(Security, SymbolicLinksUnderObjectNamesAreRefusedAndTheirTargetsUntouched) {
    UseDir(shared_, "machine");
    OmikinitService svc(shared_);
    ASSERT_TRUE(svc.ready());
    std::string secret = path("secret");
    WriteFile(secret, "SECRET-OF-THE-VICTIM-0123456789-0123456789-0123456789-0123456789");
    chmod(secret.c_str(), 0600);
    const char *names[] = {"ZAXLOCK00000077.lck", "ZAXEVT00000077.ev", "00000077", "ZAXSEMPHlink"};
    ASSERT_EQ(AsStranger([&] {
                  for (const char *n : names)
                      if (symlink(secret.c_str(), (shared_ + "/" + n).c_str()) != 0) return errno;
                  return 0;
              }),
              0);

    EXPECT_EQ(XCreateLockObj(0x77), nullptr);
    EXPECT_LAST_ERROR(code(kCreateLock, 2), ELOOP, 2);
    XHANDLE ev = nullptr;
    EXPECT_EQ(XCreateEvent(&ev, 0x77), 0);
    EXPECT_LAST_ERROR(code(kCreateEvent, 2), ELOOP, 1);
    XHANDLE seg = nullptr;
    EXPECT_EQ(XAllocShrMemory(&seg, 64, 0x77, 0, 0), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kAllocShm, 2), ELOOP, 1);
    zax::os::ShmSegment segment;
    zax::os::ShmLayout any{0, [](const void *, size_t, const void *) { return true; }, nullptr};
    EXPECT_EQ(zax::os::shm_open("00000077", any, &segment), ELOOP);
    int fd = -1;
    bool open_failed = false;
    EXPECT_EQ(zax::os::lock_file_acquire("ZAXSEMPHlink", &fd, &open_failed), ELOOP);
    EXPECT_EQ(ReadFile(secret), "SECRET-OF-THE-VICTIM-0123456789-0123456789-0123456789-0123456789");
}

// Every kind of object of a scope is closed to a user outside it (no lock
// held or smashed, no event posted or drained, no segment read, written or
// cut, no connection to the service), open to a member, and, in machine
// mode, by design open to all.
TEST_F(Security, ObjectsAreClosedToUsersOutsideTheScope) {
    const std::vector<std::string> names = {"ZAXLOCK00000088.lck", "ZAXEVT00000088.ev", "00000088",
                                            "ZAX_OMIKINIT"};
    struct Case {
        const char *mode;
        int stranger, member;  // which names each can open (bits)
    } cases[] = {{"user", 0, 0}, {"group:65534", 0, 7}, {"machine", 7, 7}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        std::string dir = shared_ + "/" + std::string(c.mode).substr(0, 4);
        ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);  // the objects' own modes must hold
        UseDir(dir, c.mode);
        OmikinitService svc(dir);
        ASSERT_TRUE(svc.ready());
        XHANDLE lock = XCreateLockObj(0x88);
        ASSERT_NE(lock, nullptr);
        XHANDLE ev = nullptr;
        ASSERT_EQ(XCreateEvent(&ev, 0x88), 1);
        XHANDLE seg = nullptr;
        void *area = XAllocShrMemory(&seg, 4096, 0x88, 0, 0);
        ASSERT_NE(area, X_FAILED_PTR);

        std::string sock = dir + "/ZAX_OMIKINIT";
        std::string segment = dir + "/00000088";
        EXPECT_EQ(AsStranger([&] { return openable(dir, names) | (can_connect(sock) ? 8 : 0); }),
                  c.stranger | (c.stranger ? 8 : 0));
        if (c.stranger == 0) {
            EXPECT_EQ(AsStranger([&] { return errno_of(truncate(segment.c_str(), 0)); }), EACCES);
        }
        EXPECT_EQ(AsStranger([&] { return openable(dir, names) | (can_connect(sock) ? 8 : 0); },
                             {kOtherGid}),
                  c.member | (c.member ? 8 : 0));

        EXPECT_EQ(XFreeShrMemory(area, seg), 1);
        EXPECT_EQ(XDestroyEvent(ev), 1);
        EXPECT_EQ(XDestroyLockObj(lock), 1);
    }
}

// Objects that a user outside the scope planted under the right names in a
// directory everyone may write are refused, whatever they hold.
TEST_F(Security, ObjectsPlantedByAUserOutsideTheScopeAreRefused) {
    std::string planted = "KELM";
    planted.resize(4096, '\0');
    uint32_t total = 4096, key = 0x99;
    std::memcpy(&planted[4], &total, 4);
    std::memcpy(&planted[8], &key, 4);
    ASSERT_EQ(AsStranger([&] {
                  int fd = open((shared_ + "/00000099").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
                  bool ok = fd >= 0 && write(fd, planted.data(), planted.size()) == 4096;
                  close(fd);
                  ok = ok && fchmodat(AT_FDCWD, (shared_ + "/00000099").c_str(), 0666, 0) == 0;
                  ok = ok && mkfifo((shared_ + "/ZAXEVT00000099.ev").c_str(), 0666) == 0 &&
                       chmod((shared_ + "/ZAXEVT00000099.ev").c_str(), 0666) == 0;
                  fd = open((shared_ + "/ZAXLOCK00000099.lck").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
                  ok = ok && fd >= 0 && fchmod(fd, 0666) == 0;
                  close(fd);
                  return ok ? 0 : errno;
              }),
              0);
    zax::os::ShmLayout any{0, [](const void *, size_t, const void *) { return true; }, nullptr};
    for (const char *mode : {"user", "group:65534"}) {
        SCOPED_TRACE(mode);
        UseDir(shared_, mode);
        EXPECT_EQ(XCreateLockObj(0x99), nullptr);
        EXPECT_LAST_ERROR(code(kCreateLock, 2), EPERM, 2);
        XHANDLE ev = nullptr;
        EXPECT_EQ(XCreateEvent(&ev, 0x99), 0);
        EXPECT_LAST_ERROR(code(kCreateEvent, 2), EPERM, 1);
        zax::os::ShmSegment seg;
        EXPECT_EQ(zax::os::shm_open("00000099", any, &seg), EPERM);
        EXPECT_EQ(zax::os::shm_create("00000099", 64, any, nullptr, nullptr, &seg), EPERM);
    }
}

// A segment cut by a process of the scope, or a file under a segment's name
// that is no segment of that key, is refused at open with a recorded error:
// nothing is mapped that could raise SIGBUS.
TEST_F(Security, ACutOrForgedSegmentIsRefusedBeforeItIsMapped) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    XHANDLE seg = nullptr;
    void *area = XAllocShrMemory(&seg, 8192, 0xC1, 0, 0);
    ASSERT_NE(area, X_FAILED_PTR);
    EXPECT_EQ(XCloseShrMemory(area, seg), 1);
    std::string file = path("000000C1");
    for (off_t cut : {off_t(8192), off_t(8), off_t(0)}) {
        ASSERT_EQ(truncate(file.c_str(), cut), 0);
        EXPECT_EQ(XOpenShrMemory(&seg, 0xC1), X_FAILED_PTR) << cut;
        EXPECT_LAST_ERROR(code(kOpenShm, 2), EPROTO, 1);
    }
    // Whole again, with a header of another key.
    ASSERT_EQ(truncate(file.c_str(), 8208), 0);
    uint32_t header[4] = {0, 8208, 0xC2, 0};
    std::memcpy(header, "KELM", 4);
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, header, sizeof header, 0), ssize_t(sizeof header));
    close(fd);
    HelperResult r = RunHelper({"shmpeek", "C1", "x"});
    EXPECT_EQ(r.out, "error A20002\n");
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(XOpenShrMemory(&seg, 0xC1), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenShm, 2), EPROTO, 1);
}

// A set-id program (real and effective users differ) ignores every
// ZAXXLIB_* variable, and a settings file that its caller could have written.
TEST_F(Security, SetIdProgramsIgnoreTheLibrarysVariablesAndUntrustedSettings) {
    const uint32_t caller = StrangerId(0), owner = StrangerId(1);
    std::vector<std::string> env = {"ZAXXLIB_RUNDIR=" + shared_, "ZAXXLIB_ZAXDPUT=/tmp/evil.so"};
    // Not set-id: the variables count.
    EXPECT_EQ(RunHelperAs(caller, caller, caller, {"getenv", "ZAXXLIB", "RUNDIR"}, env).out,
              shared_ + "\n");
    HelperResult r = RunHelperAs(caller, owner, caller, {"getenv", "ZAXXLIB", "RUNDIR"}, env);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(RunHelperAs(caller, owner, caller, {"getenv", "ZAXXLIB", "ZAXDPUT"}, env).exit_code, 1);

    // Where a set-id program puts its objects: the default directory of its
    // effective user, whatever the caller's settings file in the directory
    // it starts in says; a file of the effective user counts.
    std::string cwd = path("cwd");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    std::string settings = cwd + "/XTORASYS";
    WriteFile(settings, "SHARING :\nMODE = group:" + std::to_string(caller) + "\n");
    std::string user_dir = "/dev/shm/zaxxlib-" + std::to_string(owner);
    std::string group_dir = "/dev/shm/zaxxlib-g" + std::to_string(caller);
    auto where = [&] {
        char old[4096];
        EXPECT_NE(getcwd(old, sizeof old), nullptr);
        EXPECT_EQ(chdir(cwd.c_str()), 0);
        HelperResult h = RunHelperAs(caller, owner, caller, {"lockwhere", "0x5E"}, env);
        EXPECT_EQ(chdir(old), 0);
        return h.out;
    };
    struct Case {
        uint32_t file_owner;
        mode_t mode;
        std::string dir;
    } cases[] = {{caller, 0644, user_dir}, {owner, 0666, user_dir}, {owner, 0644, group_dir}};
    for (const Case &c : cases) {
        ASSERT_EQ(chown(settings.c_str(), c.file_owner, c.file_owner), 0);
        ASSERT_EQ(chmod(settings.c_str(), c.mode), 0);
        EXPECT_EQ(where(), c.dir + "/ZAXLOCK0000005E.lck\n") << c.file_owner << " " << c.mode;
    }
    std::error_code ec;
    std::filesystem::remove_all(user_dir, ec);
    std::filesystem::remove_all(group_dir, ec);
}

}  // namespace
