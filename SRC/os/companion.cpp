// Companion libraries through dlopen.  A library whose entry was found stays
// loaded (callers keep the entry); one that lacks it is closed again.
#include "os/companion.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "os/env.h"

#ifndef ZAXXLIB_COMPANION_DIR
#define ZAXXLIB_COMPANION_DIR "/usr/local/lib"
#endif

namespace zax::os {
namespace {

std::mutex g_load_lock;  // dlerror state is per process in older C libraries

// Opens path and looks symbol up; keeps the library open only when the
// symbol is there.
void *try_open(const char *path, const char *symbol, bool *opened) {
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) return nullptr;
    *opened = true;
    void *entry = dlsym(h, symbol);
    if (entry == nullptr) dlclose(h);
    return entry;
}

// The directory of the object that holds this code (the shared zaxxlib, or
// the program that linked it statically), with a trailing "/"; empty when
// unknown.
bool own_directory(char *out, size_t size) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&companion_entry), &info) == 0 || info.dli_fname == nullptr)
        return false;
    const char *slash = std::strrchr(info.dli_fname, '/');
    if (slash == nullptr) return false;
    size_t n = size_t(slash - info.dli_fname) + 1;
    if (n >= size) return false;
    std::memcpy(out, info.dli_fname, n);
    out[n] = '\0';
    return true;
}

void *look_up(const char *file, const char *env_name, const char *symbol, bool *opened) {
    char path[4096];
    char value[4096];
    if (env_name != nullptr && env_get(env_name, value, sizeof value) > 0 && value[0] != '\0')
        return try_open(value, symbol, opened);
    char dir[4000];
    if (own_directory(dir, sizeof dir) &&
        std::snprintf(path, sizeof path, "%s%s", dir, file) < int(sizeof path))
        if (void *e = try_open(path, symbol, opened)) return e;
    if (void *e = try_open(file, symbol, opened)) return e;
    if (std::snprintf(path, sizeof path, "%s/%s", ZAXXLIB_COMPANION_DIR, file) < int(sizeof path))
        return try_open(path, symbol, opened);
    return nullptr;
}

}  // namespace

void *companion_entry(const char *file, const char *env_name, const char *symbol,
                      CompanionFailure *why) {
    std::lock_guard<std::mutex> hold(g_load_lock);
    bool opened = false;
    void *entry = look_up(file, env_name, symbol, &opened);
    *why = entry != nullptr ? kCompanionLoaded : opened ? kCompanionNoEntry : kCompanionNoLibrary;
    return entry;
}

}  // namespace zax::os
