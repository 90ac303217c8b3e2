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


}  // namespace

class Parm : public ZaxTest {
protected:
    // Opens a file of the given text for reading.
    XHANDLE open_text(const std::string &text) {
        WriteFile(path("p.ini"), text);
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
    WriteFile(path("cur.ini"), "S :\nK = v\n");
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

// ---------------------------------------------------------------------------

class ParmWrite : public Parm {
protected:
    XHANDLE open_rw(const std::string &text) {
        WriteFile(path("w.ini"), text);
        return XOpenParmFileRW(rundir_.c_str(), "w.ini");
    }
    std::string written() { return ReadFile(path("w.ini")); }
};

TEST_F(ParmWrite, NewFileGetsHeaderAndEntry) {
    XHANDLE h = XOpenParmFileRW(rundir_.c_str(), "new.ini");  // created when missing
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(ReadFile(path("new.ini")), "");
    EXPECT_EQ(XWriteParmStr(h, "S", "K", "V", 1), 1);
    EXPECT_EQ(value(h, "S", "K"), "V");  // visible at once to reads of the handle
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(ReadFile(path("new.ini")), "S :\r\nK = V\r\n");

    // An unchanged read-write handle does not touch the file.
    WriteFile(path("new.ini"), "odd\r\nno end");
    h = XOpenParmFileRW(rundir_.c_str(), "new.ini");
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(ReadFile(path("new.ini")), "odd\r\nno end");
}

TEST_F(ParmWrite, ReplacingKeepsEveryOtherByte) {
    std::string text =
        "; comment line\n\n"
        "S :   trailing\r\n"
        "  A = old @\n  = continued\n"
        "B = keep   ; note\r\n"
        "\x01\x02 binary \xff\n"
        "T :\nC = c\n"
        "last line without end";
    XHANDLE h = open_rw(text);
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(XWriteParmStr(h, "S", "A", "new", 3), 1);
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(written(),
              "; comment line\n\n"
              "S :   trailing\r\n"
              "A = new\r\n"
              "B = keep   ; note\r\n"
              "\x01\x02 binary \xff\n"
              "T :\nC = c\n"
              "last line without end\r\n");
}

TEST_F(ParmWrite, LongLinesAndZeroBytesSurviveTheRewrite) {
    std::string text = "S :\n" + std::string(3000, 'L') + "\n" + std::string("Z = a\0b\r\n", 9) +
                       "K = old\n" + std::string(2048, 'E');  // ends on a full piece, no line end
    XHANDLE h = open_rw(text);
    ASSERT_NE(h, X_FAILED_PTR);
    EXPECT_EQ(XWriteParmStr(h, "S", "K", "new", 3), 1);
    EXPECT_EQ(XWriteParmStr(h, "S", "N", "added", 5), 1);
    EXPECT_EQ(XCloseParmFile(h), 1);
    std::string expect = "S :\n" + std::string(3000, 'L') + "\n" +
                         std::string("Z = a\0b\r\n", 9) + "K = new\r\n" + std::string(2048, 'E') +
                         "N = added\r\n";
    EXPECT_EQ(written(), expect);
    h = XOpenParmFile(rundir_.c_str(), "w.ini");
    EXPECT_EQ(value(h, "S", "N"), "added");  // the piece boundary keeps it a line of its own
    XCloseParmFile(h);
}

TEST_F(ParmWrite, NewKeysGoUnderTheHeaderOrAtTheEnd) {
    XHANDLE h = open_rw("S :\nA = a\nT :\nB = b\n");
    EXPECT_EQ(XWriteParmStr(h, "S", "N", "n", 5), 1);   // length beyond the string: all of it
    EXPECT_EQ(XWriteParmStr(h, "T", "M", "mmm", 2), 1);  // the first two characters
    EXPECT_EQ(XWriteParmInt(h, "U", "I", -5), 1);
    int32_t n = 0;
    EXPECT_EQ(XReadParmInt(h, "U", "I", &n), 1);
    EXPECT_EQ(n, -5);
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(written(), "S :\nN = n\r\nA = a\nT :\nB = b\nM = mm\r\nU :\r\nI = -5\r\n");
}

TEST_F(ParmWrite, LongValuesSplitAt70AndReadBack) {
    XHANDLE h = open_rw("");
    std::string k10(10, 'k');
    std::string v57(57, 'a'), v58(58, 'b'), v200, v66x2;
    for (int i = 0; i < 200; ++i) v200 += char('0' + i % 10);
    EXPECT_EQ(XWriteParmStr(h, "S", k10.c_str(), v57.c_str(), 100), 1);
    EXPECT_EQ(XWriteParmStr(h, "T", k10.c_str(), v58.c_str(), 100), 1);
    EXPECT_EQ(XWriteParmStr(h, "U", "KEY05", v200.c_str(), 200), 1);
    EXPECT_EQ(value(h, "S", k10.c_str()), v57);
    EXPECT_EQ(value(h, "T", k10.c_str()), v58);
    EXPECT_EQ(value(h, "U", "KEY05"), v200);
    EXPECT_EQ(XCloseParmFile(h), 1);
    std::string expect = "S :\r\n" + k10 + " = " + v57 + "\r\n" +
                         "T :\r\n" + k10 + " = " + v58.substr(0, 55) + " @\r\n= bbb\r\n" +
                         "U :\r\nKEY05 = " + v200.substr(0, 60) + " @\r\n= " +
                         v200.substr(60, 66) + " @\r\n= " + v200.substr(126, 66) + " @\r\n= " +
                         v200.substr(192) + "\r\n";
    EXPECT_EQ(written(), expect);

    // Every key length and value length around the cut points reads back
    // through a fresh handle, and rewriting over a long value replaces all
    // its continuation lines.
    for (size_t klen : {1u, 10u, 30u, 64u}) {
        for (size_t vlen = 60; vlen < 240; vlen += 7) {
            std::string key(klen, 'K'), val;
            for (size_t i = 0; i < vlen; ++i) val += char('a' + i % 26);
            h = open_rw("S :\nX = before @\n= more\nY = after\n");
            ASSERT_EQ(XWriteParmStr(h, "S", key.c_str(), val.c_str(), int32_t(vlen)), 1);
            ASSERT_EQ(XWriteParmStr(h, "S", "X", val.c_str(), int32_t(vlen)), 1);
            ASSERT_EQ(XCloseParmFile(h), 1);
            h = XOpenParmFile(rundir_.c_str(), "w.ini");
            EXPECT_EQ(value(h, "S", key.c_str()), val) << klen << " " << vlen;
            EXPECT_EQ(value(h, "S", "X"), val) << klen << " " << vlen;
            EXPECT_EQ(value(h, "S", "Y"), "after");
            XCloseParmFile(h);
        }
    }
}

TEST_F(ParmWrite, RefusalsChangeNothing) {
    WriteFile(path("ro.ini"), "S :\nK = v\n");
    XHANDLE ro = XOpenParmFile(rundir_.c_str(), "ro.ini");
    EXPECT_EQ(XWriteParmStr(ro, "S", "K", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 0, 2);
    // A read-only handle is refused as such, whatever the value holds.
    EXPECT_EQ(XWriteParmStr(ro, "S", "K", "a\nb", 3), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 0, 2);
    EXPECT_EQ(value(ro, "S", "K"), "v");
    XCloseParmFile(ro);

    XHANDLE h = open_rw("S :\nK = v\n");
    EXPECT_EQ(XWriteParmStr(nullptr, "S", "K", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 1, 2);
    EXPECT_EQ(XWriteParmStr(h, nullptr, "K", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 2, 2);
    EXPECT_EQ(XWriteParmStr(h, "S", nullptr, "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 3, 2);
    EXPECT_EQ(XWriteParmStr(h, "S", "K", nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 4, 2);
    EXPECT_EQ(XWriteParmStr(h, "S", "K", "x", 0), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 5, 2);
    EXPECT_EQ(XWriteParmStr(h, "S", "K", "a\nb", 3), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 4, 2);
    EXPECT_EQ(XWriteParmStr(h, "S\nT", "K", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 2, 2);
    // A long value under a key with no room for a first piece.
    std::string k65(65, 'k'), k64(64, 'k'), v10(10, 'v'), v100(100, 'v');
    EXPECT_EQ(XWriteParmStr(h, "S", k65.c_str(), v100.c_str(), 100), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 3), 0, 2);
    EXPECT_EQ(XWriteParmStr(h, "S", k65.c_str(), "v", 1), 1);  // a short value fits one line
    EXPECT_EQ(XWriteParmStr(h, "S", k64.c_str(), v100.c_str(), 100), 1);
    EXPECT_EQ(XWriteParmInt(h, "S", nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 1), 3, 2);
    EXPECT_EQ(XWriteParmInt(X_FAILED_PTR, "S", "K", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 1), 1, 2);
    EXPECT_EQ(XCloseParmFile(h), 1);
    h = XOpenParmFile(rundir_.c_str(), "w.ini");
    EXPECT_EQ(value(h, "S", "K"), "v");
    EXPECT_EQ(value(h, "S", k64.c_str()), v100);
    XCloseParmFile(h);
}

TEST_F(ParmWrite, NamesThatWouldNotReadBackAreRefused) {
    // Each would change what other lines are: "B=C :" is an entry B of the
    // section above, "B:C = x" a header B, and " = x" below an entry a
    // continuation of that entry's value.
    const std::string text = "A :\nK = v @\nZ :\n";
    XHANDLE h = open_rw(text);
    for (const char *name : {"B C", "B\tC", "B=C", "B:C"}) {
        EXPECT_EQ(XWriteParmStr(h, name, "K", "x", 1), 0) << name;
        EXPECT_LAST_ERROR(code(kWriteStr, 1), 2, 2);
        EXPECT_EQ(XWriteParmStr(h, "A", name, "x", 1), 0) << name;
        EXPECT_LAST_ERROR(code(kWriteStr, 1), 3, 2);
    }
    EXPECT_EQ(XWriteParmStr(h, "A", "", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 1), 3, 2);
    EXPECT_EQ(XCloseParmFile(h), 1);
    EXPECT_EQ(written(), text);
}

TEST_F(ParmWrite, OneWriterAtATime) {
    XHANDLE a = open_rw("S :\nK = v\n");
    ASSERT_NE(a, X_FAILED_PTR);
    EXPECT_EQ(XOpenParmFileRW(rundir_.c_str(), "w.ini"), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpenFile, 6), EAGAIN, 1);
    XHANDLE r = XOpenParmFile(rundir_.c_str(), "w.ini");  // readers are welcome
    ASSERT_NE(r, X_FAILED_PTR);
    EXPECT_EQ(XWriteParmStr(a, "S", "K", "w", 1), 1);
    EXPECT_EQ(value(r, "S", "K"), "v");  // the file changes only at close
    EXPECT_EQ(XCloseParmFile(a), 1);
    XCloseParmFile(r);
    XHANDLE b = XOpenParmFileRW(rundir_.c_str(), "w.ini");
    ASSERT_NE(b, X_FAILED_PTR);
    EXPECT_EQ(value(b, "S", "K"), "w");
    XCloseParmFile(b);
}

TEST_F(ParmWrite, ListGivesEntriesInOrder) {
    XHANDLE h = open_text(
        "S :\n; comment first\nKEY = value\n  = continued?\nBB = \"two words\"\n"
        "C =\n; c\n= lone\nD = x @\n"
        "T :\nE = e\n");
    char key[8], val[16];
    int32_t ks = sizeof key, vs = sizeof val;
    EXPECT_EQ(XListParmEntry(h, 0, "S", key, &ks, val, &vs), 0);
    EXPECT_EQ(std::string(key, size_t(ks)), "KEY");
    EXPECT_EQ(std::string(val, size_t(vs)), "value");
    ks = 2, vs = sizeof val;
    EXPECT_EQ(XListParmEntry(h, 0, "S", key, &ks, val, &vs), -1);
    EXPECT_EQ(ks, 3);
    EXPECT_EQ(std::string(key, 2), "KE");
    ks = sizeof key, vs = 3;
    EXPECT_EQ(XListParmEntry(h, 1, "S", key, &ks, val, &vs), -2);
    EXPECT_EQ(vs, 9);
    EXPECT_EQ(std::string(val, 3), "two");
    ks = 1, vs = 1;
    EXPECT_EQ(XListParmEntry(h, 1, "S", key, &ks, val, &vs), -3);
    ks = sizeof key, vs = 0;
    EXPECT_EQ(XListParmEntry(h, 1, "S", key, &ks, nullptr, &vs), 0);  // the length only
    EXPECT_EQ(vs, 9);
    ks = sizeof key, vs = sizeof val;
    EXPECT_EQ(XListParmEntry(h, 2, "S", key, &ks, val, &vs), -5);
    EXPECT_LAST_ERROR(code(kList, 4), 0, 2);
    ks = sizeof key, vs = sizeof val;
    EXPECT_EQ(XListParmEntry(h, 3, "S", key, &ks, val, &vs), -5);  // "= lone": an empty key
    EXPECT_LAST_ERROR(code(kList, 3), 0, 2);
    ks = sizeof key, vs = sizeof val;
    EXPECT_EQ(XListParmEntry(h, 4, "S", key, &ks, val, &vs), -5);
    EXPECT_LAST_ERROR(code(kList, 5), 0, 2);
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XListParmEntry(h, 5, "S", key, &ks, val, &vs), -4);
    EXPECT_LAST_ERROR(0, 0, 0);
    EXPECT_EQ(XListParmEntry(h, 0, "X", key, &ks, val, &vs), -5);
    EXPECT_LAST_ERROR(code(kList, 2), 0, 2);

    struct Bad {
        XHANDLE h;
        int32_t index;
        const char *section;
        char *key;
        int32_t ks;
        bool kptr;
        char *val;
        int32_t vs;
        bool vptr;
        uint32_t detail;
    } bads[] = {
        {nullptr, 0, "S", key, 8, true, val, 8, true, 1},
        {h, -1, "S", key, 8, true, val, 8, true, 2},
        {h, 0, nullptr, key, 8, true, val, 8, true, 3},
        {h, 0, "S", nullptr, 8, true, val, 8, true, 4},
        {h, 0, "S", key, 0, true, val, 8, true, 5},
        {h, 0, "S", key, 8, false, val, 8, true, 5},
        {h, 0, "S", key, 8, true, val, 8, false, 7},
        {h, 0, "S", key, 8, true, val, 0, true, 7},
    };
    for (const Bad &b : bads) {
        int32_t k = b.ks, v = b.vs;
        EXPECT_EQ(XListParmEntry(b.h, b.index, b.section, b.key, b.kptr ? &k : nullptr, b.val,
                                 b.vptr ? &v : nullptr),
                  -5);
        EXPECT_LAST_ERROR(code(kList, 1), b.detail, 2);
    }
    XCloseParmFile(h);
}
