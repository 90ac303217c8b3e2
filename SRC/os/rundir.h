// The run-time directory: where every named object of the library lives as a
// file ($ZAXXLIB_RUNDIR, default /dev/shm/zaxxlib).
#pragma once
#include <string>

namespace zax::os {

// The directory, created with mode 01777 when missing. Returns 0 and sets dir,
// or an errno: the error of mkdir/stat (ENOTDIR when the path is not a
// directory, ENAMETOOLONG when the system refuses its length). Any depth the
// file system accepts will do: sockets in a deep directory are reached
// through a short path (see sock.h).
// Read from the environment at each call, so tests and programs may change it.
int run_dir(std::string &dir);

// The path of object name inside the run-time directory; 0 or an errno as
// run_dir gives it.
int object_path(const std::string &name, std::string &path);

}  // namespace zax::os
