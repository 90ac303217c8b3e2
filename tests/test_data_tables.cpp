// Code tables, byte order and hexadecimal text.
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "xdata_tables.h"
#include "zaxtest.h"

using namespace zaxtest;
namespace d = zax::data;

namespace {

constexpr uint32_t kAscToEbcFn = 0x46, kAscToUniFn = 0x47, kEbcToAscFn = 0x48,
                   kEbcToUniFn = 0x49, kUniToAscFn = 0x4a, kUniToEbcFn = 0x4b, kAtoxFn = 0x11f;

// The ASCII bytes each variant maps, as the tables are documented.
std::set<int> documented_mapped(int variant) {
    std::set<int> s;
    if (variant == 1) {
        for (int a = 0; a < 0x80; ++a)
            if (a < 0x1D || a > 0x1F) s.insert(a);
    } else {
        for (int a = 0x00; a <= 0x1C; ++a) s.insert(a);
        for (int a = 0x20; a <= 0x5A; ++a) s.insert(a);
        for (int a : {0x5C, 0x5F, 0x60}) s.insert(a);
        for (int a = 0x7B; a <= 0x7F; ++a) s.insert(a);
        for (int a = 0xA1; a <= 0xDF; ++a) s.insert(a);
    }
    return s;
}

uint8_t asc_to_ebc(uint8_t a, int variant, int32_t *result = nullptr) {
    uint8_t e = 0;
    int32_t r = XConvAscToEbc(&e, &a, 1, variant);
    if (result) *result = r;
    return e;
}

}  // namespace

class DataTables : public ZaxTest {};

TEST(DataTableProofs, AsciiToEbcdicMapsExactlyTheDocumentedCharacters) {
    for (int v = 1; v <= 2; ++v) {
        std::set<int> mapped;
        std::map<int, int> seen;  // EBCDIC value -> ASCII byte
        for (int a = 0; a < 256; ++a) {
            uint8_t e = d::kAscToEbc[v - 1][a];
            if (e != d::kEbcdicPeriod || a == d::kAsciiPeriod) mapped.insert(a);
            if (e != d::kEbcdicPeriod) {
                EXPECT_EQ(seen.count(e), 0u) << "variant " << v << ": EBCDIC " << e << " twice";
                seen[e] = a;
            }
        }
        EXPECT_EQ(mapped.size(), v == 1 ? 125u : 159u);
        EXPECT_EQ(mapped, documented_mapped(v)) << "variant " << v;
    }
}

TEST(DataTableProofs, EbcdicToAsciiIsTheExactInverse) {
    for (int v = 1; v <= 2; ++v) {
        const auto &to_ebc = d::kAscToEbc[v - 1];
        const auto &to_asc = d::kEbcToAsc[v - 1];
        int non_substitute = 0;
        for (int e = 0; e < 256; ++e) {
            int reached_by = -1;
            for (int a = 0; a < 256; ++a)
                if (to_ebc[a] == e && e != d::kEbcdicPeriod) reached_by = a;
            if (e == d::kEbcdicPeriod) {
                EXPECT_EQ(to_asc[e], d::kAsciiPeriod);
                ++non_substitute;
            } else if (reached_by < 0) {
                EXPECT_EQ(to_asc[e], d::kAsciiPeriod) << "EBCDIC " << e;
            } else {
                EXPECT_EQ(to_asc[e], reached_by) << "EBCDIC " << e;
                ++non_substitute;
            }
        }
        EXPECT_EQ(non_substitute, v == 1 ? 125 : 159);
        // Every mapped character crosses and comes back unchanged.
        for (int a : documented_mapped(v)) EXPECT_EQ(to_asc[to_ebc[a]], a) << a;
    }
}

TEST(DataTableProofs, UnicodeTablesAreCompositionsWithFiveLatinExceptions) {
    std::map<int, uint16_t> exceptions = {
        {0x4A, 0xFFE0}, {0xAD, 0x2E}, {0xB0, 0x2E}, {0xBD, 0x2E}, {0xE0, 0x2E}};
    for (int v = 1; v <= 2; ++v) {
        int differ = 0;
        for (int e = 0; e < 256; ++e) {
            uint16_t composed = d::kAscToUni[d::kEbcToAsc[v - 1][e]];
            uint16_t entry = d::kEbcToUni[v - 1][e];
            if (entry != composed) {
                ++differ;
                ASSERT_EQ(v, 1) << "variant 2 differs at " << e;
                ASSERT_EQ(exceptions.count(e), 1u) << e;
                EXPECT_EQ(entry, exceptions[e]);
            }
        }
        EXPECT_EQ(differ, v == 1 ? 5 : 0);
    }

    for (const auto *table : {&d::kAscToUni, &d::kEbcToUni[0], &d::kEbcToUni[1]}) {
        std::set<uint16_t> units;
        for (uint16_t u : *table) {
            if (u == 0x2E) continue;
            EXPECT_TRUE(units.insert(u).second) << "U+" << std::hex << u;
        }
    }
    // The ASCII rule: 0x01 and 0x02 exchanged, katakana moved, the top empty.
    EXPECT_EQ(d::kAscToUni[0x00], 0x0000);
    EXPECT_EQ(d::kAscToUni[0x01], 0x0002);
    EXPECT_EQ(d::kAscToUni[0x02], 0x0001);
    for (int a = 0x03; a <= 0xA0; ++a) EXPECT_EQ(d::kAscToUni[a], a);
    for (int a = 0xA1; a <= 0xDF; ++a) EXPECT_EQ(d::kAscToUni[a], a + 0xFEC0);
    for (int a = 0xE0; a <= 0xFF; ++a) EXPECT_EQ(d::kAscToUni[a], 0x2E);
}

TEST(DataTableProofs, UnicodeToBytesFindsTheLowestIndexForEveryUnit) {
    // The reversed tables against a plain search from index 0 upwards.
    const std::pair<const d::UnitTable *, const d::UniReverse *> pairs[] = {
        {&d::kAscToUni, &d::kUniToAsc},
        {&d::kEbcToUni[0], &d::kUniToEbc[0]},
        {&d::kEbcToUni[1], &d::kUniToEbc[1]}};
    for (auto [table, rev] : pairs) {
        for (uint32_t u = 0; u < 0x10000; ++u) {
            int want = -1;
            for (int i = 0; i < 256; ++i)
                if ((*table)[i] == u) {
                    want = i;
                    break;
                }
            ASSERT_EQ(rev->find(uint16_t(u)), want) << "U+" << std::hex << u;
        }
    }
}

TEST_F(DataTables, SingleCharactersGoWhereTheTablesSay) {
    int32_t r = 0;
    EXPECT_EQ(asc_to_ebc('.', 1, &r), 0x4B);
    EXPECT_EQ(r, 1);
    uint8_t e = 0x4B, a = 0;
    EXPECT_EQ(XConvEbcToAsc(&a, &e, 1, 1), 1);
    EXPECT_EQ(a, '.');
    EXPECT_EQ(asc_to_ebc('a', 2, &r), 0x4B);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(asc_to_ebc('a', 1, &r), 0x81);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(asc_to_ebc(0x5C, 1), 0xE0);
    EXPECT_EQ(asc_to_ebc(0x5C, 2), 0x5B);
    EXPECT_EQ(asc_to_ebc('$', 1), 0x5B);
    EXPECT_EQ(asc_to_ebc('$', 2), 0xE0);
    EXPECT_EQ(asc_to_ebc(0xB1, 2), 0x81);
    e = 0x81;
    EXPECT_EQ(XConvEbcToAsc(&a, &e, 1, 1), 1);
    EXPECT_EQ(a, 'a');

    uint16_t u = 0;
    uint8_t one = 0x01, kana = 0xB1;
    EXPECT_EQ(XConvAscToUni(&u, &one, 1), 1);
    EXPECT_EQ(u, 0x0002);
    EXPECT_EQ(XConvAscToUni(&u, &kana, 1), 1);
    EXPECT_EQ(u, 0xFF71);
    u = 0x0001;
    EXPECT_EQ(XConvUniToAsc(&a, &u, 1), 1);
    EXPECT_EQ(a, 0x02);

    // The cent sign exists towards Unicode but not towards ASCII.
    e = 0x4A;
    EXPECT_EQ(XConvEbcToUni(&u, &e, 1, 1), 1);
    EXPECT_EQ(u, 0xFFE0);
    EXPECT_EQ(XConvEbcToAsc(&a, &e, 1, 1), 2);
    EXPECT_EQ(a, 0x2E);
    u = 0xFFE0;
    EXPECT_EQ(XConvUniToEbc(&e, &u, 1, 1), 1);
    EXPECT_EQ(e, 0x4A);
    EXPECT_EQ(XConvUniToEbc(&e, &u, 1, 2), 2);
    EXPECT_EQ(e, 0x4B);
    // A bracket exists towards ASCII but not towards Unicode.
    e = 0xAD;
    EXPECT_EQ(XConvEbcToAsc(&a, &e, 1, 1), 1);
    EXPECT_EQ(a, '[');
    EXPECT_EQ(XConvEbcToUni(&u, &e, 1, 1), 2);
    EXPECT_EQ(u, 0x2E);

    // Units outside every table, and the period itself.
    u = 0x3042;
    EXPECT_EQ(XConvUniToAsc(&a, &u, 1), 2);
    EXPECT_EQ(a, 0x2E);
    EXPECT_EQ(XConvUniToEbc(&e, &u, 1, 2), 2);
    EXPECT_EQ(e, 0x4B);
    u = 0x2E;
    EXPECT_EQ(XConvUniToAsc(&a, &u, 1), 1);
    EXPECT_EQ(XConvUniToEbc(&e, &u, 1, 1), 1);
    EXPECT_EQ(e, 0x4B);
}

TEST_F(DataTables, UpperBytesHaveNoEbcdicCounterpart) {
    std::vector<uint8_t> src(0x80), dst(0x80);
    for (int i = 0; i < 0x80; ++i) src[i] = uint8_t(0x80 + i);
    std::vector<uint16_t> uni(0x80);
    EXPECT_EQ(XConvAscToUni(uni.data(), src.data(), 0x80), 2);  // 0xE0-0xFF
    for (int i = 0; i <= 0x20; ++i) EXPECT_EQ(uni[i], 0x80 + i);
    for (int v = 1; v <= 2; ++v) {
        EXPECT_EQ(XConvAscToEbc(dst.data(), src.data(), 0x21, v), 2);
        for (int i = 0; i <= 0x20; ++i) EXPECT_EQ(dst[i], 0x4B) << i;
        EXPECT_EQ(XConvAscToEbc(dst.data(), src.data() + 0x60, 0x20, v), 2);
        for (int i = 0; i < 0x20; ++i) EXPECT_EQ(dst[i], 0x4B) << i;
    }
}

TEST_F(DataTables, ResultTwoStaysOnceSetAndConversionsRunInPlace) {
    uint8_t text[] = {'a', 'b', 0x80, 'c'};
    EXPECT_EQ(XConvAscToEbc(text, text, 4, 1), 2);
    EXPECT_EQ(text[0], 0x81);
    EXPECT_EQ(text[3], 0x83);
    // The substitute 0x4B reads back as the period, which is no replacement.
    EXPECT_EQ(XConvEbcToAsc(text, text, 4, 1), 1);
    EXPECT_EQ(text[2], '.');
    EXPECT_EQ(text[0], 'a');
    // Unicode to bytes may write over its own source.
    uint16_t units[3] = {u'A', 0xFF71, u'z'};
    auto *bytes = reinterpret_cast<uint8_t *>(units);
    EXPECT_EQ(XConvUniToAsc(bytes, units, 3), 1);
    EXPECT_EQ(bytes[0], 'A');
    EXPECT_EQ(bytes[1], 0xB1);
    EXPECT_EQ(bytes[2], 'z');
}

TEST_F(DataTables, ArgumentsAreCheckedInOrderAndNothingIsWritten) {
    uint8_t src[4] = {'a', 'b', 'c', 'd'}, dst[4] = {9, 9, 9, 9};
    uint16_t units[4] = {1, 2, 3, 4};
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XConvAscToEbc(nullptr, nullptr, 0, 3), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 1, 2);
    EXPECT_EQ(XConvAscToEbc(dst, nullptr, 0, 3), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 2, 2);
    EXPECT_EQ(XConvAscToEbc(dst, src, 0, 3), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 3, 2);
    EXPECT_EQ(XConvAscToEbc(dst, src, -1, 1), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 3, 2);
    EXPECT_EQ(XConvAscToEbc(dst, src, 4, 3), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 4, 2);
    EXPECT_EQ(XConvAscToEbc(dst, src, 4, 0), 0);
    EXPECT_LAST_ERROR(code(kAscToEbcFn, 1), 4, 2);
    EXPECT_EQ(XConvEbcToAsc(dst, src, 4, -2), 0);
    EXPECT_LAST_ERROR(code(kEbcToAscFn, 1), 4, 2);
    EXPECT_EQ(XConvEbcToUni(units, src, 0, 1), 0);
    EXPECT_LAST_ERROR(code(kEbcToUniFn, 1), 3, 2);
    EXPECT_EQ(XConvUniToEbc(dst, units, 4, 7), 0);
    EXPECT_LAST_ERROR(code(kUniToEbcFn, 1), 4, 2);
    EXPECT_EQ(XConvAscToUni(nullptr, src, 4), 0);
    EXPECT_LAST_ERROR(code(kAscToUniFn, 1), 1, 2);
    EXPECT_EQ(XConvUniToAsc(dst, nullptr, 4), 0);
    EXPECT_LAST_ERROR(code(kUniToAscFn, 1), 2, 2);
    for (uint8_t b : dst) EXPECT_EQ(b, 9);
    EXPECT_EQ(units[0], 1);

    // A replacement is no error: the record stays as it was.
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XConvAscToEbc(dst, "\x80", 1, 1), 2);
    EXPECT_LAST_ERROR(0, 0, 0);
}

TEST_F(DataTables, VectorAndPlainPathsAgreeOnEveryLengthAndOffset) {
    std::mt19937 rng(7);
    std::vector<uint8_t> src(5008);
    for (auto &b : src) b = uint8_t(rng());
    // Texts without any replacement, to see the result flag stay clear.
    std::vector<uint8_t> clean(5008);
    for (size_t i = 0; i < clean.size(); ++i) clean[i] = uint8_t('A' + i % 26);
    const bool had_vector = d::vector_paths();
    for (const auto *input : {&src, &clean}) {
        for (size_t len : {1, 2, 63, 64, 65, 127, 128, 129, 200, 1000, 4999}) {
            for (size_t off : {0, 1, 3}) {
                for (int v = 0; v < 2; ++v) {
                    std::vector<uint8_t> a(len + 8, 0xEE), b(len + 8, 0xEE);
                    d::set_vector_paths(true);
                    bool ra = d::map_bytes(a.data() + 1, input->data() + off, len,
                                           d::kAscToEbc[v].data(), 0x2E, 0x4B);
                    d::set_vector_paths(false);
                    bool rb = d::map_bytes(b.data() + 1, input->data() + off, len,
                                           d::kAscToEbc[v].data(), 0x2E, 0x4B);
                    ASSERT_EQ(a, b) << len << "/" << off;
                    ASSERT_EQ(ra, rb) << len << "/" << off;
                    std::vector<uint16_t> ua(len + 8, 0xEEEE), ub(len + 8, 0xEEEE);
                    d::set_vector_paths(true);
                    ra = d::map_units(ua.data() + 1, input->data() + off, len,
                                      d::kEbcToUni[v].data(), 0x4B);
                    d::set_vector_paths(false);
                    rb = d::map_units(ub.data() + 1, input->data() + off, len,
                                      d::kEbcToUni[v].data(), 0x4B);
                    ASSERT_EQ(ua, ub) << len << "/" << off;
                    ASSERT_EQ(ra, rb) << len << "/" << off;
                }
            }
        }
    }
    d::set_vector_paths(had_vector);
}

TEST_F(DataTables, ByteOrderReversesAndUndoesItself) {
    EXPECT_EQ(XChangeToNwkOrder32(0x11223344u), 0x44332211u);
    EXPECT_EQ(XChangeToHostOrder32(0x44332211u), 0x11223344u);
    EXPECT_EQ(XChangeToHostOrder16(0x1234), 0x3412);
    EXPECT_EQ(XChangeToNwkOrder16(0x3412), 0x1234);
    EXPECT_EQ(XChangeToNwkOrder16(XChangeToNwkOrder16(0xBEEF)), 0xBEEF);
    EXPECT_EQ(XChangeToHostOrder32(XChangeToHostOrder32(0xDEADBEEFu)), 0xDEADBEEFu);

    double n = XChangeToNwkOrderDOUBLE(1.0);
    unsigned char bytes[8];
    std::memcpy(bytes, &n, 8);
    const unsigned char want[8] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, want, 8), 0);
    EXPECT_EQ(XChangeToHostOrderDOUBLE(n), 1.0);
    // Bytes that form a signalling NaN pass unchanged in both directions.
    const unsigned char snan[8] = {0x01, 0, 0, 0, 0, 0, 0xF0, 0x7F};  // 0x7FF0000000000001
    double x;
    std::memcpy(&x, snan, 8);
    double back = XChangeToHostOrderDOUBLE(XChangeToNwkOrderDOUBLE(x));
    EXPECT_EQ(std::memcmp(&back, snan, 8), 0);
}

TEST_F(DataTables, AtoxReadsHexadecimalDigitsAndSpaces) {
    EXPECT_EQ(XAtox("1f", 2), 0x1Fu);
    EXPECT_EQ(XAtox("  7", 3), 7u);
    EXPECT_EQ(XAtox("A B", 3), 0xABu);
    EXPECT_EQ(XAtox("1 F", 3), 0x1Fu);
    EXPECT_EQ(XAtox("12345678", 8), 0x12345678u);
    EXPECT_EQ(XAtox("ffffFFFF", 8), 0xFFFFFFFFu);
    EXPECT_EQ(XAtox(" 1 2 3 4 5 6 7 8 ", 17), 0x12345678u);  // spaces do not count
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XAtox("   ", 3), 0u);
    EXPECT_LAST_ERROR(0, 0, 0);
    EXPECT_EQ(XAtox("\0" "12", 3), 0u);
    EXPECT_LAST_ERROR(0, 0, 0);

    // Digits after a NUL are ignored; other bytes there still fail the text.
    EXPECT_EQ(XAtox("1F\0" "99", 2), 0x1Fu);
    EXPECT_EQ(XAtox("1F\0" "99", 5), 0x1Fu);
    EXPECT_EQ(XAtox("1F\0" "9z", 5), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 2), 2, 2);

    EXPECT_EQ(XAtox("123456789", 9), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 2), 1, 2);
    EXPECT_EQ(XAtox("0x1F", 4), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 2), 2, 2);
    EXPECT_EQ(XAtox("-1", 2), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 2), 2, 2);
    EXPECT_EQ(XAtox("12", 0), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 1), 2, 2);
    EXPECT_EQ(XAtox(nullptr, 0), 0u);
    EXPECT_LAST_ERROR(code(kAtoxFn, 1), 1, 2);

    // The NUL only ends the digits within the first 255 bytes.
    std::string longer(300, ' ');
    longer[10] = '5';
    longer[260] = '\0';
    longer[270] = '7';
    EXPECT_EQ(XAtox(longer.data(), 300), 0x57u);
    longer[200] = '\0';
    EXPECT_EQ(XAtox(longer.data(), 300), 0x5u);
}
