#include "redis_server.h"

#include "zaxtest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace zaxtest {

std::string BackendName(const ::testing::TestParamInfo<Backend> &info) {
    return info.param == Backend::Redis ? "Redis" : "SharedMemory";
}

namespace {

// A port that nobody listens on right now.
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

int connect_to(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Reads a RESP reply into out.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}
    bool reply(std::vector<std::string> &out) {
        std::string line;
        if (!read_line(line) || line.empty()) return false;
        std::string rest = line.substr(1);
        switch (line[0]) {
        case '+':
        case ':':
            out.push_back(rest);
            return true;
        case '-':
            out.push_back(rest);
            return true;
        case '$': {
            long n = std::atol(rest.c_str());
            if (n < 0) {
                out.push_back("(nil)");
                return true;
            }
            std::string data;
            if (!read_n(size_t(n) + 2, data)) return false;
            out.push_back(data.substr(0, size_t(n)));
            return true;
        }
        case '*': {
            long n = std::atol(rest.c_str());
            for (long i = 0; i < n; ++i)
                if (!reply(out)) return false;
            return true;
        }
        default:
            return false;
        }
    }

private:
    bool fill() {
        char b[4096];
        ssize_t n = read(fd_, b, sizeof b);
        if (n <= 0) return false;
        buf_.append(b, size_t(n));
        return true;
    }
    bool read_line(std::string &line) {
        size_t end;
        while ((end = buf_.find("\r\n")) == std::string::npos)
            if (!fill()) return false;
        line = buf_.substr(0, end);
        buf_.erase(0, end + 2);
        return true;
    }
    bool read_n(size_t n, std::string &data) {
        while (buf_.size() < n)
            if (!fill()) return false;
        data = buf_.substr(0, n);
        buf_.erase(0, n);
        return true;
    }
    int fd_;
    std::string buf_;
};

}  // namespace

bool RedisServer::available() {
#if defined(ZAX_REDIS_SERVER) && defined(ZAX_REDIS_COMPANION)
    return access(ZAX_REDIS_SERVER, X_OK) == 0 && access(ZAX_REDIS_COMPANION, R_OK) == 0;
#else
    return false;
#endif
}

bool RedisServer::start() {
#if defined(ZAX_REDIS_SERVER)
    if (pid_ > 0) return true;
    bool fresh = port_ == 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (fresh) port_ = free_port();
        std::vector<std::string> a{ZAX_REDIS_SERVER, "--port", std::to_string(port_), "--bind",
                                   "127.0.0.1", "--dir", dir_, "--save", "", "--appendonly",
                                   "yes", "--appendfsync", "always", "--logfile",
                                   dir_ + "/redis.log", "--daemonize", "no"};
        pid_ = Spawn(a);
        if (pid_ < 0) return false;
        for (int i = 0; i < 1000; ++i) {
            std::vector<std::string> r = command({"PING"});
            if (!r.empty() && r[0] == "PONG") return true;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {  // the port was taken meanwhile
                pid_ = -1;
                break;
            }
            usleep(10000);
        }
        if (pid_ > 0) {
            stop(true);
            return false;
        }
        if (!fresh) return false;
    }
#endif
    return false;
}

void RedisServer::stop(bool kill_it) {
    if (pid_ <= 0) return;
    kill(pid_, kill_it ? SIGKILL : SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::vector<std::string> RedisServer::command(const std::vector<std::string> &args) const {
    std::vector<std::string> out;
    int s = connect_to(port_);
    if (s < 0) return out;
    std::string req = "*" + std::to_string(args.size()) + "\r\n";
    for (const auto &a : args) req += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    size_t done = 0;
    while (done < req.size()) {
        ssize_t n = send(s, req.data() + done, req.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += size_t(n);
    }
    Reader r(s);
    if (done == req.size() && !r.reply(out)) out.clear();
    close(s);
    return out;
}

std::string RedisServer::list_key(uint32_t key, const char *part) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "zaxxlib:{%08X}:%s", key, part);
    return buf;
}

void RedisServer::use(uint32_t lease_ms) const {
#if defined(ZAX_REDIS_COMPANION)
    setenv("ZAXXLIB_ZAXREDIS", ZAX_REDIS_COMPANION, 1);
#endif
    setenv("ZAXXLIB_REDIS_URL", url().c_str(), 1);
    setenv("ZAXXLIB_REDIS_KEYS", "ALL", 1);
    setenv("ZAXXLIB_REDIS_LEASE", std::to_string(lease_ms).c_str(), 1);
    setenv("ZAXXLIB_REDIS_CONNECT_TIMEOUT", "1000", 1);
    setenv("ZAXXLIB_REDIS_TIMEOUT", "2000", 1);
}

}  // namespace zaxtest
