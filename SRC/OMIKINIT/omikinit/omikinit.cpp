// omikinit: the initiator service. Serves the socket ZAX_OMIKINIT of the
// run-time directory, one request and one reply per connection, and keeps the
// vector table for every process of the machine, in a file of the directory
// so that a restart keeps it.
//
//   omikinit [--rundir DIR] [--foreground | --daemon] [--log FILE|-]
//   omikinit [--rundir DIR] --status | --stop
//   omikinit --version | --help
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OMIKINIT/omikproto.h"
#include "os/env.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/syscall.h"
#include "os/wait.h"
#include "objects.h"
#include "server.h"
#include "table.h"
#include "zaxxlib.h"

using namespace zax;
using namespace zax::omik;

namespace {

// How long a probe of the socket waits for the status reply.
constexpr uint32_t kProbeWaitMs = 2000;
// How long --stop waits for the service to end.
constexpr int kStopWaitMs = 10000;

int g_stop_pipe[2] = {-1, -1};

void on_signal(int) {
    char c = 1;
    ssize_t r = write(g_stop_pipe[1], &c, 1);
    (void)r;
}

// Messages to standard error (while there is one) and to the log.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void report(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "omikinit: %s\n", line);
    log_line("%s", line);
}

// ---------------------------------------------------------------------------
// What answers on the socket.

struct Probe {
    enum Found { Nothing, Dead, Service, Stranger } found = Nothing;
    std::string what;              // for a stranger: what it is
    uint32_t pid = 0, uid = 0;     // of a service, as the kernel tells
    uint32_t entries = 0;
};

// Asks whatever is at path for the service's status. Only a reply in the
// protocol within kProbeWaitMs counts as a live service.
Probe probe(const std::string &path) {
    Probe p;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return p;
        p.found = Probe::Stranger;
        p.what = std::string("cannot be examined: ") + std::strerror(errno);
        return p;
    }
    p.found = Probe::Stranger;
    if (!S_ISSOCK(st.st_mode)) {
        p.what = S_ISDIR(st.st_mode) ? "a directory" : S_ISLNK(st.st_mode) ? "a symbolic link"
                                                                           : "not a socket";
        return p;
    }
    int fd = -1;
    int err = os::sock_connect(path, 1000, &fd);
    if (err == ECONNREFUSED) {
        p.found = Probe::Dead;
        return p;
    }
    if (err != 0) {
        p.what = std::string("a socket that cannot be reached: ") + std::strerror(err);
        return p;
    }
    os::PeerCredentials peer;
    (void)os::sock_peer(fd, &peer);
    Message m{};
    m.operation = kOpStatus;
    m.protocol = kProtocol;
    m.pid = uint32_t(getpid());
    uint32_t budget = kProbeWaitMs;
    (void)os::sock_set_timeout(fd, kProbeWaitMs);
    err = os::write_exact(fd, &m, sizeof m);
    if (err == 0) err = os::read_exact_timed(fd, &m, sizeof m, &budget);
    close(fd);
    if (err != 0 || m.protocol != kProtocol || m.operation != kOpStatus) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "a socket of pid %u (uid %u) that does not answer in the protocol",
                      peer.pid, peer.uid);
        p.what = buf;
        return p;
    }
    p.found = Probe::Service;
    p.pid = peer.pid;
    p.uid = peer.uid;
    p.entries = m.status == kStatusOk ? m.second : 0;
    return p;
}

// ---------------------------------------------------------------------------
// The pid file: holds the running service's pid, and its lock (held for the
// service's life) is what makes a second service on the directory refuse.

// Reads the pid written in an open pid file (0 when there is none).
uint32_t read_pid(int fd) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? uint32_t(std::strtoul(buf, nullptr, 10)) : 0;
}

// Opens and locks the pid file for a starting service. 0 with the
// descriptor; EWOULDBLOCK when a service holds it (its pid in holder); or an
// errno. Anything under the name that is not a regular file of this user
// is reported and replaced.
int lock_pid_file(const std::string &path, int &fd, uint32_t &holder) {
    for (int tries = 0;; ++tries) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
        struct stat st;
        const char *bad = nullptr;
        if (fd < 0 && errno == ELOOP)
            bad = "a symbolic link";
        else if (fd < 0)
            return errno;
        else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            bad = "not a regular file";
        else if (st.st_uid != geteuid())
            bad = "owned by another user";
        if (bad == nullptr) break;
        if (fd >= 0) close(fd);
        if (tries > 0 || unlink(path.c_str()) != 0) {
            report("%s is %s and cannot be replaced", path.c_str(), bad);
            return EEXIST;
        }
        report("%s was %s: replaced", path.c_str(), bad);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        holder = read_pid(fd);
        close(fd);
        return err == EWOULDBLOCK ? EWOULDBLOCK : err;
    }
    return 0;
}

void write_pid(int fd) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%d\n", int(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, buf, size_t(n), 0) != n)
        report("cannot write the pid file: %s", std::strerror(errno));
}

// For --status and --stop: whether a process holds the pid file (1), the file
// is there with nobody holding it (0), or there is none (-1); pid as written.
int pid_file_state(const std::string &path, uint32_t &pid) {
    pid = 0;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    pid = read_pid(fd);
    int held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

// ---------------------------------------------------------------------------
// The sweep at start: the objects of programs that died before the service
// came up go, and so do the table entries of the segments among them, so
// that their keys can be allocated again. What the service's user may not
// judge (processes it cannot look into) or remove stays; a failure is
// reported and the service starts all the same.
void sweep_dead_objects(const std::string &dir, VectorTable &table) {
    std::vector<zaxx::Object> removed;
    std::string why;
    const int err = zaxx::sweep(dir, false, removed, why);
    std::vector<std::string> segments;
    for (const zaxx::Object &o : removed) {
        log_line("removed %s %s: %s", zaxx::kind_name(o.kind), o.name.c_str(), o.why.c_str());
        if (o.kind == zaxx::Kind::Segment || o.kind == zaxx::Kind::List) segments.push_back(o.name);
    }
    if (err != 0) report("sweep of %s stopped: %s", dir.c_str(), why.c_str());
    if (table.forget(segments) < 0)
        report("cannot drop the table entries of removed segments: %s",
               std::strerror(table.last_save_error()));
}

// ---------------------------------------------------------------------------
// Commands.

struct Options {
    enum Command { Serve, Status, Stop, Version, Help } command = Serve;
    bool foreground = false;
    bool log = false;
    std::string log_path;  // "-" for standard error
};

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: omikinit [--rundir DIR] [--foreground | --daemon] [--log FILE|-]\n"
                 "       omikinit [--rundir DIR] --status | --stop\n"
                 "       omikinit --version | -h | --help\n"
                 "Serve the vector table of zaxxlib programs on the run-time directory.\n"
                 "  --rundir DIR   run-time directory (default $ZAXXLIB_RUNDIR or the sharing mode's)\n"
                 "  --foreground   stay attached to the terminal (default: --daemon)\n"
                 "  --daemon       detach once the socket is served\n"
                 "  --log FILE     log every request to FILE (- for standard error)\n"
                 "  --status       tell whether a service runs on the directory: exit 0 when it\n"
                 "                 answers, 1 when it died leaving its pid file, 3 when none runs,\n"
                 "                 4 when it runs but does not answer\n"
                 "  --stop         stop the service of the directory and wait for it to end\n"
                 "  --version      print the version\n"
                 "  -h, --help     print this help\n");
}

int usage_error(const char *fmt, const char *arg) {
    std::fprintf(stderr, "omikinit: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\nTry 'omikinit --help' for more information.\n");
    return 2;
}

// Parses argv; returns -1 to go on, or the exit status of a usage error.
int parse(int argc, char **argv, Options &o) {
    int commands = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        bool has_value = false;
        if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
            has_value = true;
        }
        const bool takes_value = a == "--rundir" || a == "--log";
        if (takes_value && !has_value) {
            if (i + 1 >= argc) return usage_error("option '%s' needs a value", a.c_str());
            value = argv[++i];
        } else if (!takes_value && has_value) {
            return usage_error("option '%s' takes no value", a.c_str());
        }
        if (a == "--rundir") {
            setenv("ZAXXLIB_RUNDIR", value.c_str(), 1);
        } else if (a == "--log") {
            o.log_path = value;
            o.log = true;
        } else if (a == "--foreground") {
            o.foreground = true;
        } else if (a == "--daemon") {
            o.foreground = false;
        } else if (a == "--status") {
            o.command = Options::Status, ++commands;
        } else if (a == "--stop") {
            o.command = Options::Stop, ++commands;
        } else if (a == "--version") {
            o.command = Options::Version, ++commands;
        } else if (a == "-h" || a == "--help") {
            o.command = Options::Help, ++commands;
        } else {
            return usage_error("unknown option '%s'", argv[i]);
        }
    }
    if (commands > 1) return usage_error("%s", "--status, --stop, --version and --help go alone");
    return -1;
}

int cmd_status(const std::string &dir) {
    const std::string sock = dir + "/" + kSocketName;
    Probe p = probe(sock);
    uint32_t pid = 0;
    int pid_file = pid_file_state(dir + "/" + kPidName, pid);
    if (p.found == Probe::Service) {
        std::printf("omikinit: running on %s, pid %u, %u entries\n", dir.c_str(), p.pid, p.entries);
        return 0;
    }
    if (pid_file == 1) {
        std::printf("omikinit: pid %u runs on %s but does not answer on %s\n", pid, dir.c_str(),
                    sock.c_str());
        return 4;
    }
    std::string more;
    if (p.found == Probe::Stranger) more = "; " + sock + " is " + p.what;
    if (pid_file == 0) {
        std::printf("omikinit: not running on %s (pid %u died leaving its pid file)%s\n",
                    dir.c_str(), pid, more.c_str());
        return 1;
    }
    std::printf("omikinit: not running on %s%s\n", dir.c_str(), more.c_str());
    return 3;
}

// The process is omikinit (a pid read from a file may have been reused).
bool is_omikinit(uint32_t pid) {
    char path[64], comm[64] = {};
    std::snprintf(path, sizeof path, "/proc/%u/comm", pid);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) return false;
    bool ok = std::fgets(comm, sizeof comm, f) != nullptr && std::strncmp(comm, "omikinit", 8) == 0;
    std::fclose(f);
    return ok;
}

int cmd_stop(const std::string &dir) {
    // The kernel's word on who serves the socket, or the pid file of a
    // service that holds it but does not answer (stopped, say).
    Probe p = probe(dir + "/" + kSocketName);
    uint32_t pid = p.found == Probe::Service ? p.pid : 0;
    if (pid == 0) {
        uint32_t held = 0;
        if (pid_file_state(dir + "/" + kPidName, held) == 1 && held != 0 && is_omikinit(held))
            pid = held;
    }
    if (pid == 0) {
        std::printf("omikinit: not running on %s\n", dir.c_str());
        return 0;
    }
    int pidfd = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
    // SIGCONT as well: a stopped service must wake to take its SIGTERM.
    if (kill(pid_t(pid), SIGTERM) != 0) {
        std::fprintf(stderr, "omikinit: cannot stop pid %u: %s\n", pid, std::strerror(errno));
        if (pidfd >= 0) close(pidfd);
        return 1;
    }
    kill(pid_t(pid), SIGCONT);
    bool ended = false;
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};  // readable once the process has ended
        ended = os::sys::retry([&] { return poll(&pfd, 1, kStopWaitMs); }) > 0;
        close(pidfd);
    } else {
        for (int waited = 0; waited < kStopWaitMs && !ended; waited += 20) {
            ended = kill(pid_t(pid), 0) != 0 && errno == ESRCH;
            if (!ended) os::sleep_ms(20);
        }
    }
    if (!ended) {
        std::fprintf(stderr, "omikinit: pid %u did not stop within %d s\n", pid, kStopWaitMs / 1000);
        return 1;
    }
    std::printf("omikinit: stopped pid %u on %s\n", pid, dir.c_str());
    return 0;
}

// Detaches into the background. Returns in the child with the descriptor to
// write one byte to once serving; the parent ends with the child's verdict:
// 0 when that byte came, the child's exit status otherwise.
int detach() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        std::perror("omikinit: pipe");
        std::exit(1);
    }
    pid_t child = fork();
    if (child < 0) {
        std::perror("omikinit: fork");
        std::exit(1);
    }
    if (child > 0) {
        close(ready[1]);
        char c;
        if (os::sys::retry([&] { return read(ready[0], &c, 1); }) == 1) std::_Exit(0);
        int status = 0;
        waitpid(child, &status, 0);
        std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    close(ready[0]);
    setsid();
    if (chdir("/") != 0) {
        // The directory stays; nothing depends on it.
    }
    return ready[1];
}

// Standard input and output (and error, unless it is the log) go to
// /dev/null once the service runs in the background.
void drop_terminal(bool keep_stderr) {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, 0);
    dup2(null, 1);
    if (!keep_stderr) dup2(null, 2);
    close(null);
}

int cmd_serve(const std::string &dir, const os::Sharing &sharing, const Options &o) {
    const int ready_fd = o.foreground ? -1 : detach();
    const std::string sock = dir + "/" + kSocketName;
    const std::string pid_path = dir + "/" + kPidName;

    int pid_fd = -1;
    uint32_t holder = 0;
    if (int err = lock_pid_file(pid_path, pid_fd, holder)) {
        if (err == EWOULDBLOCK) {
            Probe p = probe(sock);
            report("already running on %s (pid %u)", dir.c_str(),
                   p.found == Probe::Service ? p.pid : holder);
        } else if (err != EEXIST) {
            report("cannot open the pid file %s: %s", pid_path.c_str(), std::strerror(err));
        }
        return 1;
    }
    // From here the pid file is ours: any way out removes it.
    auto fail = [&] {
        unlink(pid_path.c_str());
        close(pid_fd);
        return 1;
    };
    if (o.log) {
        FILE *log = o.log_path == "-" ? stderr : std::fopen(o.log_path.c_str(), "ae");
        if (log == nullptr) {
            report("cannot open the log %s: %s", o.log_path.c_str(), std::strerror(errno));
            return fail();
        }
        set_log(log);
    }
    // A service of another build may serve without a pid file: it is obeyed.
    // Anything else under the socket's name is reported and replaced.
    Probe p = probe(sock);
    if (p.found == Probe::Service) {
        report("already running on %s (pid %u)", dir.c_str(), p.pid);
        return fail();
    }
    if (p.found == Probe::Stranger) {
        if (unlink(sock.c_str()) != 0) {
            report("%s is %s and cannot be replaced: %s", sock.c_str(), p.what.c_str(),
                   std::strerror(errno));
            return fail();
        }
        report("%s was %s: replaced", sock.c_str(), p.what.c_str());
    }

    VectorTable table(dir);
    std::string note;
    if (int err = table.load(note)) {
        report("cannot read the table %s/%s: %s", dir.c_str(), kTableName, std::strerror(err));
        return fail();
    }
    if (!note.empty()) report("%s", note.c_str());
    sweep_dead_objects(dir, table);

    int listen_fd = -1;
    if (int err = os::sock_listen(sock, 64, &listen_fd)) {
        report("cannot serve %s: %s", sock.c_str(), std::strerror(err));
        return fail();
    }
    if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        report("pipe: %s", std::strerror(errno));
        unlink(sock.c_str());
        return fail();
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    write_pid(pid_fd);
    log_line("serving %s (sharing mode %s) with %zu entries", sock.c_str(),
             os::sharing_text(sharing).c_str(), table.size());
    if (ready_fd >= 0) {
        drop_terminal(o.log && o.log_path == "-");
        char c = 1;
        ssize_t r = write(ready_fd, &c, 1);
        (void)r;
        close(ready_fd);
    }

    const Access access{sharing, geteuid()};
    serve(listen_fd, g_stop_pipe[0], table, access);

    log_line("stopping");
    close(listen_fd);
    // Clients then learn at once that nobody serves the socket.
    unlink(sock.c_str());
    unlink(pid_path.c_str());
    close(pid_fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Descriptors inherited from whoever started us would stay open for the
    // service's whole life (and keep pipes and files of others alive).
    close_range(3, ~0U, 0);

    Options o;
    if (int rc = parse(argc, argv, o); rc >= 0) return rc;
    if (o.command == Options::Help) {
        usage(stdout);
        return 0;
    }
    if (o.command == Options::Version) {
        std::printf("omikinit (zaxxlib) %s\n", ZAXXLIB_VERSION_STRING);
        return 0;
    }
    std::string dir, why;
    os::Sharing sharing;
    if (o.command != Options::Serve && os::sharing_setting(&sharing) == 0) {
        // Asking must not make the directory (as the asking user, too).
        char buf[4096];
        long n = os::env_get("ZAXXLIB_RUNDIR", buf, sizeof buf);
        dir = n > 0 && size_t(n) < sizeof buf ? std::string(buf) : os::default_run_dir(sharing);
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT) {
            std::printf("omikinit: not running on %s\n", dir.c_str());
            return o.command == Options::Status ? 3 : 0;
        }
    }
    if (os::run_dir(&dir, &sharing, &why) != 0) {
        std::fprintf(stderr, "omikinit: %s\n", why.c_str());
        return 1;
    }
    // A daemon leaves its working directory: hold on to the directory by
    // its full path.
    if (dir[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) dir = std::string(cwd) + "/" + dir;
        std::free(cwd);
        setenv("ZAXXLIB_RUNDIR", dir.c_str(), 1);
    }
    switch (o.command) {
    case Options::Status:
        return cmd_status(dir);
    case Options::Stop:
        return cmd_stop(dir);
    default:
        return cmd_serve(dir, sharing, o);
    }
}
