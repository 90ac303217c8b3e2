// Console and log messages: the 124-character cut, the skipped arguments of
// XWto, the operator message layout, XFprintf's targets, and the reasons and
// kinds, which differ between the functions.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string>

#include "xcodes.h"
#include "zaxtest.h"

using namespace zaxtest;
using namespace zax;

namespace {

// Sends a standard stream (1 or 2) to a file while it lives.
class Redirect {
public:
    Redirect(int fd, const std::string &path) : fd_(fd), path_(path) {
        std::fflush(stream());
        saved_ = dup(fd);
        int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(f, fd);
        close(f);
    }
    // Puts the stream back and returns what was written to it.
    std::string take() {
        restore();
        return ReadFile(path_);
    }
    ~Redirect() { restore(); }

private:
    FILE *stream() const { return fd_ == 1 ? stdout : stderr; }
    // The stream's own descriptor again, with its error state cleared.
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stream());
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        std::clearerr(stream());
    }
    int fd_;
    std::string path_;
    int saved_ = -1;
};

// A stream that fails every write: /dev/full.
struct FullStream : Redirect {
    explicit FullStream(int fd) : Redirect(fd, "/dev/full") {}
};

// A wide character that the C locale cannot convert: the formatter fails
// with EILSEQ.
constexpr wint_t kUnconvertible = 0x3042;

class Cons : public ZaxTest {};

TEST_F(Cons, PrintfWritesTheMessageAndALineFeed) {
    Redirect out(1, path("out"));
    EXPECT_EQ(XPrintf("%ld", 5L), 1);
    EXPECT_EQ(XPrintf("a%sc %d%%", "b", -7), 1);
    EXPECT_EQ(XPrintfToLog("log %u", 3u), 1);
    EXPECT_EQ(out.take(), "5\nabc -7%\nlog 3\n");
}

TEST_F(Cons, LongFormatTakesA32BitValue) {
    // Callers of the family pass 32-bit values for %ld; stray upper bits of
    // a 64-bit argument slot must not show.
    Redirect out(1, path("out"));
    EXPECT_EQ(XPrintf("%ld %lx %lu|%lld", int32_t(-2), 0xABCDu, 7u, 1LL << 40), 1);
    EXPECT_EQ(out.take(), "-2 abcd 7|1099511627776\n");
}

TEST_F(Cons, MessagesAreCutAfter124Characters) {
    std::string a200(200, 'a');
    std::string a124(124, 'a');
    std::string big(1000, 'z');  // beyond the 384-byte buffer: bounded, never overrun
    Redirect out(1, path("out"));
    EXPECT_EQ(XPrintf("%s", a200.c_str()), 1);
    EXPECT_EQ(XWto("%s", 0, 0, 0, a124.c_str()), 1);
    EXPECT_EQ(XPrintfToLog("%s%s", big.c_str(), big.c_str()), 1);
    EXPECT_EQ(out.take(), a124 + "\n" + a124 + "\n" + std::string(124, 'z') + "\n");
}

TEST_F(Cons, WtoSkipsItsThreeRoutingArguments) {
    Redirect out(1, path("out"));
    EXPECT_EQ(XWto("%s", 0, 0, 0, "x"), 1);
    EXPECT_EQ(XWto("%d-%d", 11, 12, 13, 1, 2), 1);
    EXPECT_EQ(out.take(), "x\n1-2\n");
}

TEST_F(Cons, NullFormatIsRefusedByEachFunction) {
    EXPECT_EQ(XPrintf(nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XPrintf, 1), 1, 2);
    EXPECT_EQ(XWto(nullptr, 0, 0, 0), 0);
    EXPECT_LAST_ERROR(code(FN_XWto, 1), 1, 2);
    EXPECT_EQ(XPrintfToLog(nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XPrintfToLog, 1), 1, 2);
    EXPECT_EQ(XFprintf(1, nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XFprintf, 1), 2, 2);
    EXPECT_EQ(XFprintf(0, "e"), 0);
    EXPECT_LAST_ERROR(code(FN_XFprintf, 1), 1, 2);
}

TEST_F(Cons, FormattingFailuresCarryEachFunctionsKind) {
    std::setlocale(LC_ALL, "C");
    Redirect out(1, path("out"));
    EXPECT_EQ(XPrintf("%lc", kUnconvertible), 0);
    EXPECT_LAST_ERROR(code(FN_XPrintf, 2), EILSEQ, 1);
    EXPECT_EQ(XWto("%lc", 0, 0, 0, kUnconvertible), 0);
    EXPECT_LAST_ERROR(code(FN_XWto, 2), EILSEQ, 2);
    EXPECT_EQ(XPrintfToLog("%lc", kUnconvertible), 0);
    EXPECT_LAST_ERROR(code(FN_XPrintfToLog, 2), 0xFFFFFFFFu, 2);  // the result -1
    EXPECT_EQ(XFprintf(1, "%lc", kUnconvertible), 0);
    EXPECT_LAST_ERROR(code(FN_XFprintf, 2), EILSEQ, 1);
    EXPECT_EQ(out.take(), "");
}

TEST_F(Cons, WriteFailuresCarryEachFunctionsKind) {
    {
        FullStream full(1);
        EXPECT_EQ(XPrintf("x"), 0);
        EXPECT_LAST_ERROR(code(FN_XPrintf, 3), ENOSPC, 1);
        EXPECT_EQ(XWto("x", 0, 0, 0), 0);
        EXPECT_LAST_ERROR(code(FN_XWto, 3), ENOSPC, 2);
        EXPECT_EQ(XPrintfToLog("x"), 0);
        EXPECT_LAST_ERROR(code(FN_XPrintfToLog, 3), ENOSPC, 2);
        const char *lines[] = {"l"};
        EXPECT_EQ(XWtoMulti("t", lines, 1), 0);
        EXPECT_LAST_ERROR(code(FN_XWtoMulti, 2), ENOSPC, 2);
        EXPECT_EQ(XFprintf(1, "x"), 0);
        EXPECT_LAST_ERROR(code(FN_XFprintf, 3), ENOSPC, 1);
    }
    {
        FullStream full(2);
        EXPECT_EQ(XFprintf(-1, "x"), 0);
        EXPECT_LAST_ERROR(code(FN_XFprintf, 3), ENOSPC, 1);
    }
    // The streams work again once they can be written.
    Redirect out(1, path("out"));
    EXPECT_EQ(XPrintf("ok"), 1);
    EXPECT_EQ(out.take(), "ok\n");
}

TEST_F(Cons, WtoMultiWritesTitleAndLinesCut) {
    std::string title40(40, 'T');
    std::string line80(80, 'L');
    const char *lines[] = {"line 1", line80.c_str(), ""};
    Redirect out(1, path("out"));
    EXPECT_EQ(XWtoMulti("T", lines, 2), 1);
    EXPECT_EQ(XWtoMulti(title40.c_str(), lines, 3), 1);
    EXPECT_EQ(XWtoMulti(nullptr, lines, 1), 1);
    // No line array: the title alone, whatever the count.
    EXPECT_EQ(XWtoMulti("only", nullptr, 4), 1);
    std::string nine;
    const char *many[9];
    for (auto &l : many) l = line80.c_str();
    EXPECT_EQ(XWtoMulti(title40.c_str(), many, 9), 1);  // the fullest message: 674 bytes
    for (int i = 0; i < 9; ++i) nine += std::string(70, 'L') + "\n";
    EXPECT_EQ(out.take(), "T\nline 1\n" + std::string(70, 'L') + "\n" +
                              std::string(34, 'T') + "\nline 1\n" + std::string(70, 'L') + "\n\n" +
                              "line 1\n" + "only\n" + std::string(34, 'T') + "\n" + nine);
}

TEST_F(Cons, WtoMultiRefusals) {
    const char *lines[10] = {};
    EXPECT_EQ(XWtoMulti(nullptr, nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(FN_XWtoMulti, 1), 0, 2);
    EXPECT_EQ(XWtoMulti("t", lines, 10), 0);
    EXPECT_LAST_ERROR(code(FN_XWtoMulti, 1), 3, 2);
}

TEST_F(Cons, FprintfTargets) {
    {
        Redirect out(1, path("out"));
        Redirect err(2, path("err"));
        EXPECT_EQ(XFprintf(1, "to %s", "out"), 1);
        EXPECT_EQ(XFprintf(-1, "e"), 1);
        EXPECT_EQ(XFprintf(1, "%s", std::string(300, 'o').c_str()), 1);
        EXPECT_EQ(out.take(), "to out\n" + std::string(124, 'o') + "\n");
        EXPECT_EQ(err.take(), "e\n");
    }
    XFILE f = XOpenFile(path("file").c_str(), 0, X_OPEN_READWRITE | X_OPEN_CREATE);
    ASSERT_NE(f, 0);
    EXPECT_EQ(XFprintf(f, "n=%d", 42), 1);
    EXPECT_EQ(XFprintf(f, "%s", std::string(200, 'f').c_str()), 1);
    EXPECT_EQ(XCloseFile(f), 1);
    EXPECT_EQ(ReadFile(path("file")), "n=42\n" + std::string(124, 'f') + "\n");
    // A handle that is not open: XWriteFile's own error stays.
    EXPECT_EQ(XFprintf(f, "late"), 0);
    EXPECT_EQ(XGetLastError(nullptr) >> 16, uint32_t(FN_XWriteFile));
}

TEST_F(Cons, DeleteMsgDoesNothing) {
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XDeleteMsg(17), 1);
    EXPECT_LAST_ERROR(0, 0, 0);
}

}  // namespace
