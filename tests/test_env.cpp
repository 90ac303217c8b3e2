// Settings in the process environment.
#include <cstdlib>
#include <string>

#include "zaxtest.h"

using namespace zaxtest;

class Env : public ZaxTest {};

TEST_F(Env, PartsJoinWithUnderscores) {
    setenv("ZAXXLIB_XSYSTEM", "/etc/zax", 1);
    setenv("ZAXXLIB_EVENT_NUMBER", "128", 1);
    setenv("ZAXTESTGRP", "g", 1);
    char buf[257] = {};
    EXPECT_EQ(XReadEnvStr("ZAXXLIB", "XSYSTEM", nullptr, buf, 257), 8);
    EXPECT_STREQ(buf, "/etc/zax");
    int32_t n = -1;
    EXPECT_EQ(XReadEnvInt("ZAXXLIB", "EVENT", "NUMBER", &n), 1);
    EXPECT_EQ(n, 128);
    char g[4] = {};
    EXPECT_EQ(XReadEnvStr("ZAXTESTGRP", nullptr, nullptr, g, 3), 1);
    EXPECT_STREQ(g, "g");
}

TEST_F(Env, RefusedCombinationsAndLongNames) {
    char buf[8];
    EXPECT_EQ(XReadEnvStr("G", nullptr, "I", buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 1), 2, 2);
    EXPECT_EQ(XReadEnvStr(nullptr, "N", nullptr, buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 1), 1, 2);
    EXPECT_EQ(XReadEnvStr("G", "N", nullptr, nullptr, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 1), 4, 2);
    EXPECT_EQ(XWriteEnvStr(nullptr, nullptr, "I", "v", 1), 0);
    EXPECT_LAST_ERROR(code(0xe9, 1), 1, 2);

    // 64 characters in all are accepted, 65 refused.
    std::string g(30, 'A'), n(31, 'B');  // 30 + 1 + 31 + 1 + 1 = 64
    EXPECT_EQ(XWriteEnvStr(g.c_str(), n.c_str(), "C", "ok", 2), 1);
    EXPECT_EQ(XReadEnvStr(g.c_str(), n.c_str(), "C", buf, 8), 2);
    EXPECT_EQ(XWriteEnvStr(g.c_str(), n.c_str(), "CD", "ok", 2), 0);
    EXPECT_LAST_ERROR(code(0xe9, 2), 0, 2);
    EXPECT_EQ(XReadEnvStr(g.c_str(), n.c_str(), "CD", buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 2), 0, 2);
}

TEST_F(Env, ReadCopiesAtMostSizeAndReturnsFullLength) {
    setenv("ZAXT_TEN", "0123456789", 1);
    char buf[8] = "#######";
    EXPECT_EQ(XReadEnvStr("ZAXT", "TEN", nullptr, buf, 4), 10);
    EXPECT_EQ(std::string(buf, 7), "0123###");  // no terminator added

    unsetenv("ZAXT_MISSING");
    EXPECT_EQ(XReadEnvStr("ZAXT", "MISSING", nullptr, buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 3), ENOENT, 1);
    setenv("ZAXT_EMPTY", "", 1);
    EXPECT_EQ(XReadEnvStr("ZAXT", "EMPTY", nullptr, buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 3), ENOENT, 1);

    std::string v256(256, 'x'), v257(257, 'x');
    setenv("ZAXT_LONG", v256.c_str(), 1);
    EXPECT_EQ(XReadEnvStr("ZAXT", "LONG", nullptr, buf, 8), 256);
    setenv("ZAXT_LONG", v257.c_str(), 1);
    EXPECT_EQ(XReadEnvStr("ZAXT", "LONG", nullptr, buf, 8), 0);
    EXPECT_LAST_ERROR(code(0xe7, 3), E2BIG, 1);
}

TEST_F(Env, ReadIntAcceptsOnlyPlainDecimals) {
    struct Case {
        const char *text;
        bool ok;
        int32_t value;
    } cases[] = {{"-12", true, -12}, {"0", true, 0},          {"+5", false, 0},
                 {"1x", false, 0},   {"-", false, 0},         {" 1", false, 0},
                 {"2147483647", true, 2147483647}, {"-2147483648", true, INT32_MIN},
                 {"99999999999", true, INT32_MAX}};
    for (const auto &c : cases) {
        setenv("ZAXT_NUM", c.text, 1);
        int32_t v = 77;
        EXPECT_EQ(XReadEnvInt("ZAXT", "NUM", nullptr, &v), c.ok ? 1 : 0) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        if (!c.ok) {
            EXPECT_LAST_ERROR(code(0xe6, 2), 0, 2);
        }
    }
    unsetenv("ZAXT_NUM");
    int32_t v = 77;
    EXPECT_EQ(XReadEnvInt("ZAXT", "NUM", nullptr, &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_LAST_ERROR(code(0xe7, 3), ENOENT, 1);
    EXPECT_EQ(XReadEnvInt("ZAXT", "NUM", nullptr, nullptr), 0);
    EXPECT_LAST_ERROR(code(0xe6, 1), 4, 2);
}

TEST_F(Env, WriteSetsTheVariableForThisProcessAndItsChildren) {
    EXPECT_EQ(XWriteEnvInt("ZAXT", "INT", nullptr, -7), 1);
    EXPECT_STREQ(std::getenv("ZAXT_INT"), "-7");

    EXPECT_EQ(XWriteEnvStr("ZAXT", "STR", nullptr, "abcdef", 3), 1);
    EXPECT_STREQ(std::getenv("ZAXT_STR"), "abc");
    EXPECT_EQ(XWriteEnvStr("ZAXT", "STR", nullptr, "ab\0cd", 5), 1);
    EXPECT_STREQ(std::getenv("ZAXT_STR"), "ab");

    EXPECT_EQ(XWriteEnvStr("ZAXT", "STR", nullptr, "x", 257), 0);
    EXPECT_LAST_ERROR(code(0xe9, 1), 5, 2);
    EXPECT_EQ(XWriteEnvStr("ZAXT", "STR", nullptr, "x", 0), 0);
    EXPECT_LAST_ERROR(code(0xe9, 1), 5, 2);
    EXPECT_EQ(XWriteEnvStr("ZAXT", "STR", nullptr, nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(0xe9, 1), 4, 2);
    EXPECT_STREQ(std::getenv("ZAXT_STR"), "ab");  // failures change nothing

    // The system refuses a name with "=" in it.
    EXPECT_EQ(XWriteEnvStr("ZAXT", "A=B", nullptr, "x", 1), 0);
    EXPECT_LAST_ERROR(code(0xe9, 3), EINVAL, 1);

    EXPECT_EQ(XWriteEnvStr("ZAXT", "CHILD", nullptr, "inherited", 9), 1);
    HelperResult r = RunHelper({"getenv", "ZAXT", "CHILD"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "inherited\n");
}
