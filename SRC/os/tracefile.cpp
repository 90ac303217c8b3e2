// Trace files: truncation and the check for a deleted file, by descriptor.
#include "os/tracefile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zax::os {

int trace_file_empty(int32_t fd) {
    int r;
    do {
        r = ::ftruncate(fd, 0);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return errno;
    // The descriptor's offset goes back to the start with the content.
    return ::lseek(fd, 0, SEEK_SET) == 0 ? 0 : errno;
}

int trace_file_linked(int32_t fd, bool &linked) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    linked = st.st_nlink > 0;
    return 0;
}

}  // namespace zax::os
