// Code modules, message catalogs and the bounded formatting of messages.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "xload.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kLoad = 0xdc, kUnload = 0xdd, kEntry = 0xde, kLoadMsg = 0xdf, kMsg = 0xe1,
                   kMsgEx = 0xe2;

class Modules : public ZaxTest {};

// A catalog open for the test's lifetime.
class Messages : public ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        cat_ = XLoadMsgString(ZAX_TEST_CATALOG);
        ASSERT_NE(cat_, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(XUnloadMsgString(cat_), 1);
        ZaxTest::TearDown();
    }
    XHANDLE cat_ = nullptr;
    char buf[256] = {};
};

}  // namespace

TEST_F(Modules, ModuleLoadsGivesEntriesAndUnloads) {
    XHANDLE m = nullptr;
    ASSERT_EQ(XLoadModule(&m, ZAX_TEST_MODULE), 1);
    auto *value = static_cast<int32_t *>(XGetEntry(m, "testmod_value"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, 42);
    EXPECT_NE(XGetEntry(m, "osmain"), nullptr);

    EXPECT_EQ(XGetEntry(m, "no_such_entry"), nullptr);
    EXPECT_LAST_ERROR(code(kEntry, 2), ENOENT, 1);
    EXPECT_EQ(XGetEntry(nullptr, "osmain"), nullptr);
    EXPECT_LAST_ERROR(code(kEntry, 1), 1, 2);
    EXPECT_EQ(XGetEntry(m, nullptr), nullptr);
    EXPECT_LAST_ERROR(code(kEntry, 1), 2, 2);

    // A second load of the same module is a handle of its own.
    XHANDLE m2 = nullptr;
    ASSERT_EQ(XLoadModule(&m2, ZAX_TEST_MODULE), 1);
    EXPECT_NE(m2, m);
    EXPECT_EQ(XUnloadModule(m), 1);
    EXPECT_EQ(*static_cast<int32_t *>(XGetEntry(m2, "testmod_value")), 42);
    EXPECT_EQ(XUnloadModule(m2), 1);
}

TEST_F(Modules, BadModuleArgumentsAreRefusedWithTheirPosition) {
    XHANDLE m = reinterpret_cast<XHANDLE>(0x1234);
    EXPECT_EQ(XLoadModule(nullptr, ZAX_TEST_MODULE), 0);
    EXPECT_LAST_ERROR(code(kLoad, 1), 1, 2);
    EXPECT_EQ(XLoadModule(&m, nullptr), 0);
    EXPECT_LAST_ERROR(code(kLoad, 1), 2, 2);
    EXPECT_EQ(XLoadModule(&m, ""), 0);
    EXPECT_LAST_ERROR(code(kLoad, 1), 2, 2);
    std::string name255(255, 'm'), name256(256, 'm');
    EXPECT_EQ(XLoadModule(&m, name256.c_str()), 0);  // no zero in the first 256 bytes
    EXPECT_LAST_ERROR(code(kLoad, 1), 2, 2);
    // 255 characters pass the check and fail in the loader.
    EXPECT_EQ(XLoadModule(&m, name255.c_str()), 0);
    EXPECT_EQ(XGetLastError(nullptr), code(kLoad, 2));
    EXPECT_EQ(m, reinterpret_cast<XHANDLE>(0x1234));  // untouched on failure

    EXPECT_EQ(XLoadModule(&m, path("missing.so").c_str()), 0);
    EXPECT_LAST_ERROR(code(kLoad, 2), ENOENT, 1);
    EXPECT_EQ(m, reinterpret_cast<XHANDLE>(0x1234));

    EXPECT_EQ(XUnloadModule(nullptr), 0);
    EXPECT_LAST_ERROR(code(kUnload, 1), 1, 2);
    EXPECT_EQ(XUnloadMsgString(nullptr), 0);  // reports as XUnloadModule
    EXPECT_LAST_ERROR(code(kUnload, 1), 1, 2);

    EXPECT_EQ(XLoadMsgString(nullptr), nullptr);
    EXPECT_LAST_ERROR(code(kLoadMsg, 1), 1, 2);
    EXPECT_EQ(XLoadMsgString(""), nullptr);
    EXPECT_LAST_ERROR(code(kLoadMsg, 1), 1, 2);
    EXPECT_EQ(XLoadMsgString(name256.c_str()), nullptr);
    EXPECT_LAST_ERROR(code(kLoadMsg, 1), 1, 2);
    EXPECT_EQ(XLoadMsgString(path("missing.cat").c_str()), nullptr);
    EXPECT_LAST_ERROR(code(kLoadMsg, 2), ENOENT, 1);
}

TEST_F(Modules, CatalogAndCodeModuleStayApart) {
    XHANDLE cat = XLoadMsgString(ZAX_TEST_CATALOG);
    ASSERT_NE(cat, nullptr);
    // A catalog has no entries, a code module no messages.
    EXPECT_EQ(XGetEntry(cat, "osmain"), nullptr);
    EXPECT_LAST_ERROR(code(kEntry, 2), EINVAL, 1);
    XHANDLE m = nullptr;
    ASSERT_EQ(XLoadModule(&m, ZAX_TEST_MODULE), 1);
    char buf[130];
    EXPECT_EQ(XGetMsgString(m, 1, buf, "x"), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 2), EINVAL, 1);
    // Either kind is released by either call.
    EXPECT_EQ(XUnloadModule(cat), 1);
    EXPECT_EQ(XUnloadMsgString(m), 1);
}

TEST(TemplateCheck, EstimatesAndFaultPositions) {
    using zax::check_template;
    auto est = [](const char *t) {
        auto c = zax::check_template(t);
        EXPECT_TRUE(c.ok) << t;
        return c.estimate;
    };
    auto bad = [](const char *t) {
        auto c = zax::check_template(t);
        EXPECT_FALSE(c.ok) << t;
        return c.bad;
    };
    EXPECT_EQ(est("File %.8s not found"), 23u);
    EXPECT_EQ(est("%#.8x"), 10u);
    EXPECT_EQ(est("%#.8X"), 10u);
    EXPECT_EQ(est("%#.8d"), 8u);  // "#" adds only for hexadecimal
    EXPECT_EQ(est("%-#12.3s"), 12u);
    EXPECT_EQ(est("%#-3.9c"), 9u);
    EXPECT_EQ(est("100%%"), 3u);
    EXPECT_EQ(est(""), 0u);
    EXPECT_EQ(est("%.0d"), 0u);
    EXPECT_EQ(bad("Code %d"), 1u);      // no precision
    EXPECT_EQ(bad("Code %5.3u"), 1u);   // conversion u
    EXPECT_EQ(bad("%.2d %d"), 2u);      // the second placeholder
    EXPECT_EQ(bad("%.2d %.2d %5.q"), 3u);
    EXPECT_EQ(bad("%5.s"), 1u);         // a "." without digits
    EXPECT_EQ(bad("%0-5.2d"), 1u);      // flags come before the width
    EXPECT_EQ(bad("trailing %"), 1u);
    EXPECT_EQ(bad("%.3ld"), 1u);
    // A huge width cannot wrap into a small estimate.
    EXPECT_GT(est("%99999999999999999999.1d"), 124u);
}

TEST_F(Messages, FormatsWithinTheLimits) {
    char *r = XGetMsgString(cat_, 1, buf, "ABC");
    ASSERT_EQ(r, buf);
    EXPECT_EQ(std::string(buf), "File ABC not found");  // 18 bytes, nothing after them
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(XGetMsgString(cat_, 1, buf, "ABCDEFGHIJK"), buf);
    EXPECT_EQ(std::string(buf), "File ABCDEFGH not found");

    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(XGetMsgString(cat_, 6, buf), buf);
    EXPECT_EQ(std::string(buf), "100%");

    // Estimate 124 is taken, and the message of 124 bytes with it.
    std::string v100(100, 'v');
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(XGetMsgString(cat_, 7, buf, v100.c_str()), buf);
    EXPECT_EQ(std::string(buf, 124), std::string(24, 'A') + v100);
    EXPECT_EQ(buf[124], '#');  // no terminator written

    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(XGetMsgString(cat_, 11, buf, 0xabu, 7, 'q', "xyz"), buf);
    EXPECT_EQ(std::string(buf), "0X0AB|007|q|xy        |");

    std::memset(buf, 0, sizeof buf);
    uint16_t a = 9, b = 9;
    ASSERT_EQ(XGetMsgStringEx(cat_, 13, &a, &b, buf, 0x1fu), buf);
    EXPECT_EQ(std::string(buf), "0x0000001f%");
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
}

TEST_F(Messages, RefusesBadTemplatesAndOverlongMessages) {
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(XGetMsgString(cat_, 2, buf, 5), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 3), 1, 2);
    EXPECT_EQ(XGetMsgString(cat_, 3, buf, 5), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 3), 1, 2);
    EXPECT_EQ(XGetMsgString(cat_, 4, buf, 5, 6), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 3), 2, 2);
    EXPECT_EQ(XGetMsgString(cat_, 8, buf, "v"), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 4), 125, 2);
    // Estimate 115, but ten digits and a sign make 125 bytes.
    EXPECT_EQ(XGetMsgString(cat_, 9, buf, INT_MIN), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 5), 125, 2);
    EXPECT_EQ(XGetMsgString(cat_, 10, buf, ""), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 5), 0, 2);
    EXPECT_EQ(XGetMsgString(cat_, 99, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 2), ENOMSG, 1);
    EXPECT_EQ(buf[0], '#');  // nothing written on any failure

    EXPECT_EQ(XGetMsgString(nullptr, 1, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 1), 1, 2);
    EXPECT_EQ(XGetMsgString(cat_, 0, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 1), 2, 2);
    EXPECT_EQ(XGetMsgString(cat_, -3, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 1), 2, 2);
    EXPECT_EQ(XGetMsgString(cat_, 1, nullptr), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 1), 3, 2);
}

TEST_F(Messages, ExFormChecksItsOwnArgumentsAndClearsItsCounters) {
    uint16_t a = 5, b = 6;
    EXPECT_EQ(XGetMsgStringEx(nullptr, 1, &a, &b, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsgEx, 1), 1, 2);
    EXPECT_EQ(XGetMsgStringEx(cat_, 0, &a, &b, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsgEx, 1), 2, 2);
    // The buffer is checked before the two pointers.
    EXPECT_EQ(XGetMsgStringEx(cat_, 1, nullptr, nullptr, nullptr), nullptr);
    EXPECT_LAST_ERROR(code(kMsgEx, 1), 5, 2);
    EXPECT_EQ(XGetMsgStringEx(cat_, 1, nullptr, &b, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsgEx, 1), 3, 2);
    EXPECT_EQ(XGetMsgStringEx(cat_, 1, &a, nullptr, buf), nullptr);
    EXPECT_LAST_ERROR(code(kMsgEx, 1), 4, 2);
    EXPECT_EQ(a, 5);  // nothing set while the arguments are refused
    // Cleared even when the message cannot be built; later errors report
    // under XGetMsgString.
    EXPECT_EQ(XGetMsgStringEx(cat_, 2, &a, &b, buf, 1), nullptr);
    EXPECT_LAST_ERROR(code(kMsg, 3), 1, 2);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
}
