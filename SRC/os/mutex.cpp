#include "os/mutex.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "os/mutex_file.h"
#include "os/own.h"
#include "os/rundir.h"
#include "os/syscall.h"
#include "os/wait.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace zax::os {
namespace {

// One mapping per name and process, counted by the handles that use it
// (under the table lock).
struct Mapping {
    std::string name;
    MutexFile *file = nullptr;
    int refs = 0;
};

pthread_mutex_t g_table_lock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Mapping *> *g_table = nullptr;  // made on first use, never freed

void forget_tid_in_child() { t_self_tid = 0; }

}  // namespace

struct Mutex {
    pthread_mutex_t *m;
    Mapping *mapping;  // null for a private mutex
    pthread_mutex_t own;
};

// Initial-exec: the owner test of every lock reads it, and the general
// model would cost a call each time.
__thread uint32_t t_self_tid = 0;

uint32_t self_tid_slow() {
    // Registered with the first identifier kept: a child of fork reads its own.
    static const int forget_in_child = pthread_atfork(nullptr, nullptr, forget_tid_in_child);
    (void)forget_in_child;
    return t_self_tid = static_cast<uint32_t>(gettid());
}

namespace {

int init_mutex(pthread_mutex_t *m, bool shared) {
    pthread_mutexattr_t a;
    if (int err = pthread_mutexattr_init(&a)) return err;
    int err = pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    if (err == 0) err = pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    if (err == 0 && shared) err = pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    if (err == 0) err = pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
    return err;
}

// Maps an existing mutex file once its owner, mode, size and header check
// out (nothing is mapped before); 0, ENOENT when there is none, or errno.
int map_existing(const std::string &path, const Sharing &sharing, Map *out) {
    Fd fd;
    if (int err = open_fd(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0, &fd))
        return err;
    struct stat st;
    if (int err = object_check(fd.get(), S_IFREG, sharing, &st)) return err;
    MutexFile head;
    if (st.st_size != static_cast<off_t>(sizeof(MutexFile)) ||
        sys::pread(fd.get(), &head, offsetof(MutexFile, mutex), 0) != ssize_t(offsetof(MutexFile, mutex)) ||
        !mutex_file_valid(head))
        return EPROTO;
    return Map::of(fd.get(), sizeof(MutexFile), true, out);
}

// Builds a complete mutex file under a name of its own and links it into
// place, so that no process ever sees a half-made mutex. Returns 0 with the
// mapping, EEXIST when another process won the race, or errno.
int create_file(const std::string &path, const Sharing &sharing, Map *out) {
    std::string tmp = temp_name(path);
    Fd fd(sys::retry([&] {
        return sys::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (!fd) return errno;
    TempName made(tmp);  // the linked name stays; this one goes in any case
    if (int err = object_set_access(fd.get(), sharing)) return err;
    // The storage is reserved before the mapping is touched: a full file
    // system fails the creation instead of raising SIGBUS at the first write.
    if (int err = sys::retry_err([&] { return sys::posix_fallocate(fd.get(), 0, sizeof(MutexFile)); }))
        return err;
    Map m;
    if (int err = Map::of(fd.get(), sizeof(MutexFile), true, &m)) return err;
    auto *f = static_cast<MutexFile *>(m.get());
    f->size = sizeof(pthread_mutex_t);
    if (int err = init_mutex(&f->mutex, true)) return err;
    f->magic = kMutexMagic;
    if (sys::link(tmp.c_str(), path.c_str()) != 0) return errno;
    *out = std::move(m);
    return 0;
}

// True when a live thread of this process holds the mutex. The lock word
// of a robust mutex holds its owner's thread id; tgkill with signal 0 tells
// whether that thread belongs to this process.
bool held_here(pthread_mutex_t *m) {
    unsigned word = __atomic_load_n(reinterpret_cast<unsigned *>(&m->__data.__lock), __ATOMIC_ACQUIRE);
    pid_t tid = pid_t(word & FUTEX_TID_MASK);
    return tid != 0 && syscall(SYS_tgkill, getpid(), tid, 0) == 0;
}

// Mutexes whose last handle went while a thread of this process held them.
// A holder's robust list points into their memory, which the kernel writes
// when that thread ends: they stay here (under the table lock) until no
// thread of ours holds them, and are freed by a later close.
struct Retired {
    pthread_mutex_t *mutex;
    MutexFile *file;  // a named mutex's mapping, or null
    Mutex *own;       // a private mutex's handle, or null
};
std::vector<Retired> *g_retired = nullptr;

void free_retired(const Retired &r) {
    if (r.file != nullptr) munmap(r.file, sizeof(MutexFile));
    if (r.own != nullptr) {
        pthread_mutex_destroy(&r.own->own);
        delete r.own;
    }
}

// Under the table lock: free what is no longer held, keep the rest.
void sweep_locked() {
    if (g_retired == nullptr) return;
    size_t kept = 0;
    for (const Retired &r : *g_retired) {
        if (held_here(r.mutex))
            (*g_retired)[kept++] = r;
        else
            free_retired(r);
    }
    g_retired->resize(kept);
}

// Under the table lock: free now, or keep while a thread of ours holds it
// (and, without memory to remember it, leave it for the process's end).
void retire_locked(const Retired &r) {
    sweep_locked();
    if (!held_here(r.mutex)) {
        free_retired(r);
        return;
    }
    if (g_retired == nullptr) g_retired = new (std::nothrow) std::vector<Retired>;
    if (g_retired == nullptr) return;
    try {
        g_retired->push_back(r);
    } catch (...) {
    }
}

void retire_mapping_locked(Mapping *mp) {
    g_table->erase(mp->name);
    retire_locked({&mp->file->mutex, mp->file, nullptr});
    delete mp;
}

// The longest a waiter sleeps before it looks at the mutex again.
constexpr uint32_t kWaitSliceMs = 250;

// Wait at most ms for the mutex (0 tries once); 0, ETIMEDOUT or errno.
int timed_lock(pthread_mutex_t *m, uint32_t ms) {
    struct timespec t;
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer does not know clocklock: it would miss the
    // acquisition and report races that are none. Its builds wait on the
    // wall clock.
    clock_gettime(CLOCK_REALTIME, &t);
#else
    clock_gettime(CLOCK_MONOTONIC, &t);
#endif
    t.tv_sec += ms / 1000;
    t.tv_nsec += long(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
#if defined(__SANITIZE_THREAD__)
    int err = pthread_mutex_timedlock(m, &t);
    // It records a timed lock's plain success only: a mutex taken from a
    // dead owner is recorded here, or its unlock would be reported as the
    // unlock of a mutex not held.
    if (err == EOWNERDEAD) {
        __tsan_mutex_pre_lock(m, __tsan_mutex_try_lock);
        __tsan_mutex_post_lock(m, __tsan_mutex_try_lock, 0);
    }
    return err;
#else
    return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &t);
#endif
}

}  // namespace

int mutex_create(Mutex **out) {
    std::unique_ptr<Mutex> m(new (std::nothrow) Mutex{});
    if (m == nullptr) return ENOMEM;
    if (int err = init_mutex(&m->own, false)) return err;
    m->m = &m->own;
    *out = m.release();
    return 0;
}

int mutex_open(const std::string &name, Mutex **out) {
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, &path, &sharing)) return err;
    std::unique_ptr<Mutex> m(new (std::nothrow) Mutex{});
    if (m == nullptr) return ENOMEM;
    Locked hold(g_table_lock);
    if (g_table == nullptr) g_table = new (std::nothrow) std::map<std::string, Mapping *>;
    if (g_table == nullptr) return ENOMEM;
    auto it = g_table->find(name);
    Mapping *mp = it != g_table->end() ? it->second : nullptr;
    if (mp == nullptr) {
        Map file;
        int err = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            err = map_existing(path, sharing, &file);
            if (err != ENOENT) break;
            err = create_file(path, sharing, &file);
            if (err != EEXIST) break;
            // Lost the race to another creator: open its file.
        }
        if (err != 0) return err;
        mp = new (std::nothrow) Mapping;
        if (mp == nullptr) return ENOMEM;
        mp->name = name;
        mp->file = static_cast<MutexFile *>(file.release());
        (*g_table)[name] = mp;
    }
    ++mp->refs;
    m->mapping = mp;
    m->m = &mp->file->mutex;
    *out = m.release();
    return 0;
}

int mutex_close(Mutex *m) {
    Locked hold(g_table_lock);
    if (m->mapping == nullptr) {
        retire_locked({&m->own, nullptr, m});
    } else {
        if (--m->mapping->refs == 0) retire_mapping_locked(m->mapping);
        delete m;
    }
    return 0;
}

int mutex_lock(Mutex *m, uint32_t timeout_ms, bool *owner_died) {
    // A free mutex is taken without reading the clock.
    int err = pthread_mutex_trylock(m->m);
    if (err == EBUSY && timeout_ms == 0) {
        err = ETIMEDOUT;
    } else if (err == EBUSY) {
        // A long wait sleeps in slices: a waiter that the kernel chose to
        // wake and that died before taking the mutex takes that wake-up with
        // it, and a sleeper would then wait on a free mutex until somebody
        // else contended for it. At the end of each slice the waiter tries
        // again and finds it free.
        const uint64_t start = monotonic_ms();
        uint64_t waited = 0;
        do {
            uint64_t left = timeout_ms == kWaitForever ? kWaitSliceMs : timeout_ms - waited;
            err = timed_lock(m->m, uint32_t(std::min<uint64_t>(left, kWaitSliceMs)));
            waited = monotonic_ms() - start;
        } while (err == ETIMEDOUT && (timeout_ms == kWaitForever || waited < timeout_ms));
    }
    bool died = false;
    if (err == EOWNERDEAD) {
        // Before anything else: an unlock without this breaks it for good.
        err = pthread_mutex_consistent(m->m);
        died = true;
    }
    if (owner_died != nullptr) *owner_died = died;
    return err;
}

int mutex_unlock(Mutex *m) { return pthread_mutex_unlock(m->m); }

}  // namespace zax::os
