// The run-time directory: where every named object of the library lives as a
// file ($ZAXXLIB_RUNDIR, else the default of the sharing mode), and who may
// use those objects (os/sharing.h).
#pragma once
#include <string>

#include "os/sharing.h"

struct stat;

namespace zax::os {

// The default directory of a sharing setting: /dev/shm/zaxxlib (machine),
// /dev/shm/zaxxlib-g<gid> (group), /dev/shm/zaxxlib-<uid> (user, the
// effective uid).
std::string default_run_dir(const Sharing &s);

// The run-time directory and the sharing setting it serves. A missing
// directory is made with its mode's owner and mode (see os/sharing.h); an
// existing one is used only when it is a directory (not a symbolic link),
// owned by root, the caller or (group mode) a member of the group, and not
// writable by others (group mode: users outside the group; user mode: anyone
// but the caller) unless it has the sticky bit; in group mode the caller must
// be a member. Read at each call, so tests and programs may change it.
// Returns 0, or an errno with why (when not null) naming the directory and
// saying what is wrong: EINVAL (a bad sharing setting), ELOOP (a symbolic
// link), ENOTDIR, EPERM (an owner or mode that lets others in, or a caller
// outside the group), or the errno of mkdir/lstat (ENAMETOOLONG when the
// system refuses its length). Any depth the file system accepts will do:
// sockets in a deep directory are reached through a short path (sock.h). Without why, a failure is written once to standard
// error ("zaxxlib: " and the reason).
[[nodiscard]] int run_dir(std::string *dir, Sharing *sharing = nullptr, std::string *why = nullptr);

// The path of object name inside the run-time directory, and the sharing
// setting (when not null); 0 or an errno as run_dir gives it.
[[nodiscard]] int object_path(const std::string &name, std::string *path, Sharing *sharing = nullptr);

// A name beside path, unique in the machine, under which a new object is
// built complete before it is linked or renamed into place.
std::string temp_name(const std::string &path);

// Give a new object open on fd the mode of its sharing mode (0666, 0660 with
// the group, 0600), whatever the umask; 0 or errno.
[[nodiscard]] int object_set_access(int fd, const Sharing &s);
// The same by path, for a socket (fchmod on a socket changes nothing); the
// path must name a socket this process has just bound.
[[nodiscard]] int object_set_access_path(const std::string &path, const Sharing &s);

// Check an existing object open on fd before using it: of file type `type`
// (S_IFREG, S_IFIFO), and owned and moded as the sharing mode allows: user
// mode, the caller's and nothing for others; group mode, the group's and
// nothing for others; machine mode, anything. 0 with st filled (when not
// null), EPROTO (another file type) or EPERM (owner or mode), or the errno of
// fstat.
[[nodiscard]] int object_check(int fd, unsigned type, const Sharing &s, struct stat *st = nullptr);

}  // namespace zax::os
