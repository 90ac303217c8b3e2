// Library load and unload: the settings read at load, the resolution, the
// two internal locks, and the termination mode's effect in a child process.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "os/slot.h"
#include "os/timer.h"
#include "xdllmain.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

class Load : public ZaxTest {
protected:
    // Writes the settings file XTORASYS into the test's directory.
    void settings(const std::string &text) { WriteFile(path("XTORASYS"), text); }
    // Reads the settings with ZAXXLIB_XSYSTEM naming the test's directory.
    void read() {
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
        zax::read_load_settings();
        unsetenv("ZAXXLIB_XSYSTEM");
    }
};

// What a static initialiser of the program finds. The test program is linked
// with its own objects ahead of the static library's, so that its
// initialisers run first unless the load comes before all of them.
const bool g_loaded_at_static_init = zax::library_loaded();
const bool g_locks_at_static_init =
    zax::timer_table_lock() != nullptr && zax::exit_routine_lock() != nullptr;

TEST(LoadOrder, AProgramsStaticInitialisersFindTheLibraryLoaded) {
    EXPECT_TRUE(g_loaded_at_static_init);
    EXPECT_TRUE(g_locks_at_static_init);
}

TEST_F(Load, WithoutSettingsFileTheDefaultsHold) {
    EXPECT_TRUE(zax::library_loaded());
    read();
    EXPECT_EQ(zax::lock_timeout(), 1000);
    EXPECT_EQ(zax::termination_mode(), 1u);
    // The failed open stays in the loading thread's record.
    EXPECT_NE(XGetLastError(nullptr), 0u);
    EXPECT_NE(zax::timer_table_lock(), nullptr);
    EXPECT_NE(zax::exit_routine_lock(), nullptr);
    EXPECT_EQ(zax::timer_resolution(), 10u);
}

TEST_F(Load, SettingsFileGivesTimeoutAndTerminationMode) {
    settings("TIME :\nTIMEOUT = 250\nESTAE :\nTERMMODE = 1\n");
    read();
    EXPECT_EQ(zax::lock_timeout(), 250);
    EXPECT_EQ(zax::termination_mode(), 0u);

    // Only exactly 1 turns the mode; the timeout is taken as read.
    settings("TIME :\nTIMEOUT = -1\nESTAE :\nTERMMODE = 2\n");
    read();
    EXPECT_EQ(zax::lock_timeout(), -1);
    EXPECT_EQ(zax::termination_mode(), 1u);

    // Missing entries fall back one by one.
    settings("ESTAE :\nTERMMODE = 1\n");
    read();
    EXPECT_EQ(zax::lock_timeout(), 1000);
    EXPECT_EQ(zax::termination_mode(), 0u);
    settings("TIME :\nTIMEOUT = 5\n");
    read();
    EXPECT_EQ(zax::lock_timeout(), 5);
    EXPECT_EQ(zax::termination_mode(), 1u);
}

TEST_F(Load, WithoutVariableTheCurrentDirectoryIsSearched) {
    settings("TIME :\nTIMEOUT = 77\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(rundir_.c_str()), 0);
    unsetenv("ZAXXLIB_XSYSTEM");
    zax::read_load_settings();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(zax::lock_timeout(), 77);
}

TEST_F(Load, UnloadReleasesInOrderAndLoadingAgainRebuilds) {
    EXPECT_EQ(zax::dll_entry(9), 0);
    EXPECT_EQ(zax::dll_entry(-1), 0);
    ASSERT_EQ(zax::dll_entry(0), 1);
    EXPECT_FALSE(zax::library_loaded());
    EXPECT_EQ(zax::timer_table_lock(), nullptr);
    EXPECT_EQ(zax::exit_routine_lock(), nullptr);
    EXPECT_EQ(zax::os::timer_period(), 0u);
    EXPECT_FALSE(zax::os::slot_exists());

    settings("TIME :\nTIMEOUT = 321\n");
    setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    ASSERT_EQ(zax::dll_entry(1), 1);
    unsetenv("ZAXXLIB_XSYSTEM");
    EXPECT_TRUE(zax::library_loaded());
    EXPECT_TRUE(zax::os::slot_exists());
    EXPECT_EQ(zax::lock_timeout(), 321);
    EXPECT_NE(zax::timer_table_lock(), nullptr);
    EXPECT_NE(zax::exit_routine_lock(), nullptr);
    EXPECT_EQ(zax::os::timer_period(), 10u);
    // The new locks work.
    EXPECT_EQ(XLockObj(zax::timer_table_lock(), 0), 1);
    EXPECT_EQ(XUnlockObj(zax::timer_table_lock()), 1);
}

TEST_F(Load, AnUnloadLeavesTheTimerTableLockToAnExpiryUnderWay) {
    // The process may end while the timer service posts a last event: the
    // service's thread, which outlives the unload, still needs the lock.
    static std::atomic<uint64_t> now{1000};
    zax::os::timer_set_clock([] { return now.load(); });
    XHANDLE event = nullptr;
    ASSERT_EQ(XCreateEvent(&event, 0xFFFFFFFF), 1);
    ASSERT_NE(XSetTimer(event, 10), nullptr);
    XHANDLE table = zax::timer_table_lock();
    ASSERT_EQ(XLockObj(table, X_INFINITE), 1);  // the expiry waits for it
    now += 10;
    zax::os::timer_wake();
    ASSERT_EQ(zax::dll_entry(0), 1);
    EXPECT_EQ(zax::timer_table_lock(), table);
    EXPECT_EQ(XUnlockObj(table), 1);
    zax::os::timer_settle();  // the expiry has posted its event
    ASSERT_EQ(zax::dll_entry(1), 1);
    EXPECT_EQ(zax::timer_table_lock(), table);  // loading again takes it up
    EXPECT_EQ(XWaitEvent(&event, 1, 0), 0);
    EXPECT_EQ(XDestroyEvent(event), 1);
    zax::os::timer_set_clock(nullptr);
}

TEST_F(Load, ThreadDetachGivesTheRecordBack) {
    XSetLastError(0x10001, 5, 2);
    ASSERT_EQ(zax::dll_entry(3), 1);
    // A new, empty record is made on the next use.
    EXPECT_EQ(XGetLastError(nullptr), 0u);
    EXPECT_EQ(zax::dll_entry(2), 1);
}

class TerminationMode : public ZaxTest {
protected:
    HelperResult run(const std::string &what, const std::string &mode_text) {
        WriteFile(path("XTORASYS"), "ESTAE :\nTERMMODE = " + mode_text + "\n");
        return RunHelper({"estae", path("stderr.txt"), what, "5"},
                         {"ZAXXLIB_XSYSTEM=" + rundir_, "TSAN_OPTIONS=report_signal_unsafe=0"});
    }
    std::string err() { return ReadFile(path("stderr.txt")); }
};

TEST_F(TerminationMode, ModeZeroHandsTheAbendToTheSystem) {
    HelperResult r = run("abend", "1");
    EXPECT_EQ(r.signal, SIGABRT);
    std::string e = err();
    EXPECT_NE(e.find("routine B 1 2\nroutine A 1 1\n"), std::string::npos) << e;
    EXPECT_NE(e.find("crash report"), std::string::npos) << e;
    EXPECT_EQ(e.find("main goes on"), std::string::npos) << e;
}

TEST_F(TerminationMode, ModeZeroEndsTheProcessByTheFaultsSignal) {
    HelperResult r = run("segv", "1");
    EXPECT_EQ(r.signal, SIGSEGV);
    std::string e = err();
    EXPECT_NE(e.find("previous 11\n"), std::string::npos) << e;
    EXPECT_EQ(e.find("main goes on"), std::string::npos) << e;
    // A trap sent by raise() is not repeated by returning: it is sent again.
    r = run("trap", "1");
    EXPECT_EQ(r.signal, SIGTRAP);
}

TEST_F(TerminationMode, OtherValuesKeepModeOne) {
    HelperResult r = run("abend", "2");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(err().find("exit 5\nmain goes on\n"), std::string::npos) << err();
}

}  // namespace
