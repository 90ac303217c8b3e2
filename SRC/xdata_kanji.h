// Internals of the Kanji functions of the data-conversion module, shared by
// the shift-code and the conversion sources (and reached by the tests).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zax::data {

// The native form a Kanji code names.
enum class Native { Sjis, Euc, Ebcdic };

struct ShiftForm {
    Native native;
    uint8_t base;       // the code without bit 0x80 (0x10 and 0x30 as they are)
    const uint8_t *so;  // shift-out sequence written on removal (EBCDIC forms)
    int so_len;
    const uint8_t *si;  // shift-in sequence
    int si_len;
};

// The form of a Kanji code of the shift functions; false for a code not in
// their table.
bool shift_form(uint8_t code, ShiftForm *out);

// How a walk ended: status 2 done, 1 destination full, 0 malformed text
// (detail says which).
struct WalkResult {
    int32_t status;
    uint32_t detail;
};

}  // namespace zax::data
