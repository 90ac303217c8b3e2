// The registry: keys below "SOFTWARE\ZAX\", values, enumeration, deletion,
// several processes on one store, and damaged stores.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/regstore.h"
#include "zaxtest.h"

using namespace zaxtest;
namespace reg = zax::reg;

namespace {

constexpr uint32_t kOpen = 0xc8, kClose = 0xc9, kReadInt = 0xca, kReadStr = 0xcb,
                   kWriteInt = 0xce, kWriteStr = 0xcf, kListKey = 0xd2, kListValue = 0xd3,
                   kDeleteKey = 0xd4, kDeleteValue = 0xd5;
constexpr uint32_t kSqliteCorrupt = 0x1000B, kSqliteNotADb = 0x1001A;

// Every registry test keeps its databases inside its own run-time directory.
class Registry : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        dir_ = path("reg");
        setenv("ZAXXLIB_REGISTRY_DIR", dir_.c_str(), 1);
    }
    bool exists(const std::string &name) const {
        struct stat st;
        return stat((dir_ + "/" + name).c_str(), &st) == 0;
    }
    XHANDLE open(const char *product, const char *subkey, int32_t access = X_REG_ALL,
                 uint32_t hive = HKEY_CURRENT_USER) {
        return XOpenRegistry(hive, product, subkey, access);
    }
    // All sub-key names of key in enumeration order.
    std::vector<std::string> sub_keys(XHANDLE key) {
        std::vector<std::string> names;
        char buf[300];
        for (int32_t i = 0;; ++i) {
            int32_t n = XListRegKey(key, i, buf, sizeof buf);
            if (n < 0) break;
            names.emplace_back(buf, size_t(n));
        }
        return names;
    }
    std::string dir_;
};

// A value of any type written through the store itself into the sub-key
// sub of the user's product "P".
void put_raw(const char *sub, const char *name, uint32_t type, const std::string &data) {
    reg::Key *key = nullptr;
    ASSERT_EQ(reg::open_key(reg::Hive::user, std::string("SOFTWARE\\ZAX\\P\\") + sub, false,
                            reg::kAll, key),
              0);
    EXPECT_EQ(reg::set_value(key, name, type, data.data(), data.size()), 0);
    reg::close_key(key);
}

}  // namespace

TEST_F(Registry, OpenChecksHiveProductAndAccessInOrder) {
    EXPECT_EQ(XOpenRegistry(0x80000000u, "P", nullptr, 1), X_FAILED_PTR);  // HKEY_CLASSES_ROOT
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
    EXPECT_EQ(XOpenRegistry(0x80000000u, nullptr, nullptr, 3), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);
    EXPECT_EQ(XOpenRegistry(HKEY_CURRENT_USER, nullptr, nullptr, 3), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 1), 2, 2);
    for (int32_t access : {0, 3, 5, 8, -1}) {
        EXPECT_EQ(XOpenRegistry(HKEY_CURRENT_USER, "P", nullptr, access), X_FAILED_PTR);
        EXPECT_LAST_ERROR(code(kOpen, 1), 4, 2);
    }
    EXPECT_FALSE(exists("user.db"));  // refused calls touch nothing

    // A path that does not fit the 260-byte buffer cannot be opened.
    std::string longsub(260 - 14, 'x');
    EXPECT_EQ(open("P", longsub.c_str()), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 2), ENAMETOOLONG, 1);
    std::string name256(256, 'n');
    EXPECT_EQ(open("P", name256.c_str(), X_REG_READ), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 3), ENAMETOOLONG, 1);
}

TEST_F(Registry, ReadOpensExistingKeysWriteCreatesThem) {
    // Reading never creates the database.
    EXPECT_EQ(open("Prod", nullptr, X_REG_READ), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 3), ENOENT, 1);
    EXPECT_FALSE(exists("user.db"));

    XHANDLE k = open("Prod", "A\\B\\C", X_REG_WRITE);
    ASSERT_NE(k, X_FAILED_PTR);
    EXPECT_TRUE(exists("user.db"));
    EXPECT_FALSE(exists("machine.db"));
    EXPECT_EQ(XCloseRegistry(k), 1);

    // Every level exists now; names match without regard to case.
    for (const char *sub : {"A", "a\\b", "A\\B\\c"}) {
        XHANDLE r = open("PROD", sub, X_REG_READ);
        ASSERT_NE(r, X_FAILED_PTR) << sub;
        XCloseRegistry(r);
    }
    EXPECT_EQ(open("Prod", "A\\X", X_REG_READ), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 3), ENOENT, 1);

    // The empty product opens the root; a sub-key then hangs below the root.
    XHANDLE root = open("", nullptr, X_REG_READ);
    ASSERT_NE(root, X_FAILED_PTR);
    EXPECT_EQ(sub_keys(root), std::vector<std::string>{"Prod"});  // case as created
    XHANDLE under = open("", "Prod\\A", X_REG_READ);
    ASSERT_NE(under, X_FAILED_PTR);
    EXPECT_EQ(sub_keys(under), std::vector<std::string>{"B"});
    XCloseRegistry(under);
    XCloseRegistry(root);

    // The two hives are separate stores.
    EXPECT_EQ(open("Prod", nullptr, X_REG_READ, HKEY_LOCAL_MACHINE), X_FAILED_PTR);
    ASSERT_EQ(XWriteRegIntEx(HKEY_LOCAL_MACHINE, "Prod", nullptr, "n", 1), 1);
    EXPECT_TRUE(exists("machine.db"));
    int32_t v = 0;
    EXPECT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "Prod", nullptr, "n", &v), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 2), ENOENT, 1);
}

TEST_F(Registry, IntegerValues) {
    XHANDLE k = open("P", "Ints");
    ASSERT_NE(k, X_FAILED_PTR);
    for (int32_t n : {0, 1, -1, INT32_MIN, INT32_MAX, 0x12345678}) {
        ASSERT_EQ(XWriteRegInt(k, "n", n), 1);
        int32_t got = 7;
        ASSERT_EQ(XReadRegInt(k, "N", &got), 1);
        EXPECT_EQ(got, n);
    }
    EXPECT_EQ(XWriteRegInt(k, "", 5), 1);  // the unnamed value is a value like any other
    int32_t got = 0;
    EXPECT_EQ(XReadRegInt(k, "", &got), 1);
    EXPECT_EQ(got, 5);

    got = 99;
    EXPECT_EQ(XReadRegInt(k, "missing", &got), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 2), ENOENT, 1);
    ASSERT_EQ(XWriteRegStr(k, "s3", "abc", 3), 3);
    EXPECT_EQ(XReadRegInt(k, "s3", &got), 0);  // 3 bytes of another type
    EXPECT_LAST_ERROR(code(kReadInt, 1), 0, 2);
    ASSERT_EQ(XWriteRegStr(k, "s5", "abcde", 5), 5);
    EXPECT_EQ(XReadRegInt(k, "s5", &got), 0);  // larger than 4 bytes
    EXPECT_LAST_ERROR(code(kReadInt, 2), E2BIG, 1);
    EXPECT_EQ(got, 99);

    EXPECT_EQ(XReadRegInt(nullptr, "n", &got), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 3), 1, 2);
    EXPECT_EQ(XReadRegInt(k, nullptr, &got), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 3), 2, 2);
    EXPECT_EQ(XReadRegInt(k, "n", nullptr), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 3), 3, 2);
    EXPECT_EQ(XWriteRegInt(nullptr, "n", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 2), 1, 2);
    EXPECT_EQ(XWriteRegInt(k, nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 2), 2, 2);
    EXPECT_EQ(XCloseRegistry(k), 1);
}

TEST_F(Registry, StringValuesAndTheirLimits) {
    XHANDLE k = open("P", "Strs");
    ASSERT_NE(k, X_FAILED_PTR);
    std::string s300(300, 'q');
    EXPECT_EQ(XWriteRegStr(k, "long", s300.c_str(), 300), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 3), 300, 2);
    EXPECT_EQ(XWriteRegStr(k, "long", s300.c_str(), 260), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 3), 260, 2);
    EXPECT_EQ(XWriteRegStr(k, "long", s300.c_str(), 259), 259);
    char buf[261];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(XReadRegStr(k, "long", buf, 260), 259);
    EXPECT_EQ(std::string(buf), std::string(259, 'q'));

    // The count is the shorter of the length and the text.
    EXPECT_EQ(XWriteRegStr(k, "s", "hello", 100), 5);
    EXPECT_EQ(XWriteRegStr(k, "t", "hello", 3), 3);
    EXPECT_EQ(XReadRegStr(k, "t", buf, 260), 3);
    EXPECT_STREQ(buf, "hel");

    // Length only, and a buffer too small for the whole string.
    EXPECT_EQ(XReadRegStr(k, "s", nullptr, 0), 5);
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(XReadRegStr(k, "s", buf, 3), 5);
    EXPECT_EQ(std::string(buf, 4), "helX");
    EXPECT_EQ(XReadRegStr(k, "s", buf, 6), 5);
    EXPECT_STREQ(buf, "hello");

    EXPECT_EQ(XReadRegStr(k, "s", buf, 261), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 3), 4, 2);
    EXPECT_EQ(XReadRegStr(k, "s", buf, -1), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 3), 4, 2);
    EXPECT_EQ(XReadRegStr(nullptr, "s", buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 3), 1, 2);
    EXPECT_EQ(XReadRegStr(k, nullptr, buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 3), 2, 2);
    EXPECT_EQ(XReadRegStr(k, "nothing", buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 2), ENOENT, 1);
    ASSERT_EQ(XWriteRegInt(k, "i", 4), 1);
    EXPECT_EQ(XReadRegStr(k, "i", buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 1), 0, 2);

    // Data that starts with a zero is an empty string; data over 260 bytes
    // cannot be read as a string.
    put_raw("Strs", "empty", REG_SZ, std::string("\0abc", 4));
    EXPECT_EQ(XReadRegStr(k, "empty", buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 4), 0, 2);
    put_raw("Strs", "zeroed", REG_SZ, std::string("ab\0", 3));
    EXPECT_EQ(XReadRegStr(k, "zeroed", buf, 10), 2);
    put_raw("Strs", "huge", REG_SZ, std::string(261, 'h'));
    EXPECT_EQ(XReadRegStr(k, "huge", buf, 10), 0);
    EXPECT_LAST_ERROR(code(kReadStr, 2), E2BIG, 1);

    EXPECT_EQ(XWriteRegStr(nullptr, "s", "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 1, 2);
    EXPECT_EQ(XWriteRegStr(k, nullptr, "x", 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 2, 2);
    EXPECT_EQ(XWriteRegStr(k, "s", nullptr, 1), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 3, 2);
    EXPECT_EQ(XWriteRegStr(k, "s", "x", 0), 0);
    EXPECT_LAST_ERROR(code(kWriteStr, 2), 4, 2);
    EXPECT_EQ(XReadRegStr(k, "s", buf, 10), 5);  // refused writes changed nothing
    EXPECT_EQ(XCloseRegistry(k), 1);
}

TEST_F(Registry, AccessModeLimitsWhatAKeyMayDo) {
    XHANDLE w = open("P", nullptr, X_REG_WRITE);
    ASSERT_NE(w, X_FAILED_PTR);
    EXPECT_EQ(XWriteRegInt(w, "n", 1), 1);
    int32_t n = 0;
    EXPECT_EQ(XReadRegInt(w, "n", &n), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 2), EACCES, 1);
    char buf[8];
    EXPECT_EQ(XListRegKey(w, 0, buf, sizeof buf), -3);
    EXPECT_LAST_ERROR(code(kListKey, 1), EACCES, 1);

    XHANDLE r = open("P", nullptr, X_REG_READ);
    ASSERT_NE(r, X_FAILED_PTR);
    EXPECT_EQ(XReadRegInt(r, "n", &n), 1);
    EXPECT_EQ(XWriteRegInt(r, "n", 2), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 1), EACCES, 1);
    EXPECT_EQ(XDeleteRegValue(r, "n"), 0);
    EXPECT_LAST_ERROR(code(kDeleteValue, 1), EACCES, 1);
    EXPECT_EQ(XDeleteRegValue(w, "n"), 1);
    XCloseRegistry(r);
    XCloseRegistry(w);
}

TEST_F(Registry, SubKeysEnumerateInCaseInsensitiveOrder) {
    for (const char *s : {"beta", "Alpha", "gamma", "ALPHA2", "Delta"})
        ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "P", (std::string("E\\") + s).c_str(), "n", 1),
                  1);
    XHANDLE k = open("P", "E", X_REG_READ);
    ASSERT_NE(k, X_FAILED_PTR);
    EXPECT_EQ(sub_keys(k), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "Delta", "gamma"}));

    XSetLastError(0x12345, 6, 2);
    char buf[8];
    EXPECT_EQ(XListRegKey(k, 5, buf, sizeof buf), -1);  // the end records nothing
    EXPECT_LAST_ERROR(0x12345, 6, 2);
    std::memset(buf, '.', sizeof buf);
    EXPECT_EQ(XListRegKey(k, 1, buf, 3), -2);
    EXPECT_EQ(std::string(buf, 4), "ALP.");
    EXPECT_EQ(XListRegKey(k, 1, buf, 6), 6);

    EXPECT_EQ(XListRegKey(nullptr, 0, buf, 8), -3);
    EXPECT_LAST_ERROR(code(kListKey, 2), 1, 2);
    EXPECT_EQ(XListRegKey(k, -1, buf, 8), -3);
    EXPECT_LAST_ERROR(code(kListKey, 2), 2, 2);
    EXPECT_EQ(XListRegKey(k, 0, nullptr, 8), -3);
    EXPECT_LAST_ERROR(code(kListKey, 2), 3, 2);
    XCloseRegistry(k);
}

TEST_F(Registry, ValuesEnumerateInCreationOrder) {
    XHANDLE k = open("P", "V");
    ASSERT_NE(k, X_FAILED_PTR);
    ASSERT_EQ(XWriteRegInt(k, "zeta", 0x01020304), 1);
    ASSERT_EQ(XWriteRegStr(k, "Alpha", "hello", 5), 5);
    put_raw("V", "bin", reg::kTypeBinary, std::string("\x01\x00\x02", 3));
    put_raw("V", "sz0", REG_SZ, std::string("hi\0", 3));
    ASSERT_EQ(XWriteRegInt(k, "ZETA", 9), 1);  // overwriting keeps place and name

    struct Want {
        const char *name;
        int32_t type;
        std::string data;
    };
    const Want want[] = {{"zeta", X_REGTYPE_INT, std::string("\x09\0\0\0", 4)},
                         {"Alpha", X_REGTYPE_STRING, "hello"},
                         {"bin", X_REGTYPE_OTHER, std::string("\x01\x00\x02", 3)},
                         {"sz0", X_REGTYPE_STRING, "hi"}};
    for (int32_t i = 0; i < 4; ++i) {
        int32_t type = 0, namelen = 32, datalen = 32;
        char name[32] = {}, data[32] = {};
        ASSERT_EQ(XListRegValue(k, i, &type, name, &namelen, data, &datalen), 0) << i;
        EXPECT_EQ(std::string(name, size_t(namelen)), want[i].name);
        EXPECT_EQ(type, want[i].type);
        EXPECT_EQ(std::string(data, size_t(datalen)), want[i].data);
    }
    XSetLastError(0x12345, 6, 2);
    int32_t type = 0, namelen = 32, datalen = 32;
    char name[32], data[32];
    EXPECT_EQ(XListRegValue(k, 4, &type, name, &namelen, data, &datalen), -1);
    EXPECT_LAST_ERROR(0x12345, 6, 2);

    // Cut name, cut data, both, and lengths only.
    namelen = 3, datalen = 32;
    std::memset(name, '.', sizeof name);
    EXPECT_EQ(XListRegValue(k, 1, &type, name, &namelen, data, &datalen), -2);
    EXPECT_EQ(std::string(name, 4), "Alp.");
    EXPECT_EQ(namelen, 5);
    namelen = 32, datalen = 2;
    std::memset(data, '.', sizeof data);
    EXPECT_EQ(XListRegValue(k, 1, &type, name, &namelen, data, &datalen), -3);
    EXPECT_EQ(std::string(data, 3), "he.");
    EXPECT_EQ(datalen, 5);
    namelen = 1, datalen = 1;
    EXPECT_EQ(XListRegValue(k, 1, &type, name, &namelen, data, &datalen), -3);
    namelen = 32, datalen = 0;
    EXPECT_EQ(XListRegValue(k, 0, &type, name, &namelen, nullptr, &datalen), 0);
    EXPECT_EQ(datalen, 4);

    // More than 260 bytes of data cannot pass.
    put_raw("V", "big", reg::kTypeBinary, std::string(261, 'b'));
    namelen = 32, datalen = 32;
    EXPECT_EQ(XListRegValue(k, 4, &type, name, &namelen, data, &datalen), -4);
    EXPECT_LAST_ERROR(code(kListValue, 1), E2BIG, 1);

    const uint32_t positions[] = {1, 2, 3, 4, 5, 7};
    for (uint32_t pos : positions) {
        namelen = 32, datalen = 32;
        int32_t r = XListRegValue(pos == 1 ? nullptr : k, pos == 2 ? -1 : 0,
                                  pos == 3 ? nullptr : &type, pos == 4 ? nullptr : name,
                                  pos == 5 ? nullptr : &namelen, data,
                                  pos == 7 ? nullptr : &datalen);
        EXPECT_EQ(r, -4);
        EXPECT_LAST_ERROR(code(kListValue, 2), pos, 2);
    }
    XCloseRegistry(k);
}

TEST_F(Registry, DeleteValueAndTheExVariants) {
    EXPECT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "n", 42), 1);
    EXPECT_EQ(XWriteRegStrEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "s", "text", 4), 4);
    int32_t n = 0;
    char buf[16] = {};
    EXPECT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "n", &n), 1);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(XReadRegStrEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "s", buf, 16), 4);
    EXPECT_STREQ(buf, "text");
    EXPECT_EQ(XDeleteRegValueEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "n"), 1);
    EXPECT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "n", &n), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 2), ENOENT, 1);
    EXPECT_EQ(XDeleteRegValueEx(HKEY_CURRENT_USER, "P", "Ex\\Deep", "n"), 0);
    EXPECT_LAST_ERROR(code(kDeleteValue, 1), ENOENT, 1);

    // A failed open leaves XOpenRegistry's error.
    EXPECT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "P", "Nowhere", "n", &n), 0);
    EXPECT_LAST_ERROR(code(kOpen, 3), ENOENT, 1);
    EXPECT_EQ(XReadRegStrEx(HKEY_CURRENT_USER, "P", "Nowhere", "s", buf, 16), 0);
    EXPECT_LAST_ERROR(code(kOpen, 3), ENOENT, 1);
    EXPECT_EQ(XWriteRegIntEx(7, "P", nullptr, "n", 1), 0);
    EXPECT_LAST_ERROR(code(kOpen, 1), 1, 2);

    EXPECT_EQ(XDeleteRegValue(nullptr, "n"), 0);
    EXPECT_LAST_ERROR(code(kDeleteValue, 2), 1, 2);
    XHANDLE k = open("P", "Ex\\Deep");
    EXPECT_EQ(XDeleteRegValue(k, nullptr), 0);
    EXPECT_LAST_ERROR(code(kDeleteValue, 2), 2, 2);
    XCloseRegistry(k);
}

TEST_F(Registry, DeleteKeyRemovesTheWholeTree) {
    for (const char *s : {"T\\A\\A1", "T\\A\\A2\\Deeper", "T\\B", "Other"})
        ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "P", s, "n", 1), 1);
    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "P", "t"), 1);
    XHANDLE p = open("P", nullptr, X_REG_READ);
    ASSERT_NE(p, X_FAILED_PTR);
    EXPECT_EQ(sub_keys(p), std::vector<std::string>{"Other"});
    XCloseRegistry(p);
    EXPECT_EQ(open("P", "T\\A\\A2", X_REG_READ), X_FAILED_PTR);

    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "P", "T"), 0);
    EXPECT_LAST_ERROR(code(kDeleteKey, 2), ENOENT, 1);
    EXPECT_EQ(XDeleteRegKey(0x80000003u, "P", nullptr), 0);
    EXPECT_LAST_ERROR(code(kDeleteKey, 3), 1, 2);
    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, nullptr, nullptr), 0);
    EXPECT_LAST_ERROR(code(kDeleteKey, 3), 2, 2);

    // The whole product, then everything below the root.
    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "P", nullptr), 1);
    ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "Q", "x", "n", 1), 1);
    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "", nullptr), 1);
    EXPECT_EQ(open("", nullptr, X_REG_READ), X_FAILED_PTR);
}

TEST_F(Registry, AFailedDeleteKeepsTheKeysItHadNotReached) {
    ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "P", "T\\A\\A1", "n", 1), 1);
    // A key whose path no longer fits the path buffer (only the store itself
    // can make one), reached after A's tree.
    reg::Key *deep = nullptr;
    std::string far = "SOFTWARE\\ZAX\\P\\T\\Z\\" + std::string(250, 'z');
    ASSERT_EQ(reg::open_key(reg::Hive::user, far, true, reg::kAll, deep), 0);
    reg::close_key(deep);

    EXPECT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "P", "T"), 0);
    EXPECT_LAST_ERROR(code(kDeleteKey, 2), ENAMETOOLONG, 1);
    XHANDLE t = open("P", "T", X_REG_READ);
    ASSERT_NE(t, X_FAILED_PTR);
    EXPECT_EQ(sub_keys(t), std::vector<std::string>{"Z"});  // A went first, Z stays
    XCloseRegistry(t);
}

TEST_F(Registry, AHandleOfADeletedKeyFailsCleanly) {
    XHANDLE k = open("P", "Gone");
    ASSERT_NE(k, X_FAILED_PTR);
    ASSERT_EQ(XWriteRegInt(k, "n", 1), 1);
    ASSERT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "P", "Gone"), 1);
    ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "P", "Gone", "n", 2), 1);  // a new key, same path

    int32_t n = 0;
    EXPECT_EQ(XReadRegInt(k, "n", &n), 0);
    EXPECT_LAST_ERROR(code(kReadInt, 2), ESTALE, 1);
    EXPECT_EQ(XWriteRegInt(k, "n", 3), 0);
    EXPECT_LAST_ERROR(code(kWriteInt, 1), ESTALE, 1);
    char buf[8];
    EXPECT_EQ(XListRegKey(k, 0, buf, 8), -3);
    EXPECT_LAST_ERROR(code(kListKey, 1), ESTALE, 1);
    EXPECT_EQ(XCloseRegistry(k), 1);
    EXPECT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "P", "Gone", "n", &n), 1);
    EXPECT_EQ(n, 2);  // the stale handle wrote nothing into the new key
}

TEST_F(Registry, IsServerReadsProductOptionsAndRecordsNothing) {
    XSetLastError(0x12345, 6, 2);
    EXPECT_EQ(X_IsServer(), 0);
    EXPECT_FALSE(exists("machine.db"));  // the look creates nothing
    EXPECT_LAST_ERROR(0x12345, 6, 2);

    reg::Key *key = nullptr;
    ASSERT_EQ(reg::open_key(reg::Hive::machine,
                            "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", true, reg::kAll,
                            key),
              0);
    EXPECT_EQ(X_IsServer(), 0);  // the key without the value
    struct Case {
        std::string data;
        int32_t server;
    };
    for (const Case &c : {Case{"WinNT", 1}, Case{std::string("WinNT\0", 6), 1},
                          Case{"WinNTx", 0}, Case{"ServerNT", 0}, Case{"Win", 0},
                          Case{std::string(129, 'W'), 0}}) {
        ASSERT_EQ(reg::set_value(key, "ProductType", REG_SZ, c.data.data(), c.data.size()), 0);
        EXPECT_EQ(X_IsServer(), c.server) << c.data;
    }
    reg::close_key(key);
    EXPECT_LAST_ERROR(0x12345, 6, 2);
}

TEST_F(Registry, DatabaseLocations) {
    const char *h = std::getenv("HOME");
    std::string home = h != nullptr ? h : "";
    std::string p;
    ASSERT_EQ(reg::database_path(reg::Hive::user, p), 0);
    EXPECT_EQ(p, dir_ + "/user.db");
    unsetenv("ZAXXLIB_REGISTRY_DIR");
    ASSERT_EQ(reg::database_path(reg::Hive::machine, p), 0);
    EXPECT_EQ(p, "/var/lib/zaxxlib/machine.db");
    setenv("XDG_DATA_HOME", "/data/home", 1);
    ASSERT_EQ(reg::database_path(reg::Hive::user, p), 0);
    EXPECT_EQ(p, "/data/home/zaxxlib/user.db");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/someone", 1);
    ASSERT_EQ(reg::database_path(reg::Hive::user, p), 0);
    EXPECT_EQ(p, "/home/someone/.local/share/zaxxlib/user.db");
    setenv("HOME", home.c_str(), 1);
}

TEST_F(Registry, ThreadsSharingTheStoreLoseNoWrite) {
    XHANDLE k = open("P", "Threads");
    ASSERT_NE(k, X_FAILED_PTR);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([k, t] {
            for (int i = 0; i < 50; ++i) {
                std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                if (i % 2 == 0)
                    XWriteRegInt(k, name.c_str(), i);
                else
                    XWriteRegIntEx(HKEY_CURRENT_USER, "P", "Threads", name.c_str(), i);
            }
        });
    for (auto &t : threads) t.join();
    int32_t count = 0, type, namelen = 32, datalen = 4;
    char name[32];
    int32_t data;
    while (XListRegValue(k, count, &type, name, &namelen, &data, &datalen) == 0) {
        ++count;
        namelen = 32, datalen = 4;
    }
    EXPECT_EQ(count, 200);
    XCloseRegistry(k);
}

TEST_F(Registry, TwoProcessesWritingTheSameKeysLoseNoWrite) {
    constexpr int kCount = 1000;
    HelperResult a, b;
    std::thread ta([&] { a = RunHelper({"regwrite", "a", std::to_string(kCount)}); });
    std::thread tb([&] { b = RunHelper({"regwrite", "b", std::to_string(kCount)}); });
    ta.join();
    tb.join();
    ASSERT_EQ(a.exit_code, 0) << a.out;
    ASSERT_EQ(b.exit_code, 0) << b.out;

    for (const char *prefix : {"a", "b"}) {
        for (int i = 0; i < kCount; ++i) {
            std::string name = std::string(prefix) + "_" + std::to_string(i);
            int32_t n = -1;
            ASSERT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "Race", "Shared", name.c_str(), &n), 1)
                << name;
            EXPECT_EQ(n, i);
        }
        for (int s = 0; s < 5; ++s) {
            std::string sub = "Shared\\Sub" + std::to_string(s);
            int32_t n = -1;
            ASSERT_EQ(XReadRegIntEx(HKEY_CURRENT_USER, "Race", sub.c_str(), prefix, &n), 1);
            EXPECT_EQ(n, kCount - 5 + s);  // the last i with i % 5 == s
        }
    }
    char last[8] = {};
    EXPECT_EQ(XReadRegStrEx(HKEY_CURRENT_USER, "Race", "Shared", "last", last, 8), 1);
    EXPECT_TRUE(std::string(last) == "a" || std::string(last) == "b") << last;
    XHANDLE k = open("Race", "Shared", X_REG_READ);
    EXPECT_EQ(sub_keys(k).size(), 5u);
    XCloseRegistry(k);
}

TEST_F(Registry, AKilledWriterLeavesTheStoreConsistent) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(XDeleteRegKey(HKEY_CURRENT_USER, "Flood", nullptr), round == 0 ? 0 : 1);
        pid_t pid = SpawnHelper({"regflood"});
        ASSERT_GT(pid, 0);
        // Let it get well into its work, then kill it wherever it is.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int32_t seen = 0;
        while (seen < 50 + 40 * round && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            XHANDLE k = open("Flood", nullptr, X_REG_READ);
            if (k == X_FAILED_PTR) continue;
            seen = int32_t(sub_keys(k).size());
            XCloseRegistry(k);
        }
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

        // The file is sound, and holds exactly a prefix of the writes.
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open_v2((dir_ + "/user.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "ok");
        sqlite3_finalize(st);
        sqlite3_close(db);

        XHANDLE k = open("Flood", nullptr, X_REG_READ);
        ASSERT_NE(k, X_FAILED_PTR);
        int32_t values = 0, type = 0, namelen = 32, datalen = 260;
        char name[32], data[260];
        while (XListRegValue(k, values, &type, name, &namelen, data, &datalen) == 0) {
            ASSERT_EQ(std::string(name, size_t(namelen)), "v" + std::to_string(values));
            ASSERT_EQ(std::string(data, size_t(datalen)), std::string(259, char('a' + values % 26)));
            ++values;
            namelen = 32, datalen = 260;
        }
        size_t keys = sub_keys(k).size();
        XCloseRegistry(k);
        EXPECT_GE(values, 50 + 40 * round);
        // Value i is written before sub-key Ki: at most one value is ahead.
        EXPECT_TRUE(keys == size_t(values) || keys + 1 == size_t(values))
            << keys << " keys, " << values << " values";
        EXPECT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "Flood", nullptr, "after", 1), 1);
    }
}

TEST_F(Registry, ADamagedDatabaseGivesARecordedError) {
    // Not a database at all.
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    std::string garbage(8192, '\x5a');
    WriteFile(dir_ + "/machine.db", garbage);
    EXPECT_EQ(XOpenRegistry(HKEY_LOCAL_MACHINE, "P", nullptr, X_REG_READ), X_FAILED_PTR);
    EXPECT_LAST_ERROR(code(kOpen, 3), kSqliteNotADb, 1);
    EXPECT_EQ(XWriteRegIntEx(HKEY_LOCAL_MACHINE, "P", nullptr, "n", 1), 0);
    EXPECT_LAST_ERROR(code(kOpen, 2), kSqliteNotADb, 1);
    EXPECT_EQ(XDeleteRegKey(HKEY_LOCAL_MACHINE, "P", nullptr), 0);
    EXPECT_LAST_ERROR(code(kDeleteKey, 2), kSqliteNotADb, 1);
    EXPECT_EQ(X_IsServer(), 0);
    EXPECT_EQ(ReadFile(dir_ + "/machine.db"), garbage);  // left as it was

    // A real database whose table pages were overwritten: another process
    // fills it (this one has no connection to it yet), then the pages go.
    std::string other = path("reg2");
    setenv("ZAXXLIB_REGISTRY_DIR", other.c_str(), 1);
    ASSERT_EQ(RunHelper({"regfill"}).exit_code, 0);
    {
        std::fstream f(other + "/machine.db", std::ios::binary | std::ios::in | std::ios::out);
        f.seekg(0, std::ios::end);
        std::streamoff size = f.tellg();
        ASSERT_GT(size, 4096 * 3);
        f.seekp(4096);  // everything after the first page (the schema)
        f << std::string(size_t(size - 4096), '\xff');
    }
    XHANDLE k = XOpenRegistry(HKEY_LOCAL_MACHINE, "Fill", nullptr, X_REG_READ);
    EXPECT_EQ(k, X_FAILED_PTR);
    XErrorInfo e{};
    XGetLastError(&e);
    EXPECT_EQ(e.code, code(kOpen, 3));
    EXPECT_EQ(e.kind, 1u);
    EXPECT_EQ(e.detail & 0xFFFF00FFu, kSqliteCorrupt) << std::hex << e.detail;
    int32_t n = 0;
    EXPECT_EQ(XReadRegIntEx(HKEY_LOCAL_MACHINE, "Fill", "Key1", "n", &n), 0);
    EXPECT_EQ(XWriteRegIntEx(HKEY_LOCAL_MACHINE, "Fill", "Key1", "n", 2), 0);
    EXPECT_EQ(XGetLastError(&e) >> 16, kOpen);
}
