#include "os/env.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zax::os {
namespace {
pthread_mutex_t g_env_lock = PTHREAD_MUTEX_INITIALIZER;
}

long env_get(const char *name, char *buffer, size_t capacity) {
    bool own = std::strncmp(name, "ZAXXLIB_", 8) == 0;
    pthread_mutex_lock(&g_env_lock);
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
    pthread_mutex_unlock(&g_env_lock);
    return len;
}

void env_tzset() {
    pthread_mutex_lock(&g_env_lock);
    tzset();
    pthread_mutex_unlock(&g_env_lock);
}

int env_set(const char *name, const char *value) {
    pthread_mutex_lock(&g_env_lock);
    int rc = setenv(name, value, 1) == 0 ? 0 : errno;
    pthread_mutex_unlock(&g_env_lock);
    return rc;
}

}  // namespace zax::os
