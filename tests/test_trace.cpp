// Trace lines and storage dumps: the record and image layouts byte for byte,
// the level decisions, and both destinations (trace file, debug console).
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "diag_support.h"
#include "xcodes.h"
#include "xdebug.h"
#include "zaxfault.h"

using namespace zaxtest;
using namespace diagtest;
using namespace zax;

namespace {

// Builds a trace record for a fixed time.
std::string record_at(const XCalendar &cal, const char *name, const std::string &message) {
    char out[debug::kRecordBuf];
    size_t n = debug::build_record(out, cal, name, message.data(), message.size());
    EXPECT_EQ(n, std::strlen(out));
    return std::string(out);
}

std::string image(const std::string &bytes, int32_t offset = 0, int32_t *next = nullptr) {
    char line[128];
    int32_t off = offset;
    EXPECT_EQ(X_make_dump_image(bytes.data(), int32_t(bytes.size()), &off, line), 1);
    if (next != nullptr) *next = off;
    return line;
}

TEST(TraceRecord, ColumnsOfTheRecord) {
    XCalendar cal{2026, 12, 5, 13, 4, 25, 129000};
    EXPECT_EQ(record_at(cal, "ABC", "hello"), "13042512 ABC      hello");
    // Hour 0 and a whole second keep their leading zeros.
    XCalendar early{2026, 1, 1, 0, 0, 7, 0};
    EXPECT_EQ(record_at(early, "B", ""), "00000700 B        ");
    EXPECT_EQ(record_at(early, "B", "").size(), 18u);
    // A 12-character name shows its first 8; a 16-character one too.
    EXPECT_EQ(record_at(cal, "ABCDEFGHIJKL", "m"), "13042512 ABCDEFGH m");
    EXPECT_EQ(record_at(cal, "XP_ADMINISTRATOR", "m"), "13042512 XP_ADMIN m");
    // 237 characters of a longer message; control characters stay.
    std::string m300(300, 'm');
    std::string r = record_at(cal, "N", m300);
    EXPECT_EQ(r.size(), 255u);
    EXPECT_EQ(r.substr(18), std::string(237, 'm'));
    EXPECT_EQ(record_at(cal, "N", "a\nb\tc"), "13042512 N        a\nb\tc");
}

TEST(DumpImage, LinesByteForByte) {
    int32_t next = 0;
    EXPECT_EQ(image("ABCDEFGHIJKLMNOP", 0, &next),
              "00000000 41424344 45464748 494A4B4C 4D4E4F50 >ABCDEFGHIJKLMNOP<");
    EXPECT_EQ(next, 16);
    std::string hello = image("Hello", 0, &next);
    EXPECT_EQ(hello, "00000000 48656C6C 6F" + std::string(45 - 20, ' ') + ">Hello<");
    EXPECT_EQ(hello.size(), 52u);
    EXPECT_EQ(next, 5);
    // 17 bytes: the second line shows one byte at offset 16.
    std::string b17 = "ABCDEFGHIJKLMNOPQ";
    EXPECT_EQ(image(b17, 0, &next).size(), 63u);
    EXPECT_EQ(next, 16);
    EXPECT_EQ(image(b17, 16, &next), "00000010 51" + std::string(45 - 11, ' ') + ">Q<");
    EXPECT_EQ(next, 17);
    // Exactly 4 and 8 bytes end with the group's space.
    EXPECT_EQ(image("ABCD"), "00000000 41424344" + std::string(45 - 17, ' ') + ">ABCD<");
    EXPECT_EQ(image("ABCDEFGH"), "00000000 41424344 45464748" + std::string(45 - 26, ' ') +
                                     ">ABCDEFGH<");
}

TEST(DumpImage, PrintableAndKatakanaBytesShowAsThemselves) {
    const std::string bytes("\x00\x0A\x7F\xA0\xE0\x41\xB1\x20\x7E\xA1\xDF\x1F\x80\xFF", 14);
    std::string line = image(bytes);
    EXPECT_EQ(line.substr(45), ">.....A\xB1 ~\xA1\xDF...<");
    EXPECT_EQ(line.substr(0, 44), "00000000 000A7FA0 E041B120 7EA1DF1F 80FF    ");
}

TEST(DumpImage, RefusesWhatItCannotShow) {
    char line[128];
    int32_t off = 0;
    EXPECT_EQ(X_make_dump_image(nullptr, 4, &off, line), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 1, 2);
    EXPECT_EQ(X_make_dump_image("abcd", 4, nullptr, line), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 3, 2);
    EXPECT_EQ(X_make_dump_image("abcd", 4, &off, nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 4, 2);
    off = 4;
    EXPECT_EQ(X_make_dump_image("abcd", 4, &off, line), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 3, 2);
    off = -1;
    EXPECT_EQ(X_make_dump_image("abcd", 4, &off, line), 0);
    EXPECT_EQ(off, -1);
}

class Trace : public DiagTest {
protected:
    // A debug record tracing to the file "trace" with the given global levels.
    XHANDLE file_record(int trace, int dump) {
        global_levels(trace, dump);
        XHANDLE r = XInitDebug(path("trace").c_str(), 0);
        EXPECT_NE(r, nullptr);
        return r;
    }
    std::vector<std::string> trace_lines() { return lines_of(read(path("trace"))); }
};

const std::regex kStamp("[0-9]{8}");

// Checks a file line's header: time stamp, name padded to 8, message.
void expect_record(const std::string &line, const std::string &name8, const std::string &message) {
    ASSERT_GE(line.size(), 18u) << line;
    EXPECT_TRUE(std::regex_match(line.substr(0, 8), kStamp)) << line;
    EXPECT_EQ(line.substr(8), " " + name8 + " " + message);
}

TEST_F(Trace, GlobalMaskSixLetsHighAndMediumThrough) {
    XHANDLE r = file_record(2, 0);
    EXPECT_EQ(XTraceH(r, "ABC", "high %d", 1), 1);
    EXPECT_EQ(XTraceM(r, "ABC", "medium %s", "two"), 1);
    EXPECT_EQ(XTraceL(r, "ABC", "low"), 1);
    EXPECT_EQ(XTrace(r, "ABC", X_TRACE_LOW, "low"), 1);
    EXPECT_EQ(XTrace(r, "ABC", X_TRACE_HIGH, "%ld", int32_t(-3)), 1);
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 3u);
    expect_record(lines[0], "ABC     ", "high 1");
    expect_record(lines[1], "ABC     ", "medium two");
    expect_record(lines[2], "ABC     ", "-3");
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Trace, FileLinesAreCutTo254AndEndInALineFeed) {
    XHANDLE r = file_record(3, 0);
    std::string m300(300, 'x');
    EXPECT_EQ(XTraceH(r, "LONG", "%s", m300.c_str()), 1);
    EXPECT_EQ(XTraceH(r, "EMPTY", ""), 1);
    EXPECT_EQ(XTraceH(r, "LF", "a\nb"), 1);
    std::string text = read(path("trace"));
    ASSERT_GE(text.size(), 255u);
    EXPECT_EQ(text[254], '\n');
    EXPECT_EQ(text.substr(18, 236), std::string(236, 'x'));
    auto lines = lines_of(text.substr(255));
    ASSERT_EQ(lines.size(), 3u);
    expect_record(lines[0], "EMPTY   ", "");
    expect_record(lines[1], "LF      ", "a");  // the message's own line feed is copied
    EXPECT_EQ(lines[2], "b");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    // A ready line of 255 characters without a NUL, and an empty one.
    char ready[257];
    std::memset(ready, 'r', 255);
    EXPECT_EQ(X_trace_out(r, ready), 1);
    char empty[3] = "";
    EXPECT_EQ(X_trace_out(r, empty), 1);
    text = read(path("trace"));
    EXPECT_EQ(text.substr(text.size() - 256), std::string(254, 'r') + "\n\n");
    EXPECT_EQ(XTermDebug(r), 1);
}

// Every fsync fails here: a line that is forced to the disk fails with the
// flush's error, a line that is only written goes through.
TEST_F(Trace, DurabilityWriteHandsEachLineOverWithoutForcingItToDisk) {
    FailCall<sys::Call::fsync> no_sync(EIO);
    auto level3 = [&](const std::string &extra) {
        settings("XTORASYS :\nTRACE = 3\nDUMP = 0\nBINDINGS = NONE\n" + extra);
    };
    auto trace_one = [&](const char *message) {
        XHANDLE r = XInitDebug(path("trace").c_str(), 0);
        if (r == nullptr) return -1;
        int32_t result = XTraceH(r, "DUR", "%s", message);
        EXPECT_EQ(XTermDebug(r), 1);
        return int(result);
    };
    // The default forces every line to the disk.
    level3("");
    EXPECT_EQ(trace_one("synced"), 0);
    EXPECT_LAST_ERROR(code(FN_XFlushFile, 2), EIO, 1);
    int syncs = no_sync.calls();
    EXPECT_GE(syncs, 1);
    level3("TRACE :\nDURABILITY = write\n");
    EXPECT_EQ(trace_one("written"), 1);
    EXPECT_EQ(no_sync.calls(), syncs);
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    expect_record(lines[0], "DUR     ", "written");

    // The environment wins over the file, in any case; an empty value does not count.
    setenv("ZAXXLIB_TRACE_DURABILITY", "SYNC", 1);
    EXPECT_EQ(trace_one("synced"), 0);
    setenv("ZAXXLIB_TRACE_DURABILITY", "", 1);
    EXPECT_EQ(trace_one("written"), 1);
    // Any other value fails the record, and XRefreshDebug keeps what it had.
    level3("");
    unsetenv("ZAXXLIB_TRACE_DURABILITY");
    XHANDLE r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    setenv("ZAXXLIB_TRACE_DURABILITY", "sometimes", 1);
    EXPECT_EQ(XRefreshDebug(r), 0);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 5), 0, 2);
    EXPECT_EQ(XTraceH(r, "DUR", "kept"), 0);  // still forced to the disk
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_EQ(XInitDebug(path("trace2").c_str(), 0), nullptr);
    EXPECT_LAST_ERROR(code(FN_XInitDebug, 5), 0, 2);
    EXPECT_FALSE(exists(path("trace2")));
    unsetenv("ZAXXLIB_TRACE_DURABILITY");
}

TEST_F(Trace, LinesOfSeveralThreadsStayWhole) {
    XHANDLE r = file_record(3, 0);
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([r, t] {
            for (int i = 0; i < kLines; ++i) XTraceM(r, "T", "thread %d line %d %s", t, i, "payload");
        });
    for (auto &t : threads) t.join();
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto &l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(l.c_str() + 18, "thread %d line %d payload", &t, &i), 2) << l;
        ASSERT_TRUE(t >= 0 && t < kThreads) << l;
        EXPECT_EQ(i, next[t]++) << "each thread's lines come in its own order";
    }
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Trace, ArgumentsAreCheckedWhateverTheLevels) {
    XHANDLE r = file_record(0, 0);
    EXPECT_EQ(XTrace(nullptr, "A", 4, "x"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 1, 2);
    EXPECT_EQ(XTraceH(r, nullptr, "x"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 2, 2);
    EXPECT_EQ(XTraceM(r, "", "x"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 2, 2);
    EXPECT_EQ(XTraceL(r, "ABCDEFGHIJKLMNOPQ", "x"), 0);  // 17 characters
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 2, 2);
    EXPECT_EQ(XTrace(r, "A", 3, "x"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 3, 2);
    EXPECT_EQ(XTrace(r, "XP_ADMINISTRATOR", 0, "x"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 3, 2);
    EXPECT_EQ(X_trace_out(nullptr, nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 1, 2);
    EXPECT_EQ(X_trace_out(r, nullptr), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 1), 2, 2);
    // A 16-character name is a name.
    EXPECT_EQ(XTraceH(r, "ABCDEFGHIJKLMNOP", "x"), 1);
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_FALSE(exists(path("trace")));  // nothing was written: the file goes
}

TEST_F(Trace, PerBindingLevelsAndTheAdministrator) {
    settings("XTORASYS :\nTRACE = 4\nDUMP = 2\nBINDINGS = B1\n"
             "B1 :\nID = LOUD\nTRACE = 3\nDUMP = 1\nBINDINGS = B2\n"
             "B2 :\nID = QUIET\nTRACE = 1\nDUMP = 0\nBINDINGS = NONE\n");
    XHANDLE r = XInitDebug(path("trace").c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XTraceL(r, "LOUD", "1"), 1);
    EXPECT_EQ(XTraceM(r, "QUIET", "no"), 1);
    EXPECT_EQ(XTraceH(r, "QUIET", "2"), 1);
    EXPECT_EQ(XTraceH(r, "NOBODY", "no"), 1);  // no entry: nothing, no failure
    EXPECT_EQ(XSetTraceLevel(r, "LOUD", 0), 1);
    EXPECT_EQ(XTraceH(r, "LOUD", "no"), 1);
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", 0), 1);
    EXPECT_EQ(XTraceL(r, "XP_ADMINISTRATOR", "3"), 1);  // written whatever the levels
    // A global mask other than -1 overrides the bindings.
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", 4), 1);
    EXPECT_EQ(XTraceH(r, "NOBODY", "4"), 1);
    EXPECT_EQ(XTraceM(r, "LOUD", "no"), 1);
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 4u);
    expect_record(lines[0], "LOUD    ", "1");
    expect_record(lines[1], "QUIET   ", "2");
    expect_record(lines[2], "XP_ADMIN", "3");
    expect_record(lines[3], "NOBODY  ", "4");
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Trace, DumpWithTitleAddressAndImageLines) {
    XHANDLE r = file_record(0, 1);
    const char block[] = "ABCDEFGHIJKLMNOPQ";  // 17 bytes
    EXPECT_EQ(XDump(r, "DMP", "the title", block, 17), 1);
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 4u);
    expect_record(lines[0], "DMP     ", "the title");
    char addr[32];
    std::snprintf(addr, sizeof addr, "%016llX", (unsigned long long)(uintptr_t)block);
    EXPECT_EQ(lines[1], addr);
    EXPECT_EQ(lines[2], "00000000 41424344 45464748 494A4B4C 4D4E4F50 >ABCDEFGHIJKLMNOP<");
    EXPECT_EQ(lines[3], "00000010 51" + std::string(34, ' ') + ">Q<");
    // No title (null or empty): the address line comes first.
    EXPECT_EQ(XDump(r, "DMP", nullptr, block, 1), 1);
    EXPECT_EQ(XDump(r, "DMP", "", block, 16), 1);
    lines = trace_lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4], addr);
    EXPECT_EQ(lines[6], addr);
    // A title longer than 255 characters ends at 237 in the record, and the
    // file line at 254.
    EXPECT_EQ(XDump(r, "DMP", std::string(400, 't').c_str(), block, 1), 1);
    lines = trace_lines();
    EXPECT_EQ(lines[8].size(), 254u);
    // X_dump_out of nothing writes the address line alone.
    EXPECT_EQ(X_dump_out(r, block, 0), 1);
    EXPECT_EQ(trace_lines().size(), 12u);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Trace, ShortNamesAreNotReadPastTheirEnd) {
    // A name of 1 to 16 characters may end right before unmapped memory:
    // the level decision reads it only up to its terminator.
    long page = sysconf(_SC_PAGESIZE);
    char *pages = static_cast<char *>(
        mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, size_t(page), PROT_NONE), 0);
    char *name = pages + page - 2;
    std::memcpy(name, "Q", 2);
    XHANDLE r = file_record(4, 2);  // per binding: every call asks who the name is
    EXPECT_EQ(XTraceH(r, name, "no"), 1);
    EXPECT_EQ(XDump(r, name, nullptr, "xy", 2), 1);
    EXPECT_EQ(XSetTraceLevel(r, "XP_TRACE_ALL", 6), 1);
    EXPECT_EQ(XTraceL(r, name, "no"), 1);
    EXPECT_EQ(XSetDumpLevel(r, "XP_DUMP_ALL", 0), 1);
    EXPECT_EQ(XDump(r, name, nullptr, "xy", 2), 1);
    EXPECT_TRUE(trace_lines().empty());
    EXPECT_EQ(XTermDebug(r), 1);
    munmap(pages, size_t(page) * 2);
}

TEST_F(Trace, DumpLevelsAndRefusals) {
    XHANDLE r = file_record(3, 0);
    const char block[] = "xy";
    EXPECT_EQ(XDump(r, "ANY", "title", block, 2), 1);  // level 0: nothing
    EXPECT_EQ(XDump(r, "XP_ADMINISTRATOR", "admin", block, 2), 1);
    auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 3u);
    expect_record(lines[0], "XP_ADMIN", "admin");
    EXPECT_EQ(XDump(nullptr, "A", nullptr, block, 2), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 1, 2);
    EXPECT_EQ(XDump(r, "", nullptr, block, 2), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 2, 2);
    EXPECT_EQ(XDump(r, "A", nullptr, nullptr, 2), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 4, 2);
    EXPECT_EQ(XDump(r, "A", nullptr, block, 0), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 5, 2);
    EXPECT_EQ(X_dump_out(nullptr, block, 2), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 1, 2);
    EXPECT_EQ(X_dump_out(r, nullptr, 2), 0);
    EXPECT_LAST_ERROR(code(FN_XDump, 1), 2, 2);
    EXPECT_EQ(XTermDebug(r), 1);
}

// The console: a record without a trace file hands its lines to the probe
// companion, which counts them in the record's console area.
class Console : public DiagTest {
protected:
    void SetUp() override {
        DiagTest::SetUp();
        setenv("ZAXXLIB_ZAXDPUT", companion_path("libzaxdput_probe.so").c_str(), 1);
        setenv("ZAXDPUT_PROBE_FILE", path("console").c_str(), 1);
        unsetenv("ZAXDPUT_PROBE_RESULT");
    }
};

TEST_F(Console, LinesWithoutLineFeedsAndTheComponentsResult) {
    global_levels(3, 1);
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    XHANDLE other = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(XTraceH(r, "CON", "first"), 1);
    EXPECT_EQ(XDump(r, "CON", nullptr, "ab", 2), 1);
    EXPECT_EQ(XTraceH(other, "OTHER", "own area"), 1);
    setenv("ZAXDPUT_PROBE_RESULT", "7", 1);
    EXPECT_EQ(XTraceH(r, "CON", "seven"), 7);
    setenv("ZAXDPUT_PROBE_RESULT", "0", 1);
    EXPECT_EQ(XTraceH(r, "CON", "zero"), 0);
    EXPECT_EQ(XDump(r, "CON", "t", "ab", 2), 0);  // the title fails: no dump lines
    auto lines = lines_of(read(path("console")));
    ASSERT_EQ(lines.size(), 7u);
    // Each record's area counts its own lines: the library hands the same
    // area over every time and never writes it.
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("1\\|[0-9]{8} CON      first")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("2\\|[0-9A-F]{16}"))) << lines[1];
    EXPECT_EQ(lines[2], "3|00000000 6162" + std::string(45 - 13, ' ') + ">ab<");
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("1\\|[0-9]{8} OTHER    own area")));
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("4\\|.* seven")));
    EXPECT_TRUE(std::regex_match(lines[5], std::regex("5\\|.* zero")));
    EXPECT_TRUE(std::regex_match(lines[6], std::regex("6\\|.* t")));
    unsetenv("ZAXDPUT_PROBE_RESULT");
    EXPECT_EQ(XTermDebug(r), 1);
    EXPECT_EQ(XTermDebug(other), 1);
}

TEST_F(Console, ReadyLinesAreEndedAt255Characters) {
    global_levels(0, 0);
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    char ready[300];
    std::memset(ready, 'c', sizeof ready - 1);
    ready[sizeof ready - 1] = '\0';
    EXPECT_EQ(X_trace_out(r, ready), 1);
    auto lines = lines_of(read(path("console")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "1|" + std::string(255, 'c'));
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Console, MissingComponentIsARecordedFailure) {
    global_levels(3, 0);
    setenv("ZAXXLIB_ZAXDPUT", path("no-such-console.so").c_str(), 1);
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(XTraceH(r, "CON", "lost"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 2), 1, 2);
    // A library without the entry point.
    setenv("ZAXXLIB_ZAXDPUT", companion_path("libzaxxlib.so").c_str(), 1);
    EXPECT_EQ(XTraceH(r, "CON", "lost"), 0);
    EXPECT_LAST_ERROR(code(FN_XTrace, 2), 2, 2);
    // Once it can be loaded, lines flow.
    setenv("ZAXXLIB_ZAXDPUT", companion_path("libzaxdput_probe.so").c_str(), 1);
    EXPECT_EQ(XTraceH(r, "CON", "found"), 1);
    EXPECT_EQ(lines_of(read(path("console"))).size(), 1u);
    EXPECT_EQ(XTermDebug(r), 1);
}

TEST_F(Console, DefaultComponentWritesToStandardError) {
    global_levels(1, 0);
    // The helper uses the shared library, which finds libzaxdput.so beside
    // itself; it sends its standard error to its standard output.
    unsetenv("ZAXXLIB_ZAXDPUT");
    unsetenv("ZAXDPUT_PROBE_FILE");
    auto res = RunHelper({"diag_console", "hello %d"});
    EXPECT_EQ(res.exit_code, 0) << res.out;
    auto lines = lines_of(res.out);
    ASSERT_EQ(lines.size(), 2u) << res.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("[0-9]{8} HELPER   hello 42"))) << lines[0];
    EXPECT_EQ(lines[1], "result 1");
}

}  // namespace
