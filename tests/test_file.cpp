// Files by descriptor, line reading, 64-bit entry points and mapped files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kOpen = 0x78, kClose = 0x79, kRead = 0x7a, kWrite = 0x7b, kSeek = 0x7c,
                   kDelete = 0x7d, kExist = 0x7e, kLock = 0x80, kMapOpen = 0x83,
                   kMapClose = 0x84, kMapFlush = 0x85, kSeek64 = 0x12f, kReadLn = 0x131,
                   kWriteLn = 0x132, kSize = 0x134, kSize64 = 0x135, kGetBufLen = 0x67;

int open_count() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

}  // namespace

class File : public ZaxTest {};

TEST_F(File, FlagWordRulesRefuseAndOpenNothing) {
    std::string p = path("f");
    WriteFile(p, "x");
    int before = open_count();
    for (uint32_t bad : {0x3u, 0x304u, 0x30004u, 0x20001u, 0x8u, 0x0u, 0x100u, 0x40004u}) {
        XSetLastError(0, 0, 0);
        EXPECT_EQ(XOpenFile(p.c_str(), 0, bad), 0) << std::hex << bad;
        EXPECT_LAST_ERROR(code(kOpen, 1), 3, 2);
    }
    EXPECT_EQ(open_count(), before);
    EXPECT_EQ(XOpenFile(nullptr, 0, X_OPEN_READ), 0);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
    EXPECT_EQ(XOpenFile("", 0, X_OPEN_READ), 0);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
}

TEST_F(File, NameLengthLimitIs255) {
    // 255 characters are accepted (and reach the system), 256 are refused.
    std::string dir = path("");
    std::string n255 = dir + std::string(255 - dir.size(), 'a');
    std::string n256 = n255 + "a";
    WriteFile(n255, "");
    XFILE f = XOpenFile(n255.c_str(), 0, X_OPEN_READ);
    EXPECT_GE(f, 3);
    XCloseFile(f);
    EXPECT_EQ(XOpenFile(n256.c_str(), 0, X_OPEN_READ), 0);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
    EXPECT_EQ(XDeleteFile(n256.c_str()), 0);
    EXPECT_LAST_ERROR(code(kDelete, 1), 1, 2);
    EXPECT_EQ(XExistFile(n256.c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 1), 1, 2);
}

TEST_F(File, DispositionsCreateTruncateAndExisting) {
    std::string p = path("d");
    EXPECT_EQ(XOpenFile(p.c_str(), 0, X_OPEN_READWRITE), 0);
    EXPECT_LAST_ERROR(code(kOpen, 2), ENOENT, 1);
    EXPECT_EQ(XOpenFile(p.c_str(), 0, 0x20104), 0);
    EXPECT_LAST_ERROR(code(kOpen, 2), ENOENT, 1);
    EXPECT_EQ(XOpenFile(rundir_.c_str(), 0, X_OPEN_READ), 0);
    EXPECT_LAST_ERROR(code(kOpen, 2), EISDIR, 1);

    XFILE f = XOpenFile(p.c_str(), 0, 0x10104);
    ASSERT_GE(f, 3);
    EXPECT_EQ(XWriteFile(f, "hello", 5), 5);
    EXPECT_EQ(XCloseFile(f), 1);
    EXPECT_EQ(XOpenFile(p.c_str(), 0, 0x10104), 0);
    EXPECT_LAST_ERROR(code(kOpen, 2), EEXIST, 1);

    // Without a disposition bit the contents stay; truncate cuts them.
    f = XOpenFile(p.c_str(), 0, X_OPEN_WRITE);
    ASSERT_GE(f, 3);
    XCloseFile(f);
    EXPECT_EQ(ReadFile(p), "hello");
    f = XOpenFile(p.c_str(), 0, 0x20104);
    ASSERT_GE(f, 3);
    XCloseFile(f);
    EXPECT_EQ(ReadFile(p), "");

    // A read-only handle cannot write.
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    EXPECT_EQ(XWriteFile(f, "x", 1), -1);
    EXPECT_LAST_ERROR(code(kWrite, 2), EBADF, 1);
    XCloseFile(f);
}

TEST_F(File, HandlesAreNeverStandardStreamsAndCloseOnExec) {
    std::string p = path("h");
    WriteFile(p, "abc");
    int saved = dup(0);
    close(0);  // the next descriptor the system gives out would be 0
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    dup2(saved, 0);
    close(saved);
    EXPECT_GE(f, 3);
    EXPECT_NE(fcntl(f, F_GETFD) & FD_CLOEXEC, 0);
    char buf[4] = {};
    EXPECT_EQ(XReadFile(f, buf, 3), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(XCloseFile(f), 1);
    EXPECT_EQ(XCloseFile(f), 0);
    EXPECT_LAST_ERROR(code(kClose, 2), EBADF, 1);
    EXPECT_EQ(XCloseFile(0), 0);
    EXPECT_LAST_ERROR(code(kClose, 1), 1, 2);
}

TEST_F(File, ReadReportsShortReadsAndRefusesBadArguments) {
    std::string p = path("r");
    WriteFile(p, "abcdef");
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    char buf[16];
    EXPECT_EQ(XReadFile(f, buf, 4), 4);
    EXPECT_LAST_ERROR(0, 0, 0);  // a full read leaves the record alone
    EXPECT_EQ(XReadFile(f, buf, 10), 2);
    EXPECT_LAST_ERROR(code(kRead, 1), 0, 1);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XReadFile(f, buf, 10), 0);
    EXPECT_LAST_ERROR(code(kRead, 1), 0, 1);
    EXPECT_EQ(XReadFile(f, buf, 0), -1);
    EXPECT_LAST_ERROR(code(kRead, 2), 3, 2);
    EXPECT_EQ(XReadFile(f, nullptr, 1), -1);
    EXPECT_LAST_ERROR(code(kRead, 2), 2, 2);
    EXPECT_EQ(XReadFile(0, buf, 1), -1);
    EXPECT_LAST_ERROR(code(kRead, 2), 1, 2);
    EXPECT_EQ(XWriteFile(f, buf, 0), -1);
    EXPECT_LAST_ERROR(code(kWrite, 1), 3, 2);
    XCloseFile(f);
    EXPECT_EQ(XReadFile(f, buf, 1), -1);
    EXPECT_LAST_ERROR(code(kRead, 3), EBADF, 1);
}

TEST_F(File, SeekNeverPassesTheEnd) {
    std::string p = path("s");
    WriteFile(p, "0123456789");
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READWRITE);
    EXPECT_EQ(XSeekFile(f, 0, X_SEEK_END), 10);
    EXPECT_EQ(XSeekFile(f, 1, X_SEEK_END), -1);
    EXPECT_LAST_ERROR(code(kSeek, 1), 2, 2);
    EXPECT_EQ(XSeekFile(f, 3, X_SEEK_SET), 3);
    EXPECT_EQ(XSeekFile(f, -4, X_SEEK_CUR), -1);
    EXPECT_LAST_ERROR(code(kSeek, 1), 2, 2);
    EXPECT_EQ(XSeekFile(f, 2, X_SEEK_CUR), 5);
    EXPECT_EQ(XSeekFile(f, -10, X_SEEK_END), 0);
    EXPECT_EQ(XSeekFile(f, 0, 3), -1);
    EXPECT_LAST_ERROR(code(kSeek, 1), 3, 2);
    EXPECT_EQ(XSeekFile(0, 0, 1), -1);
    EXPECT_LAST_ERROR(code(kSeek, 1), 1, 2);
    // A failed seek leaves the position where it was.
    EXPECT_EQ(XSeekFile(f, 7, X_SEEK_SET), 7);
    XSeekFile(f, 4, X_SEEK_CUR);
    char c;
    EXPECT_EQ(XReadFile(f, &c, 1), 1);
    EXPECT_EQ(c, '7');
    XCloseFile(f);
}

TEST_F(File, Seek64StoresThePositionOnlyOnSuccess) {
    std::string p = path("s64");
    WriteFile(p, std::string(100, 'x'));
    XFILE f = XOpenFile64(p.c_str(), 0, X_OPEN_READWRITE);
    int32_t hi = 0;
    uint32_t lo = 100;
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_SET), 1);
    EXPECT_EQ(hi, 0);
    EXPECT_EQ(lo, 100u);
    hi = 0, lo = 101;
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_SET), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 5), 0, 2);
    EXPECT_EQ(lo, 101u);
    hi = -1, lo = 0xFFFFFFF6u;  // -10
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_END), 1);
    EXPECT_EQ(hi, 0);
    EXPECT_EQ(lo, 90u);
    hi = -1, lo = 0xFFFFFF00u;
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_CUR), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 5), 0, 2);
    hi = 0x7fffffff, lo = 0xffffffffu;  // would overflow from the end
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_END), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 5), 0, 2);
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, 3), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 1), 4, 2);
    EXPECT_EQ(XSeekFile64(f, nullptr, &lo, 1), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 1), 2, 2);
    EXPECT_EQ(XSeekFile64(f, &hi, nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 1), 3, 2);
    EXPECT_EQ(XSeekFile64(0, &hi, &lo, 1), 0);
    EXPECT_LAST_ERROR(code(kSeek64, 1), 1, 2);

    // Beyond 4 GiB in a sparse file; the 32-bit size sees the lower half.
    ASSERT_EQ(ftruncate(f, (int64_t(1) << 32) + 16), 0);
    hi = 1, lo = 8;
    EXPECT_EQ(XSeekFile64(f, &hi, &lo, X_SEEK_SET), 1);
    EXPECT_EQ(hi, 1);
    EXPECT_EQ(lo, 8u);
    uint32_t shi = 0, slo = 0;
    EXPECT_EQ(XGetFileSize64(f, &shi, &slo), 0);
    EXPECT_EQ(shi, 1u);
    EXPECT_EQ(slo, 16u);
    EXPECT_EQ(XGetFileSize(f), 16);
    XCloseFile64(f);
}

TEST_F(File, ForwardersKeepTheirNamesakesCodes) {
    EXPECT_EQ(XOpenFile64("", 0, 1), 0);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
    EXPECT_EQ(XCloseFile64(0), 0);
    EXPECT_LAST_ERROR(code(kClose, 1), 1, 2);
    EXPECT_EQ(XDeleteFile64(path("none").c_str()), 0);
    EXPECT_LAST_ERROR(code(kDelete, 2), ENOENT, 1);
    EXPECT_EQ(XExistFile64(path("none").c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 4), ENOENT, 1);
    EXPECT_EQ(XFlushFile64(0), 0);
    EXPECT_LAST_ERROR(code(0x7f, 1), 1, 2);
    EXPECT_EQ(XLockFile64(5, 0x300), 0);
    EXPECT_LAST_ERROR(code(kLock, 1), 2, 2);
    EXPECT_EQ(XUnlockFile64(0), 0);
    EXPECT_LAST_ERROR(code(0x81, 1), 1, 2);
    char b;
    EXPECT_EQ(XReadFile64(0, &b, 1), -1);
    EXPECT_LAST_ERROR(code(kRead, 2), 1, 2);
    EXPECT_EQ(XWriteFile64(0, &b, 1), -1);
    EXPECT_LAST_ERROR(code(kWrite, 1), 1, 2);
    EXPECT_EQ(XGetFileInfo64(7, 8), 1);
    EXPECT_EQ(XGetFileInfo(7, 8), 1);
}

TEST_F(File, ExistFileTakesGlobPatterns) {
    std::string d = path("sub");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    WriteFile(d + "/data.txt", "1");
    EXPECT_EQ(XExistFile((d + "/data.txt").c_str()), 1);
    EXPECT_EQ(XExistFile((d + "/*.txt").c_str()), 1);
    EXPECT_EQ(XExistFile((d + "/d?ta.*").c_str()), 1);
    EXPECT_EQ(XExistFile((d + "/*.dat").c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 4), ENOENT, 1);
    EXPECT_EQ(XExistFile((d + "/missing/x").c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 4), ENOENT, 1);
    EXPECT_EQ(XExistFile((d + "/data.txt/x").c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 4), ENOTDIR, 1);
    ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
    EXPECT_EQ(XExistFile((d + "/dangling").c_str()), 1);
    EXPECT_EQ(XDeleteFile((d + "/dangling").c_str()), 1);
    EXPECT_EQ(XDeleteFile((d + "/data.txt").c_str()), 1);
    EXPECT_EQ(XDeleteFile((d + "/data.txt").c_str()), 0);
    EXPECT_LAST_ERROR(code(kDelete, 2), ENOENT, 1);
    EXPECT_EQ(XExistFile((d + "/*").c_str()), 0);
    EXPECT_LAST_ERROR(code(kExist, 4), ENOENT, 1);
    EXPECT_EQ(XExistFile(nullptr), 0);
    EXPECT_LAST_ERROR(code(kExist, 1), 1, 2);
}

TEST_F(File, LocksBelongToTheHandle) {
    std::string p = path("l");
    WriteFile(p, "x");
    XFILE a = XOpenFile(p.c_str(), 0, X_OPEN_READWRITE | X_OPEN_LOCK);
    ASSERT_GE(a, 3);
    // A second handle of the same process is kept out, as another process is.
    int before = open_count();
    EXPECT_EQ(XOpenFile(p.c_str(), 0, X_OPEN_READWRITE | X_OPEN_LOCK_NOWAIT), 0);
    EXPECT_LAST_ERROR(code(kLock, 2), EAGAIN, 1);
    EXPECT_EQ(open_count(), before);
    XFILE b = XOpenFile(p.c_str(), 0, X_OPEN_READWRITE);
    ASSERT_GE(b, 3);
    EXPECT_EQ(XLockFile(b, X_LOCK_NOWAIT), 0);
    EXPECT_LAST_ERROR(code(kLock, 2), EAGAIN, 1);
    // A truncating open that cannot have the lock leaves the contents alone.
    EXPECT_EQ(XOpenFile(p.c_str(), 0, X_OPEN_TRUNCATE | X_OPEN_WRITE | X_OPEN_LOCK_NOWAIT), 0);
    EXPECT_EQ(ReadFile(p), "x");
    // The holder may lock again; unlocking frees the file for the other handle.
    EXPECT_EQ(XLockFile(a, X_LOCK_NOWAIT), 1);
    EXPECT_EQ(XUnlockFile(a), 1);
    EXPECT_EQ(XLockFile(b, X_LOCK_NOWAIT), 1);
    EXPECT_EQ(XLockFile(a, X_LOCK_NOWAIT), 0);
    // Closing the holder releases its lock.
    EXPECT_EQ(XCloseFile(b), 1);
    EXPECT_EQ(XLockFile(a, X_LOCK_NOWAIT), 1);
    EXPECT_EQ(XLockFile(a, 0x101), 0);
    EXPECT_LAST_ERROR(code(kLock, 1), 2, 2);
    EXPECT_EQ(XLockFile(0, X_LOCK_WAIT), 0);
    EXPECT_LAST_ERROR(code(kLock, 1), 1, 2);
    XCloseFile(a);
}

TEST_F(File, LocksKeepOtherProcessesOutAndDieWithTheirHolder) {
    std::string p = path("lp");
    WriteFile(p, "x");
    XFILE a = XOpenFile(p.c_str(), 0, 0x10104 & ~X_OPEN_CREATE);
    ASSERT_GE(a, 3);
    ASSERT_EQ(XLockFile(a, X_LOCK_WAIT), 1);
    HelperResult r = RunHelper({"lockfile", p, "512"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "800002 " + std::to_string(EAGAIN) + "\n");

    // A waiting opener gets the file once the holder lets go.
    std::thread release([a] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        XUnlockFile(a);
    });
    auto t0 = std::chrono::steady_clock::now();
    r = RunHelper({"lockfile", p, "256"});
    auto waited = std::chrono::steady_clock::now() - t0;
    release.join();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "locked\n");
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    XCloseFile(a);

    // A holder that dies without unlocking leaves the file free.
    r = RunHelper({"filelockdie", p});
    EXPECT_EQ(r.exit_code, 0);
    a = XOpenFile(p.c_str(), 0, X_OPEN_READWRITE | X_OPEN_LOCK_NOWAIT);
    EXPECT_GE(a, 3);
    XCloseFile(a);
}

TEST_F(File, ReadOnlyHandlesLockExclusively) {
    std::string p = path("ro");
    WriteFile(p, "x");
    XFILE r1 = XOpenFile(p.c_str(), 0, X_OPEN_READ | X_OPEN_LOCK_NOWAIT);
    ASSERT_GE(r1, 3);
    // Another read-only handle of this process, and another process, are
    // kept out as a writer is.
    EXPECT_EQ(XOpenFile(p.c_str(), 0, X_OPEN_READ | X_OPEN_LOCK_NOWAIT), 0);
    EXPECT_LAST_ERROR(code(kLock, 2), EAGAIN, 1);
    XFILE r2 = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    ASSERT_GE(r2, 3);
    EXPECT_EQ(XLockFile(r2, X_LOCK_NOWAIT), 0);
    EXPECT_LAST_ERROR(code(kLock, 2), EAGAIN, 1);
    EXPECT_EQ(XOpenFile(p.c_str(), 0, X_OPEN_WRITE | X_OPEN_LOCK_NOWAIT), 0);
    HelperResult h = RunHelper({"lockfile", p, "512", "ro"});
    EXPECT_EQ(h.exit_code, 2);
    EXPECT_EQ(h.out, "800002 " + std::to_string(EAGAIN) + "\n");
    XCloseFile(r1);
    EXPECT_EQ(XLockFile(r2, X_LOCK_NOWAIT), 1);
    EXPECT_EQ(RunHelper({"lockfile", p, "512", "ro"}).exit_code, 2);
    XCloseFile(r2);
    EXPECT_EQ(RunHelper({"lockfile", p, "512", "ro"}).out, "locked\n");
}

// ---------------------------------------------------------------------------

class FileLines : public ZaxTest {};

TEST_F(FileLines, LinesEndAtLineFeedOrFormFeedAndSeekBack) {
    std::string p = path("ln");
    WriteFile(p, std::string("ab\r\ncd", 6));
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    char buf[100];
    EXPECT_EQ(XReadFileLn(f, buf, 100), 4);
    EXPECT_EQ(std::string(buf, 4), "ab\r\n");
    EXPECT_LAST_ERROR(0, 0, 0);
    EXPECT_EQ(XReadFileLn(f, buf, 100), 2);
    EXPECT_EQ(std::string(buf, 2), "cd");
    EXPECT_LAST_ERROR(code(kRead, 1), 0, 1);  // the last line has no end
    EXPECT_EQ(XReadFileLn(f, buf, 100), 0);
    XCloseFile(f);

    WriteFile(p, "a\fb\nc");
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    EXPECT_EQ(XReadFileLn64(f, buf, 100), 2);
    EXPECT_EQ(XReadFileLn(f, buf, 100), 2);
    EXPECT_EQ(std::string(buf, 3), "b\nc");  // bytes read past the end stay in the buffer
    EXPECT_EQ(XSeekFile(f, 0, X_SEEK_CUR), 4);
    XCloseFile(f);
}

TEST_F(FileLines, LongLinesComeInPiecesAndEndsAtTheBufferEdge) {
    std::string p = path("long");
    WriteFile(p, "abcdefgh\nxy\n");
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    char buf[8];
    EXPECT_EQ(XReadFileLn(f, buf, 5), 5);
    EXPECT_LAST_ERROR(code(kGetBufLen, 2), 0, 2);
    EXPECT_EQ(XReadFileLn(f, buf, 4), 4);  // "fgh\n" ends in the last byte read
    EXPECT_EQ(std::string(buf, 4), "fgh\n");
    EXPECT_EQ(XSeekFile(f, 0, X_SEEK_CUR), 9);
    EXPECT_EQ(XReadFileLn(f, buf, 8), 3);
    XCloseFile(f);

    WriteFile(p, "");
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XReadFileLn(f, buf, 8), 0);
    EXPECT_LAST_ERROR(code(kRead, 1), 0, 1);
    EXPECT_EQ(XReadFileLn(f, buf, 0), -1);
    EXPECT_LAST_ERROR(code(kReadLn, 1), 3, 2);
    EXPECT_EQ(XReadFileLn(f, buf, -1), -1);
    EXPECT_LAST_ERROR(code(kReadLn, 1), 3, 2);
    EXPECT_EQ(XReadFileLn(f, nullptr, 8), -1);
    EXPECT_LAST_ERROR(code(kReadLn, 1), 2, 2);
    EXPECT_EQ(XReadFileLn(0, buf, 8), -1);
    EXPECT_LAST_ERROR(code(kReadLn, 1), 1, 2);
    XCloseFile(f);
}

TEST_F(FileLines, Utf16InBothByteOrders) {
    std::string p = path("u16");
    WriteFile(p, std::string("a\0\n\0b\0", 6));
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    char buf[32];
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, 3), -1);
    EXPECT_LAST_ERROR(code(kReadLn, 1), 4, 2);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_LITTLE), 4);
    EXPECT_LAST_ERROR(0, 0, 0);
    EXPECT_EQ(XSeekFile(f, 0, X_SEEK_CUR), 4);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_LITTLE), 2);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_LITTLE), 0);
    XCloseFile(f);

    // Big-endian, with a form feed, and a match at an odd byte position.
    WriteFile(p, std::string("\0a\0\f\0b\0\n", 8));
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_BIG), 4);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_BIG), 4);
    XCloseFile(f);
    WriteFile(p, std::string("x\0\n", 3));
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 32, X_UTF16_BIG), 3);
    XCloseFile(f);

    // No line end: a full buffer records the unsuccessful search, the last
    // unterminated piece XReadFile's short read.
    WriteFile(p, std::string("a\0b\0c\0", 6));
    f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 4, X_UTF16_LITTLE), 4);
    EXPECT_LAST_ERROR(code(kGetBufLen, 2), 0, 2);
    EXPECT_EQ(XReadFileLn_UTF16(f, buf, 4, X_UTF16_LITTLE), 2);
    EXPECT_LAST_ERROR(code(kRead, 1), 0, 1);
    XCloseFile(f);
}

TEST_F(FileLines, WriteLnAddsNothingAndSizesTellDiskFiles) {
    std::string p = path("w");
    XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_CREATE | X_OPEN_READWRITE);
    EXPECT_EQ(XWriteFileLn(f, "ab", 1), 1);
    EXPECT_EQ(XWriteFileLn(f, "cd\n", 3), 3);
    EXPECT_EQ(XWriteFileLn(f, "x", 0), -1);
    EXPECT_LAST_ERROR(code(kWriteLn, 1), 3, 2);
    EXPECT_EQ(XWriteFileLn(f, "x", -1), -1);
    EXPECT_LAST_ERROR(code(kWriteLn, 1), 3, 2);
    EXPECT_EQ(XWriteFileLn(f, nullptr, 1), -1);
    EXPECT_LAST_ERROR(code(kWriteLn, 1), 2, 2);
    EXPECT_EQ(XGetFileSize(f), 4);
    EXPECT_EQ(ReadFile(p), "acd\n");
    XCloseFile(f);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(XGetFileSize(fds[0]), -2);
    EXPECT_LAST_ERROR(code(kSize, 3), 0, 2);
    uint32_t hi, lo;
    EXPECT_EQ(XGetFileSize64(fds[1], &hi, &lo), -2);
    EXPECT_LAST_ERROR(code(kSize64, 3), 0, 2);
    close(fds[0]);
    close(fds[1]);
    int null = open("/dev/null", O_RDONLY);
    EXPECT_EQ(XGetFileSize(null), -2);
    close(null);
    EXPECT_EQ(XGetFileSize(0), -1);
    EXPECT_LAST_ERROR(code(kSize, 1), 1, 2);
    EXPECT_EQ(XGetFileSize64(1000, &hi, &lo), -1);
    EXPECT_LAST_ERROR(code(kSize64, 2), EBADF, 1);
    EXPECT_EQ(XGetFileSize64(3, nullptr, &lo), -1);
    EXPECT_LAST_ERROR(code(kSize64, 1), 2, 2);
}

// ---------------------------------------------------------------------------

class MappedFile : public ZaxTest {};

TEST_F(MappedFile, ArgumentsAndFilesThatCannotBeMapped) {
    XHANDLE h = nullptr;
    std::string p = path("m");
    WriteFile(p, "data");
    EXPECT_EQ(XOpenMemMapFile(nullptr, p.c_str(), 1, 1), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 1), 1, 2);
    EXPECT_EQ(XOpenMemMapFile(&h, p.c_str(), 2, 1), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 1), 3, 2);
    EXPECT_EQ(XOpenMemMapFile(&h, p.c_str(), 1, 3), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 1), 4, 2);
    EXPECT_EQ(XOpenMemMapFile(&h, "", 1, 1), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 1), 2, 2);
    EXPECT_EQ(XOpenMemMapFile(&h, std::string(256, 'a').c_str(), 1, 1), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 1), 2, 2);

    int before = open_count();
    EXPECT_EQ(XOpenMemMapFile(&h, path("none").c_str(), 1, 2), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 5), ENOENT, 1);
    WriteFile(path("empty"), "");
    EXPECT_EQ(XOpenMemMapFile(&h, path("empty").c_str(), 4, 2), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 3), EINVAL, 1);
    EXPECT_EQ(open_count(), before);  // nothing left open, the lock given back
    EXPECT_EQ(h, nullptr);
    void *v = XOpenMemMapFile(&h, path("m").c_str(), 1, 2);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(XCloseMemMapFile(h), 1);

    EXPECT_EQ(XCloseMemMapFile(nullptr), 0);
    EXPECT_LAST_ERROR(code(kMapClose, 1), 1, 2);
    EXPECT_EQ(XFlushMemMapFile(nullptr), 0);
    EXPECT_LAST_ERROR(code(kMapFlush, 1), 1, 2);
}

TEST_F(MappedFile, ViewsShareTheFile) {
    std::string p = path("v");
    WriteFile(p, std::string(16, '.'));
    XHANDLE h = nullptr;
    auto *view = static_cast<char *>(XOpenMemMapFile(&h, p.c_str(), X_MAP_READWRITE, X_MAP_SHARED));
    ASSERT_NE(view, nullptr);
    std::memcpy(view, "hello", 5);
    // Another process maps the same file, sees the bytes and writes back.
    HelperResult r = RunHelper({"mapecho", p});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "hello\n");
    EXPECT_EQ(std::string(view + 8, 5), "world");
    EXPECT_EQ(XFlushMemMapFile(h), 1);
    EXPECT_EQ(ReadFile(p), "hello...world...");
    EXPECT_EQ(XCloseMemMapFile(h), 1);

    // A read view sees the file as it is.
    const char *ro = static_cast<const char *>(XOpenMemMapFile(&h, p.c_str(), X_MAP_READ, X_MAP_SHARED));
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(std::string(ro, 16), "hello...world...");
    EXPECT_EQ(XCloseMemMapFile(h), 1);
}

TEST_F(MappedFile, ExclusiveOpenersKeepEachOtherOut) {
    std::string p = path("x");
    WriteFile(p, "x");
    XHANDLE a = nullptr, b = nullptr, s = nullptr;
    ASSERT_NE(XOpenMemMapFile(&a, p.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    // Another name of the same file meets the same lock, in this process ...
    std::string other = rundir_ + "/./sub/../x";
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    EXPECT_EQ(XOpenMemMapFile(&b, other.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 7), EAGAIN, 1);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(path("sub").c_str()), 0);
    EXPECT_EQ(XOpenMemMapFile(&b, "../x", X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 7), EAGAIN, 1);
    ASSERT_EQ(chdir(cwd), 0);
    // ... and in another; shared openers are not kept out.
    HelperResult r = RunHelper({"mapexcl", p});
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(r.out, "830007 " + std::to_string(EAGAIN) + "\n");
    EXPECT_NE(XOpenMemMapFile(&s, p.c_str(), X_MAP_READ, X_MAP_SHARED), nullptr);
    EXPECT_EQ(XCloseMemMapFile(s), 1);
    EXPECT_EQ(XCloseMemMapFile(a), 1);
    r = RunHelper({"mapexcl", p});
    EXPECT_EQ(r.exit_code, 0);

    // A holder that dies without closing lets the next exclusive opener in.
    r = RunHelper({"mapexcl_die", p});
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_NE(XOpenMemMapFile(&a, p.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_EQ(XCloseMemMapFile(a), 1);
    // The lock lives in the run-time directory under the path-derived name.
    std::string lock = rundir_ + "/ZAXSEMPHZAXFLMAP";
    for (char c : p) lock += c == '/' ? '@' : c;
    EXPECT_EQ(access(lock.c_str(), F_OK), 0) << lock;
}

TEST_F(MappedFile, AReaderMapsAFileItMayOnlyRead) {
    std::string p = path("readonly");
    WriteFile(p, "hello world");
    ASSERT_EQ(chmod(p.c_str(), 0444), 0);
    std::vector<std::string> args{"mapread", p};
    if (geteuid() == 0) {
        // Root may write anything: the helper becomes an unprivileged user,
        // who can reach the file but not write it.
        ASSERT_EQ(chmod(rundir_.c_str(), 0711), 0);
        args.push_back("65534");
    }
    HelperResult r = RunHelper(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "hello\n830005 " + std::to_string(EACCES) + "\n");
}

TEST_F(MappedFile, LongPathsGetAShortenedLockName) {
    // A path near the 255-character limit makes a lock name beyond what the
    // file system takes; it is shortened, and still the same for each opener.
    std::string dir = path(std::string(120, 'd'));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string p = dir + "/" + std::string(250 - dir.size(), 'f');
    WriteFile(p, "long");
    XHANDLE a = nullptr, b = nullptr;
    ASSERT_NE(XOpenMemMapFile(&a, p.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_EQ(XOpenMemMapFile(&b, p.c_str(), X_MAP_READ, X_MAP_EXCLUSIVE), nullptr);
    EXPECT_LAST_ERROR(code(kMapOpen, 7), EAGAIN, 1);
    EXPECT_EQ(XCloseMemMapFile(a), 1);
}
