// xload: code modules, message catalogs and bounded message formatting.
#include "xload.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "os/module.h"
#include "xhandle.h"
#include "xint.h"

using namespace zax;

namespace {

// A name of 1 to 255 characters: a zero within its first 256 bytes, not at
// the first.
bool valid_name(const char *name) {
    return name != nullptr && name[0] != '\0' && std::memchr(name, 0, 256) != nullptr;
}

// The record behind a module handle (a code module or a message catalog).
struct ModuleRecord {
    HandleHeader header;
    os::Module *module;
};

// A handle for the module m, or null (m released) when no record can be had.
XHANDLE new_handle(os::Module *m) {
    auto *rec = handle_new<ModuleRecord>(HandleKind::module);
    if (rec == nullptr) {
        (void)os::module_unload(m);
        return nullptr;
    }
    rec->module = m;
    return rec;
}

constexpr Reason kBadModule =
    same_reason(R_XUnloadModule_BAD_ARGUMENT, R_XGetEntry_BAD_ARGUMENT,
                R_XGetMsgString_BAD_ARGUMENT, R_XGetMsgStringEx_BAD_ARGUMENT);

// The module of h, or null with kBadModule (detail 1) recorded under fn.
os::Module *checked_module(XHANDLE h, Fn fn) {
    auto *rec = handle_get<ModuleRecord>(h, HandleKind::module, fn, kBadModule);
    return rec != nullptr ? rec->module : nullptr;
}

// Digits as a number that saturates well above any limit, so that a long
// digit string cannot wrap into a small estimate.
uint32_t read_digits(const unsigned char *&p, bool *any) {
    uint32_t v = 0;
    *any = false;
    while (*p >= '0' && *p <= '9') {
        *any = true;
        v = v > 100000 ? v : v * 10 + uint32_t(*p - '0');
        ++p;
    }
    return v;
}

// The formatting accepts the conversions in either case; D has no meaning of
// its own in the C library, so it formats as d. S and C keep theirs (a wide
// string and a wide character), the wide forms the family's programs use.
void normalise_conversions(char *text) {
    for (char *p = text; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%') {
            ++p;
            continue;
        }
        ++p;
        while (*p == '-' || *p == '#' || *p == '.' || (*p >= '0' && *p <= '9')) ++p;
        if (*p == 'D') *p = 'd';
        if (*p == '\0') break;
    }
}

// Steps 2 to 5 of building a message, shared by both forms.
char *build_message(XHANDLE module, int32_t number, char *buffer, va_list ap) {
    char tmpl[kMaxTemplate + 1];
    if (int err = os::module_message(module_of(module), uint32_t(number), tmpl, sizeof tmpl)) {
        sys_error(FN_XGetMsgString, R_XGetMsgString_NO_MESSAGE, err);
        return nullptr;
    }
    TemplateCheck c = check_template(tmpl);
    if (!c.ok) {
        lib_error(FN_XGetMsgString, R_XGetMsgString_BAD_TEMPLATE, c.bad);
        return nullptr;
    }
    if (c.estimate > kMaxMessage) {
        lib_error(FN_XGetMsgString, R_XGetMsgString_TOO_LONG_ESTIMATE, c.estimate);
        return nullptr;
    }
    normalise_conversions(tmpl);
    char work[255];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::vsnprintf(work, sizeof work, tmpl, ap);
#pragma GCC diagnostic pop
    if (n <= 0 || uint32_t(n) > kMaxMessage) {
        lib_error(FN_XGetMsgString, R_XGetMsgString_BAD_RESULT, uint32_t(n));
        return nullptr;
    }
    std::memcpy(buffer, work, size_t(n));
    return buffer;
}

}  // namespace

namespace zax {

TemplateCheck check_template(const char *text) {
    TemplateCheck r{true, 0, 0};
    uint32_t placeholders = 0;
    std::mbstate_t state{};
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != '\0') {
        if (*p != '%') {
            // A multi-byte character of the locale's code set counts its
            // bytes and is skipped whole, so that a trail byte is never
            // taken for a "%".
            size_t len = 1;
            if (*p >= 0x80) {
                size_t m = std::mbrlen(reinterpret_cast<const char *>(p), MB_LEN_MAX, &state);
                if (m != size_t(-1) && m != size_t(-2) && m > 1) len = m;
                if (m == size_t(-1) || m == size_t(-2)) state = std::mbstate_t{};
            }
            r.estimate += uint32_t(len);
            p += len;
            continue;
        }
        if (p[1] == '%') {
            p += 2;
            continue;
        }
        ++placeholders;
        ++p;
        bool hash = false;
        while (*p == '-' || *p == '#') {
            hash = hash || *p == '#';
            ++p;
        }
        bool any = false;
        uint32_t width = read_digits(p, &any);
        if (*p != '.') return {false, 0, placeholders};
        ++p;
        uint32_t precision = read_digits(p, &any);
        if (!any) return {false, 0, placeholders};
        unsigned char conv = *p;
        switch (conv) {
            case 'd': case 'D': case 's': case 'S': case 'c': case 'C': case 'x': case 'X':
                break;
            default:
                return {false, 0, placeholders};
        }
        ++p;
        uint32_t est = width > precision ? width : precision;
        if (hash && (conv == 'x' || conv == 'X')) est += 2;
        r.estimate = r.estimate + est > 1000000 ? 1000000 : r.estimate + est;
    }
    return r;
}

os::Module *module_of(XHANDLE h) {
    auto *rec = handle_as<ModuleRecord>(h, HandleKind::module);
    return rec != nullptr ? rec->module : nullptr;
}

}  // namespace zax

extern "C" {

XAPI int32_t XLoadModule(XHANDLE *handle, const char *name) {
    if (handle == nullptr) {
        lib_error(FN_XLoadModule, R_XLoadModule_BAD_ARGUMENT, 1);
        return 0;
    }
    if (!valid_name(name)) {
        lib_error(FN_XLoadModule, R_XLoadModule_BAD_ARGUMENT, 2);
        return 0;
    }
    os::Module *m = nullptr;
    if (int err = os::module_load(name, &m)) {
        sys_error(FN_XLoadModule, R_XLoadModule_LOAD_FAILED, err);
        return 0;
    }
    XHANDLE h = new_handle(m);
    if (h == nullptr) return 0;
    *handle = h;
    return 1;
}

XAPI int32_t XUnloadModule(XHANDLE module) {
    os::Module *m = checked_module(module, FN_XUnloadModule);
    if (m == nullptr) return 0;
    // The handle is gone even when the release fails.
    handle_free(static_cast<ModuleRecord *>(module));
    if (int err = os::module_unload(m)) {
        sys_error(FN_XUnloadModule, R_XUnloadModule_UNLOAD_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI void *XGetEntry(XHANDLE module, const char *name) {
    os::Module *m = checked_module(module, FN_XGetEntry);
    if (m == nullptr) return nullptr;
    if (name == nullptr) {
        lib_error(FN_XGetEntry, R_XGetEntry_BAD_ARGUMENT, 2);
        return nullptr;
    }
    void *addr = nullptr;
    if (int err = os::module_symbol(m, name, &addr)) {
        sys_error(FN_XGetEntry, R_XGetEntry_NO_ENTRY, err);
        return nullptr;
    }
    return addr;
}

XAPI XHANDLE XLoadMsgString(const char *name) {
    if (!valid_name(name)) {
        lib_error(FN_XLoadMsgString, R_XLoadMsgString_BAD_ARGUMENT, 1);
        return nullptr;
    }
    os::Module *m = nullptr;
    if (int err = os::module_load_catalog(name, &m)) {
        sys_error(FN_XLoadMsgString, R_XLoadMsgString_LOAD_FAILED, err);
        return nullptr;
    }
    return new_handle(m);
}

XAPI int32_t XUnloadMsgString(XHANDLE module) { return XUnloadModule(module); }

XAPI char *XGetMsgString(XHANDLE module, int32_t number, char *buffer, ...) {
    if (checked_module(module, FN_XGetMsgString) == nullptr) return nullptr;
    if (number < 1) {
        lib_error(FN_XGetMsgString, R_XGetMsgString_BAD_ARGUMENT, 2);
        return nullptr;
    }
    if (buffer == nullptr) {
        lib_error(FN_XGetMsgString, R_XGetMsgString_BAD_ARGUMENT, 3);
        return nullptr;
    }
    va_list ap;
    va_start(ap, buffer);
    char *r = build_message(module, number, buffer, ap);
    va_end(ap);
    return r;
}

XAPI char *XGetMsgStringEx(XHANDLE module, int32_t number, uint16_t *first, uint16_t *second,
                           char *buffer, ...) {
    if (checked_module(module, FN_XGetMsgStringEx) == nullptr) return nullptr;
    if (number < 1) {
        lib_error(FN_XGetMsgStringEx, R_XGetMsgStringEx_BAD_ARGUMENT, 2);
        return nullptr;
    }
    if (buffer == nullptr) {
        lib_error(FN_XGetMsgStringEx, R_XGetMsgStringEx_BAD_ARGUMENT, 5);
        return nullptr;
    }
    if (first == nullptr) {
        lib_error(FN_XGetMsgStringEx, R_XGetMsgStringEx_BAD_ARGUMENT, 3);
        return nullptr;
    }
    if (second == nullptr) {
        lib_error(FN_XGetMsgStringEx, R_XGetMsgStringEx_BAD_ARGUMENT, 4);
        return nullptr;
    }
    *first = 0;
    *second = 0;
    va_list ap;
    va_start(ap, buffer);
    char *r = build_message(module, number, buffer, ap);
    va_end(ap);
    return r;
}

}  // extern "C"
