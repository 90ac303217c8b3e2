// Code tables: the input is a variant and the text. Each of the six
// conversions writes exactly count elements, says "replaced" exactly when
// it put a substitute for a character that is not the period, gives the
// same result in place, and every character that crossed without
// replacement crosses back unchanged.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

constexpr uint8_t kAscPeriod = 0x2E, kEbcPeriod = 0x4B;
constexpr uint16_t kUniPeriod = 0x002E;

// Byte to byte (ASCII and EBCDIC either way): result and output.
int32_t bytes(bool to_ebcdic, const uint8_t *src, int32_t n, int32_t variant, std::vector<uint8_t> &out) {
    Guarded dst{size_t(n)};
    int32_t r = to_ebcdic ? XConvAscToEbc(dst.data(), src, n, variant)
                          : XConvEbcToAsc(dst.data(), src, n, variant);
    FUZZ_CHECK(dst.intact());
    out.assign(dst.data(), dst.data() + n);
    // In place gives the same.
    std::vector<uint8_t> same(src, src + n);
    int32_t r2 = to_ebcdic ? XConvAscToEbc(same.data(), same.data(), n, variant)
                           : XConvEbcToAsc(same.data(), same.data(), n, variant);
    FUZZ_CHECK(r2 == r && (r == 0 || same == out));
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t v = in.ConsumeIntegral<uint8_t>();
    int32_t variant = v < 250 ? 1 + v % 2 : int32_t(v) - 250;  // now and then 0 to 5
    std::vector<uint8_t> src = in.ConsumeRemainingBytes<uint8_t>();
    if (src.empty()) return 0;
    const int32_t n = int32_t(src.size());
    bool valid = variant == 1 || variant == 2;

    // ASCII and EBCDIC, both ways.
    for (bool to_ebcdic : {true, false}) {
        std::vector<uint8_t> out, back;
        int32_t r = bytes(to_ebcdic, src.data(), n, variant, out);
        if (!valid) {
            FUZZ_CHECK(r == 0);
            continue;
        }
        uint8_t from_period = to_ebcdic ? kAscPeriod : kEbcPeriod;
        uint8_t to_period = to_ebcdic ? kEbcPeriod : kAscPeriod;
        bool replaced = false;
        for (int32_t i = 0; i < n; ++i) replaced |= out[i] == to_period && src[i] != from_period;
        FUZZ_CHECK(r == (replaced ? 2 : 1));
        FUZZ_CHECK(bytes(!to_ebcdic, out.data(), n, variant, back) != 0);
        for (int32_t i = 0; i < n; ++i)
            if (out[i] != to_period || src[i] == from_period) FUZZ_CHECK(back[i] == src[i]);
    }

    // ASCII and EBCDIC to Unicode and back.
    for (bool ebcdic : {false, true}) {
        Guarded uni(size_t(n) * 2);
        auto *u = reinterpret_cast<uint16_t *>(uni.data());
        int32_t r = ebcdic ? XConvEbcToUni(u, src.data(), n, variant) : XConvAscToUni(u, src.data(), n);
        FUZZ_CHECK(uni.intact());
        if (ebcdic && !valid) {
            FUZZ_CHECK(r == 0);
            continue;
        }
        uint8_t period = ebcdic ? kEbcPeriod : kAscPeriod;
        bool replaced = false;
        for (int32_t i = 0; i < n; ++i) replaced |= u[i] == kUniPeriod && src[i] != period;
        FUZZ_CHECK(r == (replaced ? 2 : 1));
        Guarded back{size_t(n)};
        int32_t r2 = ebcdic ? XConvUniToEbc(back.data(), u, n, variant) : XConvUniToAsc(back.data(), u, n);
        FUZZ_CHECK(back.intact() && r2 != 0);
        for (int32_t i = 0; i < n; ++i)
            if (u[i] != kUniPeriod || src[i] == period) FUZZ_CHECK(back.data()[i] == src[i]);
        // Unicode to bytes in place gives the same bytes.
        std::vector<uint16_t> units(u, u + n);
        int32_t r3 = ebcdic ? XConvUniToEbc(units.data(), units.data(), n, variant)
                            : XConvUniToAsc(units.data(), units.data(), n);
        FUZZ_CHECK(r3 == r2 && std::memcmp(units.data(), back.data(), size_t(n)) == 0);
    }

    // Units from the input, to bytes: the period stands for what has no counterpart.
    std::vector<uint16_t> units(src.size() / 2);
    if (!units.empty()) {
        std::memcpy(units.data(), src.data(), units.size() * 2);
        const int32_t m = int32_t(units.size());
        for (bool ebcdic : {false, true}) {
            if (ebcdic && !valid) continue;
            Guarded out{size_t(m)};
            int32_t r = ebcdic ? XConvUniToEbc(out.data(), units.data(), m, variant)
                               : XConvUniToAsc(out.data(), units.data(), m);
            FUZZ_CHECK(out.intact());
            uint8_t period = ebcdic ? kEbcPeriod : kAscPeriod;
            bool replaced = false;
            for (int32_t i = 0; i < m; ++i) replaced |= out.data()[i] == period && units[i] != kUniPeriod;
            FUZZ_CHECK(r == (replaced ? 2 : 1));
            Guarded uni(size_t(m) * 2);
            auto *u = reinterpret_cast<uint16_t *>(uni.data());
            FUZZ_CHECK((ebcdic ? XConvEbcToUni(u, out.data(), m, variant) : XConvAscToUni(u, out.data(), m)) != 0);
            for (int32_t i = 0; i < m; ++i)
                if (out.data()[i] != period) FUZZ_CHECK(u[i] == units[i]);
        }
    }
    return 0;
}
