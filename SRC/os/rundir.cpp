#include "os/rundir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "os/env.h"
#include "os/own.h"

namespace zax::os {
namespace {

mode_t dir_mode(SharingMode m) {
    return m == SharingMode::machine ? 01777 : m == SharingMode::group ? 02770 : 0700;
}

mode_t object_mode(SharingMode m) {
    return m == SharingMode::machine ? 0666 : m == SharingMode::group ? 0660 : 0600;
}

std::string octal(mode_t m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", unsigned(m & 07777));
    return buf;
}

// Gives a new directory the group and mode of the sharing mode (the umask
// narrowed the mode); 0 or errno.
int set_up_dir(const std::string &d, const Sharing &s) {
    if (s.mode == SharingMode::group && chown(d.c_str(), uid_t(-1), gid_t(s.gid)) != 0) return errno;
    return chmod(d.c_str(), dir_mode(s.mode)) == 0 ? 0 : errno;
}

// Makes directory d complete (owner, group, mode) under a name of its own and
// moves it into place only if d is still missing, so that nobody sees it half
// made. 0 (made, or made meanwhile by someone else) or errno.
int make_dir(const std::string &d, const Sharing &s) {
    std::string tmp = temp_name(d);
    if (mkdir(tmp.c_str(), 0700) != 0) return errno == EEXIST ? EAGAIN : errno;
    TempName made(tmp, TempName::kDirectory);
    int err = set_up_dir(tmp, s);
    if (err == 0 && renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, d.c_str(), RENAME_NOREPLACE) == 0) {
        made.keep();
        return 0;
    }
    if (err == 0) err = errno;
    if (err == EINVAL) {
        // A file system without RENAME_NOREPLACE: a plain mkdir, set up after.
        if (mkdir(d.c_str(), 0700) != 0) return errno == EEXIST ? 0 : errno;
        return set_up_dir(d, s);
    }
    return err == EEXIST ? 0 : err;
}

// The checks of an existing directory; 0 or errno with why.
int check_dir(const std::string &d, const Sharing &s, std::string *why) {
    struct stat st;
    if (lstat(d.c_str(), &st) != 0) {
        int err = errno;
        *why = "cannot be examined";
        return err;
    }
    if (S_ISLNK(st.st_mode)) {
        *why = "is a symbolic link";
        return ELOOP;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = "is not a directory";
        return ENOTDIR;
    }
    const uid_t me = geteuid();
    const bool group = s.mode == SharingMode::group;
    if (st.st_uid != 0 && st.st_uid != me && !(group && user_in_group(st.st_uid, s.gid))) {
        *why = "belongs to uid " + std::to_string(st.st_uid) + ", neither root nor this user (uid " +
               std::to_string(me) + ")" + (group ? " nor a member of group " + s.group : "");
        return EPERM;
    }
    // Who else may add, remove or rename objects in it.
    bool others = (st.st_mode & S_IWOTH) != 0;
    if (st.st_mode & S_IWGRP) {
        if (s.mode == SharingMode::user) others = true;
        if (group && st.st_gid != gid_t(s.gid)) others = true;
    }
    if (others && (st.st_mode & S_ISVTX) == 0) {
        *why = "may be changed by other users and has no sticky bit (mode " + octal(st.st_mode) +
               ", group " + std::to_string(st.st_gid) + ")";
        return EPERM;
    }
    if (group && !caller_in_group(s.gid)) {
        *why = "serves group " + s.group + ", of which this user (uid " + std::to_string(me) +
               ") is not a member";
        return EPERM;
    }
    return 0;
}

// Each distinct failure once per process: the record holds only the errno.
void report_once(const std::string &text) {
    static std::mutex lock;
    static std::string last;
    std::lock_guard<std::mutex> hold(lock);
    if (text == last) return;
    last = text;
    std::fprintf(stderr, "zaxxlib: %s\n", text.c_str());
}

}  // namespace

std::string temp_name(const std::string &path) {
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp.%d.%u", int(getpid()), counter++);
    return path + suffix;
}

std::string default_run_dir(const Sharing &s) {
    switch (s.mode) {
    case SharingMode::machine:
        return "/dev/shm/zaxxlib";
    case SharingMode::group:
        return "/dev/shm/zaxxlib-g" + std::to_string(s.gid);
    default:
        return "/dev/shm/zaxxlib-" + std::to_string(geteuid());
    }
}

int run_dir(std::string *dir, Sharing *sharing, std::string *why) {
    std::string problem;
    Sharing s;
    int err = sharing_setting(&s, &problem);
    std::string d;
    if (err == 0) {
        char buf[4096];
        long n = env_get("ZAXXLIB_RUNDIR", buf, sizeof buf);
        d = n > 0 ? std::string(buf) : default_run_dir(s);
        while (d.size() > 1 && d.back() == '/') d.pop_back();
        if (n > 0 && size_t(n) >= sizeof buf) {
            err = ENAMETOOLONG;
            problem = "(from ZAXXLIB_RUNDIR) is longer than a path may be";
        }
    }
    if (err == 0) {
        struct stat st;
        if (lstat(d.c_str(), &st) != 0 && errno == ENOENT) {
            for (int attempt = 0; attempt < 8; ++attempt)
                if ((err = make_dir(d, s)) != EAGAIN) break;
            if (err != 0) problem = std::string("cannot be made: ") + std::strerror(err);
        }
    }
    if (err == 0) err = check_dir(d, s, &problem);
    if (err != 0) {
        // A bad setting names itself; a bad directory is named here.
        if (!d.empty())
            problem = "run-time directory " + d + " (sharing mode " + sharing_text(s) + ") " + problem;
        if (why != nullptr)
            *why = problem;
        else
            report_once(problem);
        return err;
    }
    *dir = d;
    if (sharing != nullptr) *sharing = s;
    return 0;
}

int object_path(const std::string &name, std::string *path, Sharing *sharing) {
    std::string dir;
    if (int err = run_dir(&dir, sharing)) return err;
    *path = dir + "/" + name;
    return 0;
}

int object_set_access(int fd, const Sharing &s) {
    if (s.mode == SharingMode::group && fchown(fd, uid_t(-1), gid_t(s.gid)) != 0) return errno;
    return fchmod(fd, object_mode(s.mode)) == 0 ? 0 : errno;
}

int object_set_access_path(const std::string &path, const Sharing &s) {
    if (s.mode == SharingMode::group && lchown(path.c_str(), uid_t(-1), gid_t(s.gid)) != 0)
        return errno;
    return chmod(path.c_str(), object_mode(s.mode)) == 0 ? 0 : errno;
}

int object_check(int fd, unsigned type, const Sharing &s, struct stat *out) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if ((st.st_mode & S_IFMT) != type) return EPROTO;
    switch (s.mode) {
    case SharingMode::user:
        if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) return EPERM;
        break;
    case SharingMode::group:
        if (st.st_gid != gid_t(s.gid) || (st.st_mode & 07) != 0) return EPERM;
        break;
    default:
        break;
    }
    if (out != nullptr) *out = st;
    return 0;
}

}  // namespace zax::os
