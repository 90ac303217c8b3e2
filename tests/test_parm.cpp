// Parameter files: reading, writing, listing, and the rewrite at close.
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kOpenFile = 0x78, kOpen = 0x6e, kOpenRW = 0x74, kClose = 0x6f, kInt = 0x70,
                   kStr = 0x71, kWriteInt = 0x72, kWriteStr = 0x73, kList = 0x75;

void write_file(const std::string &p, const std::string &content) {
    std::ofstream(p, std::ios::binary) << content;
}
std::string read_file(const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

class Parm : public ZaxTest {
protected:
    // Opens a file of the given text for reading.
    XHANDLE open_text(const std::string &text) {
        write_file(path("p.ini"), text);
        return XOpenParmFile(rundir_.c_str(), "p.ini");
    }
    // The value of section/key, or "<error 0xCODE>".
    std::string value(XHANDLE h, const char *s, const char *k) {
        char buf[4096];
        int32_t n = XReadParmStr(h, s, k, buf, sizeof buf);
        if (n == 0) {
            char e[32];
            std::snprintf(e, sizeof e, "<error 0x%X>", XGetLastError(nullptr));
            return e;
        }
        return std::string(buf, size_t(n));
    }
};

TEST_F(Parm, OpenBuildsThePathAndRefusesBadNames) {
    EXPECT_EQ(XOpenParmFile(rundir_.c_str(), nullptr), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 1), 2, 2);
    EXPECT_EQ(XOpenParmFileRW(nullptr, nullptr), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenRW, 1), 2, 2);
    EXPECT_EQ(XOpenParmFile(nullptr, ""), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 2), 0, 2);
    EXPECT_EQ(XOpenParmFile(rundir_.c_str(), "missing"), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenFile, 6), ENOENT, 1);

    // Directory and name together 255 characters, the separator not counted.
    std::string d200(200, 'd'), n55(55, 'n');
    EXPECT_EQ(XOpenParmFile(d200.c_str(), n55.c_str()), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenFile, 6), ENOENT, 1);  // accepted, then not found
    EXPECT_EQ(XOpenParmFile((d200 + "d").c_str(), n55.c_str()), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 2), 0, 2);
    EXPECT_EQ(XOpenParmFileRW(d200.c_str(), (n55 + "n").c_str()), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenRW, 2), 0, 2);

    // A null directory is the current directory.
    write_file(path("cur.ini"), "S :\nK = v\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(rundir_.c_str()), 0);
    XHANDLE h = XOpenParmFile(nullptr, "cur.ini");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(value(h, "S", "K"), "v");
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(XCloseParmFile(nullptr), 0);
    EXPECT_LAST_ERROR(code(kClose, 1), 1, 2);
    EXPECT_EQ(XCloseParmFile(X_FAILED_PTR), 0);
    EXPECT_LAST_ERROR(code(kClose, 1), 1, 2);
}

TEST_F(Parm, SectionAndKeyMatching) {
    XHANDLE h = open_text(
        "A :\nK1=V1\n"
        "  B: trailing text\nK2 = v2\n"
        "\tC   :\n  K3\t=\tv3 ; a comment\n"
        "a :\nK4 = lower\n"
        "A :\nK5 = second A\n"
        "AB :\nK6 = ab\n");
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(value(h, "A", "K1"), "V1");
    EXPECT_EQ(value(h, "B", "K2"), "v2");
    EXPECT_EQ(value(h, "C", "K3"), "v3");
    EXPECT_EQ(value(h, "a", "K4"), "lower");
    EXPECT_EQ(value(h, "A", "K4"), "<error 0x710003>");  // sections end at the next header
    EXPECT_EQ(value(h, "A", "K5"), "<error 0x710003>");  // only the first A is searched
    EXPECT_EQ(value(h, "AB", "K6"), "ab");
    EXPECT_EQ(value(h, "X", "K1"), "<error 0x710002>");
    EXPECT_EQ(value(h, "A", "K"), "<error 0x710003>");  // a prefix is not the name
    XCloseParmFile(h);
}

TEST_F(Parm, ValuesQuotesAndContinuations) {
    XHANDLE h = open_text(
        "S :\n"
        "KEY1 = abc ; note\n"
        "KEY2 = \"a b\"\n"
        "KEY3 = abc @\n= def\n"
        "KEY4 = abc@\n"
        "EMPTY =\n"
        "EMPTYQ = \"\"\n"
        "OPEN = \"abc\n"
        "Q1 = \"a b  @\n  = c d\" @\n= \"e\"\n"
        "Q2 = \"x @\n=\"\n"
        "Q3 = \"x\"@\n=y\r\n"
        "CR = crlf\r\n"
        "TAB =\t\"t\"\t@\n\t=\tu\n"
        "LAST = abc @\n");
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(value(h, "S", "KEY1"), "abc");
    EXPECT_EQ(value(h, "S", "KEY2"), "a b");
    EXPECT_EQ(value(h, "S", "KEY3"), "abcdef");
    EXPECT_EQ(value(h, "S", "KEY4"), "abc@");
    EXPECT_EQ(value(h, "S", "EMPTY"), "<error 0x710004>");
    EXPECT_EQ(value(h, "S", "EMPTYQ"), "<error 0x710004>");
    EXPECT_EQ(value(h, "S", "OPEN"), "<error 0x710004>");
    EXPECT_EQ(value(h, "S", "Q1"), "a bc de");
    EXPECT_EQ(value(h, "S", "Q2"), "x");
    EXPECT_EQ(value(h, "S", "Q3"), "xy");
    EXPECT_EQ(value(h, "S", "CR"), "crlf");
    EXPECT_EQ(value(h, "S", "TAB"), "tu");
    EXPECT_EQ(value(h, "S", "LAST"), "<error 0x710005>");
    XCloseParmFile(h);
}

TEST_F(Parm, LineKindsFollowTheLineBefore) {
    XHANDLE h = open_text(
        "S :\n"
        "K = a @\n"
        "free text\n"
        "= b\n"   // after a comment: an entry with an empty key
        "M = m @\n"
        "\n"
        "= n\n");  // the line right after "@" is blank: no continuation
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(value(h, "S", "K"), "<error 0x710005>");
    EXPECT_EQ(value(h, "S", ""), "b");
    EXPECT_EQ(value(h, "S", "M"), "<error 0x710005>");
    XCloseParmFile(h);
}

TEST_F(Parm, ReadStrCopiesAtMostSizeAndChecksArguments) {
    XHANDLE h = open_text("S :\nK = abcdef\n");
    char buf[8] = "#######";
    EXPECT_EQ(XReadParmStr(h, "S", "K", buf, 3), 6);
    EXPECT_EQ(std::string(buf, 7), "abc####");
    EXPECT_EQ(XReadParmStr(h, "S", "K", buf, 0), 6);
    EXPECT_EQ(XReadParmStr(nullptr, "S", "K", buf, 3), 0);
    EXPECT_LAST_ERROR(code(kStr, 1), 1, 2);
    EXPECT_EQ(XReadParmStr(h, nullptr, "K", buf, 3), 0);
    EXPECT_LAST_ERROR(code(kStr, 1), 2, 2);
    EXPECT_EQ(XReadParmStr(h, "S", nullptr, buf, 3), 0);
    EXPECT_LAST_ERROR(code(kStr, 1), 3, 2);
    EXPECT_EQ(XReadParmStr(h, "S", "K", nullptr, 3), 0);
    EXPECT_LAST_ERROR(code(kStr, 1), 4, 2);
    EXPECT_EQ(XReadParmStr(h, "S", "K", buf, -1), 0);
    EXPECT_LAST_ERROR(code(kStr, 1), 5, 2);
    XCloseParmFile(h);
}

TEST_F(Parm, ReadIntAcceptsOnlyDecimalNumbers) {
    XHANDLE h = open_text(
        "S :\nNEG = -12\nMID = 1-2\nTAIL = 12a\nBIG = 99999999999\nMIN = -2147483648\n"
        "MAX = 2147483647\nOVER = 2147483648\nDASH = -\nNONE =\n");
    int32_t n = 7;
    EXPECT_EQ(XReadParmInt(h, "S", "NEG", &n), 1);
    EXPECT_EQ(n, -12);
    EXPECT_EQ(XReadParmInt(h, "S", "MIN", &n), 1);
    EXPECT_EQ(n, INT32_MIN);
    EXPECT_EQ(XReadParmInt(h, "S", "MAX", &n), 1);
    EXPECT_EQ(n, INT32_MAX);
    EXPECT_EQ(XReadParmInt(h, "S", "DASH", &n), 1);
    EXPECT_EQ(n, 0);
    n = 7;
    EXPECT_EQ(XReadParmInt(h, "S", "MID", &n), 0);
    EXPECT_LAST_ERROR(code(kInt, 2), 0, 2);
    EXPECT_EQ(XReadParmInt(h, "S", "TAIL", &n), 0);
    EXPECT_LAST_ERROR(code(kInt, 2), 0, 2);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(XReadParmInt(h, "S", "BIG", &n), 0);
    EXPECT_LAST_ERROR(code(kInt, 3), 0, 2);
    EXPECT_EQ(XReadParmInt(h, "S", "OVER", &n), 0);
    EXPECT_LAST_ERROR(code(kInt, 3), 0, 2);
    EXPECT_EQ(XReadParmInt(h, "S", "NONE", &n), 0);
    EXPECT_LAST_ERROR(code(kStr, 4), 0, 2);
    EXPECT_EQ(XReadParmInt(h, "S", "NEG", nullptr), 0);
    EXPECT_LAST_ERROR(code(kInt, 1), 4, 2);
    EXPECT_EQ(XReadParmInt(X_FAILED_PTR, "S", "NEG", &n), 0);
    EXPECT_LAST_ERROR(code(kInt, 1), 1, 2);
    XCloseParmFile(h);
}

TEST_F(Parm, AnyBytesAreReadWithoutHarm) {
    // Long lines come in 1024-byte pieces; a last line without a line end
    // reads normally; zero bytes and other binary bytes do no harm.
    std::string text = "S :\n" + std::string(1500, 'x') + "\nK = v\nB = \x01\x02\xff\n";
    text += std::string("Z = a\0b\n", 8);
    text += "LAST = end";
    XHANDLE h = open_text(text);
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(value(h, "S", "K"), "v");
    EXPECT_EQ(value(h, "S", "B"), "\x01\x02\xff");
    EXPECT_EQ(value(h, "S", "Z"), "a");
    EXPECT_EQ(value(h, "S", "LAST"), "end");
    XCloseParmFile(h);

    // A key beyond the first 1024 bytes of its line is in the next piece.
    h = open_text("S :\n" + std::string(1024, ' ') + "K = piece\n");
    EXPECT_EQ(value(h, "S", "K"), "piece");
    XCloseParmFile(h);
    h = open_text("");
    EXPECT_EQ(value(h, "S", "K"), "<error 0x710002>");
    XCloseParmFile(h);
}
