// Lists whose operation ends at any step: the process (global lists) or the
// thread (local lists) ends at each crash point of an operation in turn, and
// the next holder of the list lock finds the list with or without the
// operation's change, never damaged.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "os/crash.h"
#include "xlist.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

using Texts = std::vector<std::string>;
using Op = std::function<void(XHANDLE)>;

const Texts kBefore{"a", "bb", "ccc"};

struct Case {
    const char *what;
    Op op;
    Texts after;
};

// The operations and what each leaves when it completes.
std::vector<Case> cases(const std::string &file) {
    auto add = [](int32_t pos) { return [pos](XHANDLE l) { XAddList(l, "new", 3, pos); }; };
    auto remove = [](int32_t pos) { return [pos](XHANDLE l) { XRemoveList(l, nullptr, 0, pos); }; };
    return {
        {"add first", add(0), {"new", "a", "bb", "ccc"}},
        {"add in the middle", add(2), {"a", "new", "bb", "ccc"}},
        {"add last", add(-1), {"a", "bb", "ccc", "new"}},
        {"remove first", remove(0), {"bb", "ccc"}},
        {"remove in the middle", remove(2), {"a", "ccc"}},
        {"remove last", remove(-1), {"a", "bb"}},
        {"load", [file](XHANDLE l) { XLoadList(l, file.c_str()); }, {"x", "yy"}},
    };
}

class ListCrash : public ZaxTest {
protected:
    static Texts contents(XHANDLE l) {
        Texts out;
        int32_t n = XGetListNumT(l, 5000);
        for (int32_t i = 1; i <= n; ++i) {
            char buf[64];
            int32_t size = XPeekList(l, buf, sizeof buf, i);
            out.emplace_back(buf, size_t(size > 0 ? size : 0));
        }
        return out;
    }
    // Empties l and adds texts; in a global list they come after a hole, so
    // that their words are not those that a load fills.
    static void fill(XHANDLE l, const Texts &texts) {
        while (XGetListNum(l) > 0) ASSERT_EQ(XRemoveList(l, nullptr, 0, 0), 1);
        ASSERT_EQ(XAddList(l, "hole-hole-hole", 14, -1), 1);
        for (const auto &t : texts) ASSERT_EQ(XAddList(l, t.data(), uint32_t(t.size()), -1), 1);
        ASSERT_EQ(XRemoveList(l, nullptr, 0, 0), 1);
    }
    // The list after a holder ended: its lock is taken (which repairs it)
    // and its invariants hold.
    static void expect_sound(XHANDLE l) {
        ASSERT_EQ(X_lock_list(l), 1);
        const char *why = "";
        EXPECT_TRUE(zax::list_sound(static_cast<zax::ListHandle *>(l), &why)) << why;
        EXPECT_EQ(X_unlock_list(l), 1);
    }
    // ... and it is one of the two states.
    static void expect_whole(XHANDLE l, const Texts &before, const Texts &after) {
        expect_sound(l);
        Texts now = contents(l);
        std::string seen;
        for (const auto &t : now) seen += "[" + t + "]";
        EXPECT_TRUE(now == before || now == after) << seen;
    }
    // Names of the crash points that op passes, counted in this process.
    static std::vector<std::string> steps(const std::function<void()> &op) {
        zax::os::crash_count();
        op();
        int n = zax::os::crash_points();
        zax::os::crash_arm(0);
        std::vector<std::string> names;
        for (int i = 1; i <= n; ++i) {
            const char *name = zax::os::crash_step(i);
            names.emplace_back(name != nullptr ? name : "?");
        }
        return names;
    }
    // Runs prepare, then op in a child process that is killed at op's
    // step-th crash point; true when it was killed there.
    static bool die_at(int step, const std::function<void()> &op,
                       const std::function<void()> &prepare = {}) {
        pid_t pid = fork();
        if (pid == 0) {
            if (prepare) prepare();
            zax::os::crash_arm(step);
            op();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    void save(const Texts &texts, const std::string &file) {
        XHANDLE l = XCreateList(0, 0, 0);
        fill(l, texts);
        ASSERT_EQ(XSaveList(l, file.c_str()), 1);
        XDestroyList(l);
    }
    Texts loaded(const std::string &file) {
        XHANDLE l = XCreateList(0, 0, 0);
        Texts t = XLoadList(l, file.c_str()) == 1 ? contents(l) : Texts{"(does not load)"};
        XDestroyList(l);
        return t;
    }
    // A file's size; 0 also when there is none.
    off_t size_of(const std::string &name) const {
        struct stat st;
        return stat(path(name).c_str(), &st) == 0 ? st.st_size : 0;
    }
};

TEST_F(ListCrash, AGlobalListKeepsOrLosesTheChangeAtEveryStep) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    std::string file = path("new.lst");
    save({"x", "yy"}, file);
    XHANDLE g = XCreateGlobalList(400, 0x5151, 0);
    ASSERT_NE(g, nullptr);
    for (const Case &c : cases(file)) {
        SCOPED_TRACE(c.what);
        fill(g, kBefore);
        std::vector<std::string> names = steps([&] { c.op(g); });
        EXPECT_GE(names.size(), 3u);
        EXPECT_EQ(contents(g), c.after);
        for (size_t step = 1; step <= names.size(); ++step) {
            SCOPED_TRACE(names[step - 1]);
            fill(g, kBefore);
            ASSERT_TRUE(die_at(int(step), [&] { c.op(g); }));
            expect_whole(g, kBefore, c.after);
            EXPECT_EQ(size_of("00005151.load"), 0);  // no load record left
            // The list goes on working from there.
            ASSERT_EQ(XAddList(g, "z", 1, 2), 1);
            ASSERT_EQ(XRemoveList(g, nullptr, 0, 0), 1);
            expect_sound(g);
        }
    }
    EXPECT_EQ(XDestroyGlobalList(g), 1);
}

TEST_F(ListCrash, ALocalListKeepsOrLosesTheChangeWhenItsThreadEnds) {
#if defined(__SANITIZE_ADDRESS__)
    // Blocks of a change that an ended thread left half done are lost by
    // design, whichever thread allocated them.
    __lsan::ScopedDisabler lost_by_design;
#endif
    static thread_local std::jmp_buf jump;
    std::string file = path("new.lst");
    save({"x", "yy"}, file);
    XHANDLE l = XCreateList(0, 0, 0);
    ASSERT_NE(l, nullptr);
    // A thread that ends at a crash point, holding the list lock, as a
    // killed library thread does.
    auto end_at = [&](int step, const Op &op) {
        bool ended = false;
        std::thread t([&] {
#if defined(__SANITIZE_ADDRESS__)
            __lsan_disable();  // the same for this thread's own blocks
#endif
            if (setjmp(jump) == 0) {
                zax::os::crash_arm(step, [] { std::longjmp(jump, 1); });
                op(l);
                zax::os::crash_arm(0);
            } else {
                ended = true;
            }
        });
        t.join();
        return ended;
    };
    // A thread that ends inside a load keeps the file open and locked: each
    // step gets a new file under the name.
    const std::string bytes = ReadFile(file);
    auto renew = [&] {
        WriteFile(file + ".tmp", bytes);
        ASSERT_EQ(std::rename((file + ".tmp").c_str(), file.c_str()), 0);
    };
    for (const Case &c : cases(file)) {
        SCOPED_TRACE(c.what);
        fill(l, kBefore);
        std::vector<std::string> names = steps([&] { c.op(l); });
        for (size_t step = 1; step <= names.size(); ++step) {
            SCOPED_TRACE(names[step - 1]);
            fill(l, kBefore);
            renew();
            ASSERT_TRUE(end_at(int(step), c.op));
            expect_whole(l, kBefore, c.after);
        }
    }
    // Blocks of a change that a thread left half done may be lost, never
    // freed twice: the list empties and goes.
    EXPECT_EQ(XDestroyList(l), 1);
}

TEST_F(ListCrash, ASaveLeavesTheOldFileOrTheNewOne) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    std::string file = path("saved.lst");
    XHANDLE g = XCreateGlobalList(400, 0x5152, 0);
    ASSERT_NE(g, nullptr);
    fill(g, kBefore);
    auto op = [&] { XSaveGlobalList(g, file.c_str()); };
    save({"old"}, file);
    std::vector<std::string> names = steps(op);
    ASSERT_GE(names.size(), 3u);
    for (size_t step = 1; step <= names.size(); ++step) {
        SCOPED_TRACE(names[step - 1]);
        save({"old"}, file);
        ASSERT_TRUE(die_at(int(step), op));
        Texts now = loaded(file);
        EXPECT_TRUE(now == Texts{"old"} || now == kBefore) << now[0];
        expect_whole(g, kBefore, kBefore);
    }
    EXPECT_EQ(XDestroyGlobalList(g), 1);
}

TEST_F(ListCrash, CreatingAndLeavingAGlobalListEndAtAnyStep) {
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    // A creator that dies at any step leaves no list, or an empty one that
    // the next creator attaches to.
    uint32_t key = 0x5200;
    XHANDLE first = nullptr;
    std::vector<std::string> names = steps([&] { first = XCreateGlobalList(400, key, 0); });
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(XDestroyGlobalList(first), 1);
    for (size_t step = 1; step <= names.size(); ++step) {
        SCOPED_TRACE(names[step - 1]);
        uint32_t k = ++key;
        die_at(int(step), [&] { XCreateGlobalList(400, k, 0); });
        XHANDLE g = XCreateGlobalList(400, k, 0);
        ASSERT_NE(g, nullptr);
        expect_whole(g, {}, {});  // empty
        ASSERT_EQ(XAddGlobalList(g, "a", 1, -1), 1);
        EXPECT_EQ(contents(g), Texts{"a"});
        EXPECT_EQ(XDestroyGlobalList(g), 1);
    }
    // One that dies while leaving takes nothing from those who stay.
    XHANDLE g = XCreateGlobalList(400, 0x5300, 0);
    ASSERT_NE(g, nullptr);
    fill(g, kBefore);
    XHANDLE mine = nullptr;
    auto attach = [&] { mine = XCreateGlobalList(400, 0x5300, 0); };
    for (int step = 1;; ++step) {
        if (!die_at(step, [&] { XDestroyGlobalList(mine); }, attach)) break;
        expect_whole(g, kBefore, kBefore);
    }
    EXPECT_EQ(XDestroyGlobalList(g), 1);
}

}  // namespace
