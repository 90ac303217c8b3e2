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

void *heap_block(size_t size, bool zero) {
    if (size > SIZE_MAX - sizeof(BlockHeader)) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t total = sizeof(BlockHeader) + size;
    auto *h = static_cast<BlockHeader *>(zero ? std::calloc(1, total) : std::malloc(total));
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    h->magic = kLive;
    h->size = size;
    return h + 1;
}

}  // namespace

void *heap_alloc(size_t size) { return heap_block(size, true); }
void *heap_alloc_unfilled(size_t size) { return heap_block(size, false); }

bool heap_live(const void *block, size_t *size) {
    if (block == nullptr || (reinterpret_cast<uintptr_t>(block) % alignof(BlockHeader)) != 0)
        return false;
    const BlockHeader *h = static_cast<const BlockHeader *>(block) - 1;
    if (h->magic != kLive) return false;
    *size = h->size;
    return true;
}

int heap_free(void *block) {
    size_t size;
    if (!heap_live(block, &size)) return EINVAL;
    BlockHeader *h = static_cast<BlockHeader *>(block) - 1;
    h->magic = kDead;
    std::free(h);
    return 0;
}

}  // namespace zax::os
