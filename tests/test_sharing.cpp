// Sharing modes: the setting, the run-time directory each mode makes, and the
// access its objects get.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "os/event.h"
#include "os/mmap.h"
#include "os/mutex.h"
#include "os/rundir.h"
#include "os/sharing.h"
#include "os/shm.h"
#include "os/sock.h"
#include "zaxtest.h"

using namespace zaxtest;
using zax::os::Sharing;
using zax::os::SharingMode;

namespace {

// A group that exists on every Debian-like system and that root may give
// files to.
constexpr gid_t kOtherGid = 65534;

class SharingTest : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        unsetenv("ZAXXLIB_SHARING");
        settings_ = path("etc");
        mkdir(settings_.c_str(), 0700);
        setenv("ZAXXLIB_XSYSTEM", settings_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_SHARING");
        unsetenv("ZAXXLIB_XSYSTEM");
        umask(022);
        ZaxTest::TearDown();
    }
    void Settings(const std::string &text) { WriteFile(settings_ + "/XTORASYS", text); }
    std::string settings_;
};

TEST_F(SharingTest, TheEnvironmentOverridesTheSettingsFileWhichOverridesTheDefault) {
    Sharing s;
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::user);  // nothing set

    Settings("TIME :\nTIMEOUT = 5\nSHARING :\n  MODE=machine ; every user\n");
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::machine);

    Settings("SHARING:\nMODE = \"group:65534\"\n");
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::group);
    EXPECT_EQ(s.gid, kOtherGid);
    EXPECT_EQ(zax::os::sharing_text(s), "group:65534");

    setenv("ZAXXLIB_SHARING", "group:root", 1);
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::group);
    EXPECT_EQ(s.gid, 0u);
    setenv("ZAXXLIB_SHARING", "user", 1);
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::user);

    // Only the first section of the name counts, and only its own entries.
    unsetenv("ZAXXLIB_SHARING");
    Settings("SHARING :\nGROUP = x\nOTHER :\nMODE = machine\nSHARING :\nMODE = machine\n");
    ASSERT_EQ(zax::os::sharing_setting(&s), 0);
    EXPECT_EQ(s.mode, SharingMode::user);
}

TEST_F(SharingTest, ABadSettingFailsObjectCreationAndSaysWhereItCameFrom) {
    Sharing s;
    std::string why;
    setenv("ZAXXLIB_SHARING", "everyone", 1);
    EXPECT_EQ(zax::os::sharing_setting(&s, &why), EINVAL);
    EXPECT_NE(why.find("ZAXXLIB_SHARING"), std::string::npos) << why;
    setenv("ZAXXLIB_SHARING", "group:no-such-group-zax", 1);
    EXPECT_EQ(zax::os::sharing_setting(&s, &why), EINVAL);
    EXPECT_NE(why.find("no such group"), std::string::npos) << why;
    setenv("ZAXXLIB_SHARING", "group:", 1);
    EXPECT_EQ(zax::os::sharing_setting(&s, &why), EINVAL);

    unsetenv("ZAXXLIB_SHARING");
    Settings("SHARING :\nMODE = Machine\n");
    EXPECT_EQ(zax::os::sharing_setting(&s, &why), EINVAL);
    EXPECT_NE(why.find(settings_ + "/XTORASYS"), std::string::npos) << why;

    // Nothing is made under a setting that cannot be read.
    std::string objects = path("objects");
    setenv("ZAXXLIB_RUNDIR", objects.c_str(), 1);
    EXPECT_EQ(XCreateLockObj(0x51), nullptr);
    EXPECT_LAST_ERROR(code(0x104, 2), EINVAL, 2);
    XHANDLE ev = nullptr;
    EXPECT_EQ(XCreateEvent(&ev, 0x51), 0);
    struct stat st;
    EXPECT_NE(lstat(objects.c_str(), &st), 0);

    // A directory name too long to be a path is refused, not replaced by
    // the default.
    setenv("ZAXXLIB_SHARING", "user", 1);
    std::string d, longer = "/tmp/" + std::string(5000, 'd');
    setenv("ZAXXLIB_RUNDIR", longer.c_str(), 1);
    EXPECT_EQ(zax::os::run_dir(&d, nullptr, &why), ENAMETOOLONG);
}

TEST_F(SharingTest, PeersInScopeAreRootAndTheModesUsers) {
    Sharing s;
    const uint32_t me = geteuid(), stranger = StrangerId(0);
    s.mode = SharingMode::user;
    EXPECT_TRUE(zax::os::in_scope(s, me, 12345));
    EXPECT_TRUE(zax::os::in_scope(s, 0, 0));
    EXPECT_FALSE(zax::os::in_scope(s, stranger, stranger));
    s.mode = SharingMode::group;
    s.gid = kOtherGid;
    EXPECT_TRUE(zax::os::in_scope(s, stranger, kOtherGid));
    EXPECT_FALSE(zax::os::in_scope(s, stranger, stranger));
    s.mode = SharingMode::machine;
    EXPECT_TRUE(zax::os::in_scope(s, stranger, stranger));
}

TEST_F(SharingTest, DefaultDirectoriesDependOnTheModeAndTheUser) {
    Sharing s;
    s.mode = SharingMode::machine;
    EXPECT_EQ(zax::os::default_run_dir(s), "/dev/shm/zaxxlib");
    s.mode = SharingMode::group;
    s.gid = 1234;
    EXPECT_EQ(zax::os::default_run_dir(s), "/dev/shm/zaxxlib-g1234");
    s.mode = SharingMode::user;
    EXPECT_EQ(zax::os::default_run_dir(s), "/dev/shm/zaxxlib-" + std::to_string(geteuid()));
}

// Every kind of named object, made in a fresh directory under each mode and
// two umasks: the directory and the objects get the mode's access exactly.
TEST_F(SharingTest, EachModeGivesItsDirectoryAndEveryObjectItsAccessWhateverTheUmask) {
    struct Case {
        const char *setting;
        mode_t dir, object;
        gid_t gid;  // expected group, or -1 for any
    } cases[] = {
        {"machine", 01777, 0666, gid_t(-1)},
        {"group:65534", 02770, 0660, kOtherGid},
        {"user", 0700, 0600, gid_t(-1)},
    };
    for (const Case &c : cases) {
        for (mode_t mask : {mode_t(0), mode_t(077)}) {
            SCOPED_TRACE(std::string(c.setting) + " umask " + std::to_string(mask));
            umask(mask);
            setenv("ZAXXLIB_SHARING", c.setting, 1);
            std::string dir = path(std::string("d-") + std::to_string(mask) + c.setting);
            setenv("ZAXXLIB_RUNDIR", dir.c_str(), 1);

            auto expect_access = [&](const std::string &name, mode_t mode) {
                struct stat st;
                ASSERT_EQ(lstat((dir + "/" + name).c_str(), &st), 0) << name;
                EXPECT_EQ(st.st_mode & 07777, mode) << name;
                if (c.gid != gid_t(-1)) {
                    EXPECT_EQ(st.st_gid, c.gid) << name;
                }
            };
            XHANDLE lock = XCreateLockObj(0x61);
            ASSERT_NE(lock, nullptr);
            XHANDLE ev = nullptr;
            ASSERT_EQ(XCreateEvent(&ev, 0x61), 1);
            int lock_fd = -1;
            bool open_failed = false;
            ASSERT_EQ(zax::os::lock_file_acquire("ZAXSEMPHtest", &lock_fd, &open_failed), 0);
            int sock = -1;
            ASSERT_EQ(zax::os::sock_listen(dir + "/sock", 4, &sock), 0);
            int dgram = -1;  // the kind a process's event socket is
            ASSERT_EQ(zax::os::sock_bind_datagram(dir + "/dgram", &dgram), 0);
            zax::os::ShmSegment seg;
            zax::os::ShmLayout any{0, [](const void *, size_t, const void *) { return true; },
                                   nullptr};
            ASSERT_EQ(zax::os::shm_create("00000061", 64, any, nullptr, nullptr, &seg), 0);

            expect_access("", c.dir);
            expect_access("ZAXLOCK00000061.lck", c.object);
            expect_access("ZAXEVT00000061.ev", c.object);
            expect_access("ZAXSEMPHtest", c.object);
            expect_access("sock", c.object);
            expect_access("dgram", c.object);
            expect_access("00000061", c.object);

            (void)zax::os::shm_unmap(seg.fd, seg.view);
            (void)zax::os::shm_close(seg.fd);
            close(sock);
            close(dgram);
            (void)zax::os::lock_file_release(lock_fd);
            XDestroyEvent(ev);
            XDestroyLockObj(lock);
        }
    }
}

}  // namespace
