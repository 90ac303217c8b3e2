// The table of error codes (SRC/xcodes.def) as data, for the programs that
// print it: every function code, and every reason in the table's order.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace zaxcodes {

struct Function {
    const char *name;
    uint32_t code;
    const char *also;  // other functions that record the code, "" when none
};
struct Reason {
    const char *fn;    // the function's name
    uint32_t fn_code;  // and its code
    uint32_t reason;
    const char *id;
    uint32_t kind;
    const char *detail;
    const char *meaning;
};

enum : uint32_t {
#define ZAX_FN(name, code, also) kFn_##name = code,
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

inline constexpr Function kFunctions[] = {
#define ZAX_FN(name, code, also) {#name, code, also},
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

inline constexpr Reason kReasons[] = {
#define ZAX_FN(name, code, also)
#define ZAX_REASON(fn, reason, id, kind, detail, meaning) \
    {#fn, kFn_##fn, reason, #id, kind, detail, meaning},
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

// A code as hexadecimal text of at least digits digits: "0x780006".
inline std::string hex(uint32_t v, int digits = 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

}  // namespace zaxcodes
