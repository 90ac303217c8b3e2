// Failures of the system, injected through the layer's system-call table:
// interrupted and short calls are carried through, and every path that
// writes a file fails with its recorded error and loses nothing saved before.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "zaxfault.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kOpenFile = 0x78, kReadFile = 0x7a, kWriteFile = 0x7b, kWriteRegStr = 0xcf;
constexpr uint32_t kSqliteFull = 0x1000D;

using Faults = ZaxTest;

TEST_F(Faults, TheTableIsReachedByNameAndPutBackWhole) {
    std::set<std::string> names;
    for (const char *n = sys::next_call(nullptr); n != nullptr; n = sys::next_call(n)) {
        EXPECT_TRUE(names.insert(n).second) << n;
        EXPECT_NE(sys::get_call(n), nullptr) << n;
    }
    for (const char *n : {"open", "read", "write", "pwrite", "fsync", "ftruncate",
                          "posix_fallocate", "rename", "unlink", "close", "fstat"})
        EXPECT_EQ(names.count(n), 1u) << n;
    EXPECT_EQ(sys::set_call("no_such_call", nullptr), ENOENT);
    EXPECT_EQ(sys::get_call("no_such_call"), nullptr);

    // A replacement by name is what the layer calls; reset puts all back.
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

TEST_F(Faults, OpenReadAndWriteFailuresAreRecordedWithTheSystemError) {
    std::string name = path("f");
    {
        FailCall<sys::Call::open> emfile(EMFILE);
        EXPECT_EQ(XOpenFile(name.c_str(), 0, X_OPEN_READWRITE | X_OPEN_CREATE), 0);
        EXPECT_LAST_ERROR(code(kOpenFile, 2), EMFILE, 1);
    }
    XFILE f = XOpenFile(name.c_str(), 0, X_OPEN_READWRITE | X_OPEN_CREATE);
    ASSERT_NE(f, 0);
    {
        FailCall<sys::Call::write> eio(EIO);
        EXPECT_EQ(XWriteFile(f, "abc", 3), -1);
        EXPECT_LAST_ERROR(code(kWriteFile, 2), EIO, 1);
    }
    EXPECT_EQ(XWriteFile(f, "abc", 3), 3);
    EXPECT_EQ(XSeekFile(f, 0, X_SEEK_SET), 0);
    {
        FailCall<sys::Call::read> eio(EIO);
        char buf[4];
        EXPECT_EQ(XReadFile(f, buf, sizeof buf), -1);
        EXPECT_LAST_ERROR(code(kReadFile, 3), EIO, 1);
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
