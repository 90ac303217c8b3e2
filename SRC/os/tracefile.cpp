// Trace files: the check for a deleted file, by descriptor.
#include "os/tracefile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/syscall.h"

namespace zax::os {

int trace_file_linked(int32_t fd, bool *linked) {
    struct stat st;
    if (sys::fstat(fd, &st) != 0) return errno;
    *linked = st.st_nlink > 0;
    return 0;
}

}  // namespace zax::os
