// Global lists on a Redis server: two processes passing 64-byte elements
// through a Redis-backed list, against redis-benchmark's LPUSH and RPOP with
// two clients and 64-byte values on the same server in the same run.
//
// The server is one of the benchmark's own (redis-server from the PATH, on
// a free loopback port, without persistence). The producer is a child
// process that attaches to the list and adds a batch at the end whenever the
// parent asks; the parent removes from the front until it has the batch,
// trying again at once when the list is empty. A message costs the server
// two operations (an add and a remove), each one script call.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zaxxlib.h"

extern char **environ;

namespace {

constexpr int kBatch = 10000;
constexpr uint32_t kKey = 0x7e57;
constexpr uint32_t kCapacity = 4u << 20;

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

int spawn(const std::vector<std::string> &args, int out_fd = -1) {
    std::vector<char *> argv;
    std::vector<std::string> a = args;
    for (auto &s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out_fd >= 0) posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// The server of the whole run, started on first use and stopped at exit.
class Server {
public:
    static Server &get() {
        static Server s;
        return s;
    }
    bool ok() const { return pid_ > 0; }
    int port() const { return port_; }

private:
    Server() {
        static char dir[] = "/tmp/zaxredisbench.XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        if (std::getenv("ZAXXLIB_RUNDIR") == nullptr) setenv("ZAXXLIB_RUNDIR", dir, 1);
        port_ = free_port();
        pid_ = spawn({"redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
                      "--dir", dir, "--save", "", "--appendonly", "no", "--logfile",
                      std::string(dir) + "/redis.log"});
        std::string url = "redis://127.0.0.1:" + std::to_string(port_);
        setenv("ZAXXLIB_REDIS_URL", url.c_str(), 1);
        setenv("ZAXXLIB_REDIS_KEYS", "ALL", 1);
        // Ready once a list can be made there.
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            XHANDLE l = XCreateGlobalList(100, 1, 0);
            if (l != nullptr) {
                XDestroyGlobalList(l);
                return;
            }
            usleep(10000);
        }
        stop();
    }
    ~Server() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    int port_ = 0;
    int pid_ = -1;
};

// The producer: attaches, then adds a batch for every byte it reads.
[[noreturn]] void produce(int go) {
    XHANDLE list = XCreateGlobalList(kCapacity, kKey, 0);
    if (list == nullptr) _exit(1);
    char data[64];
    std::memset(data, 'p', sizeof data);
    char token;
    while (read(go, &token, 1) == 1)
        for (int i = 0; i < kBatch; ++i)
            if (XAddGlobalList(list, data, sizeof data, -1) != 1) _exit(2);
    XDestroyGlobalList(list);
    _exit(0);
}

void BM_RedisListTwoProcesses(benchmark::State &state) {
    if (!Server::get().ok()) {
        state.SkipWithError("no redis-server");
        return;
    }
    XHANDLE list = XCreateGlobalList(kCapacity, kKey, 0);
    if (list == nullptr) {
        state.SkipWithError("the list cannot be made");
        return;
    }
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    pid_t child = fork();
    if (child == 0) {
        close(fds[1]);
        produce(fds[0]);
    }
    close(fds[0]);
    char buf[64];
    int64_t moved = 0, empty = 0;
    for (auto _ : state) {
        if (write(fds[1], "g", 1) != 1) std::abort();
        for (int got = 0; got < kBatch;) {
            if (XRemoveGlobalList(list, buf, sizeof buf, 0) == 1) ++got;
            else ++empty;
        }
        moved += kBatch;
    }
    close(fds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    state.counters["msgs"] = benchmark::Counter(double(moved), benchmark::Counter::kIsRate);
    state.counters["ops"] = benchmark::Counter(double(2 * moved), benchmark::Counter::kIsRate);
    state.counters["empty"] = double(empty);
    XDestroyGlobalList(list);
}
BENCHMARK(BM_RedisListTwoProcesses)->UseRealTime()->Unit(benchmark::kMillisecond);

// redis-benchmark's own figures, as operations per second.
void BM_RedisBenchmarkLpushRpop(benchmark::State &state) {
    if (!Server::get().ok()) {
        state.SkipWithError("no redis-server");
        return;
    }
    double lpush = 0, rpop = 0;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        int pid = spawn({"redis-benchmark", "-h", "127.0.0.1", "-p",
                         std::to_string(Server::get().port()), "-c", "2", "-n", "100000", "-d",
                         "64", "-t", "lpush,rpop", "--csv"},
                        fds[1]);
        close(fds[1]);
        std::string out;
        char b[4096];
        ssize_t n;
        while ((n = read(fds[0], b, sizeof b)) > 0) out.append(b, size_t(n));
        close(fds[0]);
        if (pid < 0 || waitpid(pid, nullptr, 0) < 0) {
            state.SkipWithError("no redis-benchmark");
            return;
        }
        // Lines like "LPUSH","51020.41",... (the test name, then requests per second).
        for (const char *name : {"\"LPUSH\",\"", "\"RPOP\",\""}) {
            size_t at = out.find(name);
            double v = at == std::string::npos ? 0 : std::atof(out.c_str() + at + std::strlen(name));
            (name[1] == 'L' ? lpush : rpop) = v;
        }
    }
    state.counters["lpush_ops"] = lpush;
    state.counters["rpop_ops"] = rpop;
    state.counters["ops"] = (lpush + rpop) / 2;
}
BENCHMARK(BM_RedisBenchmarkLpushRpop)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
