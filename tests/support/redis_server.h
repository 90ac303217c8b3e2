// Test support for global lists on Redis: a redis-server of the test's own on
// a free loopback port, a plain client to look at what it holds, and the
// choice of backend for tests that run on both.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zaxtest {

enum class Backend { SharedMemory, Redis };
std::string BackendName(const ::testing::TestParamInfo<Backend> &info);
inline void PrintTo(Backend b, std::ostream *os) {
    *os << (b == Backend::Redis ? "Redis" : "SharedMemory");
}

class RedisServer {
public:
    // A server keeping its data in dir (an append-only file, so that a
    // restart finds it again); not started yet.
    explicit RedisServer(std::string dir) : dir_(std::move(dir)) {}
    ~RedisServer() { stop(); }
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    // Whether redis-server and the companion were found when the tests were built.
    static bool available();
    // Starts the server (on the port it had before, after a stop) and waits
    // until it answers; false when it does not within 10 s.
    bool start();
    // Stops it: SIGTERM (it writes its data first), or SIGKILL.
    void stop(bool kill_it = false);
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

    // One command on a connection of its own; the reply flattened: strings
    // and numbers as text, nil as "(nil)", arrays element by element, an
    // error as "ERR ...". Empty when the server cannot be reached.
    std::vector<std::string> command(const std::vector<std::string> &args) const;
    // The key of a global list's part ("meta", "data", "users", ...).
    static std::string list_key(uint32_t key, const char *part);

    // Settings that place every global list on this server, with a short
    // lease, for this process and the helpers it starts.
    void use(uint32_t lease_ms = 1500) const;

private:
    std::string dir_;
    int port_ = 0;
    int pid_ = -1;
};

}  // namespace zaxtest
