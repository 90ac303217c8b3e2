// The soak: worker processes add to and remove from one global list and take
// one named lock, while this driver kills workers at random with SIGKILL and
// starts them again, and stops and restarts the initiator service under
// them. At the end (and now and then on the way) it checks that
//   - no call waited longer than the bound,
//   - no two workers held the named lock at once,
//   - the list region is sound (chain, counters, bitmap, free words), and
//   - the list holds exactly the adds that completed minus the removes that
//     completed, the operations that killed workers left in flight aside.
// Each worker keeps a journal, a mapped file it appends to before and after
// each operation, which tells the driver what completed and what was in
// flight. (Mapped rather than written: kills would otherwise land mostly
// where a process leaves a system call, right after a journal line.)
//
//   zaxsoak [--seconds N] [--workers N] [--bound MS] [--quiet]
// prints the figures (kills and restarts survived, operations, longest
// wait) and exits 0 when every check held.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <sstream>
#include <string>
#include <vector>

#include "os/sock.h"
#include "xlist.h"
#include "zaxxlib.h"

extern char **environ;

namespace {

constexpr uint32_t kListKey = 0x50AC0001;
constexpr int32_t kLockKey = 0x50AC0002;
constexpr uint32_t kCapacity = 1u << 20;
constexpr uint32_t kTag = 0x50AC;

using Clock = std::chrono::steady_clock;

int64_t micros_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

std::string self_path() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

pid_t spawn(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// The exit status, or 128 + the signal that ended the process.
int reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------
// Worker

// A small file that every process maps: the named lock's holder, and the
// driver's word to stop.
struct Shared {
    pid_t owner;
    int32_t stop;
};

constexpr size_t kJournalBytes = 64 << 20;

struct Worker {
    std::string dir;
    int slot = 0, gen = 0;
    int64_t bound_us = 0;
    char *journal = nullptr;
    size_t journal_len = 0;
    bool journal_full = false;
    int64_t longest = 0;
    volatile Shared *shared = nullptr;

    void note(const std::string &line) {
        if (journal_len + line.size() + 1 > kJournalBytes) {
            journal_full = true;
            return;
        }
        std::memcpy(journal + journal_len, line.data(), line.size());
        journal[journal_len + line.size()] = '\n';
        journal_len += line.size() + 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    [[noreturn]] void violation(const std::string &what) {
        XErrorInfo e{};
        uint32_t code = XGetLastError(&e);
        char buf[64];
        std::snprintf(buf, sizeof buf, " (error 0x%X detail %u)", code, e.detail);
        note("V " + what + buf);
        _exit(3);
    }
    // Times a call; a wait past the bound is a violation.
    template <class F> auto timed(const char *what, F call) {
        auto t0 = Clock::now();
        auto r = call();
        int64_t us = micros_since(t0);
        if (us > longest) {
            longest = us;
            note("M " + std::to_string(us));
        }
        if (us > bound_us) violation(std::string(what) + " waited " + std::to_string(us) + " us");
        return r;
    }

    // Attaches to the list; while the service restarts, creation fails for a while.
    XHANDLE attach() {
        auto t0 = Clock::now();
        for (;;) {
            XHANDLE list = XCreateGlobalList(kCapacity, kListKey, kTag);
            if (list != nullptr) return list;
            if (micros_since(t0) > bound_us) violation("attach");
            usleep(20000);
        }
    }

    bool dead(pid_t pid) {
        if (kill(pid, 0) != 0) return errno == ESRCH;
        // Killed and not yet reaped by the driver.
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
    }

    int run() {
        int jfd = open((dir + "/journal." + std::to_string(slot) + "." + std::to_string(gen)).c_str(),
                       O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        int sfd = open((dir + "/shared").c_str(), O_RDWR | O_CLOEXEC);
        if (jfd < 0 || sfd < 0 || ftruncate(jfd, kJournalBytes) != 0) return 5;
        void *jmap = mmap(nullptr, kJournalBytes, PROT_READ | PROT_WRITE, MAP_SHARED, jfd, 0);
        void *map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, sfd, 0);
        if (jmap == MAP_FAILED || map == MAP_FAILED) return 5;
        journal = static_cast<char *>(jmap);
        shared = static_cast<volatile Shared *>(map);
        std::mt19937 rng(uint32_t(getpid()) * 2654435761u + uint32_t(slot));
        XHANDLE list = attach();
        XHANDLE lock = XCreateLockObj(kLockKey);
        if (lock == nullptr) violation("create lock");
        note("S " + std::to_string(getpid()));
        const int32_t timeout = int32_t(bound_us / 1000);
        for (uint64_t seq = 0; !shared->stop; ++seq) {
            if (journal_full) {
                // Nothing more can be told: wait for the end.
                usleep(10000);
                continue;
            }
            uint32_t dice = rng() % 100;
            // Positions near the front (0 the first, -1 the end, k the k-th):
            // an operation inside the chain walks it under the list lock.
            int32_t pos = int32_t(rng() % 10) - 1;
            if (dice < 45) {
                std::string id = "s" + std::to_string(slot) + "g" + std::to_string(gen) + "n" +
                                 std::to_string(seq);
                std::string data = id + std::string(rng() % 120, '#');
                note("A+ " + id);
                int32_t r = timed("add", [&] {
                    return XAddGlobalListT(list, data.data(), uint32_t(data.size()), pos, timeout);
                });
                if (r == 1) {
                    note("A= " + id);
                } else {
                    // Only a position past the end refuses the element.
                    XErrorInfo e{};
                    if (r != -1 || (XGetLastError(&e) & 0xFFFF) != 2 || e.detail != 0) violation("add");
                    note("A0");
                }
            } else if (dice < 90) {
                char buf[256] = {};
                note("R+");
                int32_t r = timed("remove", [&] {
                    return XRemoveGlobalListT(list, buf, sizeof buf - 1, pos, timeout);
                });
                if (r == 1) {
                    note(std::string("R= ") + std::string(buf, std::strcspn(buf, "#")));
                } else {
                    // Only a position past the end (or an empty list) has nothing to give.
                    XErrorInfo e{};
                    if (r != -1 || (XGetLastError(&e) & 0xFFFF) != 3 || e.detail != 0)
                        violation("remove");
                    note("R0");
                }
            } else if (dice < 97) {
                note("L+");
                int32_t r = timed("lock", [&] { return XLockObj(lock, uint32_t(timeout)); });
                if (r != 1) violation("lock");
                // A holder that was killed gives the lock up as it exits, a
                // moment before it is seen to be dead.
                pid_t was = shared->owner;
                for (int i = 0; was != 0 && !dead(was) && i < 200; ++i) usleep(5000);
                if (was != 0 && !dead(was)) violation("lock held by " + std::to_string(was) + " too");
                shared->owner = getpid();
                for (uint32_t spin = rng() % 2000; spin > 0; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
                shared->owner = 0;
                if (XUnlockObj(lock) != 1) violation("unlock");
                note("L=");
            } else {
                // Leaves and attaches again, through the initiator service.
                if (XDestroyGlobalList(list) != 1) violation("leave");
                list = timed("attach", [&] { return attach(); });
            }
        }
        // Leaves as a program should (the leak checker of a sanitizer build looks).
        if (XDestroyLockObj(lock) != 1 || XDestroyGlobalList(list) != 1) violation("leave at the end");
        note("E");
        return 0;
    }
};

// ---------------------------------------------------------------------------
// Driver

struct Figures {
    int kills = 0, restarts = 0, checks = 0;
    uint64_t adds = 0, removes = 0, locks = 0;
    int64_t longest_us = 0;
    size_t in_flight_adds = 0, in_flight_removes = 0, elements = 0;
};

class Driver {
public:
    Driver(int seconds, int workers, int64_t bound_us, bool quiet)
        : seconds_(seconds), workers_(workers), bound_us_(bound_us), quiet_(quiet) {}

    int run() {
        // In memory where there is a tmpfs: journal pages written back to a
        // disk would make the workers wait in the middle of a journal line.
        char tmpl[] = "/dev/shm/zaxsoak.XXXXXX";
        if (access("/dev/shm", W_OK) != 0) std::memcpy(tmpl, "/tmp/zaxsoak.XXXXXX", 20);
        if (mkdtemp(tmpl) == nullptr) return fail("no run-time directory");
        dir_ = tmpl;
        setenv("ZAXXLIB_RUNDIR", dir_.c_str(), 1);
        int fd = open((dir_ + "/shared").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(Shared)) != 0) return fail("no shared file");
        void *map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (map == MAP_FAILED) return fail("no shared file");
        shared_ = static_cast<volatile Shared *>(map);
        int rc = soak();
        stop_all();
        std::error_code ec;
        if (rc == 0) std::filesystem::remove_all(dir_, ec);
        else std::fprintf(stderr, "zaxsoak: journals kept in %s\n", dir_.c_str());
        return rc;
    }

private:
    int seconds_, workers_;
    int64_t bound_us_;
    bool quiet_;
    std::string dir_;
    volatile Shared *shared_ = nullptr;
    pid_t service_ = -1;
    std::vector<pid_t> pids_;
    std::vector<int> gens_;
    XHANDLE list_ = nullptr;
    Figures f_;
    std::unordered_map<std::string, int> net_;  // completed adds minus removes, per id
    std::set<std::string> pending_adds_;         // adds that kills left in flight
    std::mt19937 rng_{std::random_device{}()};

    int fail(const std::string &why) {
        std::fprintf(stderr, "zaxsoak: %s\n", why.c_str());
        return 1;
    }

    bool start_service() {
        service_ = spawn({ZAX_OMIKINIT_PATH, "--foreground", "--rundir", dir_});
        if (service_ < 0) return false;
        for (int i = 0; i < 1000; ++i) {
            int s = -1;
            if (zax::os::sock_connect(dir_ + "/ZAX_OMIKINIT", 0, &s) == 0) {
                close(s);
                return true;
            }
            usleep(5000);
        }
        return false;
    }

    // Stopped in turn by SIGTERM (it cleans up) and by SIGKILL (it leaves
    // its socket behind).
    bool restart_service() {
        kill(service_, f_.restarts % 2 == 0 ? SIGTERM : SIGKILL);
        reap(service_);
        usleep(std::uniform_int_distribution<int>(0, 200000)(rng_));
        ++f_.restarts;
        return start_service();
    }

    pid_t start_worker(int slot) {
        return spawn({self_path(), "--worker", dir_, std::to_string(slot), std::to_string(gens_[size_t(slot)]),
                      std::to_string(bound_us_)});
    }

    // A worker that ended by itself found a violation.
    int reap_ended() {
        for (size_t i = 0; i < pids_.size(); ++i) {
            int status = 0;
            pid_t r = waitpid(pids_[i], &status, WNOHANG);
            if (r == pids_[i]) {
                pids_[i] = -1;
                return fail("worker " + std::to_string(i) + " ended with status " +
                            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
            }
        }
        return 0;
    }

    // The region, under the list lock (whose taking repairs what a killed
    // holder left).
    int check_region() {
        auto t0 = Clock::now();
        if (X_lock_list(list_) != 1) return fail("the driver cannot take the list lock");
        int64_t waited = micros_since(t0);
        f_.longest_us = std::max(f_.longest_us, waited);
        const char *why = "";
        bool sound = zax::list_sound(static_cast<zax::ListHandle *>(list_), &why);
        X_unlock_list(list_);
        ++f_.checks;
        if (!sound) return fail(std::string("the list region is damaged: ") + why);
        if (waited > bound_us_) return fail("the driver waited " + std::to_string(waited) + " us for the list");
        return 0;
    }

    int soak() {
        if (!start_service()) return fail("the initiator service does not start");
        list_ = XCreateGlobalList(kCapacity, kListKey, kTag);
        if (list_ == nullptr) return fail("cannot create the list");
        gens_.assign(size_t(workers_), 0);
        for (int i = 0; i < workers_; ++i) pids_.push_back(start_worker(i));
        auto t0 = Clock::now(), next_restart = t0 + std::chrono::seconds(2),
             next_check = t0 + std::chrono::seconds(1);
        while (Clock::now() - t0 < std::chrono::seconds(seconds_)) {
            usleep(std::uniform_int_distribution<int>(20000, 120000)(rng_));
            if (int rc = reap_ended()) return rc;
            size_t slot = std::uniform_int_distribution<size_t>(0, pids_.size() - 1)(rng_);
            kill(pids_[slot], SIGKILL);
            if (reap(pids_[slot]) != 128 + SIGKILL)
                return fail("worker " + std::to_string(slot) + " had ended before its kill");
            ++f_.kills;
            if (int rc = take_journal(journal_path(slot, gens_[slot]))) return rc;
            ++gens_[slot];
            pids_[slot] = start_worker(int(slot));
            if (Clock::now() > next_restart) {
                if (!restart_service()) return fail("the initiator service does not restart");
                next_restart = Clock::now() + std::chrono::milliseconds(
                                                  std::uniform_int_distribution<int>(1000, 3000)(rng_));
            }
            if (Clock::now() > next_check) {
                if (int rc = check_region()) return rc;
                next_check = Clock::now() + std::chrono::seconds(2);
            }
        }
        // The workers end cleanly: nothing of theirs stays in flight.
        shared_->stop = 1;
        for (size_t i = 0; i < pids_.size(); ++i) {
            int rc = reap(pids_[i]);
            pids_[i] = -1;
            if (rc != 0) return fail("worker " + std::to_string(i) + " ended with status " + std::to_string(rc));
        }
        if (int rc = check_region()) return rc;
        if (int rc = check_contents()) return rc;
        report();
        return 0;
    }

    std::string journal_path(size_t slot, int gen) const {
        return dir_ + "/journal." + std::to_string(slot) + "." + std::to_string(gen);
    }

    // A journal's complete lines: up to the first zero byte (the file is
    // sparse past what was written), without a line that a kill cut short.
    static std::string read_journal(const std::string &path) {
        std::string text;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return text;
        std::vector<char> buf(1 << 20);
        for (;;) {
            ssize_t n = read(fd, buf.data(), buf.size());
            if (n <= 0) break;
            const char *end = static_cast<const char *>(std::memchr(buf.data(), 0, size_t(n)));
            text.append(buf.data(), end ? size_t(end - buf.data()) : size_t(n));
            if (end != nullptr) break;
        }
        close(fd);
        return text.substr(0, text.rfind('\n') + 1);
    }

    // Takes in a journal and removes it. Ids whose completed adds and
    // removes have all been seen drop out of the ledger, so that it stays
    // small however long the soak runs.
    int take_journal(const std::string &path) {
        std::istringstream in(read_journal(path));
        std::string line, open_add;
        bool open_remove = false;
        while (std::getline(in, line)) {
            std::string op = line.substr(0, 2), arg = line.size() > 3 ? line.substr(3) : "";
            if (op == "A+") {
                open_add = arg;
            } else if (op == "A0") {
                open_add.clear();
            } else if (op == "A=") {
                if (++net_[arg] == 0) net_.erase(arg);
                open_add.clear();
                ++f_.adds;
            } else if (op == "R+") {
                open_remove = true;
            } else if (op == "R=") {
                if (--net_[arg] == 0) net_.erase(arg);
                open_remove = false;
                ++f_.removes;
            } else if (op == "R0") {
                open_remove = false;
            } else if (op == "L=") {
                ++f_.locks;
            } else if (op[0] == 'M') {
                f_.longest_us = std::max<int64_t>(f_.longest_us, std::stoll(line.substr(2)));
            } else if (op[0] == 'V') {
                return fail(path + ": " + line);
            }
        }
        if (!open_add.empty()) pending_adds_.insert(open_add);
        f_.in_flight_adds = pending_adds_.size();
        f_.in_flight_removes += open_remove;
        unlink(path.c_str());
        return 0;
    }

    // What the journals say against what the list holds.
    int check_contents() {
        for (const auto &entry : std::filesystem::directory_iterator(dir_))
            if (entry.path().filename().string().rfind("journal.", 0) == 0)
                if (int rc = take_journal(entry.path().string())) return rc;
        // The list's elements, in order, read under its lock.
        std::vector<std::string> held;
        if (X_lock_list(list_) != 1) return fail("the driver cannot take the list lock");
        int32_t n = XGetGlobalListNum(list_);
        for (int32_t pos = 1; pos <= n; ++pos) {
            char buf[256] = {};
            if (XPeekGlobalList(list_, buf, sizeof buf - 1, pos) <= 0) break;
            held.emplace_back(buf, std::strcspn(buf, "#"));
        }
        X_unlock_list(list_);
        f_.elements = held.size();
        // Each element: added and not removed, or an add that a kill left in flight.
        std::set<std::string> seen;
        for (const auto &id : held) {
            if (!seen.insert(id).second) return fail("element " + id + " is in the list twice");
            auto it = net_.find(id);
            int balance = it == net_.end() ? 0 : it->second;
            if (balance == 1) net_.erase(it);
            else if (balance != 0 || pending_adds_.count(id) == 0)
                return fail("element " + id + (balance < 0 ? " was removed and is still there"
                                                            : " was never added"));
        }
        // What is left: adds that the list does not hold, each of which needs
        // a remove that a kill left in flight; a remove of an add that no
        // journal completed must be of an add in flight.
        size_t missing = 0;
        for (const auto &[id, balance] : net_) {
            if (balance == 1) ++missing;
            else if (balance != -1 || pending_adds_.count(id) == 0)
                return fail("element " + id + " was removed " + std::to_string(-balance + 1) +
                            " times and added once");
        }
        if (missing > f_.in_flight_removes)
            return fail(std::to_string(missing) + " completed adds are lost (" +
                        std::to_string(f_.in_flight_removes) + " removes were in flight)");
        return 0;
    }

    void report() {
        if (quiet_) return;
        std::printf("zaxsoak: %d s, %d workers: %d kills and %d initiator restarts survived; "
                    "%" PRIu64 " list operations (%" PRIu64 " adds, %" PRIu64 " removes) and %" PRIu64
                    " holds of the named lock; longest wait %.1f ms; %zu adds and %zu removes in "
                    "flight when killed; %zu elements at the end; %d region checks: ok\n",
                    seconds_, workers_, f_.kills, f_.restarts, f_.adds + f_.removes, f_.adds,
                    f_.removes, f_.locks, double(f_.longest_us) / 1000.0, f_.in_flight_adds,
                    f_.in_flight_removes, f_.elements, f_.checks);
    }

    void stop_all() {
        for (pid_t &p : pids_)
            if (p > 0) {
                kill(p, SIGKILL);
                reap(p);
                p = -1;
            }
        if (list_ != nullptr) {
            XDestroyGlobalList(list_);
            list_ = nullptr;
        }
        if (service_ > 0) {
            kill(service_, SIGTERM);
            reap(service_);
            service_ = -1;
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc == 6 && std::strcmp(argv[1], "--worker") == 0) {
        Worker w;
        w.dir = argv[2];
        w.slot = std::atoi(argv[3]);
        w.gen = std::atoi(argv[4]);
        w.bound_us = std::atoll(argv[5]);
        return w.run();
    }
    int seconds = 20, workers = 6;
    int64_t bound_ms = 10000;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
        else if (a == "--workers" && i + 1 < argc) workers = std::atoi(argv[++i]);
        else if (a == "--bound" && i + 1 < argc) bound_ms = std::atoll(argv[++i]);
        else if (a == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "usage: zaxsoak [--seconds N] [--workers N] [--bound MS] [--quiet]\n");
            return 2;
        }
    }
    if (seconds < 1 || workers < 1) return 2;
    return Driver(seconds, workers, bound_ms * 1000, quiet).run();
}
