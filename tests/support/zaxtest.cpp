#include "zaxtest.h"

#include "os/sock.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace zaxtest {

void ZaxTest::SetUp() {
    char tmpl[] = "/tmp/zaxrt.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
    rundir_ = tmpl;
    setenv("ZAXXLIB_RUNDIR", rundir_.c_str(), 1);
    XSetLastError(0, 0, 0);
}

void ZaxTest::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(rundir_, ec);
}

bool WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    out.close();
    return !out.fail();
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) s.append(buf, size_t(n));
    close(fd);
    return s;
}

int CountOpenFds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

::testing::AssertionResult LastErrorIs(uint32_t code, uint32_t detail, uint32_t kind) {
    XErrorInfo info{};
    uint32_t got = XGetLastError(&info);
    if (got == code && info.detail == detail && info.kind == kind)
        return ::testing::AssertionSuccess();
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "error record is code 0x%X detail %u kind %u; expected code 0x%X detail %u kind %u",
                  got, info.detail, info.kind, code, detail, kind);
    return ::testing::AssertionFailure() << buf;
}

int ZaxTest::raw_client() const {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path("ZAX_OMIKINIT").c_str());
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    return s;
}

std::string HelperPath() { return ZAX_HELPER_PATH; }
std::string OmikinitPath() { return ZAX_OMIKINIT_PATH; }

int Spawn(const std::vector<std::string> &args, std::array<int, 3> fds, char *const *envp) {
    std::vector<std::string> a = args;
    std::vector<char *> argv;
    for (auto &s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int i = 0; i < 3; ++i)
        if (fds[i] >= 0) posix_spawn_file_actions_adddup2(&fa, fds[i], i);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp != nullptr ? envp : environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

namespace {

// The helper program's argument vector: its path, then args.
std::vector<std::string> helper_argv(const std::vector<std::string> &args) {
    std::vector<std::string> argv{HelperPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

int SpawnHelper(const std::vector<std::string> &args, int out_fd) {
    return Spawn(helper_argv(args), {-1, out_fd, -1});
}

bool NoChildren() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

int WaitHelper(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

OmikinitService::OmikinitService(const std::string &rundir, const std::vector<std::string> &extra) {
    std::vector<std::string> argv{ZAX_OMIKINIT_PATH, "--foreground", "--rundir", rundir};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_ = Spawn(argv);
    if (pid_ < 0) return;
    // Ready once its pid file names it: it writes the file after it listens
    // (a socket that accepts may still be someone else's). Up to 10 s, or
    // until it ends without serving.
    const std::string pid_file = rundir + "/ZAX_OMIKINIT.pid";
    const std::string want = std::to_string(pid_) + "\n";
    for (int i = 0; i < 1000 && !ready_; ++i) {
        std::ifstream f(pid_file);
        std::stringstream got;
        got << f.rdbuf();
        if (got.str() == want) {
            ready_ = true;
            break;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            return;
        }
        usleep(10000);
    }
}

OmikinitService::~OmikinitService() { stop(); }

int OmikinitService::wait_exit() {
    if (pid_ < 0) return exit_status_;
    exit_status_ = WaitHelper(pid_);
    pid_ = -1;
    return exit_status_;
}

int OmikinitService::stop() {
    if (pid_ < 0) return exit_status_;
    kill(pid_, SIGTERM);
    return wait_exit();
}

namespace {

// The helper's argument vector and an environment of this process's
// variables with extra appended; the strings live in the stores.
struct Exec {
    std::vector<std::string> arg_store, env_store;
    std::vector<char *> argv, envp;
    Exec(const std::vector<std::string> &args, const std::vector<std::string> &extra_env)
        : arg_store(helper_argv(args)) {
        for (auto &a : arg_store) argv.push_back(a.data());
        argv.push_back(nullptr);
        // An extra entry replaces this process's variable of its name.
        auto name_of = [](const std::string &e) { return e.substr(0, e.find('=') + 1); };
        for (char **e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            bool replaced = false;
            for (const auto &x : extra_env) replaced = replaced || name_of(x) == name_of(entry);
            if (!replaced) env_store.push_back(entry);
        }
        for (const auto &e : extra_env) env_store.push_back(e);
        for (auto &e : env_store) envp.push_back(e.data());
        envp.push_back(nullptr);
    }
};

// Closes the write end of the pipe of the child's output, reads the output
// until it closes, then reaps the child (pid < 0: no child was started).
HelperResult collect(pid_t pid, const int fds[2]) {
    HelperResult r;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return r;
    }
    r.out = Drain(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

// In a forked child: take on the identity (no supplementary groups but
// those given); false when the system refuses.
bool become(uint32_t ruid, uint32_t euid, uint32_t gid, const std::vector<uint32_t> &groups) {
    std::vector<gid_t> g(groups.begin(), groups.end());
    return setgroups(g.size(), g.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
           setresuid(ruid, euid, euid) == 0;
}

}  // namespace

HelperResult RunHelper(const std::vector<std::string> &args,
                       const std::vector<std::string> &extra_env) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    Exec e(args, extra_env);
    return collect(Spawn(e.arg_store, {-1, fds[1], -1}, e.envp.data()), fds);
}

bool IsRoot() { return geteuid() == 0; }

uint32_t StrangerId(int n) { return 61000 + uint32_t(getpid() % 1000) * 4 + uint32_t(n % 4); }

int RunAs(uint32_t uid, uint32_t gid, const std::function<int()> &fn,
          const std::vector<uint32_t> &groups) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(become(uid, uid, gid, groups) ? fn() : 126);
    return WaitHelper(pid);
}

HelperResult RunHelperAs(uint32_t ruid, uint32_t euid, uint32_t gid,
                         const std::vector<std::string> &args,
                         const std::vector<std::string> &extra_env,
                         const std::vector<uint32_t> &groups) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    Exec e(args, extra_env);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        if (become(ruid, euid, gid, groups)) execve(e.argv[0], e.argv.data(), e.envp.data());
        _exit(126);
    }
    return collect(pid, fds);
}

}  // namespace zaxtest
