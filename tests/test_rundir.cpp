// Named objects in a deep run-time directory: every kind works, with a second
// process, in a directory far longer than a socket address can hold.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "os/sys.h"
#include "xevent.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

class DeepRunDir : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        deep_ = rundir_;
        while (deep_.size() < 160) {
            deep_ += "/" + std::string(40, 'd');
            ASSERT_EQ(mkdir(deep_.c_str(), 0700), 0);
        }
        deep_ += "/" + std::string(199 - deep_.size(), 'r');
        ASSERT_EQ(deep_.size(), 200u);
        setenv("ZAXXLIB_RUNDIR", deep_.c_str(), 1);  // made by the first object
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_EVENT_NUMBER");
        ZaxTest::TearDown();
    }
    std::string deep_;
};

TEST_F(DeepRunDir, EveryKindOfNamedObjectWorksAcrossProcesses) {
    // Segments and global lists reach the initiator service through its socket.
    OmikinitService svc(deep_);
    ASSERT_TRUE(svc.ready());

    XHANDLE lock = XCreateLockObj(0x51);
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(XLockObj(lock, 0), 1);
    EXPECT_EQ(RunHelper({"locktry", "0x51", "0"}).out, "2 1060002\n");  // timed out
    XUnlockObj(lock);
    EXPECT_EQ(RunHelper({"locktry", "0x51", "0"}).out, "1 0\n");
    EXPECT_EQ(XDestroyLockObj(lock), 1);

    // Small-mode events are FIFOs of the directory.
    XHANDLE ev = nullptr;
    ASSERT_EQ(XCreateEvent(&ev, 0x52), 1);
    EXPECT_EQ(RunHelper({"evpost", "0x52"}).out, "1\n");
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);

    XHANDLE seg = nullptr;
    char *area = static_cast<char *>(XAllocShrMemory(&seg, 64, 0x53, 0, 0));
    ASSERT_NE(area, X_FAILED_PTR);
    EXPECT_EQ(RunHelper({"shmpeek", "53", "back"}).exit_code, 0);
    EXPECT_STREQ(area, "back");
    EXPECT_EQ(XFreeShrMemory(area, seg), 1);

    // The exclusive mapping's lock file lives in the directory too.
    std::string f = path("mapped");
    WriteFile(f, "data");
    XHANDLE map = nullptr;
    ASSERT_NE(XOpenMemMapFile(&map, f.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_EQ(RunHelper({"mapexcl", f}).exit_code, 7);
    EXPECT_EQ(XCloseMemMapFile(map), 1);

    XHANDLE list = XCreateGlobalList(100, 0x54, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(XAddGlobalList(list, "one", 3, -1), 1);
    EXPECT_EQ(RunHelper({"glist", "54", "100", "0", "peek:0", "destroy"}).out,
              "peek one\ndestroy 1\n");
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(DeepRunDir, TheLargeEventModeGetsItsSocket) {
    setenv("ZAXXLIB_EVENT_NUMBER", "100", 1);
    ASSERT_EQ(X_init_xlib(), 1);
    EXPECT_EQ(zax::event_table_size(), 100);
    XHANDLE ev = nullptr;
    ASSERT_EQ(XCreateEvent(&ev, 0x55), 1);
    HelperResult r = RunHelper({"gpost", std::to_string(zax::os::process_id()), "0x55"},
                               {"ZAXXLIB_EVENT_NUMBER=100"});
    EXPECT_EQ(r.out, "1 0\n");
    EXPECT_EQ(XWaitEvent(&ev, 1, 5000), 0);
    EXPECT_EQ(XDestroyEvent(ev), 1);
    EXPECT_EQ(X_term_xlib(), 1);
}

}  // namespace
