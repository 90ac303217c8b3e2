/* Error codes in words: the demonstration decodes what a failed call left in
 * the error record with the library's table of codes (SRC/xcodes.def, from
 * which zaxxlib_codes.h and the reference's lists of reasons are made too). */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

enum {
#define ZAX_FN(name, code, also) FN_##name = code,
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
    FN_END_
};

static const struct {
    const char *name;
    uint32_t code;
} functions[] = {
#define ZAX_FN(name, code, also) {#name, code},
#define ZAX_REASON(fn, reason, id, kind, detail, meaning)
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

static const struct {
    uint32_t code;
    const char *meaning;
} reasons[] = {
#define ZAX_FN(name, code, also)
#define ZAX_REASON(fn, reason, id, kind, detail, meaning) {(uint32_t)FN_##fn << 16 | reason, meaning},
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
};

void error_text(char *out, size_t size) {
    XErrorInfo e;
    const char *function = NULL, *meaning = NULL;
    size_t i;
    XGetLastError(&e);
    for (i = 0; i < sizeof functions / sizeof functions[0]; ++i)
        if (functions[i].code == e.code >> 16) function = functions[i].name;
    for (i = 0; i < sizeof reasons / sizeof reasons[0]; ++i)
        if (reasons[i].code == e.code) meaning = reasons[i].meaning;
    if (function == NULL || meaning == NULL)
        snprintf(out, size, "error code 0x%X, detail %u, kind %u", e.code, e.detail, e.kind);
    else if (e.kind == X_KIND_SYSTEM)
        snprintf(out, size, "%s reason %u, %s (system error %u: %s)", function,
                 e.code & 0xFFFF, meaning, e.detail, strerror((int)e.detail));
    else
        snprintf(out, size, "%s reason %u, %s (detail %u)", function, e.code & 0xFFFF, meaning,
                 e.detail);
}

void show_error(const char *what) {
    char text[512];
    error_text(text, sizeof text);
    printf("  %s: %s\n", what, text);
}
