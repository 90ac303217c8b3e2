#include "objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "OMIKINIT/omikproto.h"
#include "os/mutex_file.h"
#include "os/names.h"
#include "xlist.h"
#include "xmemg.h"

namespace zaxx {
namespace {

namespace names = zax::os::names;

// Whether name is format (one "%08X" or "%08x" in it) filled in; the
// number goes to value.
bool parse_name(const char *format, const std::string &name, uint32_t &value) {
    const std::string f = format;
    size_t at = f.find("%08");
    if (at == std::string::npos || at + 3 >= f.size()) return false;
    const bool upper = f[at + 3] == 'X';
    const std::string prefix = f.substr(0, at), suffix = f.substr(at + 4);
    if (name.size() != prefix.size() + 8 + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(prefix.size() + 8, suffix.size(), suffix) != 0) return false;
    uint32_t v = 0;
    for (size_t i = prefix.size(); i < prefix.size() + 8; ++i) {
        char c = name[i];
        int d = c >= '0' && c <= '9'                ? c - '0'
                : upper && c >= 'A' && c <= 'F'     ? c - 'A' + 10
                : !upper && c >= 'a' && c <= 'f'    ? c - 'a' + 10
                                                    : -1;
        if (d < 0) return false;
        v = v << 4 | uint32_t(d);
    }
    value = v;
    return true;
}

using FileId = std::pair<dev_t, ino_t>;

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Credentials of a process that could not be looked into (known is false
// when even they cannot be read: such a process may be anyone's).
struct Blind {
    pid_t pid;
    uid_t uid = 0;
    std::vector<gid_t> gids;
    bool known = true;
};

// A process's effective uid and its groups, from /proc/PID/status; false
// when it has gone.
bool credentials(pid_t pid, Blind &b) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    bool have_uid = false;
    b.pid = pid;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string field;
        f >> field;
        unsigned long v;
        if (field == "Uid:") {
            f >> v >> v;  // real, then effective
            b.uid = uid_t(v);
            have_uid = true;
        } else if (field == "Gid:") {
            f >> v >> v;
            b.gids.push_back(gid_t(v));
        } else if (field == "Groups:") {
            while (f >> v) b.gids.push_back(gid_t(v));
        }
    }
    return have_uid;
}

// Whether /proc hides processes of other users from this one (mounted with
// hidepid, as the initiator's systemd unit does): those then use what they
// like, unseen. Root with CAP_SYS_PTRACE sees them all the same.
bool proc_hides_processes() {
    std::istringstream in(read_text("/proc/self/mountinfo"));
    std::string line;
    bool hides = false;
    while (std::getline(in, line)) {
        // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS ... - TYPE SOURCE SUPEROPTIONS"
        std::istringstream f(line);
        std::string id, parent, dev, root, point;
        f >> id >> parent >> dev >> root >> point;
        if (point != "/proc") continue;
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type, source, options;
        tail >> type >> source >> options;
        if (type != "proc") continue;
        size_t at = (',' + options + ',').find(",hidepid=");
        if (at == std::string::npos) {
            hides = false;  // a later mount on /proc covers an earlier one
            continue;
        }
        std::string value = options.substr(at + 8);
        value = value.substr(0, value.find(','));
        hides = value != "0" && value != "off";
    }
    if (!hides || geteuid() != 0) return hides;
    std::istringstream status(read_text("/proc/self/status"));
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) & (1ull << 19)) == 0;  // CAP_SYS_PTRACE
    return true;
}

// A kernel thread has neither files nor mappings of its own.
bool kernel_thread(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream f(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 9 && (f >> field); ++i) {
        if (i == 9) return (std::strtoul(field.c_str(), nullptr, 10) & 0x00200000u) != 0;  // PF_KTHREAD
    }
    return false;
}

// The processes that have one of wanted open or mapped, and those that could
// not be looked into.
struct Usage {
    std::map<FileId, std::set<pid_t>> users;
    std::vector<Blind> blind;
    bool hidden = false;  // /proc shows only some processes
};

Usage scan_processes(const std::set<FileId> &wanted) {
    Usage u;
    if (wanted.empty()) return u;
    u.hidden = proc_hides_processes();
    const pid_t self = getpid();
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return u;
    while (dirent *e = readdir(proc)) {
        char *end;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        const std::string base = "/proc/" + std::to_string(pid);
        bool readable = true;
        // Mappings: "start-end perms offset major:minor inode path".
        if (FILE *maps = std::fopen((base + "/maps").c_str(), "re")) {
            char line[4096 + 256];
            while (std::fgets(line, sizeof line, maps)) {
                unsigned maj, min;
                unsigned long long inode;
                if (std::sscanf(line, "%*s %*s %*s %x:%x %llu", &maj, &min, &inode) != 3 || inode == 0)
                    continue;
                FileId id{makedev(maj, min), ino_t(inode)};
                if (wanted.count(id)) u.users[id].insert(pid_t(pid));
                // Long lines (a path beyond the buffer) end in later reads.
                while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, maps)) {
                }
            }
            std::fclose(maps);
        } else if (errno == ENOENT) {
            continue;  // ended meanwhile
        } else {
            readable = false;
        }
        // Open descriptors.
        if (readable) {
            if (DIR *fds = opendir((base + "/fd").c_str())) {
                while (dirent *f = readdir(fds)) {
                    if (f->d_name[0] == '.') continue;
                    struct stat st;
                    if (stat((base + "/fd/" + f->d_name).c_str(), &st) != 0) continue;
                    FileId id{st.st_dev, st.st_ino};
                    if (wanted.count(id)) u.users[id].insert(pid_t(pid));
                }
                closedir(fds);
            } else if (errno != ENOENT) {
                readable = false;
            }
        }
        if (!readable && !kernel_thread(pid_t(pid))) {
            Blind b;
            struct stat st;
            if (credentials(pid_t(pid), b))
                u.blind.push_back(b);
            else if (stat(base.c_str(), &st) == 0)  // still there, but its status is hidden
                u.blind.push_back(Blind{pid_t(pid), 0, {}, false});
        }
    }
    closedir(proc);
    return u;
}

// Whether a process that could not be looked into might use a file of this
// owner and mode. The owner's processes might; others only when the mode
// lets users besides the owner in (root too: a file that only its owner may
// use is not taken as used by root's processes). Root sees every process but
// those with privileges beyond its own (such as a container's first
// process): those are taken as using no objects.
bool might_use(const Blind &b, const Object &o) {
    if (geteuid() == 0) return false;
    if (!b.known || b.uid == o.uid) return true;
    const bool group_access = (o.mode & 0060) != 0, other_access = (o.mode & 0006) != 0;
    if (other_access) return true;
    if (b.uid == 0) return group_access;
    return group_access && std::find(b.gids.begin(), b.gids.end(), o.gid) != b.gids.end();
}

// The process of a kernel thread identifier, 0 when none.
pid_t process_of_thread(uint32_t tid) {
    std::istringstream in(read_text("/proc/" + std::to_string(tid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Tgid:", 0) == 0) return pid_t(std::strtol(line.c_str() + 5, nullptr, 10));
    return 0;
}

// What a name says the file is; false for a file that is no object.
bool classify(const std::string &name, Object &o) {
    static const std::pair<const char *, Kind> kKeyed[] = {{names::kLock, Kind::Lock},
                                                            {names::kEvent, Kind::Event},
                                                            {names::kLoadRecord, Kind::Record},
                                                            {names::kSegment, Kind::Segment}};
    uint32_t v;
    if (name == zax::omik::kMutexName) {
        o.kind = Kind::Lock;
    } else if (parse_name(names::kEventSocket, name, v)) {
        o.kind = Kind::Pipe;
        o.pid = pid_t(v);
    } else {
        auto keyed = std::find_if(std::begin(kKeyed), std::end(kKeyed),
                                  [&](const auto &k) { return parse_name(k.first, name, v); });
        if (keyed == std::end(kKeyed)) return false;
        o.kind = keyed->second;
        o.keyed = true;
        o.key = v;
    }
    o.name = name;
    return true;
}

// Reads what a lock or segment file holds.
void read_contents(int dirfd, Object &o) {
    int fd = openat(dirfd, o.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        o.why = std::string("cannot be read: ") + std::strerror(errno);
        return;
    }
    if (o.kind == Kind::Lock) {
        zax::os::MutexFile f;
        if (o.file_size == sizeof f && pread(fd, &f, sizeof f, 0) == ssize_t(sizeof f) &&
            zax::os::mutex_file_valid(f)) {
            o.valid = true;
            zax::os::MutexHolder h = zax::os::mutex_file_holder(f);
            o.holder_tid = h.tid;
            o.holder_died = h.owner_died;
            if (h.tid != 0) o.holder_pid = process_of_thread(h.tid);
        } else {
            o.why = "holds no lock of this build";
        }
    } else {
        struct {
            zax::ShmHeader shm;
            zax::RegionHeader region;
        } head{};
        static_assert(sizeof head == sizeof(zax::ShmHeader) + sizeof(zax::RegionHeader));
        ssize_t got = pread(fd, &head, sizeof head, 0);
        if (got >= ssize_t(sizeof head.shm) && std::memcmp(head.shm.magic, "KELM", 4) == 0 &&
            head.shm.total >= sizeof head.shm) {
            o.valid = true;
            o.size = head.shm.total - uint32_t(sizeof head.shm);
            o.tag1 = head.shm.tag1;
            o.tag2 = head.shm.tag2;
            if (got == ssize_t(sizeof head) && list_region_sound(&head.region, o.size)) {
                o.kind = Kind::List;
                o.capacity = head.region.capacity;
                o.used = head.region.used;
                o.count = head.region.count;
                o.attach = head.region.attach;
                o.tag = head.region.tag;
            }
        } else {
            o.why = "holds no segment header";
        }
    }
    close(fd);
}

std::string pids_text(const std::vector<pid_t> &pids) {
    std::string s;
    for (size_t i = 0; i < pids.size() && i < 4; ++i) s += (i ? ", " : "") + std::to_string(pids[i]);
    if (pids.size() > 4) s += ", ...";
    return s;
}

// Whether the object is dead, and why it is (or is not).
void judge(Object &o) {
    const size_t n = o.users.size();
    const std::string plural = n == 1 ? " process (" : " processes (";
    if (n > 0) {
        o.why = (o.kind == Kind::Event || o.kind == Kind::Pipe ? "open in " : "used by ") +
                std::to_string(n) + plural + pids_text(o.users) + ")";
        return;
    }
    if (o.kind == Kind::Pipe && o.valid) {
        if (o.pid_alive) {
            o.why = "process " + std::to_string(o.pid) + " is alive";
        } else {
            o.stale = true;
            o.why = "process " + std::to_string(o.pid) + " is gone";
        }
        return;
    }
    if (!o.valid) {
        if (o.why.empty()) o.why = "not an object of this build";
        return;  // someone else's file: left alone
    }
    if (!o.unknown_users.empty()) {
        o.why = "may be used by processes that cannot be looked into (" + pids_text(o.unknown_users) + ")";
        return;
    }
    if (o.hidden_users) {
        o.why = "may be used by processes that /proc hides";
        return;
    }
    if (o.kind == Kind::Lock && o.holder_tid != 0 && o.holder_pid != 0) {
        o.why = "held by thread " + std::to_string(o.holder_tid) + " of process " +
                std::to_string(o.holder_pid);
        return;
    }
    o.stale = true;
    if (o.kind == Kind::Lock && o.holder_tid != 0)
        o.why = "held by thread " + std::to_string(o.holder_tid) + ", which is gone";
    else if (o.kind == Kind::Event)
        o.why = "open in no process";
    else
        o.why = "used by no process";
}

}  // namespace

const char *kind_name(Kind k) {
    switch (k) {
        case Kind::Lock: return "lock";
        case Kind::Event: return "event";
        case Kind::Segment: return "segment";
        case Kind::List: return "list";
        case Kind::Pipe: return "pipe";
        case Kind::Record: return "record";
    }
    return "?";
}

bool list_region_sound(const void *area, uint64_t size) {
    if (size < sizeof(zax::RegionHeader)) return false;
    zax::RegionHeader h;
    std::memcpy(&h, area, sizeof h);
    // A plain segment's data seldom looks like this.
    const zax::GlobalGeometry g(h.capacity);
    return h.type == zax::kGlobalType && h.total_words == g.words &&
           h.data_offset == sizeof(zax::GlobalRegion) + g.bitmap_bytes && size >= g.region_size;
}

bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

int scan(const std::string &dir, std::vector<Object> &out, std::string &why) {
    out.clear();
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dirfd >= 0 ? fdopendir(dirfd) : nullptr;
    if (d == nullptr) {
        int err = errno;
        if (dirfd >= 0) close(dirfd);
        why = "run-time directory " + dir + ": " + std::strerror(err);
        return err;
    }
    std::map<FileId, size_t> ids;
    for (;;) {
        errno = 0;
        dirent *e = readdir(d);
        if (e == nullptr) break;
        Object o;
        if (!classify(e->d_name, o)) continue;
        struct stat st;
        if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
        o.uid = st.st_uid;
        o.gid = st.st_gid;
        o.mode = st.st_mode & 07777;
        o.file_size = uint64_t(st.st_size);
        const bool type_ok = o.kind == Kind::Event   ? S_ISFIFO(st.st_mode)
                             : o.kind == Kind::Pipe  ? S_ISSOCK(st.st_mode)
                                                     : S_ISREG(st.st_mode);
        if (!type_ok) {
            o.why = "not a file of the kind its name says";
        } else if (o.kind == Kind::Lock || o.kind == Kind::Segment) {
            read_contents(dirfd, o);
        } else {
            o.valid = true;
        }
        if (o.kind == Kind::Pipe) o.pid_alive = process_alive(o.pid);
        if (type_ok) ids[{st.st_dev, st.st_ino}] = out.size();
        out.push_back(o);
    }
    int err = errno;
    closedir(d);
    if (err != 0) {
        why = "run-time directory " + dir + ": " + std::strerror(err);
        return err;
    }
    std::set<FileId> wanted;
    for (const auto &[id, i] : ids) wanted.insert(id);
    Usage u = scan_processes(wanted);
    for (const auto &[id, i] : ids) {
        Object &o = out[i];
        auto it = u.users.find(id);
        if (it != u.users.end()) o.users.assign(it->second.begin(), it->second.end());
        for (const Blind &b : u.blind)
            if (might_use(b, o)) o.unknown_users.push_back(b.pid);
        o.hidden_users = u.hidden;
    }
    for (Object &o : out) judge(o);
    // A load record lives as long as its list.
    for (Object &r : out) {
        if (r.kind != Kind::Record || !r.stale) continue;
        r.why = "its list is gone";
        for (const Object &l : out) {
            if ((l.kind != Kind::List && l.kind != Kind::Segment) || l.key != r.key) continue;
            r.stale = l.stale;
            r.why = l.stale ? "its list " + l.name + " is dead" : "its list " + l.name + " is in use";
        }
    }
    std::sort(out.begin(), out.end(), [](const Object &a, const Object &b) { return a.name < b.name; });
    return 0;
}

int sweep(const std::string &dir, bool dry_run, std::vector<Object> &removed, std::string &why) {
    removed.clear();
    std::vector<Object> first;
    if (int err = scan(dir, first, why)) return err;
    std::set<std::string> candidates;
    for (const Object &o : first)
        if (o.stale) candidates.insert(o.name);
    if (candidates.empty()) return 0;
    if (dry_run) {
        for (const Object &o : first)
            if (o.stale) removed.push_back(o);
        return 0;
    }
    // Looked at again, so that what a process took up since stays.
    std::vector<Object> second;
    if (int err = scan(dir, second, why)) return err;
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        int err = errno;
        why = "run-time directory " + dir + ": " + std::strerror(err);
        return err;
    }
    int result = 0;
    for (const Object &o : second) {
        if (!o.stale || !candidates.count(o.name)) continue;
        if (unlinkat(dirfd, o.name.c_str(), 0) != 0) {
            if (errno == ENOENT) continue;  // someone else was quicker
            result = errno;
            why = std::string(kind_name(o.kind)) + " " + o.name + ": " + std::strerror(result);
            break;
        }
        removed.push_back(o);
    }
    close(dirfd);
    return result;
}

}  // namespace zaxx
