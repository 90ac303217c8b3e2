#include "os/sysinfo.h"

#include <fcntl.h>
#include <langinfo.h>
#include <linux/fb.h>
#include <locale.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zax::os {

namespace {

void copy_cut(char *buf, size_t size, const char *text) {
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
}

int open_retry(const char *path, int flags) {
    int fd;
    do fd = open(path, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

uint32_t cpu_type() {
    struct utsname u;
    if (uname(&u) != 0) return 0;
    if (std::strcmp(u.machine, "x86_64") == 0) return 8664;
    if (u.machine[0] == 'i' && std::strcmp(u.machine + 2, "86") == 0) return 586;
    return 0;
}

uint32_t cpu_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? uint32_t(n) : 1;
}

int locale_country(char *buf, size_t size) {
    // The default locale as the environment names it, without touching the
    // program's own (setlocale is process-wide and not thread-safe).
    locale_t loc = newlocale(LC_ALL_MASK, "", locale_t(0));
    if (loc == locale_t(0)) {
        // Some categories may name a locale that is not installed: the
        // address category alone is enough.
        loc = newlocale(LC_ADDRESS_MASK, "", locale_t(0));
        if (loc == locale_t(0)) return errno != 0 ? errno : ENOENT;
    }
    const char *ab3 = nl_langinfo_l(_NL_ADDRESS_COUNTRY_AB3, loc);
    copy_cut(buf, size, ab3 != nullptr ? ab3 : "");
    freelocale(loc);
    return 0;
}

int session_title(char *buf, size_t size) {
    int tty = open_retry("/dev/tty", O_RDONLY | O_NOCTTY);
    if (tty < 0) return errno;
    close(tty);
    int fd = open_retry("/proc/self/cmdline", O_RDONLY);
    if (fd < 0) return errno;
    size_t have = 0;
    while (have < size - 1) {
        ssize_t r = read(fd, buf + have, size - 1 - have);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int err = errno;
            close(fd);
            return err;
        }
        if (r == 0) break;
        have += size_t(r);
    }
    close(fd);
    // Arguments are separated by zeros; the last one's zero is the end.
    while (have > 0 && buf[have - 1] == '\0') --have;
    for (size_t i = 0; i < have; ++i)
        if (buf[i] == '\0') buf[i] = ' ';
    buf[have] = '\0';
    return 0;
}

int host_name(char *buf, size_t size) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return errno;
    name[sizeof name - 1] = '\0';
    copy_cut(buf, size, name);
    return 0;
}

namespace {

// Calls take(entry) with the user database's entry of uid: 0, ENOENT when
// there is none, or errno.
template <class Take>
int with_user(uid_t uid, Take take) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t len = hint > 0 ? size_t(hint) : 4096;
    for (;;) {
        char *store = static_cast<char *>(std::malloc(len));
        if (store == nullptr) return ENOMEM;
        struct passwd pw, *found = nullptr;
        int err = getpwuid_r(uid, &pw, store, len, &found);
        if (err == ERANGE && len < (1u << 20)) {
            std::free(store);
            len *= 2;
            continue;
        }
        if (err == 0 && found == nullptr) err = ENOENT;
        if (err == 0) take(pw);
        std::free(store);
        return err;
    }
}

}  // namespace

int user_name(char *buf, size_t size) {
    return with_user(geteuid(), [&](const passwd &pw) { copy_cut(buf, size, pw.pw_name); });
}

int home_dir(std::string &path) {
    return with_user(getuid(), [&](const passwd &pw) { path = pw.pw_dir; });
}

int screen(uint32_t *width, uint32_t *height, uint32_t *bits) {
    int fd = open_retry("/dev/fb0", O_RDONLY);
    if (fd < 0) return errno;
    struct fb_var_screeninfo v{};
    int r;
    do r = ioctl(fd, FBIOGET_VSCREENINFO, &v);
    while (r < 0 && errno == EINTR);
    int err = r < 0 ? errno : 0;
    close(fd);
    if (err != 0) return err;
    *width = v.xres;
    *height = v.yres;
    *bits = v.bits_per_pixel;
    return 0;
}

}  // namespace zax::os
