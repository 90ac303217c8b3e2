// Debug records: the settings chain and its limits, the level tables, the
// reserved names, the trace file's life (emptied, locked, deleted when
// unused) and a refresh that keeps the record on failure.
#include <atomic>
#include <chrono>
#include <thread>

#include "diag_support.h"
#include "xcodes.h"

using namespace zaxtest;
using namespace diagtest;
using namespace zax;

namespace {

uint32_t level_of(decltype(&XGetTraceLevel) get, XHANDLE r, const char *name) {
    uint32_t level = 99;
    EXPECT_EQ(get(r, name, &level), 1) << name;
    return level;
}
uint32_t trace_level(XHANDLE r, const char *name) { return level_of(XGetTraceLevel, r, name); }
uint32_t dump_level(XHANDLE r, const char *name) { return level_of(XGetDumpLevel, r, name); }

// A chain of n binding sections S1..Sn with IDs B1..Bn, the last pointing
// to last_next.
std::string chain(int n, const std::string &last_next = "NONE") {
    std::string text = "XTORASYS :\nTRACE = 3\nDUMP = 1\nBINDINGS = " +
                       std::string(n > 0 ? "S1" : last_next) + "\n";
    for (int i = 1; i <= n; ++i)
        text += "S" + std::to_string(i) + " :\nID = B" + std::to_string(i) + "\nTRACE = 1\n" +
                "BINDINGS = " + (i < n ? "S" + std::to_string(i + 1) : last_next) + "\n";
    return text;
}

class Debug : public DiagTest {};

TEST_F(Debug, NoBindingsLeavesTheGlobalLevels) {
    global_levels(3, 1);
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0x1234);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 3u);
    EXPECT_EQ(dump_level(r, "XTORASYS"), 1u);
    uint32_t level = 0;
    EXPECT_EQ(XGetTraceLevel(r, "ANY", &level), 0);
    EXPECT_LAST_ERROR(code(FN_XGetTraceLevel, 2), 0, 2);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Debug, LevelsFromTheChain) {
    settings("XTORASYS :\nTRACE = 4\nDUMP = 2\nBINDINGS = FIRST\n"
             "FIRST :\nID = ABCDEFGHIJKLMNOP\nTRACE = 2\nDUMP = 1\nBINDINGS = SECOND\n"
             "SECOND :\nID = TWICE\nTRACE = 4\nDUMP = 2\nBINDINGS = THIRD\n"
             "THIRD :\nID = TWICE\nTRACE = 3\nDUMP = 1\nBINDINGS = FOURTH\n"
             "FOURTH :\nID = ODD\nTRACE = x\nBINDINGS = NONE\n");
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 4u);  // per binding
    EXPECT_EQ(dump_level(r, "XTORASYS"), 2u);
    EXPECT_EQ(trace_level(r, "ABCDEFGHIJKLMNOP"), 2u);  // 16 characters are an ID
    EXPECT_EQ(dump_level(r, "ABCDEFGHIJKLMNOP"), 1u);
    // A binding cannot be "per binding": its level 4 reads as 0; the first
    // of two equal IDs is the one found.
    EXPECT_EQ(trace_level(r, "TWICE"), 0u);
    EXPECT_EQ(dump_level(r, "TWICE"), 0u);
    EXPECT_EQ(XSetTraceLevel(r, "TWICE", 7), 1);
    EXPECT_EQ(trace_level(r, "TWICE"), 3u);
    EXPECT_EQ(trace_level(r, "ODD"), 0u);  // not a number, or absent
    EXPECT_EQ(dump_level(r, "ODD"), 0u);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Debug, GlobalLevelsOutOfTheTableReadAsZero) {
    for (const char *bad : {"5", "-1", "x", "99999999999"}) {
        settings(std::string("XTORASYS :\nTRACE = ") + bad + "\nDUMP = " + bad +
                 "\nBINDINGS = NONE\n");
        XSetLastError(0, 0, 0);
        XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
        ASSERT_NE(r, nullptr) << bad;
        EXPECT_LAST_ERROR(0, 0, 0);  // the failed reads leave no trace
        EXPECT_EQ(trace_level(r, "XTORASYS"), 0u) << bad;
        EXPECT_EQ(dump_level(r, "XTORASYS"), 0u) << bad;
        EXPECT_EQ(XTermDebug(r), 1);
    }
}

TEST_F(Debug, SetAndGetTakeMasksAndGiveLevels) {
    settings(chain(1));
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", 6), 1);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 2u);
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", -1), 1);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 4u);
    EXPECT_EQ(XSetTraceLevel(r, "B1", -1), 0);
    EXPECT_LAST_ERROR(code(FN_XSetTraceLevel, 1), 3, 2);
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", 5), 0);
    EXPECT_LAST_ERROR(code(FN_XSetTraceLevel, 1), 3, 2);
    EXPECT_EQ(XSetTraceLevel(r, "B1", 5), 0);
    EXPECT_LAST_ERROR(code(FN_XSetTraceLevel, 1), 3, 2);
    EXPECT_EQ(XSetTraceLevel(r, "B1", 4), 1);
    EXPECT_EQ(trace_level(r, "B1"), 1u);
    EXPECT_EQ(XSetTraceLevel(r, "B9", 4), 0);
    EXPECT_LAST_ERROR(code(FN_XSetTraceLevel, 2), 0, 2);
    // The reserved names belong to their own operations only.
    uint32_t level = 0;
    EXPECT_EQ(XGetTraceLevel(r, "XP_TRACE_ALL", &level), 0);
    EXPECT_LAST_ERROR(code(FN_XGetTraceLevel, 2), 0, 2);
    EXPECT_EQ(XSetTraceLevel(r, "XTORASYS", 4), 0);
    EXPECT_LAST_ERROR(code(FN_XSetTraceLevel, 2), 0, 2);

    EXPECT_EQ(XSetDumpLevel(r, "XP_DUMP_ALL", -1), 1);
    EXPECT_EQ(dump_level(r, "XTORASYS"), 2u);
    EXPECT_EQ(XSetDumpLevel(r, "B1", -1), 0);
    EXPECT_LAST_ERROR(code(FN_XSetDumpLevel, 1), 3, 2);
    EXPECT_EQ(XSetDumpLevel(r, "XP_DUMP_ALL", 2), 0);
    EXPECT_LAST_ERROR(code(FN_XSetDumpLevel, 1), 3, 2);
    EXPECT_EQ(XSetDumpLevel(r, "B1", 1), 1);
    EXPECT_EQ(dump_level(r, "B1"), 1u);
    EXPECT_EQ(XSetDumpLevel(r, "XP_TRACE_ALL", 0), 0);
    EXPECT_LAST_ERROR(code(FN_XSetDumpLevel, 2), 0, 2);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Debug, ArgumentRefusals) {
    global_levels(0, 0);
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    uint32_t level = 0;
    std::string n17(17, 'N');
    for (auto set : {XSetTraceLevel, XSetDumpLevel}) {
        Fn fn = set == XSetTraceLevel ? FN_XSetTraceLevel : FN_XSetDumpLevel;
        EXPECT_EQ(set(nullptr, "A", 0), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 1, 2);
        EXPECT_EQ(set(r, nullptr, 0), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 2, 2);
        EXPECT_EQ(set(r, "", 0), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 2, 2);
        EXPECT_EQ(set(r, n17.c_str(), 0), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 2, 2);
    }
    for (auto get : {XGetTraceLevel, XGetDumpLevel}) {
        Fn fn = get == XGetTraceLevel ? FN_XGetTraceLevel : FN_XGetDumpLevel;
        EXPECT_EQ(get(nullptr, "A", &level), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 1, 2);
        EXPECT_EQ(get(r, nullptr, &level), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 2, 2);
        EXPECT_EQ(get(r, "XTORASYS", nullptr), 0);
        EXPECT_LAST_ERROR(code(fn, 1), 3, 2);
    }
    EXPECT_EQ(XTermDebug(nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XTermDebug, 1), 1, 2);
    EXPECT_EQ(XRefreshDebug(nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XRefreshDebug, 1), 1, 2);
    EXPECT_EQ(XInitDebug(nullptr, 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 1), 1, 2);
    EXPECT_EQ(XInitDebug("", 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 1), 1, 2);
    std::string n256(256, 'n');
    EXPECT_EQ(XInitDebug(n256.c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 1), 1, 2);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Debug, MissingSettingsHaveNoDefaults) {
    // No settings file at all.
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_EQ(XGetLastError(nullptr), code(FN_XOpenFile, 6));
    // No "BINDINGS" in "XTORASYS", an empty one, no "XTORASYS" section.
    settings("XTORASYS :\nTRACE = 3\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XReadParmStr, 3), 0, 2);
    settings("XTORASYS :\nBINDINGS =\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XReadParmStr, 4), 0, 2);
    settings("OTHER :\nBINDINGS = NONE\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XReadParmStr, 2), 0, 2);
    // A chain that names a section that is not there.
    settings("XTORASYS :\nBINDINGS = GONE\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XReadParmStr, 2), 0, 2);
    // A binding without an ID fails in the reading pass, after the trace
    // file was made: the file goes again.
    settings("XTORASYS :\nBINDINGS = S\nS :\nTRACE = 1\nBINDINGS = NONE\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XReadParmStr, 3), 0, 2);
    EXPECT_FALSE(exists(path("trace")));
}

TEST_F(Debug, ChainLimits) {
    settings(chain(255));
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(trace_level(r, "B255"), 1u);
    EXPECT_EQ(XTermDebug(r), 1);
    settings(chain(256));
    EXPECT_EQ(XInitDebug("XP_TRACE_DEFAULT", 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 3), 0, 2);
    // A chain that loops back on itself ends at the limit.
    settings("XTORASYS :\nBINDINGS = LOOP\nLOOP :\nID = L\nBINDINGS = LOOP\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 3), 0, 2);
    EXPECT_FALSE(exists(path("trace")));
}

TEST_F(Debug, OverlongValues) {
    std::string s255(255, 'S'), s256(256, 'S');
    settings("XTORASYS :\nBINDINGS = " + s255 + "\n" + s255 + " :\nID = OK\nBINDINGS = NONE\n");
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XTermDebug(r), 1);
    settings("XTORASYS :\nBINDINGS = " + s256 + "\n");
    EXPECT_EQ(XInitDebug("XP_TRACE_DEFAULT", 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 4), 0, 2);
    settings("XTORASYS :\nBINDINGS = A\nA :\nID = A\nBINDINGS = B\n"
             "B :\nID = B\nBINDINGS = " + s256 + "\n");
    EXPECT_EQ(XInitDebug("XP_TRACE_DEFAULT", 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 4), 2, 2);
    settings("XTORASYS :\nBINDINGS = A\nA :\nID = A\nBINDINGS = B\n"
             "B :\nID = ABCDEFGHIJKLMNOPQ\nBINDINGS = NONE\n");
    EXPECT_EQ(XInitDebug(path("trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 2), 2, 2);
    EXPECT_FALSE(exists(path("trace")));
}

TEST_F(Debug, TraceFileIsEmptiedAndDeletedWhenUnused) {
    global_levels(3, 0);
    WriteFile(path("trace"), "old content\n");
    XHANDLE r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(read(path("trace")), "");
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_FALSE(exists(path("trace")));
    r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XTraceH(r, "A", "kept"), 1);
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_EQ(lines_of(read(path("trace"))).size(), 1u);
    // A trace file that cannot be made or opened: its open's error.
    EXPECT_EQ(XInitDebug(path("no/dir/trace").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XOpenFile, 2), ENOENT, 1);
    EXPECT_EQ(XInitDebug(path("").c_str(), 0), nullptr);  // a directory
    EXPECT_LAST_ERROR(code(FN_XOpenFile, 2), EISDIR, 1);
}

// A second record on the same file waits for the first to end, then empties
// the file (or makes a new one when the first deleted it unused).
TEST_F(Debug, SecondRecordOnAFileWaits) {
    global_levels(3, 0);
    for (bool first_writes : {true, false}) {
        XHANDLE first = XInitDebug(path("trace").c_str(), 0);
        ASSERT_NE(first, nullptr);
        if (first_writes) {
            EXPECT_EQ(XTraceH(first, "FIRST", "one"), 1);
        }
        std::atomic<XHANDLE> second{nullptr};
        std::atomic<bool> done{false};
        std::thread t([&] {
            second = XInitDebug(path("trace").c_str(), 0);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(done.load());
        if (first_writes) {
            EXPECT_EQ(XTraceH(first, "FIRST", "two"), 1);
        }
        EXPECT_EQ(XTermDebug(first), 1);
        t.join();
        ASSERT_NE(second.load(), nullptr);
        EXPECT_TRUE(exists(path("trace")));
        EXPECT_EQ(read(path("trace")), "");
        EXPECT_EQ(XTraceH(second.load(), "SECOND", "mine"), 1);
        EXPECT_EQ(XTermDebug(second.load()), 1);
        auto lines = lines_of(read(path("trace")));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(9), "SECOND   mine");
        std::remove(path("trace").c_str());
    }
}

TEST_F(Debug, RefreshReadsAgainAndKeepsTheRecordOnFailure) {
    settings(chain(2));
    XHANDLE r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XSetTraceLevel(r, "B2", 7), 1);
    settings("XTORASYS :\nTRACE = 1\nDUMP = 0\nBINDINGS = X\nX :\nID = NEW\nTRACE = 2\n"
             "DUMP = 1\nBINDINGS = NONE\n");
    EXPECT_EQ(XRefreshDebug(r), 1);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 1u);
    EXPECT_EQ(dump_level(r, "XTORASYS"), 0u);
    EXPECT_EQ(trace_level(r, "NEW"), 2u);
    uint32_t level = 0;
    EXPECT_EQ(XGetTraceLevel(r, "B1", &level), 0);
    // A broken file: the refresh fails under XInitDebug's code and the
    // levels, including those set by hand, stay.
    EXPECT_EQ(XSetTraceLevel(r, "NEW", 7), 1);
    settings("XTORASYS :\nTRACE = 3\nBINDINGS = Y\nY :\nID = ABCDEFGHIJKLMNOPQ\nBINDINGS = NONE\n");
    EXPECT_EQ(XRefreshDebug(r), 0);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 2), 1, 2);
    EXPECT_EQ(trace_level(r, "XTORASYS"), 1u);
    EXPECT_EQ(trace_level(r, "NEW"), 3u);
    std::remove(path("XTORASYS").c_str());
    EXPECT_EQ(XRefreshDebug(r), 0);
    EXPECT_EQ(XGetLastError(nullptr), code(FN_XOpenFile, 6));
    EXPECT_EQ(trace_level(r, "NEW"), 3u);
    // The trace file stays the record's own through the refreshes.
    EXPECT_EQ(XTraceH(r, "NEW", "after"), 1);
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_EQ(lines_of(read(path("trace"))).size(), 1u);
}

}  // namespace
