#include "os/heap.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace zax::os {
namespace {

// 16 bytes keep the caller's block aligned as malloc's own blocks are.
struct alignas(16) BlockHeader {
    uint64_t magic;
    uint64_t size;
};
constexpr uint64_t kLive = 0x5a41584845415021ull;  // "ZAXHEAP!"
constexpr uint64_t kDead = 0x5a41584652454544ull;

}  // namespace

void *heap_alloc(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHeader)) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *h = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + size));
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    h->magic = kLive;
    h->size = size;
    return h + 1;
}

int heap_free(void *block) {
    if (block == nullptr || (reinterpret_cast<uintptr_t>(block) % alignof(BlockHeader)) != 0)
        return EINVAL;
    BlockHeader *h = static_cast<BlockHeader *>(block) - 1;
    if (h->magic != kLive) return EINVAL;
    h->magic = kDead;
    std::free(h);
    return 0;
}

}  // namespace zax::os
