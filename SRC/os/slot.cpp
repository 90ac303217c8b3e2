#include "os/slot.h"

#include <pthread.h>

#include <cerrno>

#include "os/own.h"

namespace zax::os {
namespace {

pthread_key_t g_key;
bool g_have_key = false;
pthread_mutex_t g_key_lock = PTHREAD_MUTEX_INITIALIZER;

// One hook for all threads; kept apart from the key so that it can be set
// before the key exists.
ThreadEndHook g_on_end = nullptr;

void thread_end(void *value) {
    if (g_on_end != nullptr) g_on_end(value);
}

}  // namespace

int slot_create(ThreadEndHook on_thread_end) {
    // Fast path without the lock: the key, once made, stays until unload.
    if (__atomic_load_n(&g_have_key, __ATOMIC_ACQUIRE)) return 0;
    Locked hold(g_key_lock);
    if (g_have_key) return 0;
    g_on_end = on_thread_end;
    if (int err = pthread_key_create(&g_key, thread_end)) return err;
    __atomic_store_n(&g_have_key, true, __ATOMIC_RELEASE);
    return 0;
}

int slot_delete() {
    Locked hold(g_key_lock);
    if (!g_have_key) return 0;
    __atomic_store_n(&g_have_key, false, __ATOMIC_RELEASE);
    return pthread_key_delete(g_key);
}

bool slot_exists() { return __atomic_load_n(&g_have_key, __ATOMIC_ACQUIRE); }

void *slot_get() { return slot_exists() ? pthread_getspecific(g_key) : nullptr; }

int slot_set(void *value) {
    if (!slot_exists()) return EINVAL;
    return pthread_setspecific(g_key, value);
}

void slot_end_now() {
    void *value = slot_get();
    if (value == nullptr) return;
    pthread_setspecific(g_key, nullptr);
    thread_end(value);
}

}  // namespace zax::os
