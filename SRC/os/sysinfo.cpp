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
#include <memory>
#include <new>

#include "os/own.h"
#include "os/syscall.h"

namespace zax::os {

namespace {

void copy_cut(char *buf, size_t size, const char *text) {
    size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
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
    {
        Fd tty;
        if (int err = open_fd("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC, 0, &tty)) return err;
    }
    Fd fd;
    if (int err = open_fd("/proc/self/cmdline", O_RDONLY | O_CLOEXEC, 0, &fd)) return err;
    size_t have = 0;
    while (have < size - 1) {
        ssize_t r = sys::retry([&] { return sys::read(fd.get(), buf + have, size - 1 - have); });
        if (r < 0) return errno;
        if (r == 0) break;
        have += size_t(r);
    }
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
    for (;; len *= 2) {
        std::unique_ptr<char[]> store(new (std::nothrow) char[len]);
        if (store == nullptr) return ENOMEM;
        struct passwd pw, *found = nullptr;
        int err = getpwuid_r(uid, &pw, store.get(), len, &found);
        if (err == ERANGE && len < (1u << 20)) continue;
        if (err == 0 && found == nullptr) err = ENOENT;
        if (err == 0) take(pw);
        return err;
    }
}

}  // namespace

int user_name(char *buf, size_t size) {
    return with_user(geteuid(), [&](const passwd &pw) { copy_cut(buf, size, pw.pw_name); });
}

int home_dir(std::string *path) {
    return with_user(getuid(), [&](const passwd &pw) { *path = pw.pw_dir; });
}

int screen(uint32_t *width, uint32_t *height, uint32_t *bits) {
    Fd fd;
    if (int err = open_fd("/dev/fb0", O_RDONLY | O_CLOEXEC, 0, &fd)) return err;
    struct fb_var_screeninfo v{};
    if (sys::retry([&] { return ioctl(fd.get(), FBIOGET_VSCREENINFO, &v); }) < 0) return errno;
    *width = v.xres;
    *height = v.yres;
    *bits = v.bits_per_pixel;
    return 0;
}

}  // namespace zax::os
