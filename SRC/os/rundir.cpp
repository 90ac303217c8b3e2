#include "os/rundir.h"

#include <sys/stat.h>

#include <cerrno>

#include "os/env.h"

namespace zax::os {

int run_dir(std::string &dir) {
    char buf[4096];
    long n = env_get("ZAXXLIB_RUNDIR", buf, sizeof buf);
    std::string d = n > 0 ? std::string(buf) : std::string("/dev/shm/zaxxlib");
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    struct stat st;
    if (stat(d.c_str(), &st) != 0) {
        if (errno != ENOENT) return errno;
        if (mkdir(d.c_str(), 01777) != 0 && errno != EEXIST) return errno;
        // The umask narrowed the mode; every user of the machine shares the
        // directory, as every named object has a null access list.
        if (chmod(d.c_str(), 01777) != 0 && errno != EPERM) return errno;
        if (stat(d.c_str(), &st) != 0) return errno;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    dir = d;
    return 0;
}

int object_path(const std::string &name, std::string &path) {
    std::string dir;
    if (int err = run_dir(dir)) return err;
    path = dir + "/" + name;
    return 0;
}

}  // namespace zax::os
