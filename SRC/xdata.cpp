// xdata: the single-byte code tables (ASCII, EBCDIC in two variants,
// Unicode), byte order and hexadecimal text.
//
// Only the two ASCII-to-EBCDIC tables and the ASCII-to-Unicode rule are
// written out; the EBCDIC-to-ASCII tables are their inverses and the
// EBCDIC-to-Unicode tables their compositions, derived at compile time so that
// they cannot drift apart.
#include <cstring>

#include "xdata_tables.h"
#include "xint.h"

using namespace zax;

namespace zax::data {
namespace {

constexpr ByteTable kAscToEbcLatin = {
    0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x22, 0x4B, 0x4B, 0x4B,
    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xAD, 0xE0, 0xBD, 0xB0, 0x6D,
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1, 0x07,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
};

constexpr ByteTable kAscToEbcKatakana = {
    0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x25, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x22, 0x4B, 0x4B, 0x4B,
    0x40, 0x5A, 0x7F, 0x7B, 0xE0, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0x4B, 0x5B, 0x4B, 0x4B, 0x6D,
    0x79, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0xC0, 0x4F, 0xD0, 0xA1, 0x07,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56,
    0x58, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8C, 0x8D, 0x8E, 0x8F, 0x90,
    0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9D, 0x9E, 0x9F, 0xA2, 0xA3, 0xA4,
    0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAC, 0xAD, 0xAE, 0xAF, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
    0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B, 0x4B,
};

// EBCDIC to ASCII: each EBCDIC byte goes back to the ASCII byte that reaches
// it; bytes nobody reaches, and the substitute itself, give the ASCII period.
constexpr ByteTable invert(const ByteTable &to_ebc) {
    ByteTable t{};
    for (auto &e : t) e = kAsciiPeriod;
    for (int a = 0; a < 256; ++a)
        if (to_ebc[a] != kEbcdicPeriod) t[to_ebc[a]] = uint8_t(a);
    return t;
}

// ASCII to Unicode: 0x01 and 0x02 trade places, the half-width katakana move
// to U+FF61-U+FF9F, and 0xE0-0xFF carry nothing.
constexpr UnitTable ascii_to_unicode() {
    UnitTable t{};
    for (int a = 0; a < 256; ++a) {
        if (a == 0x01) t[a] = 0x0002;
        else if (a == 0x02) t[a] = 0x0001;
        else if (a <= 0xA0) t[a] = uint16_t(a);
        else if (a <= 0xDF) t[a] = uint16_t(a + 0xFEC0);
        else t[a] = kUnicodePeriod;
    }
    return t;
}

constexpr UnitTable compose(const ByteTable &to_asc, const UnitTable &asc_to_uni) {
    UnitTable t{};
    for (int e = 0; e < 256; ++e) t[e] = asc_to_uni[to_asc[e]];
    return t;
}

// Variant 1 towards Unicode knows the cent sign at 0x4A, which ASCII lacks,
// and does not carry the four brackets and backslash that ASCII has there.
constexpr UnitTable latin_to_unicode(const ByteTable &to_asc, const UnitTable &asc_to_uni) {
    UnitTable t = compose(to_asc, asc_to_uni);
    t[0x4A] = 0xFFE0;
    t[0xAD] = kUnicodePeriod;
    t[0xB0] = kUnicodePeriod;
    t[0xBD] = kUnicodePeriod;
    t[0xE0] = kUnicodePeriod;
    return t;
}

// The lowest index holding each unit: the result of searching the table from
// index 0 upwards, precomputed.
constexpr UniReverse reverse(const UnitTable &t) {
    UniReverse r{};
    for (auto &x : r.low) x = -1;
    for (auto &x : r.high) x = -1;
    for (int i = 255; i >= 0; --i) {
        uint16_t u = t[i];
        if (u < 0x100) r.low[u] = int16_t(i);
        else if (u >= 0xFF00) r.high[u & 0xFF] = int16_t(i);
    }
    return r;
}

constexpr ByteTable kEbcToAscLatin = invert(kAscToEbcLatin);
constexpr ByteTable kEbcToAscKatakana = invert(kAscToEbcKatakana);
constexpr UnitTable kAsciiToUnicode = ascii_to_unicode();
constexpr UnitTable kEbcToUniLatin = latin_to_unicode(kEbcToAscLatin, kAsciiToUnicode);
constexpr UnitTable kEbcToUniKatakana = compose(kEbcToAscKatakana, kAsciiToUnicode);

// Every unit of the three tables lies where UniReverse can hold it.
constexpr bool units_in_halves(const UnitTable &t) {
    for (uint16_t u : t)
        if (u >= 0x100 && u < 0xFF00) return false;
    return true;
}
static_assert(units_in_halves(kAsciiToUnicode) && units_in_halves(kEbcToUniLatin) &&
              units_in_halves(kEbcToUniKatakana));

}  // namespace

const ByteTable kAscToEbc[2] = {kAscToEbcLatin, kAscToEbcKatakana};
const ByteTable kEbcToAsc[2] = {kEbcToAscLatin, kEbcToAscKatakana};
const UnitTable kAscToUni = kAsciiToUnicode;
const UnitTable kEbcToUni[2] = {kEbcToUniLatin, kEbcToUniKatakana};
const UniReverse kUniToAsc = reverse(kAsciiToUnicode);
const UniReverse kUniToEbc[2] = {reverse(kEbcToUniLatin), reverse(kEbcToUniKatakana)};

bool map_bytes_plain(uint8_t *dst, const uint8_t *src, size_t n, const uint8_t table[256],
                     uint8_t src_period, uint8_t dst_period) {
    bool replaced = false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t s = src[i];
        uint8_t d = table[s];
        dst[i] = d;
        replaced |= (d == dst_period) & (s != src_period);
    }
    return replaced;
}

bool map_units_plain(uint16_t *dst, const uint8_t *src, size_t n, const uint16_t table[256],
                     uint8_t src_period) {
    bool replaced = false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t s = src[i];
        uint16_t d = table[s];
        dst[i] = d;
        replaced |= (d == kUnicodePeriod) & (s != src_period);
    }
    return replaced;
}

}  // namespace zax::data

namespace {

using namespace zax::data;

constexpr Reason kConvArgument = same_reason(
    R_XConvAscToEbc_BAD_ARGUMENT, R_XConvEbcToAsc_BAD_ARGUMENT, R_XConvAscToUni_BAD_ARGUMENT,
    R_XConvEbcToUni_BAD_ARGUMENT, R_XConvUniToAsc_BAD_ARGUMENT, R_XConvUniToEbc_BAD_ARGUMENT);

// Argument checks shared by the six table conversions, in their order.
bool conv_args_ok(Fn fn, const void *dst, const void *src, int32_t count, int32_t variant) {
    uint32_t detail = 0;
    if (dst == nullptr) detail = 1;
    else if (src == nullptr) detail = 2;
    else if (count < 1) detail = 3;
    else if (variant != 1 && variant != 2) detail = 4;
    if (detail == 0) return true;
    lib_error(fn, kConvArgument, detail);
    return false;
}

// Unicode to bytes through a reversed table.  Each unit is read before the
// byte of the same index is written, so dst may be the source buffer itself.
int32_t units_to_bytes(uint8_t *dst, const uint16_t *src, size_t n, const UniReverse &rev,
                       uint8_t period) {
    bool replaced = false;
    for (size_t i = 0; i < n; ++i) {
        uint16_t u = src[i];
        int idx = rev.find(u);
        if (idx < 0 || u == kUnicodePeriod) {
            dst[i] = period;
            replaced |= u != kUnicodePeriod;
        } else {
            dst[i] = uint8_t(idx);
        }
    }
    return replaced ? 2 : 1;
}

}  // namespace

extern "C" {

XAPI int32_t XConvAscToEbc(void *dst, const void *src, int32_t count, int32_t variant) {
    if (!conv_args_ok(FN_XConvAscToEbc, dst, src, count, variant)) return 0;
    return map_bytes(static_cast<uint8_t *>(dst), static_cast<const uint8_t *>(src), size_t(count),
                     kAscToEbc[variant - 1].data(), kAsciiPeriod, kEbcdicPeriod)
               ? 2
               : 1;
}

XAPI int32_t XConvEbcToAsc(void *dst, const void *src, int32_t count, int32_t variant) {
    if (!conv_args_ok(FN_XConvEbcToAsc, dst, src, count, variant)) return 0;
    return map_bytes(static_cast<uint8_t *>(dst), static_cast<const uint8_t *>(src), size_t(count),
                     kEbcToAsc[variant - 1].data(), kEbcdicPeriod, kAsciiPeriod)
               ? 2
               : 1;
}

XAPI int32_t XConvAscToUni(uint16_t *dst, const void *src, int32_t count) {
    if (!conv_args_ok(FN_XConvAscToUni, dst, src, count, 1)) return 0;
    return map_units(dst, static_cast<const uint8_t *>(src), size_t(count), kAscToUni.data(),
                     kAsciiPeriod)
               ? 2
               : 1;
}

XAPI int32_t XConvEbcToUni(uint16_t *dst, const void *src, int32_t count, int32_t variant) {
    if (!conv_args_ok(FN_XConvEbcToUni, dst, src, count, variant)) return 0;
    return map_units(dst, static_cast<const uint8_t *>(src), size_t(count),
                     kEbcToUni[variant - 1].data(), kEbcdicPeriod)
               ? 2
               : 1;
}

XAPI int32_t XConvUniToAsc(void *dst, const uint16_t *src, int32_t count) {
    if (!conv_args_ok(FN_XConvUniToAsc, dst, src, count, 1)) return 0;
    return units_to_bytes(static_cast<uint8_t *>(dst), src, size_t(count), kUniToAsc,
                          kAsciiPeriod);
}

XAPI int32_t XConvUniToEbc(void *dst, const uint16_t *src, int32_t count, int32_t variant) {
    if (!conv_args_ok(FN_XConvUniToEbc, dst, src, count, variant)) return 0;
    return units_to_bytes(static_cast<uint8_t *>(dst), src, size_t(count), kUniToEbc[variant - 1],
                          kEbcdicPeriod);
}

// The host is little-endian: to-network and to-host are the same reversal.
XAPI uint16_t XChangeToNwkOrder16(uint16_t value) { return __builtin_bswap16(value); }
XAPI uint16_t XChangeToHostOrder16(uint16_t value) { return __builtin_bswap16(value); }
XAPI uint32_t XChangeToNwkOrder32(uint32_t value) { return __builtin_bswap32(value); }
XAPI uint32_t XChangeToHostOrder32(uint32_t value) { return __builtin_bswap32(value); }

// The eight bytes move as raw storage: no floating-point arithmetic touches
// them, so a reversed value that forms a signalling NaN comes through intact.
XAPI double XChangeToNwkOrderDOUBLE(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bits = __builtin_bswap64(bits);
    std::memcpy(&value, &bits, sizeof bits);
    return value;
}
XAPI double XChangeToHostOrderDOUBLE(double value) { return XChangeToNwkOrderDOUBLE(value); }

XAPI uint32_t XAtox(const char *text, int32_t length) {
    if (text == nullptr) {
        lib_error(FN_XAtox, R_XAtox_BAD_ARGUMENT, 1);
        return 0;
    }
    if (length < 1) {
        lib_error(FN_XAtox, R_XAtox_BAD_ARGUMENT, 2);
        return 0;
    }
    // Every byte is tested, also those after a NUL.
    if (XTestMask(text, uint32_t(length), "0123456789ABCDEFabcdef ") != 1) {
        lib_error(FN_XAtox, R_XAtox_BAD_TEXT, 2);
        return 0;
    }
    const auto *t = reinterpret_cast<const uint8_t *>(text);
    int32_t end = length;
    for (int32_t i = 0; i < length && i < 255; ++i)
        if (t[i] == 0) {
            end = i;
            break;
        }
    uint32_t value = 0;
    int digits = 0;
    for (int32_t i = end - 1; i >= 0; --i) {
        uint8_t c = t[i];
        // A NUL past the first 255 bytes does not end the digits; it counts
        // as nothing, like a space, rather than as a digit of no value.
        if (c == ' ' || c == 0) continue;
        if (digits == 8) {
            lib_error(FN_XAtox, R_XAtox_BAD_TEXT, 1);
            return 0;
        }
        uint32_t v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        value |= v << (4 * digits);
        ++digits;
    }
    return value;
}

}  // extern "C"
