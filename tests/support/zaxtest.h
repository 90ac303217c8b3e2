// Test support: a fixture that gives every test its own run-time directory,
// error-record assertions, and a way to run the helper program.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zaxxlib.h"

namespace zaxtest {

// Each test gets a fresh ZAXXLIB_RUNDIR (short, under /tmp, so that socket
// paths stay short) and a clear error record; the directory goes at the end.
class ZaxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A path inside the test's own directory.
    std::string path(const std::string &name) const { return rundir_ + "/" + name; }
    // A plain socket connected to the initiator service of the test's directory.
    int raw_client() const;
    std::string rundir_;
};

// Whole-file helpers for test data (binary, no translation).
// WriteFile is true when the whole content was written.
bool WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
// Everything that can still be read from fd, which is then closed.
std::string Drain(int fd);

// Descriptors this process has open (to prove that a call leaks none).
int CountOpenFds();

// Code from a function code and a reason.
constexpr uint32_t code(uint32_t fn, uint32_t reason) { return (fn << 16) | reason; }

// Checks the calling thread's error record, printing both sides on failure.
::testing::AssertionResult LastErrorIs(uint32_t code, uint32_t detail, uint32_t kind);
#define EXPECT_LAST_ERROR(code, detail, kind) \
    EXPECT_TRUE(::zaxtest::LastErrorIs((code), (detail), (kind)))

// What the helper program did.
struct HelperResult {
    int exit_code = -1;  // exit status, or -1 when it died by a signal
    int signal = 0;      // the signal that ended it, or 0
    std::string out;     // everything it wrote to standard output
};

// Runs the suite's helper program with args (args[0] names the command),
// with extra "NAME=value" environment entries, and waits for it.
HelperResult RunHelper(const std::vector<std::string> &args,
                       const std::vector<std::string> &extra_env = {});

// Path of the helper program, and of the initiator service.
std::string HelperPath();
std::string OmikinitPath();

// Another user, for tests that play one (they need root, and skip without
// it): ids that no account of the machine uses, different in each test
// process so that parallel runs never share what they make under them.
bool IsRoot();
uint32_t StrangerId(int n = 0);
// Runs fn in a forked child as uid/gid (and only the supplementary groups
// given); its result is the child's exit status, -1 when the child died by
// a signal. fn must not use the test framework's assertions.
int RunAs(uint32_t uid, uint32_t gid, const std::function<int()> &fn,
          const std::vector<uint32_t> &groups = {});
// RunHelper as a process whose real user is ruid and effective user euid
// (group gid, supplementary groups as given): with ruid != euid the program
// runs as a set-id program does, in secure-execution mode.
HelperResult RunHelperAs(uint32_t ruid, uint32_t euid, uint32_t gid,
                         const std::vector<std::string> &args,
                         const std::vector<std::string> &extra_env = {},
                         const std::vector<uint32_t> &groups = {});

// Starts the program argv[0] with the arguments argv without waiting for it;
// its pid, or -1. Its standard input, output and error are the descriptors
// in fds (-1: this process's own); its environment is envp, or this
// process's when that is null.
int Spawn(const std::vector<std::string> &argv, std::array<int, 3> fds = {-1, -1, -1},
          char *const *envp = nullptr);
// Starts a helper program without waiting for it; returns its pid (or -1).
// Its standard output goes to out_fd when that is not -1.
int SpawnHelper(const std::vector<std::string> &args, int out_fd = -1);
// No child of this process is left, not even a zombie.
bool NoChildren();
// Waits for a process started by SpawnHelper; its exit status, or -1 when a
// signal ended it.
int WaitHelper(int pid);

// The initiator service, started in the foreground on a run-time directory
// and stopped (SIGTERM) when the object goes.
class OmikinitService {
public:
    explicit OmikinitService(const std::string &rundir, const std::vector<std::string> &extra = {});
    ~OmikinitService();
    OmikinitService(const OmikinitService &) = delete;
    OmikinitService &operator=(const OmikinitService &) = delete;
    // True once the service serves its socket.
    bool ready() const { return ready_; }
    // Stops it; its exit status, or -1 when a signal ended it.
    int stop();
    // Waits for it to end by itself; its exit status, or -1 (signal).
    int wait_exit();
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int exit_status_ = -1;  // once it has ended
    bool ready_ = false;
};

}  // namespace zaxtest
