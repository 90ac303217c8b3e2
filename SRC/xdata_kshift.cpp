// xdata: Kanji shift codes.  Native Japanese text (Shift-JIS, EUC or one of
// the host EBCDIC forms with their own shift-out and shift-in sequences) is
// brought to the shifted form, where every double-byte run is bracketed by
// 0x1E and 0x1F, and back.
//
// One walker per direction does the conversion, the counting (no
// destination) and the bounded variants (a capacity and the room rules), so
// that the count always matches what the conversion writes.
#include <climits>
#include <cstring>

#include "xdata_kanji.h"
#include "xint.h"

using namespace zax;

namespace zax::data {

bool shift_form(uint8_t code, ShiftForm *out) {
    static const uint8_t so_28[] = {0x28}, so_38[] = {0x38}, so_2830e2[] = {0x28, 0x30, 0xE2},
                         si_29[] = {0x29}, so_0e[] = {0x0E}, si_0f[] = {0x0F},
                         so_0a42[] = {0x0A, 0x42}, si_0a41[] = {0x0A, 0x41};
    // Shift-JIS and EUC only exactly as written; the EBCDIC codes also with
    // bit 0x80, which chooses the single-byte table and means nothing here.
    if (code == 0x10) {
        *out = {Native::Sjis, 0x10, nullptr, 0, nullptr, 0};
        return true;
    }
    if (code == 0x30) {
        *out = {Native::Euc, 0x30, nullptr, 0, nullptr, 0};
        return true;
    }
    const uint8_t base = code & 0x7F;
    switch (base) {
    case 0x02: *out = {Native::Ebcdic, base, so_28, 1, si_29, 1}; return true;
    case 0x04: *out = {Native::Ebcdic, base, so_38, 1, si_29, 1}; return true;
    case 0x08: *out = {Native::Ebcdic, base, so_2830e2, 3, si_29, 1}; return true;
    // 0x0D reads every shift-out of the others; it has none of its own to
    // write.  Its length is taken as 1 for the room rules, which never see it
    // (removal to 0x0D is refused).
    case 0x0D: *out = {Native::Ebcdic, base, so_28, 1, si_29, 1}; return true;
    case 0x20: *out = {Native::Ebcdic, base, so_0e, 1, si_0f, 1}; return true;
    case 0x40: *out = {Native::Ebcdic, base, so_0a42, 2, si_0a41, 2}; return true;
    default: return false;
    }
}

namespace {

constexpr uint8_t kOpen = 0x1E, kClose = 0x1F;

// The destination: a buffer with a capacity, or none at all when counting.
struct Out {
    uint8_t *dst;
    int64_t cap;
    int64_t pos = 0;
    int64_t room() const { return cap - pos; }
    void put(uint8_t b) {
        if (dst) dst[pos] = b;
        ++pos;
    }
    void put(const uint8_t *p, int k) {
        for (int i = 0; i < k; ++i) put(p[i]);
    }
};

bool sjis_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool euc_lead(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

// The length of a shift-out sequence of the form starting at i, or 0.
size_t shift_out_at(const ShiftForm &f, const uint8_t *s, size_t i, size_t n) {
    if (f.base == 0x0D) {
        if (s[i] != 0x28 && s[i] != 0x38) return 0;
        if (i + 1 < n && s[i + 1] == 0x30) return i + 3 <= n ? 3 : 0;
        return 1;
    }
    if (i + size_t(f.so_len) <= n && std::memcmp(s + i, f.so, size_t(f.so_len)) == 0)
        return size_t(f.so_len);
    return 0;
}

bool shift_in_at(const ShiftForm &f, const uint8_t *s, size_t i, size_t n) {
    return i + size_t(f.si_len) <= n && std::memcmp(s + i, f.si, size_t(f.si_len)) == 0;
}

// The detail of a double-byte character cut off by the end of the text.
uint32_t cut_detail(const ShiftForm &f, uint8_t lead) {
    if (f.native == Native::Sjis) return 1;
    if (f.native == Native::Euc) return lead == 0x8E ? 2 : 3;
    return f.base == 0x0D ? 4 : 5;
}

// Adding shift codes.  bounded: the Ex rules (room, closing at the end,
// pairs cut off by the end are errors for every form).
WalkResult add_shift(const ShiftForm &f, const uint8_t *s, size_t n, Out &o, bool bounded) {
    bool inside = false;
    auto close = [&] {
        if (inside && o.room() >= 1) o.put(kClose);
        inside = false;
    };
    auto full = [&] {
        close();
        return WalkResult{1, 0};
    };
    auto bad = [&](uint8_t lead) {
        close();
        return WalkResult{0, cut_detail(f, lead)};
    };
    size_t i = 0;
    if (f.native != Native::Ebcdic) {
        const bool euc = f.native == Native::Euc;
        while (i < n) {
            uint8_t b = s[i];
            if (euc ? euc_lead(b) : sjis_lead(b)) {
                if (bounded && o.room() < (inside ? 3 : 4)) return full();
                if (i + 1 >= n) return bad(b);
                if (!inside) o.put(kOpen);
                inside = true;
                o.put(s + i, 2);
                i += 2;
                continue;
            }
            close();
            if (euc && b == 0x8E) {
                if (bounded && o.room() < 2) return full();
                if (i + 1 >= n) return bad(b);
                o.put(s + i, 2);
                i += 2;
                continue;
            }
            if (bounded && o.room() < 1) return full();
            o.put(b);
            ++i;
        }
        close();
        return {2, 0};
    }
    while (i < n) {
        if (size_t k = shift_out_at(f, s, i, n)) {
            if (bounded) {
                if (o.room() < 4) return full();
                if (i + 3 > n) return bad(s[i]);
            }
            o.put(kOpen);
            inside = true;
            i += k;
            continue;
        }
        if (shift_in_at(f, s, i, n)) {
            if (bounded && o.room() < 1) return full();
            o.put(kClose);
            inside = false;
            i += size_t(f.si_len);
            continue;
        }
        uint8_t b = s[i];
        if (b == 0x40 || !inside) {
            if (bounded && o.room() < (inside ? 2 : 1)) return full();
            o.put(b);
            ++i;
            continue;
        }
        if (bounded) {
            if (o.room() < 3) return full();
            if (i + 1 >= n) return bad(b);
        }
        o.put(b);
        if (i + 1 < n) o.put(s[i + 1]);
        i += 2;
    }
    // A run left open stays open, except in the bounded form.
    if (bounded) close();
    return {2, 0};
}

// Removing shift codes (the form is never 0x0D here).
WalkResult remove_shift(const ShiftForm &f, const uint8_t *s, size_t n, Out &o, bool bounded) {
    size_t i = 0;
    if (f.native != Native::Ebcdic) {
        const bool euc = f.native == Native::Euc;
        while (i < n) {
            uint8_t b = s[i];
            if (b == kOpen || b == kClose) {
                ++i;
                continue;
            }
            if (bounded && (euc ? euc_lead(b) || b == 0x8E : sjis_lead(b))) {
                if (o.room() < 2) return {1, 0};
                if (i + 1 >= n) return {0, cut_detail(f, b)};
                o.put(s + i, 2);
                i += 2;
                continue;
            }
            if (bounded && o.room() < 1) return {1, 0};
            o.put(b);
            ++i;
        }
        return {2, 0};
    }
    const int t = f.si_len;
    bool inside = false;
    auto close = [&] {
        if (inside && o.room() >= t) o.put(f.si, t);
        inside = false;
    };
    while (i < n) {
        uint8_t b = s[i];
        if (b == kOpen) {
            if (bounded && o.room() < f.so_len + t + 2) {
                close();
                return {1, 0};
            }
            o.put(f.so, f.so_len);
            inside = true;
            ++i;
            continue;
        }
        if (b == kClose) {
            if (bounded && o.room() < t) return {1, 0};
            o.put(f.si, t);
            inside = false;
            ++i;
            continue;
        }
        if (!bounded || b == 0x40 || !inside) {
            if (bounded && o.room() < (inside ? t + 1 : 1)) {
                close();
                return {1, 0};
            }
            o.put(b);
            ++i;
            continue;
        }
        if (o.room() < t + 2) {
            close();
            return {1, 0};
        }
        if (i + 1 >= n) {
            close();
            return {0, 5};
        }
        o.put(s + i, 2);
        i += 2;
    }
    if (bounded) close();
    return {2, 0};
}

int32_t clamp32(int64_t v) { return v > INT32_MAX ? INT32_MAX : int32_t(v); }

constexpr Reason kShiftArgument =
    same_reason(R_XAddKanjiShift_BAD_ARGUMENT, R_XRemoveKanjiShift_BAD_ARGUMENT,
                R_XAddKanjiShiftEx_BAD_ARGUMENT, R_XRemoveKanjiShiftEx_BAD_ARGUMENT);

// The argument checks of the four converters, from the last argument to the
// first.  removal refuses code 0x0D as a code not in the table.
bool shift_args_ok(Fn fn, uint8_t code, int32_t length, const void *src, const int32_t *size,
                   bool check_size, const void *dst, bool removal, ShiftForm *form) {
    uint32_t detail = 0;
    const bool known = shift_form(code, form) && !(removal && form->base == 0x0D);
    if (check_size) {
        if (dst == nullptr) detail = 5;
        else if (size == nullptr || *size <= 0) detail = 4;
    } else if (dst == nullptr) {
        detail = 4;
    }
    if (detail == 0) {
        if (src == nullptr) detail = 3;
        else if (length <= 0) detail = 2;
        else if (!known) detail = 1;
    }
    if (detail == 0) return true;
    lib_error(fn, kShiftArgument, detail);
    return false;
}

}  // namespace

}  // namespace zax::data

using namespace zax::data;

extern "C" {

XAPI int32_t XAddKanjiShift(uint8_t code, int32_t length, const void *src, void *dst) {
    ShiftForm f;
    if (!shift_args_ok(FN_XAddKanjiShift, code, length, src, nullptr, false, dst, false, &f))
        return 0;
    Out o{static_cast<uint8_t *>(dst), INT64_MAX};
    WalkResult r = add_shift(f, static_cast<const uint8_t *>(src), size_t(length), o, false);
    if (r.status == 0) {
        lib_error(FN_XAddKanjiShift, R_XAddKanjiShift_CUT_CHARACTER, r.detail);
        return 0;
    }
    return 1;
}

XAPI int32_t XRemoveKanjiShift(uint8_t code, int32_t length, const void *src, void *dst) {
    ShiftForm f;
    if (!shift_args_ok(FN_XRemoveKanjiShift, code, length, src, nullptr, false, dst, true, &f))
        return 0;
    Out o{static_cast<uint8_t *>(dst), INT64_MAX};
    remove_shift(f, static_cast<const uint8_t *>(src), size_t(length), o, false);
    return 1;
}

XAPI int32_t XCountKanjiShift(uint8_t code, int32_t direction, int32_t length, const void *src) {
    ShiftForm f;
    uint32_t detail = 0;
    if (src == nullptr) detail = 4;
    else if (length <= 0) detail = 3;
    else if (!shift_form(code, &f)) detail = 1;
    if (detail != 0) {
        lib_error(FN_XCountKanjiShift, R_XCountKanjiShift_BAD_ARGUMENT, detail);
        return 0;
    }
    const auto *s = static_cast<const uint8_t *>(src);
    Out o{nullptr, INT64_MAX};
    if (f.native != Native::Ebcdic) {
        if (direction == 0) {
            remove_shift(f, s, size_t(length), o, false);
            return clamp32(o.pos);
        }
        if (direction != 1) return 0;
        WalkResult r = add_shift(f, s, size_t(length), o, false);
        if (r.status == 0) {
            lib_error(FN_XCountKanjiShift, R_XCountKanjiShift_CUT_CHARACTER, r.detail);
            return 0;
        }
        return clamp32(o.pos);
    }
    if (direction == 0) {
        if (f.base == 0x0D) {
            lib_error(FN_XCountKanjiShift, R_XCountKanjiShift_UNSUPPORTED, 0);
            return 0;
        }
        remove_shift(f, s, size_t(length), o, false);
        return clamp32(o.pos);
    }
    add_shift(f, s, size_t(length), o, false);  // never fails unbounded
    return clamp32(o.pos);
}

XAPI int32_t XAddKanjiShiftEx(uint8_t code, int32_t length, const void *src, int32_t *dstSize,
                              void *dst) {
    ShiftForm f;
    if (!shift_args_ok(FN_XAddKanjiShiftEx, code, length, src, dstSize, true, dst, false, &f))
        return 0;
    Out o{static_cast<uint8_t *>(dst), *dstSize};
    WalkResult r = add_shift(f, static_cast<const uint8_t *>(src), size_t(length), o, true);
    *dstSize = int32_t(o.pos);
    if (r.status == 0) lib_error(FN_XAddKanjiShiftEx, R_XAddKanjiShiftEx_CUT_CHARACTER, r.detail);
    return r.status;
}

XAPI int32_t XRemoveKanjiShiftEx(uint8_t code, int32_t length, const void *src, int32_t *dstSize,
                                 void *dst) {
    ShiftForm f;
    // Code 0x0D is refused after the other arguments, and the size then reads 0.
    if (!shift_args_ok(FN_XRemoveKanjiShiftEx, code, length, src, dstSize, true, dst, true, &f)) {
        if (dst != nullptr && dstSize != nullptr && *dstSize > 0 && src != nullptr &&
            length > 0 && shift_form(code, &f) && f.base == 0x0D)
            *dstSize = 0;
        return 0;
    }
    Out o{static_cast<uint8_t *>(dst), *dstSize};
    WalkResult r = remove_shift(f, static_cast<const uint8_t *>(src), size_t(length), o, true);
    *dstSize = int32_t(o.pos);
    if (r.status == 0)
        lib_error(FN_XRemoveKanjiShiftEx, R_XRemoveKanjiShiftEx_CUT_CHARACTER, r.detail);
    return r.status;
}

}  // extern "C"
