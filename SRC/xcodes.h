// Function codes and reason numbers of the library's error codes, made from
// the one table in xcodes.def: FN_XOpenFile is the function code of
// XOpenFile, R_XOpenFile_OPEN_FAILED the number of one of its reasons.
#pragma once
#include <cstdint>

namespace zax {

enum Fn : uint32_t {
#define ZAX_FN(name, code, also) FN_##name = code,
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

enum Reason : uint32_t {
#define ZAX_FN(name, code, also)
#define ZAX_REASON(fn, reason, id, kind, detail, meaning) R_##fn##_##id = reason,
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

// A reason that several functions record under one number, for code that
// records it under whichever of them it is handed: the build fails when the
// table numbers it differently for any of them.
template <class... More>
consteval Reason same_reason(Reason first, More... more) {
    if (((more != first) || ...)) throw "the functions number this reason differently";
    return first;
}

}  // namespace zax
