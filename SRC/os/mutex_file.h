// The file of a named mutex (os/mutex.h): a small header and a robust,
// recursive, process-shared pthread mutex. The mutex layer makes and maps
// such files; tools that look into the run-time directory read them with
// mutex_file_state, never taking the mutex.
#pragma once
#include <linux/futex.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace zax::os {

// What a named mutex file holds. The size field makes a process of another
// ABI (whose pthread_mutex_t differs) refuse the file instead of using it.
struct MutexFile {
    uint32_t magic;
    uint32_t size;
    pthread_mutex_t mutex;
};
constexpr uint32_t kMutexMagic = 0x4B434C5A;  // "ZLCK"
// Every process of one ABI reads the file alike.
static_assert(offsetof(MutexFile, size) == 4 && offsetof(MutexFile, mutex) == 8);
static_assert(sizeof(MutexFile) == 8 + sizeof(pthread_mutex_t));

// Whether a copy of a mutex file is one of this build's.
inline bool mutex_file_valid(const MutexFile &f) {
    return f.magic == kMutexMagic && f.size == sizeof(pthread_mutex_t);
}

// Who holds a robust mutex, read from its futex word (the glibc layout): the
// holder's kernel thread identifier, 0 when free; owner_died when its last
// holder ended holding it (the kernel then clears the holder and marks the
// word; the next taker makes the mutex consistent again).
struct MutexHolder {
    uint32_t tid;
    bool owner_died;
};
inline MutexHolder mutex_file_holder(const MutexFile &f) {
    uint32_t word = uint32_t(f.mutex.__data.__lock);
    return {word & FUTEX_TID_MASK, (word & FUTEX_OWNER_DIED) != 0};
}

}  // namespace zax::os
