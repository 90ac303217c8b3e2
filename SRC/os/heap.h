// The process heap. Blocks carry a small header so that a pointer that did
// not come from here, or a block given back twice, is refused instead of
// corrupting the allocator.
#pragma once
#include <cstddef>

namespace zax::os {

// A zero-filled block of size bytes, or nullptr with errno set (ENOMEM).
void *heap_alloc(size_t size);
// The same without the zero fill, for a caller that writes the whole block.
void *heap_alloc_unfilled(size_t size);
// Give a block back: 0, or EINVAL for a pointer that is not a live block.
[[nodiscard]] int heap_free(void *block);
// Whether block is a live block; *size gets the size it was asked for.
[[nodiscard]] bool heap_live(const void *block, size_t *size);

}  // namespace zax::os
