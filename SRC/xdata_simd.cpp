// xdata: the table walks of the single-byte conversions, with a vector path
// chosen at run time.
//
// A 256-entry byte table fits in four 64-byte registers; AVX-512 VBMI looks up
// 64 source bytes at once from two 128-byte halves (vpermi2b) and picks the
// half by the top bit of each byte.  The same lookups on the low and the high
// bytes of a 16-bit table give 64 Unicode units.  Machines without VBMI, and
// short texts, take the plain loops, which the tests also run on their own.
#include <atomic>

#include "xdata_tables.h"

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 headers trip its own uninitialised-value warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#define ZAX_HAVE_X86 1
#endif

namespace zax::data {
namespace {

#ifdef ZAX_HAVE_X86

#define ZAX_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// The mask of the first k bytes (k below 64).
inline __mmask64 first_bytes(size_t k) { return (1ULL << k) - 1; }

ZAX_VBMI inline __m512i lookup(__m512i x, __m512i t0, __m512i t1, __m512i t2, __m512i t3) {
    __m512i lo = _mm512_permutex2var_epi8(t0, x, t1);
    __m512i hi = _mm512_permutex2var_epi8(t2, x, t3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
}

ZAX_VBMI bool map_bytes_vbmi(uint8_t *dst, const uint8_t *src, size_t n, const uint8_t *table,
                             uint8_t src_period, uint8_t dst_period) {
    const __m512i t0 = _mm512_loadu_si512(table);
    const __m512i t1 = _mm512_loadu_si512(table + 64);
    const __m512i t2 = _mm512_loadu_si512(table + 128);
    const __m512i t3 = _mm512_loadu_si512(table + 192);
    const __m512i sp = _mm512_set1_epi8(char(src_period));
    const __m512i dp = _mm512_set1_epi8(char(dst_period));
    __mmask64 replaced = 0;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i x = _mm512_loadu_si512(src + i);
        __m512i y = lookup(x, t0, t1, t2, t3);
        replaced |= _mm512_cmpeq_epi8_mask(y, dp) & _mm512_cmpneq_epi8_mask(x, sp);
        _mm512_storeu_si512(dst + i, y);
    }
    if (i < n) {
        // Masked load and store: the bytes beyond the text are neither read
        // nor written.
        __mmask64 m = first_bytes(n - i);
        __m512i x = _mm512_maskz_loadu_epi8(m, src + i);
        __m512i y = lookup(x, t0, t1, t2, t3);
        replaced |= _mm512_mask_cmpeq_epi8_mask(m, y, dp) & _mm512_cmpneq_epi8_mask(x, sp);
        _mm512_mask_storeu_epi8(dst + i, m, y);
    }
    return replaced != 0;
}

// Byte positions that interleave 64 low bytes (a) and 64 high bytes (b) into
// 16-bit units: the first 32 units, then the second 32.
struct Interleave {
    alignas(64) uint8_t first[64];
    alignas(64) uint8_t second[64];
};
constexpr Interleave make_interleave() {
    Interleave t{};
    for (int k = 0; k < 32; ++k) {
        t.first[2 * k] = uint8_t(k);
        t.first[2 * k + 1] = uint8_t(64 + k);
        t.second[2 * k] = uint8_t(32 + k);
        t.second[2 * k + 1] = uint8_t(96 + k);
    }
    return t;
}
constexpr Interleave kInterleave = make_interleave();

ZAX_VBMI bool map_units_vbmi(uint16_t *dst, const uint8_t *src, size_t n, const uint16_t *table,
                             uint8_t src_period) {
    // Split the 16-bit table into a table of low bytes and one of high bytes.
    __m512i lt[4], ht[4];
    for (int k = 0; k < 4; ++k) {
        __m512i a = _mm512_loadu_si512(table + 64 * k);
        __m512i b = _mm512_loadu_si512(table + 64 * k + 32);
        lt[k] = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(a)),
                                   _mm512_cvtepi16_epi8(b), 1);
        ht[k] = _mm512_inserti64x4(
            _mm512_castsi256_si512(_mm512_cvtepi16_epi8(_mm512_srli_epi16(a, 8))),
            _mm512_cvtepi16_epi8(_mm512_srli_epi16(b, 8)), 1);
    }
    const __m512i sp = _mm512_set1_epi8(char(src_period));
    const __m512i period = _mm512_set1_epi8(char(kUnicodePeriod));
    const __m512i zero = _mm512_setzero_si512();
    const __m512i first = _mm512_load_si512(kInterleave.first);
    const __m512i second = _mm512_load_si512(kInterleave.second);
    __mmask64 replaced = 0;
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i x = _mm512_loadu_si512(src + i);
        __m512i lo = lookup(x, lt[0], lt[1], lt[2], lt[3]);
        __m512i hi = lookup(x, ht[0], ht[1], ht[2], ht[3]);
        replaced |= _mm512_cmpeq_epi8_mask(lo, period) & _mm512_cmpeq_epi8_mask(hi, zero) &
                    _mm512_cmpneq_epi8_mask(x, sp);
        _mm512_storeu_si512(dst + i, _mm512_permutex2var_epi8(lo, first, hi));
        _mm512_storeu_si512(dst + i + 32, _mm512_permutex2var_epi8(lo, second, hi));
    }
    if (i < n) {
        // The tail with masked loads and stores: nothing beyond the text is
        // read or written.
        __mmask64 m = first_bytes(n - i);
        __m512i x = _mm512_maskz_loadu_epi8(m, src + i);
        __m512i lo = lookup(x, lt[0], lt[1], lt[2], lt[3]);
        __m512i hi = lookup(x, ht[0], ht[1], ht[2], ht[3]);
        replaced |= _mm512_mask_cmpeq_epi8_mask(m, lo, period) & _mm512_cmpeq_epi8_mask(hi, zero) &
                    _mm512_cmpneq_epi8_mask(x, sp);
        _mm512_mask_storeu_epi16(dst + i, __mmask32(m), _mm512_permutex2var_epi8(lo, first, hi));
        _mm512_mask_storeu_epi16(dst + i + 32, __mmask32(m >> 32),
                                 _mm512_permutex2var_epi8(lo, second, hi));
    }
    return replaced != 0;
}

bool cpu_has_vbmi() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}

#pragma GCC diagnostic pop
#else
bool cpu_has_vbmi() { return false; }
#endif

// Below this many elements the plain loop is as fast and needs no set-up.
constexpr size_t kVectorMin = 64;

// The processor is asked on first use (a file-scope initialiser could run
// after another file's use). 0 unknown, 1 plain loops, 2 vector paths.
std::atomic<int> g_vector{0};

}  // namespace

bool vector_paths() {
    int v = g_vector.load(std::memory_order_relaxed);
    if (v == 0) g_vector.store(v = cpu_has_vbmi() ? 2 : 1, std::memory_order_relaxed);
    return v == 2;
}

void set_vector_paths(bool on) {
    g_vector.store(on && cpu_has_vbmi() ? 2 : 1, std::memory_order_relaxed);
}

bool map_bytes(uint8_t *dst, const uint8_t *src, size_t n, const uint8_t table[256],
               uint8_t src_period, uint8_t dst_period) {
#ifdef ZAX_HAVE_X86
    if (n >= kVectorMin && vector_paths())
        return map_bytes_vbmi(dst, src, n, table, src_period, dst_period);
#endif
    return map_bytes_plain(dst, src, n, table, src_period, dst_period);
}

bool map_units(uint16_t *dst, const uint8_t *src, size_t n, const uint16_t table[256],
               uint8_t src_period) {
#ifdef ZAX_HAVE_X86
    if (n >= kVectorMin && vector_paths()) return map_units_vbmi(dst, src, n, table, src_period);
#endif
    return map_units_plain(dst, src, n, table, src_period);
}

}  // namespace zax::data
