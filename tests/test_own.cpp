// The Linux layer's owners (os/own.h): what they hold goes on every exit,
// errno survives the clean-up, and descriptors never take a standard
// stream's number.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/own.h"
#include "zaxfault.h"
#include "zaxtest.h"

namespace {

using zax::os::Fd;

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string temp_dir() {
    char dir[] = "/tmp/zaxown.XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "";
}

TEST(Owners, DescriptorsOpenAboveClosedStandardStreams) {
    // In a child: the test's own output needs the standard streams.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(0);
        close(1);
        close(2);
        Fd fd;
        if (zax::os::open_fd("/dev/null", O_RDONLY | O_CLOEXEC, 0, &fd) != 0) _exit(1);
        if (fd.get() < 3) _exit(2);
        if ((fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) == 0) _exit(3);
        if (is_open(0) || is_open(1) || is_open(2)) _exit(4);  // the landing spot was given back
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Owners, ADescriptorClosesWithItsOwnerAndErrnoSurvives) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        Fd read_end(ends[0]);
        Fd moved = std::move(read_end);
        EXPECT_FALSE(read_end);
        Fd stale(1 << 20);  // its close fails with EBADF
        errno = ENOSPC;     // a failure that the scope returns
    }
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(is_open(ends[0]));
    EXPECT_TRUE(is_open(ends[1]));

    // A close interrupted by a signal has still released the descriptor on
    // Linux: it counts as done and is not repeated.
    Fd write_end(ends[1]);
    {
        zaxtest::FailCall<zaxtest::sys::Call::close> interrupted(EINTR);
        EXPECT_EQ(write_end.close(), 0);
        EXPECT_EQ(interrupted.calls(), 1);
        EXPECT_FALSE(write_end);
    }
    ::close(ends[1]);  // the fake close left it open
}

TEST(Owners, ATemporaryNameGoesUnlessKept) {
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string gone = dir + "/gone", kept = dir + "/kept", sub = dir + "/sub";
    for (const std::string *p : {&gone, &kept}) {
        int fd = open(p->c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    {
        zax::os::TempName a(gone), b(kept);
        zax::os::TempName c(sub, zax::os::TempName::kDirectory);
        b.keep();
    }
    struct stat st;
    EXPECT_NE(stat(gone.c_str(), &st), 0);
    EXPECT_NE(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(stat(kept.c_str(), &st), 0);
    unlink(kept.c_str());
    rmdir(dir.c_str());
}

TEST(Owners, AMovedMappingStaysMappedUntilItsLastOwnerGoes) {
    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/map";
    Fd fd(open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(ftruncate(fd.get(), 4096), 0);
    zax::os::Map kept;
    {
        zax::os::Map first;
        ASSERT_EQ(zax::os::Map::of(fd.get(), 4096, true, &first), 0);
        kept = std::move(first);
        EXPECT_FALSE(first);
    }
    ASSERT_TRUE(kept);
    std::memcpy(kept.get(), "held", 4);  // faults if the move let it go
    char back[4] = {};
    ASSERT_EQ(pread(fd.get(), back, 4, 0), 4);
    EXPECT_EQ(std::memcmp(back, "held", 4), 0);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
