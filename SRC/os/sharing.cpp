#include "os/sharing.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "os/env.h"
#include "os/own.h"
#include "os/syscall.h"

namespace zax::os {
namespace {

constexpr char kEnvName[] = "ZAXXLIB_SHARING";
constexpr char kSettingsFile[] = "XTORASYS";
constexpr char kSection[] = "SHARING";
constexpr char kEntry[] = "MODE";
constexpr size_t kMaxSettingsFile = 1 << 20;

bool blank(char c) { return c == ' ' || c == '\t'; }

// The word at the start of a parameter-file line (after its blanks) and the
// character after the word and the blanks that follow it: ':' for a section
// header, '=' for an entry line.
char classify(const std::string &line, std::string *word, size_t *after) {
    size_t i = 0;
    while (i < line.size() && blank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !blank(line[i]) && line[i] != '\n' && line[i] != '=' &&
           line[i] != ':')
        ++i;
    word->assign(line, start, i - start);
    while (i < line.size() && blank(line[i])) ++i;
    *after = i + 1;
    return i < line.size() ? line[i] : '\0';
}

// The value of an entry line from pos: a quoted string or a word; empty when
// there is none.
std::string value_at(const std::string &line, size_t pos) {
    while (pos < line.size() && blank(line[pos])) ++pos;
    if (pos < line.size() && line[pos] == '"') {
        size_t end = line.find('"', pos + 1);
        return end == std::string::npos ? std::string() : line.substr(pos + 1, end - pos - 1);
    }
    size_t end = pos;
    while (end < line.size() && !blank(line[end]) && line[end] != '\r' && line[end] != '\n') ++end;
    return line.substr(pos, end - pos);
}

// Entry key of section `section` in the parameter-file text, as the library's
// parameter files read it (first matching section, first matching entry).
// Only the single-line forms of a value are understood.
bool find_entry(const std::string &text, const char *section, const char *key, std::string *value) {
    bool inside = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, end - pos);
        pos = end;
        std::string word;
        size_t after = 0;
        char kind = classify(line, &word, &after);
        if (kind == ':') {
            if (inside) return false;
            inside = word == section;
        } else if (kind == '=' && inside && word == key) {
            *value = value_at(line, after);
            return !value->empty();
        }
    }
    return false;
}

// The settings file's text, when it can be read and (in a set-id program) can
// be trusted. False when there is none.
bool read_settings(std::string *path, std::string *text) {
    char dir[4096];
    long n = env_get("ZAXXLIB_XSYSTEM", dir, sizeof dir);
    if (n > 0) {
        // The library's load cuts the directory to 256 characters too.
        if (n > 256) dir[256] = '\0';
        *path = std::string(dir) + "/" + kSettingsFile;
    } else {
        *path = kSettingsFile;
    }
    Fd fd(sys::retry([&] { return ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
    if (!fd) return false;
    struct stat st;
    bool ok = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kMaxSettingsFile;
    // A set-id program reads the file of the directory it was started in:
    // the caller chose that directory, so the file must not be the caller's.
    if (ok && getauxval(AT_SECURE) != 0)
        ok = (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (ok) {
        text->resize(size_t(st.st_size));
        size_t got = 0;
        while (got < text->size()) {
            ssize_t r = sys::retry([&] { return ::read(fd.get(), &(*text)[got], text->size() - got); });
            if (r <= 0) break;
            got += size_t(r);
        }
        text->resize(got);
    }
    return ok;
}

// The group name resolved last: the name service may be slow, and every
// object open reads the setting. Made on first use and kept to the end, so
// that no exit-time destructor competes with a late call.
struct GroupCache {
    std::mutex lock;
    std::string name;
    gid_t gid = 0;
};
GroupCache &group_cache() {
    static GroupCache &cache = *new GroupCache;
    return cache;
}

bool resolve_group(const std::string &name, gid_t *gid) {
    GroupCache &cache = group_cache();
    {
        std::lock_guard<std::mutex> hold(cache.lock);
        if (!cache.name.empty() && cache.name == name) {
            *gid = cache.gid;
            return true;
        }
    }
    bool found = false;
    std::vector<char> buf(16384);
    struct group gr, *res = nullptr;
    if (getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &res) == 0 && res != nullptr) {
        *gid = res->gr_gid;
        found = true;
    } else if (name.find_first_not_of("0123456789") == std::string::npos && name.size() <= 9) {
        *gid = gid_t(std::stoul(name));
        found = true;
    }
    if (found) {
        std::lock_guard<std::mutex> hold(cache.lock);
        cache.name = name;
        cache.gid = *gid;
    }
    return found;
}

int parse(const std::string &value, const std::string &source, Sharing *out, std::string *why) {
    if (value == "machine") {
        out->mode = SharingMode::machine;
        return 0;
    }
    if (value == "user") {
        out->mode = SharingMode::user;
        return 0;
    }
    if (value.compare(0, 6, "group:") == 0 && value.size() > 6) {
        gid_t gid = 0;
        if (!resolve_group(value.substr(6), &gid)) {
            if (why) *why = "sharing mode \"" + value + "\" (" + source + "): no such group";
            return EINVAL;
        }
        out->mode = SharingMode::group;
        out->group = value.substr(6);
        out->gid = uint32_t(gid);
        return 0;
    }
    if (why)
        *why = "sharing mode \"" + value + "\" (" + source +
               "): not \"machine\", \"group:NAME\" or \"user\"";
    return EINVAL;
}

}  // namespace

int sharing_setting(Sharing *out, std::string *why) {
    *out = Sharing{};
    char buf[512];
    long n = env_get(kEnvName, buf, sizeof buf);
    if (n > 0) {
        if (size_t(n) >= sizeof buf) {
            if (why) *why = std::string("sharing mode too long (") + kEnvName + ")";
            return EINVAL;
        }
        return parse(buf, kEnvName, out, why);
    }
    std::string path, text, value;
    if (read_settings(&path, &text) && find_entry(text, kSection, kEntry, &value))
        return parse(value, path + ", " + kSection + " " + kEntry, out, why);
    return 0;
}

std::string sharing_text(const Sharing &s) {
    switch (s.mode) {
    case SharingMode::machine:
        return "machine";
    case SharingMode::group:
        return "group:" + s.group;
    default:
        return "user";
    }
}

bool caller_in_group(uint32_t gid) {
    if (geteuid() == 0 || getegid() == gid_t(gid)) return true;
    int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[size_t(i)] == gid_t(gid)) return true;
    return false;
}

bool user_in_group(uint32_t uid, uint32_t gid) {
    std::vector<char> buf(16384);
    struct passwd pw, *res = nullptr;
    if (getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &res) != 0 || res == nullptr)
        return false;
    if (res->pw_gid == gid_t(gid)) return true;
    int n = 64;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 4; ++attempt) {
        groups.resize(size_t(n));
        int want = n;
        if (getgrouplist(res->pw_name, res->pw_gid, groups.data(), &want) >= 0) {
            groups.resize(size_t(want));
            for (gid_t g : groups)
                if (g == gid_t(gid)) return true;
            return false;
        }
        n = want > n ? want : n * 2;
    }
    return false;
}

bool in_scope(const Sharing &s, uint32_t uid, uint32_t gid) {
    switch (s.mode) {
    case SharingMode::machine:
        return true;
    case SharingMode::group:
        return uid == 0 || gid == s.gid || user_in_group(uid, s.gid);
    default:
        return uid == 0 || uid_t(uid) == geteuid();
    }
}

}  // namespace zax::os
