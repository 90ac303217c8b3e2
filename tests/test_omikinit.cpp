// The initiator service as a program: its command line, pid file, status and
// stop; its table across restarts and failed writes; many clients at once;
// and whatever else may sit under its socket's name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "OMIKINIT/omikextn.h"
#include "os/sock.h"
#include "zaxtest.h"

using namespace zaxtest;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class Omikinit : public ZaxTest {
protected:
    void TearDown() override {
        zax::omik::reply_wait_ms = zax::omik::kReplyWaitMs;
        ZaxTest::TearDown();
    }

    // Runs omikinit with args to its end (a daemon: until it has detached).
    Outcome run(const std::vector<std::string> &args) {
        Outcome r;
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
        std::vector<std::string> a{OmikinitPath()};
        a.insert(a.end(), args.begin(), args.end());
        pid_t pid = Spawn(a, {-1, out[1], err[1]});
        close(out[1]);
        close(err[1]);
        if (pid > 0) r.status = WaitHelper(pid);
        r.out = Drain(out[0]);
        r.err = Drain(err[0]);
        return r;
    }
    Outcome run_here(const std::string &what) { return run({"--rundir", rundir_, what}); }

    std::string log() { return ReadFile(path("omik.log")); }
    std::vector<std::string> with_log() { return {"--log", path("omik.log")}; }

    static bool contains(const std::string &s, const std::string &part) {
        return s.find(part) != std::string::npos;
    }
    bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }
};

TEST_F(Omikinit, CommandLine) {
    Outcome r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("omikinit (zaxxlib) ", 0), 0u) << r.out;
    for (const char *help : {"-h", "--help"}) {
        r = run({help});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(contains(r.out, "usage: omikinit")) << r.out;
        EXPECT_EQ(r.err, "");
    }
    r = run({"--rundir", rundir_, "--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "unknown option '--bogus'")) << r.err;
    EXPECT_EQ(r.out, "");
    r = run({"--rundir"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "'--rundir' needs a value")) << r.err;
    EXPECT_EQ(run({"--status", "--stop"}).status, 2);
    EXPECT_EQ(run({"--foreground=yes"}).status, 2);
    EXPECT_FALSE(exists("ZAX_OMIKINIT"));  // no usage error started anything
}

TEST_F(Omikinit, PidFileStatusAndStop) {
    Outcome r = run_here("--status");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.out, "not running")) << r.out;
    // Asking about a directory that does not exist does not make it.
    EXPECT_EQ(run({"--rundir", path("none"), "--status"}).status, 3);
    EXPECT_EQ(run({"--rundir", path("none"), "--stop"}).status, 0);
    EXPECT_FALSE(exists("none"));

    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    const std::string pid = std::to_string(svc.pid());
    EXPECT_EQ(ReadFile(path("ZAX_OMIKINIT.pid")), pid + "\n");
    ASSERT_EQ(XSetVectorTable("ONE", 1, 1), 1);
    r = run_here("--status");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "pid " + pid + ", 1 entries")) << r.out;

    // A second service names the one that runs.
    r = run({"--foreground", "--rundir", rundir_});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "already running")) << r.err;
    EXPECT_TRUE(contains(r.err, "pid " + pid)) << r.err;

    // Stopped, it holds its pid file but does not answer; --stop still ends
    // it, cleanly.
    kill(svc.pid(), SIGSTOP);
    r = run_here("--status");
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.out, "does not answer")) << r.out;
    r = run_here("--stop");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "stopped pid " + pid)) << r.out;
    EXPECT_EQ(svc.wait_exit(), 0);
    EXPECT_FALSE(exists("ZAX_OMIKINIT"));
    EXPECT_FALSE(exists("ZAX_OMIKINIT.pid"));
    EXPECT_EQ(run_here("--stop").status, 0);  // nothing to stop

    // A service that died leaves its pid file, which --status reports and
    // the next service takes over.
    OmikinitService dies(rundir_);
    ASSERT_TRUE(dies.ready());
    kill(dies.pid(), SIGKILL);
    dies.wait_exit();
    r = run_here("--status");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "died")) << r.out;

    // In the background: the start returns once the socket is served. A
    // relative directory still means the one it named when it started.
    const std::string parent = rundir_.substr(0, rundir_.rfind('/'));
    ASSERT_EQ(chdir(parent.c_str()), 0);
    r = run({"--rundir", rundir_.substr(parent.size() + 1)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(XGetVectorTable("ONE"), 1u);
    ASSERT_EQ(XSetVectorTable("TWO", 2, 2), 1);
    EXPECT_NE(ReadFile(path("ZAX_OMIKINIT.table")).find("TWO"), std::string::npos);
    r = run_here("--status");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(run_here("--stop").status, 0);
    EXPECT_EQ(run_here("--status").status, 3);
}

TEST_F(Omikinit, InheritedDescriptorsAreClosed) {
    // Inheritable descriptors, as a careless parent leaves them, well above
    // any the service opens itself.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int high[2] = {fcntl(p[0], F_DUPFD, 200), fcntl(p[1], F_DUPFD, 200)};
    close(p[0]);
    close(p[1]);
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    for (int fd : high) {
        std::string link = "/proc/" + std::to_string(svc.pid()) + "/fd/" + std::to_string(fd);
        EXPECT_NE(access(link.c_str(), F_OK), 0) << link;
        close(fd);
    }
}

TEST_F(Omikinit, RestartKeepsTheTable) {
    {
        OmikinitService svc(rundir_);
        ASSERT_TRUE(svc.ready());
        ASSERT_EQ(XSetVectorTable("KEEP", 11, 12), 1);
        ASSERT_EQ(XSetVectorTable("GONE", 13, 14), 1);
        ASSERT_EQ(XSetVectorTable("KEEP", 21, 22), 1);
        ASSERT_EQ(XResetVectorTable("GONE"), 1);
        kill(svc.pid(), SIGKILL);  // no chance to write anything at the end
    }
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    uint32_t v[2] = {0, 0};
    EXPECT_EQ(XGetVectorTableEx("KEEP", v), 21u);
    EXPECT_EQ(v[1], 22u);
    EXPECT_EQ(XGetVectorTable("GONE"), 0u);
    EXPECT_LAST_ERROR(code(0x8d, 2), 0, 2);
}

TEST_F(Omikinit, ARestartDoesNotSplitALiveGlobalList) {
    auto svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    XHANDLE list = XCreateGlobalList(4096, 0x5E5E, 7);
    ASSERT_NE(list, nullptr);
    for (const char *e : {"a", "b", "c"}) ASSERT_EQ(XAddGlobalList(list, e, 1, -1), 1);
    kill(svc->pid(), SIGKILL);
    svc.reset();
    svc = std::make_unique<OmikinitService>(rundir_);
    ASSERT_TRUE(svc->ready());
    // A process that comes after the restart finds the same list.
    HelperResult r = RunHelper({"glist", "5E5E", "4096", "7", "add:d", "num"});
    EXPECT_EQ(r.out, "num 4\n");
    EXPECT_EQ(XGetGlobalListNum(list), 4);
    EXPECT_EQ(XDestroyGlobalList(list), 1);
}

TEST_F(Omikinit, TheTableFileIsNeverLostToAFailedWrite) {
    {
        OmikinitService svc(rundir_);
        ASSERT_TRUE(svc.ready());
        ASSERT_EQ(XSetVectorTable("OLD", 1, 2), 1);
    }
    // A write cut short by a crash leaves its temporary file, never a
    // damaged table.
    WriteFile(path("ZAX_OMIKINIT.table.new"), "half a tab");
    {
        OmikinitService svc(rundir_);
        ASSERT_TRUE(svc.ready());
        EXPECT_EQ(XGetVectorTable("OLD"), 1u);
        ASSERT_EQ(XSetVectorTable("NEW", 3, 4), 1);
        // A write that fails changes nothing, and the client is told.
        ASSERT_EQ(unlink(path("ZAX_OMIKINIT.table.new").c_str()), -1);  // left by no one
        ASSERT_EQ(mkdir(path("ZAX_OMIKINIT.table.new").c_str(), 0755), 0);
        EXPECT_EQ(XSetVectorTable("LOST", 5, 6), 0);
        EXPECT_LAST_ERROR(code(0x8c, 2), 0, 2);
        EXPECT_EQ(XResetVectorTable("OLD"), 0);
        EXPECT_LAST_ERROR(code(0x8e, 2), 0, 2);
        EXPECT_EQ(XSetVectorTable("NEW", 7, 8), 0);
        EXPECT_EQ(XGetVectorTable("LOST"), 0u);
        EXPECT_EQ(XGetVectorTable("OLD"), 1u);
        EXPECT_EQ(XGetVectorTable("NEW"), 3u);
        ASSERT_EQ(rmdir(path("ZAX_OMIKINIT.table.new").c_str()), 0);
    }
    {
        OmikinitService svc(rundir_);
        ASSERT_TRUE(svc.ready());
        EXPECT_EQ(XGetVectorTable("OLD"), 1u);
        EXPECT_EQ(XGetVectorTable("NEW"), 3u);
        EXPECT_EQ(XGetVectorTable("LOST"), 0u);
    }
    // A damaged table is put aside for a person and the service starts
    // empty rather than trusting it.
    std::string table = ReadFile(path("ZAX_OMIKINIT.table"));
    table[table.size() / 2] ^= 1;
    WriteFile(path("ZAX_OMIKINIT.table"), table);
    OmikinitService svc(rundir_, with_log());
    ASSERT_TRUE(svc.ready());
    EXPECT_EQ(XGetVectorTable("OLD"), 0u);
    EXPECT_EQ(ReadFile(path("ZAX_OMIKINIT.table.bad")), table);
    EXPECT_TRUE(contains(log(), "not a whole table")) << log();
    EXPECT_EQ(XSetVectorTable("AFTER", 1, 1), 1);
}

TEST_F(Omikinit, IdleAndSlowClientsDelayNobody) {
    OmikinitService svc(rundir_, with_log());
    ASSERT_TRUE(svc.ready());
    // Ten connections that never send, and one that sends a byte at a time.
    std::vector<int> idle;
    for (int i = 0; i < 10; ++i) idle.push_back(raw_client());
    int slow = raw_client();
    ASSERT_EQ(write(slow, "x", 1), 1);
    // Served one after another, each of these would wait behind all of them
    // and run out of its reply wait.
    for (int i = 1; i <= 20; ++i) {
        ASSERT_EQ(XSetVectorTable("BUSY", uint32_t(i), 1), 1) << i;
        ASSERT_EQ(XGetVectorTable("BUSY"), uint32_t(i));
    }
    // The idle ones are dropped at the end of their exchange time.
    pollfd pfd{idle[0], POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 30000), 1);
    char c;
    EXPECT_EQ(read(idle[0], &c, 1), 0);
    for (int fd : idle) close(fd);
    close(slow);

    // More connections than the service keeps: the oldest of the user with
    // the most give way, and new clients are still served.
    for (int i = 0; i < 300; ++i) idle.push_back(raw_client());
    EXPECT_EQ(XSetVectorTable("MANY", 1, 1), 1);
    for (int fd : idle) close(fd);
    EXPECT_TRUE(contains(log(), "dropped: uid")) << log();
}

TEST_F(Omikinit, WhateverSquatsTheNamesIsReplacedNotObeyed) {
    // A listener that takes connections and never answers.
    int squatter = -1;
    ASSERT_EQ(zax::os::sock_listen(path("ZAX_OMIKINIT"), 8, &squatter), 0);
    {
        OmikinitService svc(rundir_, with_log());
        ASSERT_TRUE(svc.ready());
        EXPECT_EQ(XSetVectorTable("REAL", 1, 2), 1);
        EXPECT_TRUE(contains(log(), "does not answer in the protocol")) << log();
        EXPECT_TRUE(contains(log(), "replaced")) << log();
    }
    close(squatter);

    // Symbolic links under the socket's and the pid file's names, aimed at
    // a file of the victim: replaced, the file untouched.
    WriteFile(path("victim"), "precious");
    ASSERT_EQ(symlink(path("victim").c_str(), path("ZAX_OMIKINIT").c_str()), 0);
    ASSERT_EQ(symlink(path("victim").c_str(), path("ZAX_OMIKINIT.pid").c_str()), 0);
    {
        OmikinitService svc(rundir_);
        ASSERT_TRUE(svc.ready());
        EXPECT_EQ(XGetVectorTable("REAL"), 1u);
    }
    EXPECT_EQ(ReadFile(path("victim")), "precious");

    // A plain file under the socket's name.
    WriteFile(path("ZAX_OMIKINIT"), "not a socket");
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    EXPECT_EQ(XGetVectorTable("REAL"), 1u);
}

// Other users, made in child processes: who may use the service, and who may
// remove whose keys, in each sharing mode.
class OmikinitAccess : public Omikinit {
protected:
    static constexpr uint32_t kGroup = 47110;  // a group of the test's own
    static constexpr int kNoConnection = 250, kNoReply = 251;

    void SetUp() override {
        Omikinit::SetUp();
        if (!IsRoot()) GTEST_SKIP() << "plays other, unprivileged users: needs root";
        member_ = StrangerId(0);
        other_member_ = StrangerId(1);
        outsider_ = StrangerId(2);
    }
    void TearDown() override {
        unsetenv("ZAXXLIB_SHARING");
        Omikinit::TearDown();
    }

    // One request sent by a child that runs as uid and gid with the
    // supplementary groups given; the reply's status, kNoConnection or
    // kNoReply.
    int as_user(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &groups, uint16_t op,
                const char *name) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path("ZAX_OMIKINIT").c_str());
        zax::omik::Message m{};
        m.operation = op;
        m.subcode = op == zax::omik::kOpLookup ? 0 : 2;
        m.protocol = zax::omik::kProtocol;
        m.first = m.second = 99;
        std::snprintf(m.name, sizeof m.name, "%s", name);
        return RunAs(uid, gid, [&] {
            int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
                return kNoConnection;
            (void)zax::os::sock_set_timeout(s, 10000);
            if (zax::os::write_exact(s, &m, sizeof m) != 0 || zax::os::read_exact(s, &m, sizeof m) != 0)
                return kNoReply;
            return int(m.status);
        }, groups);
    }
    // Lets anyone reach the socket (the directory's mode gains only o+x), as
    // a careless administrator might: the service's own check must then hold
    // by itself.
    void open_up(mode_t dir_mode) {
        ASSERT_EQ(chmod(rundir_.c_str(), dir_mode), 0);
        ASSERT_EQ(chmod(path("ZAX_OMIKINIT").c_str(), 0666), 0);
    }
    uint32_t member_ = 0, other_member_ = 0, outsider_ = 0;
};

TEST_F(OmikinitAccess, GroupModeServesMembersAndAnyMemberMayRemoveAKey) {
    using namespace zax::omik;
    setenv("ZAXXLIB_SHARING", ("group:" + std::to_string(kGroup)).c_str(), 1);
    ASSERT_EQ(chown(rundir_.c_str(), 0, kGroup), 0);  // as the mode makes it
    ASSERT_EQ(chmod(rundir_.c_str(), 02770), 0);
    OmikinitService svc(rundir_, with_log());
    ASSERT_TRUE(svc.ready());
    // A member by its primary group registers; one by a supplementary group
    // removes it, as the last user of a global list frees it.
    EXPECT_EQ(as_user(member_, kGroup, {}, kOpRegister, "K1"), kStatusOk);
    EXPECT_EQ(as_user(other_member_, other_member_, {kGroup}, kOpRemove, "K1"), kStatusOk);
    EXPECT_EQ(as_user(member_, kGroup, {}, kOpRegister, "K2"), kStatusOk);

    // An outsider cannot reach the socket; with the directory opened up, the
    // service refuses every request of it and the key stays.
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpRemove, "K2"), kNoConnection);
    open_up(02771);
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpRemove, "K2"), kStatusDenied);
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpRegister, "K2"), kStatusDenied);
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpLookup, "K2"), kStatusDenied);
    uint32_t v[2] = {0, 0};
    EXPECT_EQ(XGetVectorTableEx("K2", v), 99u);
    EXPECT_TRUE(contains(log(), "uid " + std::to_string(outsider_) + " operation 4")) << log();
}

TEST_F(OmikinitAccess, UserModeServesItsUserAlone) {
    using namespace zax::omik;
    setenv("ZAXXLIB_SHARING", "user", 1);
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    ASSERT_EQ(XSetVectorTable("MINE", 1, 2), 1);
    open_up(0711);
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpRemove, "MINE"), kStatusDenied);
    EXPECT_EQ(XGetVectorTable("MINE"), 1u);
}

TEST_F(OmikinitAccess, MachineModeLetsEveryUserRemoveAnyKey) {
    // Every user is in the scope: a list made by one user is freed by
    // whichever user leaves it last.
    using namespace zax::omik;
    setenv("ZAXXLIB_SHARING", "machine", 1);
    ASSERT_EQ(chmod(rundir_.c_str(), 01777), 0);
    OmikinitService svc(rundir_);
    ASSERT_TRUE(svc.ready());
    EXPECT_EQ(as_user(member_, member_, {}, kOpRegister, "SHARED"), kStatusOk);
    EXPECT_EQ(as_user(outsider_, outsider_, {}, kOpRemove, "SHARED"), kStatusOk);
}

}  // namespace
