// xdata: Kanji conversion between Shift-JIS, EUC and the host EBCDIC forms,
// on text in the shifted form (double-byte runs between 0x1E and 0x1F).
//
// Each direction is one walk over the text with a run flag.  The host IBM
// code goes through the generated tables (one lookup per character), the
// JIS-based forms through arithmetic.  Shift-JIS is the hub: conversions
// between EUC and the host forms pass through it.
#include <cerrno>
#include <cstring>

#include "os/heap.h"
#include "xdata_kanji.h"
#include "xdata_tables.h"
#include "xint.h"

using namespace zax;

namespace zax::data {
namespace {

constexpr uint8_t kOpen = 0x1E, kClose = 0x1F;

bool sjis_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// Which form a Kanji code of the converters names, by its value without bit
// 0x80.  The host forms are the "EBCDIC" ones.
enum class Form { None, Sjis, Euc, Ibm, Jis0D, Jis40 };

Form form_of(uint8_t code, bool with_euc) {
    switch (code & 0x7F) {
    case 0x10: return Form::Sjis;
    case 0x30: return with_euc ? Form::Euc : Form::None;
    case 0x20: return Form::Ibm;
    case 0x0D: return Form::Jis0D;
    case 0x40: return Form::Jis40;
    default: return Form::None;
    }
}

bool is_host(Form f) { return f == Form::Ibm || f == Form::Jis0D || f == Form::Jis40; }

// Bit 0x80 of a host code picks the katakana single-byte table.
int variant_of(uint8_t code) { return (code & 0x80) ? 1 : 0; }

// Shift-JIS pair to its row-pair index (p * 188 + q), -1 for a second byte
// that no Shift-JIS character has.
int sjis_index(uint8_t f, uint8_t s) {
    if (s < 0x40 || s == 0x7F || s > 0xFC) return -1;
    int p = f < 0xE0 ? f - 0x81 : f - 0xC1;
    int q = s < 0x80 ? s - 0x40 : s - 0x41;
    return p * 188 + q;
}

// Index to the JIS-based pair (0x80 added to both bytes).
void index_to_jis(int index, uint8_t *out) {
    int p = index / 188, q = index % 188;
    if (q < 94) {
        out[0] = uint8_t(0xA1 + 2 * p);
        out[1] = uint8_t(0xA1 + q);
    } else {
        out[0] = uint8_t(0xA2 + 2 * p);
        out[1] = uint8_t(0xA1 + q - 94);
    }
}

// JIS-based pair (first byte 0xA1 or above) to Shift-JIS; false for a second
// byte outside 0xA1-0xFE.
bool jis_to_sjis(uint8_t f, uint8_t s, uint8_t *out) {
    if (s < 0xA1 || s > 0xFE) return false;
    int p = (f - 0xA1) / 2;
    int q = (f & 1) ? s - 0xA1 : s - 0x43;
    out[0] = uint8_t(0x81 + p + (p >= 31 ? 0x40 : 0));
    out[1] = uint8_t(0x40 + q + (q > 62 ? 1 : 0));
    return true;
}

// Lookup tables of the Shift-JIS/EUC arithmetic, built once at compile time
// so that the inner loops have no range tests.
struct JisTables {
    // Shift-JIS first byte: its JIS base (row pair), 0 for no EUC pair.
    uint16_t sjis_first[256];
    // Shift-JIS second byte: row and cell offset, 0 for no EUC pair.
    uint16_t sjis_second[256];
    // JIS row (0x21-0x7E, bit 0x80 dropped): Shift-JIS first byte, 0 outside.
    uint8_t row_lead[128];
    // JIS cell (0x21-0x7E): Shift-JIS second byte for odd and even rows, 0 outside.
    uint8_t cell_odd[128], cell_even[128];
};

constexpr JisTables make_jis_tables() {
    JisTables t{};
    for (int b = 0x81; b <= 0x9F; ++b) t.sjis_first[b] = uint16_t(0x2100 + (b - 0x81) * 0x200);
    for (int b = 0xE0; b <= 0xEF; ++b) t.sjis_first[b] = uint16_t(0x5F00 + (b - 0xE0) * 0x200);
    for (int c = 0x40; c <= 0x7E; ++c) t.sjis_second[c] = uint16_t(0x21 + (c - 0x40));
    for (int c = 0x80; c <= 0x9E; ++c) t.sjis_second[c] = uint16_t(0x60 + (c - 0x80));
    for (int c = 0x9F; c <= 0xFC; ++c) t.sjis_second[c] = uint16_t(0x121 + (c - 0x9F));
    for (int r = 0x21; r <= 0x7E; ++r)
        t.row_lead[r] = uint8_t(((r + 1) >> 1) + (r <= 0x5E ? 0x70 : 0xB0));
    for (int c = 0x21; c <= 0x7E; ++c) {
        t.cell_odd[c] = uint8_t(c + (c >= 0x60 ? 0x20 : 0x1F));
        t.cell_even[c] = uint8_t(c + 0x7E);
    }
    return t;
}
constexpr JisTables kJis = make_jis_tables();

// --- Between Shift-JIS and the host forms (same length; dst may be src) ----

// Host form to Shift-JIS.  Returns the position of the character that could
// not be converted, or n when the whole text was.
size_t host_to_sjis(Form from, int variant, const uint8_t *src, uint8_t *dst, size_t n) {
    const uint8_t *to_asc = kEbcToAsc[variant].data();
    size_t i = 0;
    while (i < n) {
        // Outside a run every byte but the markers goes through the
        // single-byte table (the space 0x40 included).
        for (; i < n; ++i) {
            uint8_t b = src[i];
            if (b == kOpen) break;
            dst[i] = b == kClose ? b : to_asc[b];
        }
        if (i >= n) break;
        dst[i] = kOpen;
        ++i;
        while (i < n) {
            uint8_t b = src[i];
            if (b == kClose || b == kOpen) {
                dst[i++] = b;
                if (b == kClose) break;
                continue;
            }
            // The double-byte space is two single-byte spaces.
            if (b == 0x40) {
                dst[i++] = 0x20;
                continue;
            }
            if (i + 1 >= n) return i;
            uint8_t s = src[i + 1];
            if (from == Form::Ibm) {
                unsigned row = unsigned(b) - 0x41, cell = unsigned(s) - 0x41;
                if (row > 0x68 - 0x41 || cell > 0xFE - 0x41) return i;
                uint16_t v = kIbmToSjis[row * 190 + cell + 1];
                dst[i] = uint8_t(v >> 8);
                dst[i + 1] = uint8_t(v);
            } else {
                uint8_t out[2];
                if (b < 0xA1 || !jis_to_sjis(b, s, out)) return i;
                dst[i] = out[0];
                dst[i + 1] = out[1];
            }
            i += 2;
        }
    }
    return n;
}

// Shift-JIS to a host form; to is the target code as given (exactly 0x40
// keeps the full-width space as 0xA1 0xA1).
size_t sjis_to_host(uint8_t to, Form form, const uint8_t *src, uint8_t *dst, size_t n) {
    const uint8_t *to_ebc = kAscToEbc[variant_of(to)].data();
    const bool space_as_4040 = to != 0x40;
    size_t i = 0;
    while (i < n) {
        for (; i < n; ++i) {
            uint8_t b = src[i];
            if (b == kOpen) break;
            dst[i] = b == kClose ? b : to_ebc[b];
        }
        if (i >= n) break;
        dst[i] = kOpen;
        ++i;
        while (i < n) {
            uint8_t b = src[i];
            if (b == kClose || b == kOpen) {
                dst[i++] = b;
                if (b == kClose) break;
                continue;
            }
            if (!sjis_lead(b) || i + 1 >= n) return i;
            uint8_t s = src[i + 1];
            const unsigned pair = unsigned(b) << 8 | s;
            // Codes the host forms do not share (NEC and IBM extensions, user
            // characters) pass through as they are.
            if ((pair >= 0x84BF && pair <= 0x889D) || b >= 0xEB) {
                dst[i] = b;
                dst[i + 1] = s;
            } else if (form == Form::Ibm) {
                if (s < 0x40) return i;
                int p = b < 0xE0 ? b - 0x81 : b - 0xC1;
                uint16_t v = kSjisToIbm[size_t(p) * 192 + (s - 0x40)];
                dst[i] = uint8_t(v >> 8);
                dst[i + 1] = uint8_t(v);
            } else {
                int index = sjis_index(b, s);
                if (index < 0) return i;
                index_to_jis(index, dst + i);
                if (space_as_4040 && dst[i] == 0xA1 && dst[i + 1] == 0xA1)
                    dst[i] = dst[i + 1] = 0x40;
            }
            i += 2;
        }
    }
    return n;
}

// --- Into a separate buffer: Shift-JIS and EUC -------------------------------

// Shift-JIS to EUC into out (room for 2 * n bytes); the length written, or
// -1 when a character cannot be converted.
long sjis_to_euc(const uint8_t *s, size_t n, uint8_t *out) {
    size_t o = 0, i = 0;
    while (i < n) {
        // Outside a run.
        while (i < n) {
            uint8_t b = s[i];
            if (b == kOpen) break;
            if (b >= 0xA0 && b <= 0xDF) out[o++] = 0x8E;
            out[o++] = b;
            ++i;
        }
        if (i >= n) break;
        out[o++] = s[i++];  // 0x1E
        // Inside a run: pairs until 0x1F.
        while (i < n) {
            uint8_t b = s[i];
            if (b == kClose) {
                out[o++] = b;
                ++i;
                break;
            }
            if (b == kOpen) {
                out[o++] = b;
                ++i;
                continue;
            }
            if (i + 1 >= n) return -1;
            unsigned first = kJis.sjis_first[b], second = kJis.sjis_second[s[i + 1]];
            if (first == 0 || second == 0) return -1;
            unsigned euc = first + second + 0x8080;
            out[o] = uint8_t(euc >> 8);
            out[o + 1] = uint8_t(euc);
            o += 2;
            i += 2;
        }
    }
    return long(o);
}

// EUC to Shift-JIS; never longer than the source.
long euc_to_sjis(const uint8_t *s, size_t n, uint8_t *out) {
    size_t o = 0, i = 0;
    while (i < n) {
        // Outside a run: 0x8E x is the single byte x.
        while (i < n) {
            uint8_t b = s[i];
            if (b == kOpen) break;
            if (b == 0x8E) {
                if (i + 1 >= n) return -1;
                b = s[++i];
            }
            out[o++] = b;
            ++i;
        }
        if (i >= n) break;
        out[o++] = s[i++];  // 0x1E
        while (i < n) {
            uint8_t b = s[i];
            if (b == kClose || b == kOpen) {
                out[o++] = b;
                ++i;
                if (b == kClose) break;
                continue;
            }
            if (b < 0xA1 || b == 0xFF || i + 1 >= n) return -1;
            unsigned r = b & 0x7F, c = s[i + 1] & 0x7F;
            uint8_t lead = kJis.row_lead[r];
            uint8_t second = (r & 1) ? kJis.cell_odd[c] : kJis.cell_even[c];
            if (lead == 0 || second == 0) return -1;
            out[o] = lead;
            out[o + 1] = second;
            o += 2;
            i += 2;
        }
    }
    return long(o);
}

// Bytes that begin a double-byte character of a target form, by value alone.
bool starts_pair(Form f, uint8_t b) {
    switch (f) {
    case Form::Sjis: return sjis_lead(b);
    case Form::Ibm: return b >= 0x40 && b <= 0x68;
    case Form::Euc: return b >= 0xA1 && b <= 0xFE;
    default: return b >= 0xA1;
    }
}

// The length of the converted text t that fits cap bytes without cutting a
// character: a double-byte start with fewer than three bytes of room left
// becomes 0x1F and ends the text; an EUC 0x8E pair that does not fit whole
// is dropped.
size_t cut_length(Form to, uint8_t *t, size_t cap) {
    size_t i = 0;
    while (i < cap) {
        uint8_t b = t[i];
        if (b != kOpen && b != kClose && starts_pair(to, b)) {
            if (cap - i < 3) {
                t[i] = kClose;
                return i + 1;
            }
            i += 2;
        } else if (to == Form::Euc && b == 0x8E) {
            if (cap - i < 2) return i;
            i += 2;
        } else {
            ++i;
        }
    }
    return i;
}

// The work area of a bounded conversion, taken through XAllocMemory (and
// failing with its error); sizes beyond its 32-bit argument come from the
// same heap with the same error.
uint8_t *alloc_work(size_t size) {
    if (size <= size_t(INT32_MAX)) {
        void *p = XAllocMemory(int32_t(size), 0);
        return p == X_FAILED_PTR ? nullptr : static_cast<uint8_t *>(p);
    }
    void *p = os::heap_alloc(size);
    if (p == nullptr) sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
    return static_cast<uint8_t *>(p);
}

void free_work(uint8_t *p) { (void)os::heap_free(p); }

// The detail of a failed host-to-Shift-JIS or Shift-JIS-to-host step.
uint32_t to_host_detail(Form f) { return f == Form::Ibm ? 1 : f == Form::Jis0D ? 2 : 3; }
uint32_t from_host_detail(Form f) { return f == Form::Ibm ? 4 : f == Form::Jis0D ? 5 : 6; }

}  // namespace
}  // namespace zax::data

using namespace zax::data;

extern "C" {

XAPI int32_t XConvertKanji(uint8_t from, uint8_t to, void *text, int32_t length) {
    uint32_t detail = 0;
    const Form ff = form_of(from, false), tf = form_of(to, false);
    if (text == nullptr) detail = 3;
    else if (length <= 0) detail = 4;
    else if (ff == Form::None) detail = 1;
    else if (tf == Form::None) detail = 2;
    if (detail != 0) {
        lib_error(FN_XConvertKanji, R_XConvertKanji_BAD_ARGUMENT, detail);
        return 0;
    }
    if (from == to) return 1;
    auto *t = static_cast<uint8_t *>(text);
    const size_t n = size_t(length);
    // Positions are size_t: texts above 65,535 bytes convert whole.
    if (from == 0x10 && is_host(tf)) {
        if (sjis_to_host(to, tf, t, t, n) != n) {
            lib_error(FN_XConvertKanji, R_XConvertKanji_BAD_TEXT, to_host_detail(tf));
            return 0;
        }
        return 1;
    }
    if (is_host(ff) && tf == Form::Sjis) {
        if (host_to_sjis(ff, variant_of(from), t, t, n) != n) {
            lib_error(FN_XConvertKanji, R_XConvertKanji_BAD_TEXT, from_host_detail(ff));
            return 0;
        }
        return 1;
    }
    lib_error(FN_XConvertKanji, R_XConvertKanji_UNSUPPORTED, 0);
    return 0;
}

XAPI int32_t XConvertKanjiEx(uint8_t from, uint8_t to, const void *src, void *dst, int32_t length,
                             int32_t *dstSize) {
    uint32_t detail = 0;
    const Form ff = form_of(from, true), tf = form_of(to, true);
    if (src == nullptr) detail = 3;
    else if (dst == nullptr) detail = 4;
    else if (length <= 0) detail = 5;
    else if (dstSize == nullptr || *dstSize <= 0) detail = 6;
    else if (ff == Form::None) detail = 1;
    else if (tf == Form::None) detail = 2;
    if (detail != 0) {
        lib_error(FN_XConvertKanjiEx, R_XConvertKanjiEx_BAD_ARGUMENT, detail);
        return 0;
    }
    const size_t n = size_t(length), cap = size_t(*dstSize);
    if (from == to) {
        size_t k = n < cap ? n : cap;
        std::memmove(dst, src, k);
        return int32_t(k);
    }
    const bool supported = (is_host(ff) && (tf == Form::Sjis || tf == Form::Euc)) ||
                           (is_host(tf) && (from == 0x10 || from == 0x30)) ||
                           (from == 0x10 && tf == Form::Euc) || (from == 0x30 && tf == Form::Sjis);
    if (!supported) {
        lib_error(FN_XConvertKanjiEx, R_XConvertKanjiEx_UNSUPPORTED, 0);
        return 0;
    }
    // The work area holds the result: twice the source for an EUC target
    // (each katakana byte gains its 0x8E), the source's length otherwise.
    const bool to_euc = tf == Form::Euc;
    uint8_t *work = alloc_work(to_euc ? 2 * n : n);
    if (work == nullptr) return 0;
    const auto *in = static_cast<const uint8_t *>(src);
    long out_len = long(n);
    uint32_t fail = 0;
    if (ff == Form::Euc) {
        out_len = euc_to_sjis(in, n, work);  // never longer than the source
        if (out_len < 0) fail = 8;
        else if (is_host(tf) &&
                 sjis_to_host(to, tf, work, work, size_t(out_len)) != size_t(out_len))
            fail = to_host_detail(tf);
    } else if (ff == Form::Sjis) {
        if (to_euc) {
            out_len = sjis_to_euc(in, n, work);
            if (out_len < 0) fail = 7;
        } else if (sjis_to_host(to, tf, in, work, n) != n) {
            fail = to_host_detail(tf);
        }
    } else if (to_euc) {
        // A host form goes to Shift-JIS in the upper half; EUC is then
        // written from there towards the lower half, growing by at most one
        // byte per source byte, so that writing never overtakes reading.
        uint8_t *upper = work + n;
        if (host_to_sjis(ff, variant_of(from), in, upper, n) != n) {
            fail = from_host_detail(ff);
        } else {
            out_len = sjis_to_euc(upper, n, work);
            if (out_len < 0) fail = 7;
        }
    } else if (host_to_sjis(ff, variant_of(from), in, work, n) != n) {
        fail = from_host_detail(ff);
    }
    if (fail != 0) {
        free_work(work);
        lib_error(FN_XConvertKanjiEx, R_XConvertKanjiEx_BAD_TEXT, fail);
        return 0;
    }
    size_t placed = size_t(out_len);
    if (placed > cap) placed = cut_length(tf, work, cap);
    std::memcpy(dst, work, placed);
    free_work(work);
    // The full converted length, so that a caller can tell a cut result.
    *dstSize = out_len > INT32_MAX ? INT32_MAX : int32_t(out_len);
    return int32_t(placed);
}

}  // extern "C"
