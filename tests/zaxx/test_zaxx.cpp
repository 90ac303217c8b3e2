// The zaxx command, run as a program against live objects of the helper
// program, files and registry databases of each test's own.
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "zaxtest.h"
#include "zaxxlib.h"
#include "zaxxlib_codes.h"

namespace {

using zaxtest::ReadFile;
using zaxtest::WriteFile;

// ---------------------------------------------------------------------------
// A small JSON reader: enough to take zaxx's output apart.

struct Json {
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
    bool b = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json &operator[](const std::string &key) const {
        static const Json none;
        for (const auto &[k, v] : members)
            if (k == key) return v;
        return none;
    }
    const Json &operator[](size_t i) const { return items.at(i); }
    bool has(const std::string &key) const {
        for (const auto &m : members)
            if (m.first == key) return true;
        return false;
    }
    int64_t i() const { return int64_t(number); }
};

struct JsonReader {
    const std::string &s;
    size_t p = 0;
    bool ok = true;

    void space() {
        while (p < s.size() && std::isspace((unsigned char)s[p])) ++p;
    }
    bool eat(char c) {
        space();
        if (p < s.size() && s[p] == c) {
            ++p;
            return true;
        }
        return false;
    }
    std::string string() {
        std::string out;
        if (!eat('"')) return ok = false, out;
        while (p < s.size() && s[p] != '"') {
            if (s[p] == '\\' && p + 1 < s.size()) {
                char e = s[++p];
                if (e == 'u' && p + 4 < s.size()) {
                    out += char(std::stoi(s.substr(p + 1, 4), nullptr, 16));
                    p += 4;
                } else {
                    out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
                }
            } else {
                out += s[p];
            }
            ++p;
        }
        ok = ok && eat('"');
        return out;
    }
    Json value() {
        Json v;
        space();
        if (p >= s.size()) return ok = false, v;
        char c = s[p];
        if (c == '{') {
            ++p;
            v.type = Json::kObject;
            if (eat('}')) return v;
            do {
                std::string k = string();
                ok = ok && eat(':');
                v.members.emplace_back(k, value());
            } while (ok && eat(','));
            ok = ok && eat('}');
        } else if (c == '[') {
            ++p;
            v.type = Json::kArray;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (ok && eat(','));
            ok = ok && eat(']');
        } else if (c == '"') {
            v.type = Json::kString;
            v.text = string();
        } else if (s.compare(p, 4, "true") == 0 || s.compare(p, 5, "false") == 0) {
            v.type = Json::kBool;
            v.b = c == 't';
            p += v.b ? 4 : 5;
        } else if (s.compare(p, 4, "null") == 0) {
            p += 4;
        } else {
            v.type = Json::kNumber;
            size_t used = 0;
            v.number = std::stod(s.substr(p), &used);
            p += used;
        }
        return v;
    }
};

Json ParseJson(const std::string &text) {
    JsonReader r{text};
    Json v = r.value();
    r.space();
    EXPECT_TRUE(r.ok && r.p == text.size()) << "not one JSON document:\n" << text;
    return v;
}

// ---------------------------------------------------------------------------

struct Result {
    int code = -1;
    std::string out, err;
};

class Zaxx : public zaxtest::ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_REGISTRY_DIR", path("registry").c_str(), 1);
    }
    void TearDown() override {
        for (int pid : holders_) {
            kill(pid, SIGKILL);
            zaxtest::WaitHelper(pid);
        }
        ZaxTest::TearDown();
    }

    // Runs zaxx with args, input on its standard input.
    Result zaxx(const std::vector<std::string> &args, const std::string &input = "") {
        const std::string in = path(".in"), out = path(".out"), err = path(".err");
        WriteFile(in, input);
        std::vector<std::string> a{ZAX_ZAXX_PATH};
        a.insert(a.end(), args.begin(), args.end());
        const int fds[3] = {open(in.c_str(), O_RDONLY | O_CLOEXEC), create(out), create(err)};
        pid_t pid = zaxtest::Spawn(a, {fds[0], fds[1], fds[2]});
        for (int fd : fds) close(fd);
        Result r;
        if (pid > 0) {
            r.code = zaxtest::WaitHelper(pid);
            r.out = ReadFile(out);
            r.err = ReadFile(err);
        }
        return r;
    }
    // A file made empty for a program's output.
    static int create(const std::string &file) {
        return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }

    // The helper holding an object of every kind with keys key+1 to key+4;
    // with die, it is killed at once and leaves them all behind.
    int hold_objects(uint32_t key, bool die) {
        const std::string ready = path("ready");
        unlink(ready.c_str());
        char k[16];
        std::snprintf(k, sizeof k, "%X", key);
        std::vector<std::string> args{"objects", k, ready};
        if (die) args.push_back("kill");
        int pid = zaxtest::SpawnHelper(args);
        if (die) {
            EXPECT_EQ(zaxtest::WaitHelper(pid), -1);
        } else {
            holders_.push_back(pid);
            for (int i = 0; i < 1000 && access(ready.c_str(), F_OK) != 0; ++i) usleep(10000);
        }
        EXPECT_EQ(access(ready.c_str(), F_OK), 0) << "the helper made its objects";
        return pid;
    }

    std::vector<int> holders_;
};

// A listing with what differs from run to run masked: process and thread
// numbers, event-socket names, and the columns' padding.
std::string Masked(std::string s) {
    s = std::regex_replace(s, std::regex("\\.zaxfifo[0-9a-f]{8}"), ".zaxfifoPPPPPPPP");
    s = std::regex_replace(s, std::regex("(process|thread) [0-9]+"), "$1 N");
    s = std::regex_replace(s, std::regex("\\([0-9]+(, [0-9]+)*\\)"), "(N)");
    s = std::regex_replace(s, std::regex(" {2,}"), "  ");
    return s;
}

// ---------------------------------------------------------------------------
// Listings

TEST_F(Zaxx, ListsEveryKindOfObjectWithWhatItHolds) {
    zaxtest::OmikinitService service(rundir_);
    ASSERT_TRUE(service.ready());
    const int holder = hold_objects(0x20101000, false);

    Result r = zaxx({"ls"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Masked(r.out),
              "KIND  NAME  KEY  PARTS  STATE  HOLDS  USE\n"
              "pipe  .zaxfifoPPPPPPPP  -  -  live  process N (alive)  process N is alive\n"
              "segment  20101003  0x20101003  2/01/1/3  live  64 bytes, tags 0x11 0x22  used by 1 process (N)\n"
              "list  20101004  0x20101004  2/01/1/4  live  2 elements, 33 of 1000 bytes, 1 attached  used by 1 process (N)\n"
              "record  20101004.load  0x20101004  2/01/1/4  live  empty  its list 20101004 is in use\n"
              "lock  MUTEX_ZAX_OMIKINIT  -  -  stale  free  used by no process\n"
              "event  ZAXEVT20101001.ev  0x20101001  2/01/1/1  live  -  open in 1 process (N)\n"
              "lock  ZAXLOCK20100003.lck  0x20100003  2/00/1/3  live  free  used by 1 process (N)\n"
              "lock  ZAXLOCK20101002.lck  0x20101002  2/01/1/2  live  held by thread N of process N  used by 1 process (N)\n"
              "lock  ZAXLOCK20101004.lck  0x20101004  2/01/1/4  live  free  used by 1 process (N)\n");

    Json all = ParseJson(zaxx({"ls", "--json"}).out);
    ASSERT_EQ(all.type, Json::kArray);
    std::set<std::string> kinds;
    for (const Json &o : all.items) {
        kinds.insert(o["kind"].text);
        // The service's lock is used only during an exchange.
        if (o["name"].text == "MUTEX_ZAX_OMIKINIT") continue;
        EXPECT_FALSE(o["stale"].b) << o["name"].text;
        if (o["kind"].text != "pipe" && o["kind"].text != "record") {
            ASSERT_EQ(o["users"].items.size(), 1u) << o["name"].text;
            EXPECT_EQ(o["users"][0].i(), holder);
        }
        if (o["name"].text == "ZAXLOCK20101002.lck") {
            EXPECT_EQ(o["holder_pid"].i(), holder);
        }
        if (o["kind"].text == "list") {
            EXPECT_EQ(o["count"].i(), 2);
            EXPECT_EQ(o["capacity"].i(), 1000);
            EXPECT_EQ(o["tag"].i(), 7);
        }
        if (o["kind"].text == "pipe") {
            EXPECT_EQ(o["pid"].i(), holder);
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"event", "lock", "segment", "list", "pipe", "record"}));

    // One kind, and the status summary.
    Json lists = ParseJson(zaxx({"--json", "ls", "lists"}).out);
    ASSERT_EQ(lists.items.size(), 1u);
    EXPECT_EQ(lists[0]["key"].text, "0x20101004");
    Json status = ParseJson(zaxx({"status", "--json"}).out);
    EXPECT_TRUE(status["initiator"]["running"].b);
    EXPECT_EQ(status["counts"]["locks"].i(), 4);
    ASSERT_EQ(status["stale"].items.size(), 1u);
    EXPECT_EQ(status["stale"][0]["name"].text, "MUTEX_ZAX_OMIKINIT");
    EXPECT_EQ(status["initiator"]["pid"].i(), service.pid());

    // A killed service leaves its socket and pid file behind.
    const int killed = service.pid();
    kill(killed, SIGKILL);
    service.wait_exit();
    status = ParseJson(zaxx({"status", "--json"}).out);
    EXPECT_FALSE(status["initiator"]["running"].b);
    EXPECT_EQ(status["initiator"]["why"].text,
              "not running (pid " + std::to_string(killed) + " ended without removing its socket)");
}

TEST_F(Zaxx, ShowsAndClearsAGlobalListAndReadsSavedLists) {
    zaxtest::OmikinitService service(rundir_);
    hold_objects(0x5000, false);
    Result r = zaxx({"list", "show", "5004"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "list 0x00005004: 2 elements, 33 of 1000 bytes used, 1 attached\n"
              "element 1, 5 bytes\n"
              "  00000000 616C7068 61                         >alpha<\n"
              "element 2, 4 bytes\n"
              "  00000000 62657461                            >beta<\n");
    Json second = ParseJson(zaxx({"list", "show", "0x5004", "--from", "2", "--count", "1", "--json"}).out);
    ASSERT_EQ(second["elements"].items.size(), 1u);
    EXPECT_EQ(second["elements"][0]["position"].i(), 2);
    EXPECT_EQ(second["elements"][0]["hex"].text, "62657461");

    r = zaxx({"list", "clear", "5004"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "list 0x00005004: 2 elements removed\n");
    EXPECT_EQ(ParseJson(zaxx({"list", "show", "5004", "--json"}).out)["count"].i(), 0);

    // A saved list, and files that are none.
    XHANDLE list = XCreateList(0, -1, 0);
    XAddList(list, "one", 3, -1);
    XAddList(list, "\x01\x02", 2, -1);
    ASSERT_EQ(XSaveList(list, path("saved").c_str()), 1);
    XDestroyList(list);
    Json saved = ParseJson(zaxx({"list", "dump", path("saved"), "--json"}).out);
    EXPECT_EQ(saved["count"].i(), 2);
    EXPECT_EQ(saved["elements"][1]["hex"].text, "0102");
    for (const std::string &bad : {std::string("short"), std::string("\x10\0\0\0\x05\0\0\0\x30\0\0\0xyz", 16)}) {
        WriteFile(path("bad"), bad);
        r = zaxx({"list", "dump", path("bad")});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err.rfind("zaxx: saved list " + path("bad") + ": X", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    r = zaxx({"list", "show", "0x5003"});  // a plain segment
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zaxx: list 0x00005003: the segment holds no global list\n");
    r = zaxx({"list", "show", "0x5009"});
    EXPECT_EQ(r.err, "zaxx: list 0x00005009: no such list in " + rundir_ + "\n");
}

// ---------------------------------------------------------------------------
// gc

TEST_F(Zaxx, GcNeverRemovesWhatALiveProcessUses) {
    zaxtest::OmikinitService service(rundir_);
    hold_objects(0x6000, false);
    // Everything but the service's lock, which no exchange holds now.
    auto names = [this] {
        std::set<std::string> n;
        for (const auto &e : std::filesystem::directory_iterator(rundir_)) n.insert(e.path().filename());
        n.erase("MUTEX_ZAX_OMIKINIT");
        return n;
    };
    zaxx({"ls"});  // its own files in the directory come first
    const std::set<std::string> before = names();
    // 9 objects, the service's socket, pid and table files, the helper's and zaxx's files
    EXPECT_EQ(before.size(), 16u);
    Result r = zaxx({"gc"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "removed lock MUTEX_ZAX_OMIKINIT: used by no process\n");
    EXPECT_EQ(names(), before);
}

TEST_F(Zaxx, GcRemovesEveryKindOfDeadObject) {
    zaxtest::OmikinitService service(rundir_);
    hold_objects(0x7000, true);
    const std::vector<std::string> dead{"ZAXEVT00007001.ev", "ZAXLOCK00007002.lck", "00007003", "00007004",
                                        "ZAXLOCK00007004.lck", "00007004.load"};
    Json dry = ParseJson(zaxx({"gc", "--dry-run", "--json"}).out);
    std::set<std::string> kinds;
    for (const Json &o : dry["removed"].items) kinds.insert(o["kind"].text);
    EXPECT_EQ(kinds, (std::set<std::string>{"event", "lock", "segment", "list", "pipe", "record"}));
    for (const std::string &n : dead) EXPECT_EQ(access(path(n).c_str(), F_OK), 0) << "dry run removed " << n;

    Result r = zaxx({"gc"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const std::string &n : dead) {
        EXPECT_NE(access(path(n).c_str(), F_OK), 0) << n << " stayed";
        EXPECT_NE(r.out.find(n), std::string::npos) << r.out;
    }
    EXPECT_EQ(r.out.find("removed pipe .zaxfifo") != std::string::npos, true) << r.out;
    // The segments' vector-table entries went with them: the keys are free.
    EXPECT_NE(r.out.find("reset vector-table entry 00007003"), std::string::npos) << r.out;
    EXPECT_EQ(XGetVectorTable("00007003"), 0u);
    EXPECT_EQ(XGetLastError(nullptr), X_E_XGetVectorTableEx_NO_ENTRY);
    // Only the service's lock, which gc's own exchanges with the service made again.
    Json stale = ParseJson(zaxx({"status", "--json"}).out)["stale"];
    ASSERT_EQ(stale.items.size(), 1u);
    EXPECT_EQ(stale[0]["name"].text, "MUTEX_ZAX_OMIKINIT");
}

TEST_F(Zaxx, TheServiceSweepsAtStartAndForgetsTheDeadSegments) {
    std::vector<std::string> dead{"ZAXEVT00007001.ev", "ZAXLOCK00007002.lck", "00007003", "00007004",
                                  "ZAXLOCK00007004.lck", "00007004.load"};
    {
        zaxtest::OmikinitService first(rundir_);
        ASSERT_TRUE(first.ready());
        hold_objects(0x7000, true);
        hold_objects(0x9000, false);
        for (const std::string &n : dead) ASSERT_EQ(access(path(n).c_str(), F_OK), 0) << n;
        ASSERT_EQ(first.stop(), 0);
    }
    const std::string log = path("omikinit.log");
    zaxtest::OmikinitService second(rundir_, {"--log", log});
    ASSERT_TRUE(second.ready());
    for (const std::string &n : dead) EXPECT_NE(access(path(n).c_str(), F_OK), 0) << n << " stayed";
    for (const char *n : {"ZAXEVT00009001.ev", "ZAXLOCK00009002.lck", "00009003", "00009004"})
        EXPECT_EQ(access(path(n).c_str(), F_OK), 0) << "removed " << n << ", which a live process uses";
    const std::string logged = ReadFile(log);
    EXPECT_NE(logged.find("removed list 00007004: used by no process"), std::string::npos) << logged;
    // The dead segments' keys are free again; the live ones keep theirs.
    EXPECT_EQ(XGetVectorTable("00007003"), 0u);
    EXPECT_EQ(XGetLastError(nullptr), X_E_XGetVectorTableEx_NO_ENTRY);
    EXPECT_EQ(XGetVectorTable("00007004"), 0u);
    EXPECT_NE(XGetVectorTable("00009003"), 0u);
}

TEST_F(Zaxx, GcByAnotherUserKeepsWhatProcessesItCannotLookIntoMayUse) {
    if (!zaxtest::IsRoot()) GTEST_SKIP() << "plays a second user: needs root";
    // A directory of the machine mode, where every user may use every object.
    chmod(rundir_.c_str(), 0711);
    const std::string shared = path("shared");
    mkdir(shared.c_str(), 0);
    chmod(shared.c_str(), 01777);
    setenv("ZAXXLIB_RUNDIR", shared.c_str(), 1);
    setenv("ZAXXLIB_SHARING", "machine", 1);
    zaxtest::OmikinitService service(shared);
    ASSERT_TRUE(service.ready());
    hold_objects(0x8000, false);
    auto names = [&] {
        std::set<std::string> n;
        for (const auto &e : std::filesystem::directory_iterator(shared)) n.insert(e.path().filename());
        return n;
    };
    const std::set<std::string> before = names();
    const uint32_t stranger = zaxtest::StrangerId(0);
    int rc = zaxtest::RunAs(stranger, stranger, [] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(ZAX_ZAXX_PATH, "zaxx", "gc", static_cast<char *>(nullptr));
        return 127;
    });
    EXPECT_EQ(rc, 0);
    // The stranger cannot look into root's processes, which may use them all.
    EXPECT_EQ(names(), before);

    // Nor when /proc hides them altogether (hidepid, as in the service's
    // unit): the stranger then sees no process that uses the objects.
    const std::string report = path("hidden.json");
    rc = zaxtest::RunAs(0, 0, [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=invisible") != 0)
            return 77;
        int out = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        return zaxtest::RunAs(stranger, stranger, [] {
            execl(ZAX_ZAXX_PATH, "zaxx", "gc", "--dry-run", "--json", static_cast<char *>(nullptr));
            return 127;
        });
    });
    unsetenv("ZAXXLIB_SHARING");
    if (rc == 77) GTEST_SKIP() << "cannot mount /proc with hidepid here";
    EXPECT_EQ(rc, 0);
    Json dry = ParseJson(ReadFile(report));
    for (const Json &o : dry["removed"].items) ADD_FAILURE() << "would remove " << o["name"].text;
}

// ---------------------------------------------------------------------------
// err, vector, usage

TEST_F(Zaxx, ErrDecodesEveryFunctionCodeAndReason) {
    Result r = zaxx({"err", "0x780006", "2", "1"});
    EXPECT_EQ(r.out,
              "XOpenFile: the parameter file cannot be opened (or, for writing, locked); detail ENOENT "
              "(No such file or directory)\n");
    EXPECT_EQ(zaxx({"err", "0x780001", "3"}).out,
              "XOpenFile: the name or the open flags are invalid; detail 3 (argument 3: flags invalid)\n");
    EXPECT_EQ(zaxx({"err", "0x100004", "ENOENT"}).out,
              "XGlobalPostEvent: the receiving process's event pipe cannot be reached; detail ENOENT (No such "
              "file or directory)\n");
    Json j = ParseJson(zaxx({"err", "--json", "0x7A0001"}).out);
    EXPECT_EQ(j["function"].text, "XReadFile");
    EXPECT_EQ(j["name"].text, "SHORT_READ");
    // Every function code of the installed header names its function.
    const std::vector<std::pair<uint32_t, std::string>> fns = {
#define ZAX_FN(name, code, also) {code, #name},
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
    };
    for (const auto &[code, name] : fns) {
        char c[16];
        std::snprintf(c, sizeof c, "0x%X", code);
        r = zaxx({"err", c});
        EXPECT_EQ(r.code, 0) << name;
        EXPECT_EQ(r.out.rfind(name + ": function code " + c, 0), 0u) << r.out;
    }
    r = zaxx({"err", "0x780009"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zaxx: 0x780009: XOpenFile: reason 9, which XOpenFile does not record\n");
}

TEST_F(Zaxx, VectorTableThroughTheServiceAndWithoutIt) {
    {
        zaxtest::OmikinitService service(rundir_);
        ASSERT_EQ(zaxx({"vector", "set", "MYNAME", "0x10", "20"}).code, 0);
        EXPECT_EQ(zaxx({"vector", "get", "MYNAME"}).out, "MYNAME: first 0x00000010 (16), second 0x00000014 (20)\n");
        ASSERT_EQ(zaxx({"vector", "set", "OTHER", "1", "2"}).code, 0);
        ASSERT_EQ(service.stop(), 0);
        // The listing reads the table the service left.
        EXPECT_EQ(Masked(zaxx({"vector"}).out),
                  "NAME  FIRST  SECOND  UID\n"
                  "MYNAME  0x00000010  0x00000014  " + std::to_string(geteuid()) + "\n"
                  "OTHER  0x00000001  0x00000002  " + std::to_string(geteuid()) + "\n");
        Json all = ParseJson(zaxx({"vector", "--json"}).out);
        ASSERT_EQ(all.items.size(), 2u);
        EXPECT_EQ(all[1]["name"].text, "OTHER");
        EXPECT_EQ(all[1]["second"].i(), 2);
        zaxtest::OmikinitService again(rundir_);
        ASSERT_TRUE(again.ready());
        ASSERT_EQ(zaxx({"vector", "reset", "MYNAME"}).code, 0);
        Result r = zaxx({"vector", "get", "MYNAME"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "zaxx: vector-table entry MYNAME: no such entry\n");
    }
    Result r = zaxx({"vector", "get", "MYNAME"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zaxx: initiator service of " + rundir_ + ": not running\n");
    const std::string table = path("ZAX_OMIKINIT.table");
    WriteFile(table, "not a table");
    r = zaxx({"vector"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zaxx: vector table " + table + ": not a whole table\n");
    EXPECT_EQ(ReadFile(table), "not a table");
    EXPECT_FALSE(ParseJson(zaxx({"status", "--json"}).out)["initiator"]["running"].b);
}

TEST_F(Zaxx, UsageErrorsExitWithTwoAndBadDirectoriesWithOne) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"nosuch"},
                                               {"ls", "bogus"},
                                               {"list"},
                                               {"list", "show"},
                                               {"list", "show", "zz"},
                                               {"err"},
                                               {"err", "0x780001", "1", "7"},
                                               {"conv", "latin9", "ascii"},
                                               {"conv", "sjis", "ascii"},
                                               {"date", "check", "1.2.3"},
                                               {"vector", "set", "TOOLONGNAME", "1", "2"},
                                               {"reg", "--hive", "nowhere", "ls"},
                                               {"gc", "--bogus"}}) {
        Result r = zaxx(args);
        EXPECT_EQ(r.code, 2) << testing::PrintToString(args) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(zaxx({"--help"}).code, 0);
    EXPECT_EQ(zaxx({"list", "show", "--help"}).code, 0);

    // Every command that looks into the directory, or makes objects in it.
    for (const std::string &dir : {path("missing"), path(".in")}) {
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"ls"}, {"status"}, {"gc"}, {"list", "show", "5"}, {"list", "clear", "5"},
                 {"post", "1", "5"}, {"wait", "5", "--timeout", "0"}}) {
            std::vector<std::string> a{"--rundir", dir};
            a.insert(a.end(), args.begin(), args.end());
            Result r = zaxx(a);
            EXPECT_EQ(r.code, 1) << args[0];
            EXPECT_EQ(r.err.rfind("zaxx: run-time directory " + dir + ": ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_NE(access(path("missing").c_str(), F_OK), 0) << "zaxx made the directory";
}

// ---------------------------------------------------------------------------
// Registry and parameter files

TEST_F(Zaxx, RegistryExportImportsBackUnchanged) {
    // A hive that holds nothing yet is empty, not missing; a key in it is.
    EXPECT_EQ(zaxx({"reg", "ls"}).out, "registry user: no keys and no values\n");
    EXPECT_EQ(zaxx({"reg", "export"}).out, "# zaxx registry export, user hive\n");
    EXPECT_EQ(zaxx({"reg", "ls", "App"}).err, "zaxx: registry user\\App: no such key\n");
    ASSERT_EQ(XWriteRegStrEx(HKEY_CURRENT_USER, "App", "Sub\\Deep", "text", "quote \" percent % tab\t", 22), 22);
    ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "App", "Sub", "count", -12), 1);
    ASSERT_EQ(XWriteRegIntEx(HKEY_CURRENT_USER, "Other", nullptr, "x", 7), 1);
    ASSERT_EQ(zaxx({"reg", "set", "App/Empty\\Key", "v", "w"}).code, 0);
    ASSERT_EQ(zaxx({"reg", "del", "App/Empty/Key", "v"}).code, 0);
    Result user = zaxx({"reg", "export"});
    ASSERT_EQ(user.code, 0) << user.err;
    Result imported = zaxx({"reg", "import", "--hive", "machine"}, user.out);
    ASSERT_EQ(imported.code, 0) << imported.err;
    Result machine = zaxx({"reg", "--hive", "machine", "export"});
    auto body = [](const std::string &s) { return s.substr(s.find('\n') + 1); };
    EXPECT_EQ(body(machine.out), body(user.out));
    EXPECT_NE(user.out.find("[App\\Empty\\Key]\n"), std::string::npos) << user.out;
    EXPECT_EQ(zaxx({"reg", "--hive", "machine", "get", "App\\Sub", "count"}).out, "-12\n");

    // A bad line changes nothing; neither does a damaged database.
    Result bad = zaxx({"reg", "import"}, "[New]\n\"a\" = int 1\n\"b\" = float 2\n");
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.err, "zaxx: standard input line 3: the type is int or string\n");
    EXPECT_EQ(zaxx({"reg", "export"}).out, user.out);
    // (The machine hive: only zaxx, which closes it, has had it open.)
    WriteFile(path("registry/machine.db"), std::string(4096, 'x'));
    Result damaged = zaxx({"reg", "--hive", "machine", "ls", "App"});
    EXPECT_EQ(damaged.code, 1);
    EXPECT_EQ(damaged.err.rfind("zaxx: registry machine\\App: XOpenRegistry: ", 0), 0u) << damaged.err;
    EXPECT_NE(damaged.err.find("(SQLite 26: the file is not a database)"), std::string::npos) << damaged.err;
    EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 1);
    for (const std::vector<std::string> &change :
         {std::vector<std::string>{"reg", "--hive", "machine", "set", "App", "v", "1"},
          {"reg", "--hive", "machine", "del", "App"}, {"reg", "import", "--hive", "machine"}}) {
        Result r = zaxx(change, "[App]\n\"v\" = int 1\n");
        EXPECT_EQ(r.code, 1) << change[3] << ": " << r.err;
    }
    EXPECT_TRUE(ReadFile(path("registry/machine.db")) == std::string(4096, 'x'));
}

TEST_F(Zaxx, ParameterFilesAreReadWrittenAndChecked) {
    const std::string file = path("app.ini");
    WriteFile(file,
              "MAIN :\n"
              "  NAME = server ; a comment\n"
              "  PATH = /opt/my app\n"
              "Note: the next section is new\n"
              "  LONG = \"first\" @\n"
              "  OTHER = 1\n"
              "= dangling\n"
              "= stray\n"
              "MAIN :\n");
    EXPECT_EQ(zaxx({"parm", "ls", file}).out, "MAIN\nNote\n");
    EXPECT_EQ(zaxx({"parm", "get", file, "MAIN", "NAME"}).out, "server\n");
    Result r = zaxx({"parm", "check", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, file + ":3: the value of PATH is /opt/my; what follows the blank is ignored (quote a value with blanks)\n" +
                         file + ":4: reads as the header of section Note; the text after ':' is ignored\n" + file +
                         ":5: key LONG ends in '@' but no continuation line ('=' ...) follows\n" + file +
                         ":7: a continuation line ('=' ...) that no '@' asks for: it is ignored\n" + file +
                         ":8: a continuation line ('=' ...) that no '@' asks for: it is ignored\n" + file +
                         ":9: section MAIN again: only its first header is read\n");
    ASSERT_EQ(zaxx({"parm", "set", file, "MAIN", "PATH", "/opt/my app"}).code, 0);
    // A long value with a blank where the writer cuts it is refused.
    const std::string before = ReadFile(file);
    r = zaxx({"parm", "set", file, "MAIN", "LONG", std::string(60, 'a') + " " + std::string(60, 'b')});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(zaxx({"parm", "get", file, "MAIN", "PATH"}).out, "/opt/my app\n");
    Json entries = ParseJson(zaxx({"parm", "ls", file, "MAIN", "--json"}).out);
    ASSERT_EQ(entries.items.size(), 2u);
    EXPECT_EQ(entries[1]["value"].text, "/opt/my app");
    r = zaxx({"parm", "get", file, "MAIN", "NOPE"});
    EXPECT_EQ(r.err, "zaxx: parameter file " + file + " section MAIN: no key NOPE\n");
    r = zaxx({"parm", "ls", path("none.ini")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("zaxx: parameter file " + path("none.ini") + ": XOpenFile: ", 0), 0u) << r.err;
}

// ---------------------------------------------------------------------------
// Conversion, dates, events

TEST_F(Zaxx, ConversionsRoundTripAndReportWhatHadNoCounterpart) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[size_t(i)] = char(i);
    WriteFile(path("all"), all);
    for (const std::string code : {"ebcdic:1", "ebcdic:2", "utf16le"}) {
        Result there = zaxx({"conv", "ascii", code, path("all"), path("there"), "--report", "--json"});
        ASSERT_EQ(there.code, 0) << there.err;
        Json report = ParseJson(there.out);
        Result back = zaxx({"conv", code, "ascii", path("there"), path("back")});
        ASSERT_EQ(back.code, 0) << back.err;
        const std::string round = ReadFile(path("back"));
        ASSERT_EQ(round.size(), 256u);
        // Every byte with a counterpart comes back; the report names those without.
        std::vector<int> changed;
        for (int i = 0; i < 256; ++i)
            if (round[size_t(i)] != all[size_t(i)]) changed.push_back(i);
        EXPECT_EQ(report["replaced"].i(), int64_t(changed.size())) << code;
        for (size_t i = 0; i < report["first_positions"].items.size(); ++i)
            EXPECT_EQ(report["first_positions"][i].i(), changed.at(i)) << code;
    }
    // Shift-JIS with kanji, hiragana and half-width katakana, through EUC and
    // the IBM host code and back, over many lines converted in blocks.
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "LINE " + std::to_string(i) + " \x82\xa0\x8a\xbf\x8e\x9a \xb1\xb2 END\n";
    WriteFile(path("sjis"), text);
    for (const std::string via : {"euc", "host-ibm:2"}) {
        ASSERT_EQ(zaxx({"conv", "sjis", via, path("sjis"), path("via")}).code, 0) << via;
        Result back = zaxx({"conv", via, "sjis", path("via")});
        ASSERT_EQ(back.code, 0) << back.err;
        EXPECT_TRUE(back.out == text) << via;
    }
    EXPECT_EQ(ReadFile(path("via")).find('\x0e'), 7u) << "the host code's shift-out";
    // A failure leaves the output file as it was.
    WriteFile(path("out"), "old");
    WriteFile(path("cut"), "abc \x82");
    Result r = zaxx({"conv", "sjis", "euc", path("cut"), path("out")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(ReadFile(path("out")), "old");
}

TEST_F(Zaxx, DatesArePackedCheckedAndShifted) {
    EXPECT_EQ(zaxx({"date", "pack", "2024-12-31", "23:59:58.5"}).out, "2024366F 23595850\n");
    EXPECT_EQ(zaxx({"date", "unpack", "2024366F"}).out, "2024-12-31\n");
    EXPECT_EQ(zaxx({"date", "unpack", "--time", "23595850"}).out, "23:59:58.500000\n");
    EXPECT_EQ(zaxx({"date", "shift", "2024-02-28", "2"}).out, "2024-03-01\n");
    EXPECT_EQ(zaxx({"date", "shift", "02/28/24", "1", "--layout", "3"}).out, "02/29/24\n");
    Result r = zaxx({"date", "check", "2023-02-29"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zaxx: date 2023-02-29: XCheckDate: the date does not exist; detail 3 (day)\n");
    EXPECT_EQ(zaxx({"date", "unpack", "2024000A"}).code, 1);
    EXPECT_EQ(ParseJson(zaxx({"date", "now", "--json"}).out)["text"].text.size(), 26u);
}

TEST_F(Zaxx, PostReachesAWaitingProcess) {
    const std::string out = path("wait.out");
    const int out_fd = create(out);
    pid_t pid = zaxtest::Spawn({ZAX_ZAXX_PATH, "wait", "0x1234", "--timeout", "20000"}, {-1, out_fd, -1});
    close(out_fd);
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 1000 && ReadFile(out).empty(); ++i) usleep(10000);
    EXPECT_EQ(ReadFile(out), "waiting for event 0x00001234 in process " + std::to_string(pid) + "\n");
    Result r = zaxx({"post", std::to_string(pid), "1234"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(zaxtest::WaitHelper(pid), 0);
    EXPECT_EQ(ReadFile(out).substr(ReadFile(out).find('\n') + 1), "posted\n");
    r = zaxx({"post", std::to_string(pid), "1234"});  // gone now
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("zaxx: event 0x00001234 of process " + std::to_string(pid) + ": XGlobalPostEvent: ", 0), 0u)
        << r.err;
}

TEST_F(Zaxx, TraceShowsTheLevelsOfEveryBinding) {
    WriteFile(path("XTORASYS"),
              "XTORASYS :\n  TRACE = 4\n  DUMP = 1\n  BINDINGS = FIRST\n"
              "FIRST :\n  ID = net\n  TRACE = 2\n  BINDINGS = SECOND\n"
              "SECOND :\n  ID = disk\n  DUMP = 1\n  BINDINGS = NONE\n"
              "TIME :\n  TIMEOUT = 250\n");
    setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    Json j = ParseJson(zaxx({"trace", "--json"}).out);
    unsetenv("ZAXXLIB_XSYSTEM");
    EXPECT_TRUE(j["found"].b);
    EXPECT_EQ(j["lock_timeout_ms"].i(), 250);
    EXPECT_EQ(j["trace_level"].i(), 4);
    EXPECT_EQ(j["dump_level"].i(), 1);
    ASSERT_EQ(j["bindings"].items.size(), 2u);
    EXPECT_EQ(j["bindings"][0]["id"].text, "net");
    EXPECT_EQ(j["bindings"][0]["trace_level"].i(), 2);
    EXPECT_EQ(j["bindings"][1]["dump_level"].i(), 1);
}

TEST_F(Zaxx, CompletionAndManualPageKnowEveryCommand) {
    const std::string help = zaxx({"--help"}).out;
    const std::string script = ReadFile(ZAX_ZAXX_SOURCE_DIR "/zaxx.bash");
    const std::string manual = ReadFile(ZAX_ZAXX_SOURCE_DIR "/zaxx.1");
    const size_t list = script.find("commands=\"") + 10;
    const std::string completed = " " + script.substr(list, script.find('"', list) - list) + " ";
    std::istringstream lines(help.substr(help.find("Subcommands:")));
    std::string line;
    std::getline(lines, line);
    int commands = 0;
    while (std::getline(lines, line) && line.size() > 2) {
        std::string name = line.substr(2, line.find(' ', 2) - 2);
        ++commands;
        EXPECT_NE(completed.find(" " + name + " "), std::string::npos) << name << " is not completed";
        EXPECT_TRUE(std::regex_search(manual, std::regex("\\n\\.B[RI]? \"?" + name + "[ \"\\n]")))
            << name << " is not in the manual page";
    }
    EXPECT_EQ(commands, 14);
    // The completion itself, in bash.
    const std::string cmd = "bash -c 'source " ZAX_ZAXX_SOURCE_DIR "/zaxx.bash; COMP_WORDS=(zaxx li); COMP_CWORD=1; "
                            "_zaxx; echo ${COMPREPLY[*]}; COMP_WORDS=(zaxx list s); COMP_CWORD=2; _zaxx; "
                            "echo ${COMPREPLY[*]}' > " + path("completion");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(ReadFile(path("completion")), "list\nshow\n");
}

}  // namespace
