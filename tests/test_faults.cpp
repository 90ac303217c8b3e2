// Failures of the system, injected through the layer's system-call table:
// interrupted and short calls are carried through, and every path that
// writes a file fails with its recorded error and loses nothing saved before.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag_support.h"
#include "zaxfault.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kOpenFile = 0x78, kReadFile = 0x7a, kWriteFile = 0x7b, kSeekFile = 0x7c,
                   kFlushFile = 0x7f, kWriteRegStr = 0xcf;
constexpr uint32_t kSqliteFull = 0x1000D;

class Faults : public diagtest::DiagTest {
protected:
    // The names in the test's directory.
    std::set<std::string> names() const {
        std::set<std::string> out;
        if (DIR *d = opendir(rundir_.c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.') out.insert(e->d_name);
            closedir(d);
        }
        return out;
    }
    XHANDLE list(const std::vector<std::string> &texts) {
        XHANDLE l = XCreateList(0, 0, 0);
        for (const auto &t : texts) EXPECT_EQ(XAddList(l, t.data(), uint32_t(t.size()), -1), 1);
        lists_.emplace_back(l, &XDestroyList);
        return l;
    }
    std::vector<std::string> loaded(const std::string &file) {
        XHANDLE l = list({});
        std::vector<std::string> out;
        if (XLoadList(l, file.c_str()) != 1) return {"(does not load)"};
        for (int32_t i = 1; i <= XGetListNum(l); ++i) {
            char buf[64];
            int32_t n = XPeekList(l, buf, sizeof buf, i);
            out.emplace_back(buf, size_t(n));
        }
        return out;
    }
    std::vector<std::unique_ptr<void, int32_t (*)(XHANDLE)>> lists_;
};

// A replacement by name, as SQLite's, is what the layer calls; reset puts
// every standard call back.
TEST_F(Faults, TheTableIsReplacedByNameAndPutBackWhole) {
    EXPECT_EQ(sys::set_call("no_such_call", nullptr), ENOENT);
    auto failing_unlink = [](const char *) -> int {
        errno = EROFS;
        return -1;
    };
    int (*fn)(const char *) = failing_unlink;
    WriteFile(path("f"), "x");
    ASSERT_EQ(sys::set_call("unlink", reinterpret_cast<sys::AnyFn>(fn)), 0);
    EXPECT_EQ(sys::replaced_count(), 1);
    EXPECT_EQ(XDeleteFile(path("f").c_str()), 0);
    EXPECT_LAST_ERROR(code(0x7d, 2), EROFS, 1);
    sys::reset_calls();
    EXPECT_EQ(sys::replaced_count(), 0);
    EXPECT_EQ(XDeleteFile(path("f").c_str()), 1);
}

TEST_F(Faults, InterruptedAndShortCallsAreCarriedThrough) {
    std::string name = path("f");
    std::string data(1000, 'a');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 26);
    {
        FailCall<sys::Call::open> open_eintr(EINTR, 1, 2);
        FailCall<sys::Call::write> write_eintr(EINTR, 2, 3);
        ShortIo short_io(7);
        XFILE f = XOpenFile(name.c_str(), 0, X_OPEN_READWRITE | X_OPEN_CREATE);
        ASSERT_NE(f, 0);
        EXPECT_EQ(XWriteFile(f, data.data(), uint32_t(data.size())), 1000);
        EXPECT_EQ(XCloseFile(f), 1);
    }
    EXPECT_EQ(ReadFile(name), data);
    // A read is one call: interrupted ones are made again, a short one
    // returns what it got with the end-of-file sign.
    XFILE f = XOpenFile(name.c_str(), 0, X_OPEN_READ);
    ASSERT_NE(f, 0);
    char buf[100];
    {
        FailCall<sys::Call::read> read_eintr(EINTR, 1, 3);
        EXPECT_EQ(XReadFile(f, buf, sizeof buf), 100);
    }
    {
        ShortIo short_io(7);
        XSetLastError(0, 0, 0);
        EXPECT_EQ(XReadFile(f, buf, sizeof buf), 7);
        EXPECT_LAST_ERROR(code(kReadFile, 1), 0, 1);
    }
    EXPECT_EQ(std::string(buf, 7), data.substr(100, 7));
    EXPECT_EQ(XCloseFile(f), 1);
}

// A line reader whose read or step back fails gives -1 with that failure.
TEST_F(Faults, ALineReaderFailsWithItsReadOrItsStepBack) {
    WriteFile(path("f"), "ab\ncd\n");
    XFILE f = XOpenFile(path("f").c_str(), 0, X_OPEN_READ);
    ASSERT_NE(f, 0);
    char buf[16];
    {
        FailCall<sys::Call::read> failing(EIO);
        EXPECT_EQ(XReadFileLn(f, buf, sizeof buf), -1);
        EXPECT_LAST_ERROR(code(kReadFile, 3), EIO, 1);
    }
    {
        FailCall<sys::Call::lseek> failing(EIO);
        EXPECT_EQ(XReadFileLn(f, buf, sizeof buf), -1);
        EXPECT_LAST_ERROR(code(kSeekFile, 2), EIO, 1);
    }
    EXPECT_EQ(XCloseFile(f), 1);
}

// A write that a full disk cuts short reports the bytes that reached the
// file, with the failure in the record; the next one fails outright.
TEST_F(Faults, APartialWriteIsReportedWithItsCount) {
    std::string name = path("f");
    XFILE f = XOpenFile(name.c_str(), 0, X_OPEN_READWRITE | X_OPEN_CREATE);
    ASSERT_NE(f, 0);
    std::string data(1000, 'x');
    {
        DiskFull full(1072);
        EXPECT_EQ(XWriteFile(f, data.data(), 1000), 1000);
        XSetLastError(0, 0, 0);
        EXPECT_EQ(XWriteFile(f, data.data(), 1000), 72);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
        EXPECT_EQ(XSeekFile(f, 0, X_SEEK_CUR), 1072);
        EXPECT_EQ(XWriteFile(f, data.data(), 1000), -1);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
        EXPECT_EQ(XFprintf(f, "%s", "message"), 0);
    }
    EXPECT_EQ(XCloseFile(f), 1);
    EXPECT_EQ(ReadFile(name).size(), 1072u);
}

// A save that cannot be completed leaves the file saved before as it was,
// and no other file beside it.
TEST_F(Faults, AFailedSaveKeepsTheLastSavedFileWhole) {
    std::string file = path("saved.lst");
    const std::vector<std::string> old{"one", "two"}, now{"three", "four", "five"};
    ASSERT_EQ(XSaveList(list(old), file.c_str()), 1);
    const std::string bytes = ReadFile(file);
    const std::set<std::string> before = names();
    XHANDLE l = list(now);
    using Held = std::vector<std::shared_ptr<void>>;
    struct Case {
        const char *what;
        std::function<Held()> faults;
        uint32_t code, detail;
    };
    auto held = [](auto... faults) { return Held{std::shared_ptr<void>(faults)...}; };
    const std::vector<Case> cases = {
        {"full disk", [&] { return held(new DiskFull(0)); }, code(kWriteFile, 2), ENOSPC},
        {"no reservation, then the write fails",
         [&] {
             return held(new FailCall<sys::Call::posix_fallocate>(EOPNOTSUPP),
                         new FailCall<sys::Call::write>(ENOSPC));
         },
         code(kWriteFile, 2), ENOSPC},
        {"sync fails", [&] { return held(new FailCall<sys::Call::fdatasync>(EIO)); },
         code(kFlushFile, 2), EIO},
        {"rename fails", [&] { return held(new FailCall<sys::Call::rename>(EIO)); },
         code(kFlushFile, 2), EIO},
        {"no descriptor for the new file",
         [&] { return held(new FailCall<sys::Call::open>(EMFILE, 2)); }, code(kOpenFile, 2),
         EMFILE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Held faults = c.faults();
        EXPECT_EQ(XSaveList(l, file.c_str()), 0);
        EXPECT_LAST_ERROR(c.code, c.detail, 1);
        faults.clear();
        EXPECT_EQ(ReadFile(file), bytes);
        EXPECT_EQ(names(), before);
    }
    // The first save of a name that fails leaves no file.
    {
        DiskFull full(0);
        EXPECT_EQ(XSaveList(l, path("new.lst").c_str()), 0);
    }
    EXPECT_EQ(names(), before);
    // Short writes are carried through.
    {
        ShortIo short_io(3);
        EXPECT_EQ(XSaveList(l, file.c_str()), 1);
    }
    EXPECT_EQ(loaded(file), now);
}

// Where no new file can be made beside the old one, the old one is written
// in place after its new size was reserved: a full disk fails first.
TEST_F(Faults, ASaveInPlaceReservesItsSizeFirst) {
    std::string file = path("saved.lst");
    ASSERT_EQ(XSaveList(list({"one"}), file.c_str()), 1);
    const std::string bytes = ReadFile(file);
    XHANDLE l = list({"a longer element", "and another one"});
    {
        FailCall<sys::Call::open> no_new_file(EACCES, 2, 1);  // the 1st open is the old file
        DiskFull full(10);
        EXPECT_EQ(XSaveList(l, file.c_str()), 0);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
    }
    EXPECT_EQ(ReadFile(file), bytes);
    {
        FailCall<sys::Call::open> no_new_file(EACCES, 2, 1);
        EXPECT_EQ(XSaveList(l, file.c_str()), 1);
    }
    EXPECT_EQ(loaded(file), (std::vector<std::string>{"a longer element", "and another one"}));
    ASSERT_EQ(XSaveList(list({"x"}), file.c_str()), 1);  // in place again: cut to its size
    EXPECT_EQ(loaded(file), (std::vector<std::string>{"x"}));
}

// A load that waited for the file's lock while a saver replaced the file
// reads the new file, not the old one it had opened.
TEST_F(Faults, AWaitingLoaderReadsTheFileThatReplacedTheOne) {
    std::string file = path("saved.lst");
    ASSERT_EQ(XSaveList(list({"old"}), file.c_str()), 1);
    ASSERT_EQ(XSaveList(list({"new"}), path("other.lst").c_str()), 1);
    XFILE held = XOpenFile(file.c_str(), 0, X_OPEN_READWRITE | X_OPEN_LOCK);
    ASSERT_NE(held, 0);
    XHANDLE l = list({});
    std::atomic<int32_t> result{99};
    std::thread loader([&] { result = XLoadList(l, file.c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(std::rename(path("other.lst").c_str(), file.c_str()), 0);
    EXPECT_EQ(XCloseFile(held), 1);
    loader.join();
    ASSERT_EQ(result.load(), 1);
    char buf[8] = {};
    EXPECT_EQ(XPeekList(l, buf, sizeof buf, 0), 3);
    EXPECT_EQ(std::string(buf), "new");
}

// A rewrite of a parameter file that cannot be completed leaves the file
// byte for byte; one that can keeps the file's mode and symbolic link.
TEST_F(Faults, AFailedParameterRewriteKeepsTheFileWhole) {
    std::string text = "# settings\r\nA :\r\n";
    for (int i = 0; i < 48; ++i) text += "KEY" + std::to_string(i) + " = value-" + std::to_string(i) + "\r\n";
    WriteFile(path("app.ini"), text);
    ASSERT_EQ(chmod(path("app.ini").c_str(), 0640), 0);
    ASSERT_EQ(symlink("app.ini", path("link.ini").c_str()), 0);
    std::string big(300, 'N');
    auto rewrite = [&](const char *name) {
        XHANDLE h = XOpenParmFileRW(rundir_.c_str(), name);
        EXPECT_NE(h, X_FAILED_PTR);
        EXPECT_EQ(XWriteParmStr(h, "A", "NEWKEY", big.c_str(), int32_t(big.size())), 1);
        return XCloseParmFile(h);
    };
    {
        DiskFull full(0);
        EXPECT_EQ(rewrite("app.ini"), 0);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
    }
    {
        FailCall<sys::Call::fdatasync> eio(EIO);
        EXPECT_EQ(rewrite("app.ini"), 0);
        EXPECT_LAST_ERROR(code(kFlushFile, 2), EIO, 1);
    }
    EXPECT_EQ(ReadFile(path("app.ini")), text);
    EXPECT_EQ(names(), (std::set<std::string>{"app.ini", "link.ini"}));
    EXPECT_EQ(rewrite("link.ini"), 1);
    struct stat st;
    ASSERT_EQ(lstat(path("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path("app.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    XHANDLE h = XOpenParmFile(rundir_.c_str(), "app.ini");
    char buf[400] = {};
    EXPECT_EQ(XReadParmStr(h, "A", "NEWKEY", buf, sizeof buf), 300);
    EXPECT_EQ(XReadParmStr(h, "A", "KEY47", buf, sizeof buf), 8);
    EXPECT_EQ(XCloseParmFile(h), 1);
}

// Trace lines that meet a full disk fail with the write's error; the file
// keeps the lines written before, and whole lines only.
TEST_F(Faults, TraceLinesOnAFullDiskKeepTheFileWhole) {
    global_levels(3, 1);
    XHANDLE r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XTraceH(r, "BEFORE", "written before"), 1);
    {
        DiskFull full(20);
        EXPECT_EQ(XTraceH(r, "FULL", "a line longer than the room that is left"), 0);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
    }
    EXPECT_EQ(XTraceH(r, "AFTER", "written after"), 1);
    EXPECT_EQ(XTermDebug(r), 1);
    std::string text = ReadFile(path("trace"));
    EXPECT_EQ(text.find("FULL"), std::string::npos);
    auto lines = diagtest::lines_of(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("written before"), std::string::npos);
    EXPECT_NE(lines[1].find("written after"), std::string::npos);
}

// A global list's load records its new content in the run-time directory
// first: when that fails, the list is as it was.
TEST_F(Faults, AGlobalLoadThatCannotRecordItsContentChangesNothing) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    std::string file = path("saved.lst");
    ASSERT_EQ(XSaveList(list({"x", "yy"}), file.c_str()), 1);
    XHANDLE g = XCreateGlobalList(400, 0x5f5f, 0);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(XAddGlobalList(g, "kept", 4, -1), 1);
    {
        DiskFull full(0);
        EXPECT_EQ(XLoadGlobalList(g, file.c_str()), 0);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), ENOSPC, 1);
    }
    EXPECT_EQ(XGetGlobalListNum(g), 1);
    struct stat st;
    EXPECT_TRUE(stat(path("00005F5F.load").c_str(), &st) != 0 || st.st_size == 0);
    ASSERT_EQ(XLoadGlobalList(g, file.c_str()), 1);
    EXPECT_EQ(XGetGlobalListNum(g), 2);
    EXPECT_EQ(XDestroyGlobalList(g), 1);
}

// The registry store's SQLite databases make their file calls through the
// same table while a test replaces any of it.
TEST_F(Faults, RegistryWritesMeetTheTableThroughSqlite) {
    setenv("ZAXXLIB_REGISTRY_DIR", path("reg").c_str(), 1);
    const char *product = "FaultTest";
    for (int i = 0; i < 20; ++i) {
        std::string v = "value-" + std::to_string(i);
        ASSERT_EQ(XWriteRegStrEx(HKEY_CURRENT_USER, product, "s", ("v" + std::to_string(i)).c_str(),
                                 v.c_str(), int32_t(v.size())),
                  int32_t(v.size()));
    }
    {
        DiskFull full;
        std::string big(250, 'b');
        EXPECT_EQ(XWriteRegStrEx(HKEY_CURRENT_USER, product, "s", "big", big.c_str(),
                                 int32_t(big.size())),
                  0);
        EXPECT_LAST_ERROR(code(kWriteRegStr, 1), kSqliteFull, 1);
    }
    for (int i = 0; i < 20; ++i) {
        char buf[64] = {};
        std::string v = "value-" + std::to_string(i);
        EXPECT_EQ(XReadRegStrEx(HKEY_CURRENT_USER, product, "s", ("v" + std::to_string(i)).c_str(),
                                buf, sizeof buf),
                  int32_t(v.size()));
        EXPECT_EQ(std::string(buf), v);
    }
    char buf[8];
    EXPECT_EQ(XReadRegStrEx(HKEY_CURRENT_USER, product, "s", "big", buf, sizeof buf), 0);
    EXPECT_EQ(XWriteRegStrEx(HKEY_CURRENT_USER, product, "s", "after", "ok", 2), 2);
    unsetenv("ZAXXLIB_REGISTRY_DIR");
}

}  // namespace
