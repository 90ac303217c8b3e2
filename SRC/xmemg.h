// The header in front of every shared memory segment's area.
#pragma once
#include <cstddef>
#include <cstdint>

#include "xint.h"

namespace zax {

struct ShmHeader {
    char magic[4];   // "KELM"
    uint32_t total;  // requested size + 16
    uint32_t key;
    uint8_t tag1;    // low byte of the creator's first tag
    uint8_t tag2;    // low byte of the second
    uint16_t zero;
};

// XOpenShrMemory for a key that is not 0, XFreeShrMemory and XCloseShrMemory,
// handing their failure back.
Status open_segment(uint32_t key, XHANDLE *handle_out, void **area);
Status free_segment(void *area, XHANDLE handle);
Status close_segment(void *area, XHANDLE handle);

}  // namespace zax
