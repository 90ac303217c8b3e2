// The line format of parameter files: how a line is classified. The
// parameter-file module reads files with it, and tools that check files
// apply the same rules.
#pragma once
#include <cstdint>

namespace zax::parm {

enum Kind : int32_t { kHeader = 1, kEntry = 2, kOther = 3, kContinuation = 4 };

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

inline const char *skip_blanks(const char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

// The end of a section or key word: space, tab, line feed, "=", ":" or the end.
inline const char *skip_word(const char *p) {
    while (*p != '\0' && !is_blank(*p) && *p != '\n' && *p != '=' && *p != ':') ++p;
    return p;
}

// The line's kind, in the order the format decides it, given the kind of the
// line before it (kHeader before the first line). Text is scanned as a
// zero-terminated string: a zero byte inside a line ends what can be matched.
inline int32_t classify(const char *text, int32_t prev) {
    const char *p = skip_blanks(text);
    if (*p == '=' && (prev == kEntry || prev == kContinuation)) return kContinuation;
    const char *r = skip_blanks(skip_word(p));
    if (*r == ':') return kHeader;
    if (*r == '=') return kEntry;
    return kOther;
}

}  // namespace zax::parm
