// The header in front of every shared memory segment's area.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zax {

struct ShmHeader {
    char magic[4];   // "KELM"
    uint32_t total;  // requested size + 16
    uint32_t key;
    uint8_t tag1;    // low byte of the creator's first tag
    uint8_t tag2;    // low byte of the second
    uint16_t zero;
};

}  // namespace zax
