#include "os/env.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "os/own.h"

namespace zax::os {
namespace {
pthread_mutex_t g_env_lock = PTHREAD_MUTEX_INITIALIZER;
}

long env_get(const char *name, char *buffer, size_t capacity) {
    bool own = std::strncmp(name, "ZAXXLIB_", 8) == 0;
    Locked hold(g_env_lock);
    const char *v = own ? secure_getenv(name) : std::getenv(name);
    long len = -1;
    if (v != nullptr) {
        size_t n = std::strlen(v);
        len = static_cast<long>(n);
        if (capacity > 0) {
            size_t c = n < capacity - 1 ? n : capacity - 1;
            std::memcpy(buffer, v, c);
            buffer[c] = '\0';
        }
    }
    return len;
}

void env_tzset(long now_sec) {
    static std::string last_tz;
    static bool done = false, last_set = false;
    static long last_sec = 0;
    Locked hold(g_env_lock);
    const char *tz = std::getenv("TZ");
    bool same_tz = tz == nullptr ? !last_set : last_set && last_tz == tz;
    if (!done || !same_tz || now_sec != last_sec) {
        tzset();
        last_sec = now_sec;
        try {
            last_tz = tz != nullptr ? tz : "";
            last_set = tz != nullptr;
            done = true;
        } catch (...) {
            done = false;  // without memory for the copy, the next call takes the zone again
        }
    }
}

int env_set(const char *name, const char *value) {
    Locked hold(g_env_lock);
    return setenv(name, value, 1) == 0 ? 0 : errno;
}

}  // namespace zax::os
