// Data conversion speed: this library against glibc iconv doing the same job
// on the same bytes, and against memcpy of those bytes (the physical limit).
// Every case runs on a 64 KiB and a 16 MiB input; the rate is of input bytes.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zaxxlib.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kSmall = 64 << 10, kLarge = 16 << 20;

// Printable ASCII (upper case, digits, punctuation), which every single-byte
// table and IBM037 map.
Bytes ascii_text(size_t n) {
    static const char kChars[] = "THE QUICK BROWN FOX 0123456789, JUMPS OVER (THE) LAZY DOG. ";
    Bytes t(n);
    for (size_t i = 0; i < n; ++i) t[i] = uint8_t(kChars[(i * 7 + i / 61) % (sizeof kChars - 1)]);
    return t;
}

// Japanese text: runs of hiragana and first-level kanji between words of
// ASCII, as Shift-JIS pairs.  native has no markers (for iconv), shifted has
// 0x1E and 0x1F around each run (for the library).  Both are cut to about n.
struct Japanese {
    Bytes native, shifted;
};

Japanese japanese_text(size_t n) {
    Japanese j;
    unsigned k = 0;
    while (j.shifted.size() < n) {
        for (int w = 0; w < 4; ++w) {
            uint8_t c = uint8_t('A' + (k + w) % 26);
            j.native.push_back(c);
            j.shifted.push_back(c);
        }
        j.shifted.push_back(0x1E);
        for (int r = 0; r < 12; ++r, ++k) {
            // Alternating hiragana (0x829F-0x82F1) and kanji (0x889F-0x88FC).
            uint8_t lead = (k & 1) ? 0x88 : 0x82;
            uint8_t second = (k & 1) ? uint8_t(0x9F + k % 94) : uint8_t(0x9F + k % 83);
            j.native.insert(j.native.end(), {lead, second});
            j.shifted.insert(j.shifted.end(), {lead, second});
        }
        j.shifted.push_back(0x1F);
    }
    return j;
}

// The same text as iconv converts it (native) and as the library does
// (shifted), for a source form.
struct Pair {
    Bytes native, shifted;
};

// Converts a whole buffer with iconv; returns the output length.
size_t run_iconv(iconv_t cd, const Bytes &in, Bytes &out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *ip = reinterpret_cast<char *>(const_cast<uint8_t *>(in.data()));
    size_t il = in.size();
    char *op = reinterpret_cast<char *>(out.data());
    size_t ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv(cd, nullptr, nullptr, &op, &ol);
    return out.size() - ol;
}

// Host form of the Japanese text: iconv's IBM930 bytes (0x0E/0x0F shifts) and
// the library's shifted IBM bytes.
Pair host_text(const Japanese &j) {
    Pair p;
    p.shifted = j.shifted;
    XConvertKanji(0x10, 0xA0, p.shifted.data(), int32_t(p.shifted.size()));
    iconv_t cd = iconv_open("IBM930", "IBM943");
    Bytes out(j.native.size() * 2 + 64);
    out.resize(run_iconv(cd, j.native, out));
    iconv_close(cd);
    p.native = out;
    return p;
}

Pair euc_text(const Japanese &j) {
    Pair p;
    Bytes out(j.shifted.size() * 2);
    int32_t size = int32_t(out.size());
    int32_t n = XConvertKanjiEx(0x10, 0x30, j.shifted.data(), out.data(),
                                int32_t(j.shifted.size()), &size);
    out.resize(size_t(n));
    p.shifted = out;
    iconv_t cd = iconv_open("EUC-JP", "SHIFT_JIS");
    Bytes native(j.native.size() * 2);
    native.resize(run_iconv(cd, j.native, native));
    iconv_close(cd);
    p.native = native;
    return p;
}

void set_rate(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// --- single-byte ------------------------------------------------------------

void BM_Memcpy(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0))), out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}

void BM_AscToEbc_Lib(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0))), out(in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(XConvAscToEbc(out.data(), in.data(), int32_t(in.size()), 1));
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}

// What a plain 256-entry table loop does, for comparison with the vector path.
void BM_AscToEbc_PlainTable(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0))), out(in.size());
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) {
        uint8_t a = uint8_t(i);
        XConvAscToEbc(&table[i], &a, 1, 1);
    }
    for (auto _ : state) {
        const uint8_t *s = in.data();
        uint8_t *d = out.data();
        for (size_t i = 0, n = in.size(); i < n; ++i) d[i] = table[s[i]];
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}

void BM_AscToEbc_Iconv(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0))), out(in.size());
    iconv_t cd = iconv_open("IBM037", "ASCII");
    for (auto _ : state) benchmark::DoNotOptimize(run_iconv(cd, in, out));
    iconv_close(cd);
    set_rate(state, in.size());
}

void BM_AscToUtf16_Lib(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0)));
    std::vector<uint16_t> out(in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(XConvAscToUni(out.data(), in.data(), int32_t(in.size())));
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}

void BM_AscToUtf16_Iconv(benchmark::State &state) {
    Bytes in = ascii_text(size_t(state.range(0))), out(in.size() * 2);
    iconv_t cd = iconv_open("UTF-16LE", "ASCII");
    for (auto _ : state) benchmark::DoNotOptimize(run_iconv(cd, in, out));
    iconv_close(cd);
    set_rate(state, in.size());
}

// --- double-byte ------------------------------------------------------------

void kanji_lib(benchmark::State &state, uint8_t from, uint8_t to, const Bytes &in) {
    Bytes out(in.size() * 2);
    for (auto _ : state) {
        int32_t size = int32_t(out.size());
        benchmark::DoNotOptimize(XConvertKanjiEx(from, to, in.data(), out.data(),
                                                 int32_t(in.size()), &size));
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}

void kanji_iconv(benchmark::State &state, const char *to, const char *from, const Bytes &in) {
    Bytes out(in.size() * 2 + 64);
    iconv_t cd = iconv_open(to, from);
    for (auto _ : state) benchmark::DoNotOptimize(run_iconv(cd, in, out));
    iconv_close(cd);
    set_rate(state, in.size());
}

void BM_SjisToEuc_Lib(benchmark::State &state) {
    kanji_lib(state, 0x10, 0x30, japanese_text(size_t(state.range(0))).shifted);
}
void BM_SjisToEuc_Iconv(benchmark::State &state) {
    kanji_iconv(state, "EUC-JP", "SHIFT_JIS", japanese_text(size_t(state.range(0))).native);
}
void BM_EucToSjis_Lib(benchmark::State &state) {
    kanji_lib(state, 0x30, 0x10, euc_text(japanese_text(size_t(state.range(0)))).shifted);
}
void BM_EucToSjis_Iconv(benchmark::State &state) {
    kanji_iconv(state, "SHIFT_JIS", "EUC-JP", euc_text(japanese_text(size_t(state.range(0)))).native);
}
void BM_IbmToSjis_Lib(benchmark::State &state) {
    kanji_lib(state, 0xA0, 0x10, host_text(japanese_text(size_t(state.range(0)))).shifted);
}
// The in-place form on the same text (each pass converts a fresh copy).
void BM_IbmToSjis_LibInPlace(benchmark::State &state) {
    Bytes in = host_text(japanese_text(size_t(state.range(0)))).shifted, work(in.size());
    for (auto _ : state) {
        std::memcpy(work.data(), in.data(), in.size());
        benchmark::DoNotOptimize(XConvertKanji(0xA0, 0x10, work.data(), int32_t(work.size())));
        benchmark::ClobberMemory();
    }
    set_rate(state, in.size());
}
void BM_IbmToSjis_Iconv(benchmark::State &state) {
    kanji_iconv(state, "IBM943", "IBM930", host_text(japanese_text(size_t(state.range(0)))).native);
}
void BM_SjisToIbm_Lib(benchmark::State &state) {
    kanji_lib(state, 0x10, 0xA0, japanese_text(size_t(state.range(0))).shifted);
}
void BM_SjisToIbm_Iconv(benchmark::State &state) {
    kanji_iconv(state, "IBM930", "IBM943", japanese_text(size_t(state.range(0))).native);
}

#define SIZES ->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMicrosecond)

BENCHMARK(BM_Memcpy) SIZES;
BENCHMARK(BM_AscToEbc_Lib) SIZES;
BENCHMARK(BM_AscToEbc_PlainTable) SIZES;
BENCHMARK(BM_AscToEbc_Iconv) SIZES;
BENCHMARK(BM_AscToUtf16_Lib) SIZES;
BENCHMARK(BM_AscToUtf16_Iconv) SIZES;
BENCHMARK(BM_SjisToEuc_Lib) SIZES;
BENCHMARK(BM_SjisToEuc_Iconv) SIZES;
BENCHMARK(BM_EucToSjis_Lib) SIZES;
BENCHMARK(BM_EucToSjis_Iconv) SIZES;
BENCHMARK(BM_IbmToSjis_Lib) SIZES;
BENCHMARK(BM_IbmToSjis_LibInPlace) SIZES;
BENCHMARK(BM_IbmToSjis_Iconv) SIZES;
BENCHMARK(BM_SjisToIbm_Lib) SIZES;
BENCHMARK(BM_SjisToIbm_Iconv) SIZES;

}  // namespace
