// Kanji conversion: the IBM tables, the in-place and the bounded converters.
#include <string>
#include <vector>

#include "xdata_tables.h"
#include "zaxtest.h"

using namespace zaxtest;
namespace d = zax::data;

namespace {

constexpr uint32_t kConv = 0x118, kConvEx = 0x11e;
using Bytes = std::vector<uint8_t>;

uint16_t ibm_to_sjis(unsigned code) {
    if (code == 0x4040) return d::kIbmToSjis[0];
    return d::kIbmToSjis[((code >> 8) - 0x41) * 190 + ((code & 0xFF) - 0x41) + 1];
}
uint16_t sjis_to_ibm(unsigned code) {
    unsigned lead = code >> 8;
    unsigned p = lead < 0xE0 ? lead - 0x81 : lead - 0xC1;
    return d::kSjisToIbm[p * 192 + ((code & 0xFF) - 0x40)];
}

Bytes conv(uint8_t from, uint8_t to, Bytes text, int32_t *result = nullptr) {
    int32_t r = XConvertKanji(from, to, text.data(), int32_t(text.size()));
    if (result) *result = r;
    return text;
}

struct ExResult {
    int32_t result;
    int32_t size;
    Bytes out;
};

ExResult conv_ex(uint8_t from, uint8_t to, const Bytes &src, int32_t cap) {
    Bytes out(size_t(cap) + 4, 0xEE);
    int32_t size = cap;
    int32_t r = XConvertKanjiEx(from, to, src.data(), out.data(), int32_t(src.size()), &size);
    for (size_t i = size_t(cap); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "past capacity";
    out.resize(size_t(r > 0 ? r : 0));
    return {r, size, out};
}

// Every JIS X 0208 row and cell as Shift-JIS, in one shifted run; with
// host_safe, without the codes that the host conversions pass through as
// they are (0x84BF-0x889D, first bytes from 0xEB) and the full-width space.
Bytes all_jis_as_sjis(bool host_safe) {
    Bytes t = {0x1E};
    for (unsigned r = 0x21; r <= 0x7E; ++r)
        for (unsigned c = 0x21; c <= 0x7E; ++c) {
            unsigned s1 = ((r + 1) >> 1) + (r <= 0x5E ? 0x70 : 0xB0);
            unsigned s2 = (r & 1) ? c + (c >= 0x60 ? 0x20 : 0x1F) : c + 0x7E;
            unsigned pair = s1 << 8 | s2;
            if (host_safe && ((pair >= 0x84BF && pair <= 0x889D) || s1 >= 0xEB || pair == 0x8140))
                continue;
            t.push_back(uint8_t(s1));
            t.push_back(uint8_t(s2));
        }
    t.push_back(0x1F);
    return t;
}

}  // namespace

TEST(KanjiTables, SizesSubstitutesAndTellingRows) {
    size_t no_sjis = 0, no_ibm = 0;
    for (uint16_t v : d::kIbmToSjis) {
        EXPECT_NE(v, 0);
        no_sjis += v == 0xFCFB;
    }
    for (uint16_t v : d::kSjisToIbm) {
        EXPECT_NE(v, 0);
        no_ibm += v == 0x7FFE;
    }
    EXPECT_EQ(std::size(d::kIbmToSjis), 7601u);
    EXPECT_EQ(std::size(d::kSjisToIbm), 11517u);
    EXPECT_EQ(no_sjis, 338u);
    EXPECT_EQ(no_ibm, 2198u);

    EXPECT_EQ(ibm_to_sjis(0x4040), 0x8140);
    EXPECT_EQ(sjis_to_ibm(0x8140), 0x4040);
    EXPECT_EQ(ibm_to_sjis(0x4141), 0x83BF);
    EXPECT_EQ(ibm_to_sjis(0x42C1), 0x8260);
    EXPECT_EQ(sjis_to_ibm(0x8260), 0x42C1);
    EXPECT_EQ(ibm_to_sjis(0x4281), 0x8281);
    EXPECT_EQ(sjis_to_ibm(0x8281), 0x4281);
    EXPECT_EQ(ibm_to_sjis(0x4481), 0x82A0);
    EXPECT_EQ(sjis_to_ibm(0x82A0), 0x4481);
    EXPECT_EQ(sjis_to_ibm(0x829F), 0x4447);
    EXPECT_EQ(sjis_to_ibm(0x8340), 0x4347);
    EXPECT_EQ(sjis_to_ibm(0x889F), 0x4867);
    EXPECT_EQ(sjis_to_ibm(0xE040), 0x5DB5);
    EXPECT_EQ(sjis_to_ibm(0xFA40), 0x71ED);
    EXPECT_EQ(ibm_to_sjis(0x68FE), 0xFCFB);
    // Slots that are no Shift-JIS code hold the substitute.
    EXPECT_EQ(sjis_to_ibm(0x817F), 0x7FFE);
    EXPECT_EQ(sjis_to_ibm(0x81FD), 0x7FFE);
}

TEST(KanjiTables, JisCharactersCrossThroughTheHostCodeAndBack) {
    // Every JIS X 0208 character the host code knows comes back unchanged,
    // and the table pair agrees with itself on them.
    int crossed = 0;
    for (unsigned code = 0x8140; code <= 0xEAFC; ++code) {
        unsigned lead = code >> 8, second = code & 0xFF;
        if (!((lead <= 0x9F) || lead >= 0xE0) || second < 0x40 || second == 0x7F ||
            second > 0xFC)
            continue;
        if (code >= 0x84BF && code <= 0x889D) continue;
        uint16_t host = sjis_to_ibm(code);
        if (host == 0x7FFE || (host >> 8) < 0x41 || (host >> 8) > 0x68) continue;
        EXPECT_EQ(ibm_to_sjis(host), code) << std::hex << code;
        ++crossed;
    }
    EXPECT_GT(crossed, 6000);
}

class KanjiConv : public ZaxTest {};

TEST_F(KanjiConv, InPlaceBetweenShiftJisAndTheHostForms) {
    const Bytes sjis = {0x1E, 0x82, 0xA0, 0x1F};
    EXPECT_EQ(conv(0x10, 0x20, sjis), (Bytes{0x1E, 0x44, 0x81, 0x1F}));
    EXPECT_EQ(conv(0x20, 0x10, {0x1E, 0x44, 0x81, 0x1F}), sjis);

    for (uint8_t to : {0x0D, 0x40, 0x8D, 0xC0})
        EXPECT_EQ(conv(0x10, to, {0x1E, 0x88, 0x9F, 0x1F}), (Bytes{0x1E, 0xB0, 0xA1, 0x1F}));
    // The full-width space: 0x40 0x40 for every target but exactly 0x40.
    EXPECT_EQ(conv(0x10, 0x0D, {0x1E, 0x81, 0x40, 0x1F}), (Bytes{0x1E, 0x40, 0x40, 0x1F}));
    EXPECT_EQ(conv(0x10, 0xC0, {0x1E, 0x81, 0x40, 0x1F}), (Bytes{0x1E, 0x40, 0x40, 0x1F}));
    EXPECT_EQ(conv(0x10, 0x40, {0x1E, 0x81, 0x40, 0x1F}), (Bytes{0x1E, 0xA1, 0xA1, 0x1F}));
    EXPECT_EQ(conv(0x20, 0x10, {0x1E, 0x40, 0x40, 0x1F}), (Bytes{0x1E, 0x20, 0x20, 0x1F}));
    EXPECT_EQ(conv(0x0D, 0x10, {0x1E, 0xB0, 0xA1, 0x1F}), (Bytes{0x1E, 0x88, 0x9F, 0x1F}));

    // Single bytes outside runs use the variant that bit 0x80 chooses.
    EXPECT_EQ(conv(0x10, 0x20, {'a'}), Bytes{0x81});
    EXPECT_EQ(conv(0x10, 0xA0, {'a'}), Bytes{0x4B});
    EXPECT_EQ(conv(0x10, 0xA0, {0xB1}), Bytes{0x81});
    EXPECT_EQ(conv(0xA0, 0x10, {0x81}), Bytes{0xB1});
    EXPECT_EQ(conv(0x20, 0x10, {0x81}), Bytes{'a'});

    // Extensions and user characters stay as they are; a lone F0 40 too.
    EXPECT_EQ(conv(0x10, 0x20, {0x1E, 0xF0, 0x40, 0x87, 0x40, 0x1F}),
              (Bytes{0x1E, 0xF0, 0x40, 0x87, 0x40, 0x1F}));
    // Nothing to convert is success; the same code on both sides too.
    EXPECT_EQ(conv(0x20, 0x20, {0x01, 0x02}), (Bytes{0x01, 0x02}));
    int32_t r = 0;
    conv(0x20, 0x10, {0x1E, 0x1F}, &r);
    EXPECT_EQ(r, 1);
}

TEST_F(KanjiConv, EveryJisCharacterRoundTripsThroughEachForm) {
    const Bytes safe = all_jis_as_sjis(true);
    for (uint8_t host : {0x0D, 0x40, 0x20}) {
        Bytes h = conv(0x10, host, safe);
        if (host == 0x20) continue;  // not every JIS cell has a host code
        EXPECT_EQ(conv(host, 0x10, h), safe) << int(host);
    }
    const Bytes sjis = all_jis_as_sjis(false);
    const int32_t n = int32_t(sjis.size());
    ExResult e = conv_ex(0x10, 0x30, sjis, n);
    ASSERT_EQ(e.result, n);
    for (size_t i = 1; i + 1 < e.out.size(); ++i) ASSERT_GE(e.out[i], 0xA1) << i;
    ExResult back = conv_ex(0x30, 0x10, e.out, n);
    EXPECT_EQ(back.out, sjis);
    // EUC to the JIS-based host forms is the same pair of bytes.
    const int32_t m = int32_t(safe.size());
    ExResult euc = conv_ex(0x10, 0x30, safe, m);
    ExResult jis = conv_ex(0x30, 0x40, euc.out, m);
    EXPECT_EQ(jis.out, euc.out);
}

TEST_F(KanjiConv, FailuresStopAtTheCharacterAndNameTheStep) {
    int32_t r = -1;
    // A half-width katakana inside a run is no first byte.
    Bytes t = conv(0x10, 0x20, {'a', 0x1E, 0x82, 0xA0, 0xB1, 0x40, 0x1F}, &r);
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kConv, 3), 1, 2);
    EXPECT_EQ(t, (Bytes{0x81, 0x1E, 0x44, 0x81, 0xB1, 0x40, 0x1F}));  // converted up to it
    conv(0x10, 0x0D, {0x1E, 0x82}, &r);
    EXPECT_LAST_ERROR(code(kConv, 3), 2, 2);
    conv(0x10, 0x40, {0x1E, 0x82, 0x10}, &r);  // no Shift-JIS second byte
    EXPECT_LAST_ERROR(code(kConv, 3), 3, 2);
    conv(0x20, 0x10, {0x1E, 0x69, 0x41, 0x1F}, &r);
    EXPECT_LAST_ERROR(code(kConv, 3), 4, 2);
    conv(0x8D, 0x10, {0x1E, 0x50, 0x41, 0x1F}, &r);
    EXPECT_LAST_ERROR(code(kConv, 3), 5, 2);
    conv(0x40, 0x10, {0x1E, 0xB0}, &r);
    EXPECT_LAST_ERROR(code(kConv, 3), 6, 2);
    EXPECT_EQ(r, 0);

    ExResult e = conv_ex(0x10, 0x30, {0x1E, 0xF0, 0x40, 0x1F}, 16);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.size, 16);  // unchanged
    EXPECT_LAST_ERROR(code(kConvEx, 3), 7, 2);
    // EUC drops bit 0x80 of both bytes: B0 21 is row 0x30, cell 0x21, but
    // B0 FF has no cell 0x7F.
    e = conv_ex(0x30, 0x10, {0x1E, 0xB0, 0x21, 0x1F}, 16);
    EXPECT_EQ(e.out, (Bytes{0x1E, 0x88, 0x9F, 0x1F}));
    e = conv_ex(0x30, 0x10, {0x1E, 0xB0, 0xFF, 0x1F}, 16);
    EXPECT_EQ(e.result, 0);
    EXPECT_LAST_ERROR(code(kConvEx, 3), 8, 2);
    e = conv_ex(0x30, 0x10, {'a', 0x8E}, 16);
    EXPECT_LAST_ERROR(code(kConvEx, 3), 8, 2);
    e = conv_ex(0x20, 0x30, {0x1E, 0x30, 0x41, 0x1F}, 16);
    EXPECT_LAST_ERROR(code(kConvEx, 3), 4, 2);
    e = conv_ex(0x30, 0x20, {0x1E, 0xB0, 0xA1, 0x82, 0x1F}, 16);  // the EUC step fails first
    EXPECT_LAST_ERROR(code(kConvEx, 3), 8, 2);
    e = conv_ex(0x10, 0x20, {0x1E, 0xB0, 0xA1, 0x82, 0x1F}, 16);
    EXPECT_EQ(e.size, 16);
    EXPECT_LAST_ERROR(code(kConvEx, 3), 1, 2);
}

TEST_F(KanjiConv, ArgumentsAndUnsupportedPairs) {
    Bytes t = {'a'};
    EXPECT_EQ(XConvertKanji(0x55, 0x55, nullptr, 0), 0);
    EXPECT_LAST_ERROR(code(kConv, 1), 3, 2);
    EXPECT_EQ(XConvertKanji(0x55, 0x55, t.data(), 0), 0);
    EXPECT_LAST_ERROR(code(kConv, 1), 4, 2);
    EXPECT_EQ(XConvertKanji(0x30, 0x10, t.data(), 1), 0);
    EXPECT_LAST_ERROR(code(kConv, 1), 1, 2);
    EXPECT_EQ(XConvertKanji(0x10, 0x30, t.data(), 1), 0);
    EXPECT_LAST_ERROR(code(kConv, 1), 2, 2);
    EXPECT_EQ(XConvertKanji(0x20, 0x40, t.data(), 1), 0);
    EXPECT_LAST_ERROR(code(kConv, 2), 0, 2);
    EXPECT_EQ(XConvertKanji(0x90, 0x20, t.data(), 1), 0);  // Shift-JIS only as 0x10
    EXPECT_LAST_ERROR(code(kConv, 2), 0, 2);
    EXPECT_EQ(t, Bytes{'a'});

    Bytes out(4, 0xEE);
    int32_t size = 4;
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 3, 2);
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, t.data(), nullptr, 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 4, 2);
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, t.data(), out.data(), 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 5, 2);
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, t.data(), out.data(), 1, nullptr), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 6, 2);
    size = 0;
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, t.data(), out.data(), 1, &size), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 6, 2);
    size = 4;
    EXPECT_EQ(XConvertKanjiEx(0x55, 0x55, t.data(), out.data(), 1, &size), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 1, 2);
    EXPECT_EQ(XConvertKanjiEx(0x10, 0x55, t.data(), out.data(), 1, &size), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 1), 2, 2);
    EXPECT_EQ(XConvertKanjiEx(0x20, 0x0D, t.data(), out.data(), 1, &size), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 2), 0, 2);
    EXPECT_EQ(XConvertKanjiEx(0xB0, 0x20, t.data(), out.data(), 1, &size), 0);
    EXPECT_LAST_ERROR(code(kConvEx, 2), 0, 2);
    EXPECT_EQ(out, Bytes(4, 0xEE));
    EXPECT_EQ(size, 4);
}

TEST_F(KanjiConv, BoundedResultsAreCutBetweenCharacters) {
    const Bytes src = {0x1E, 0x82, 0xA0, 0x82, 0xA2, 0x1F};
    ExResult e = conv_ex(0x10, 0x20, src, 6);
    EXPECT_EQ(e.result, 6);
    EXPECT_EQ(e.size, 6);
    EXPECT_EQ(e.out, (Bytes{0x1E, 0x44, 0x81, 0x44, 0x82, 0x1F}));
    e = conv_ex(0x10, 0x20, src, 4);
    EXPECT_EQ(e.result, 4);
    EXPECT_EQ(e.size, 6);
    EXPECT_EQ(e.out, (Bytes{0x1E, 0x44, 0x81, 0x1F}));
    e = conv_ex(0x10, 0x20, src, 3);
    EXPECT_EQ(e.result, 2);
    EXPECT_EQ(e.out, (Bytes{0x1E, 0x1F}));

    // Katakana grow in EUC; a 0x8E pair that does not fit whole is dropped.
    e = conv_ex(0x10, 0x30, {'a', 0xB1, 0xB2}, 16);
    EXPECT_EQ(e.out, (Bytes{'a', 0x8E, 0xB1, 0x8E, 0xB2}));
    EXPECT_EQ(e.size, 5);
    e = conv_ex(0x10, 0x30, {'a', 0xB1, 0xB2}, 4);
    EXPECT_EQ(e.out, (Bytes{'a', 0x8E, 0xB1}));
    EXPECT_EQ(e.size, 5);
    e = conv_ex(0x30, 0x10, {0x8E, 0xB1}, 16);
    EXPECT_EQ(e.out, Bytes{0xB1});

    // The same code on both sides copies what fits and leaves the size.
    e = conv_ex(0x20, 0x20, {1, 2, 3, 4, 5}, 3);
    EXPECT_EQ(e.result, 3);
    EXPECT_EQ(e.size, 3);
    EXPECT_EQ(e.out, (Bytes{1, 2, 3}));

    // Through Shift-JIS: EUC to the IBM host code and back.
    e = conv_ex(0x30, 0x20, {'A', 0x1E, 0xA4, 0xA2, 0x1F}, 16);
    EXPECT_EQ(e.out, (Bytes{0xC1, 0x1E, 0x44, 0x81, 0x1F}));
    e = conv_ex(0xA0, 0x30, {0x81, 0x1E, 0x44, 0x81, 0x1F}, 16);
    EXPECT_EQ(e.out, (Bytes{0x8E, 0xB1, 0x1E, 0xA4, 0xA2, 0x1F}));
}

TEST_F(KanjiConv, TextsBeyond65535BytesConvertWhole) {
    Bytes sjis;
    while (sjis.size() < 300000) {
        sjis.insert(sjis.end(), {'X', 0x1E, 0x82, 0xA0, 0x88, 0x9F, 0x1F, 0xB1});
    }
    Bytes host = conv(0x10, 0xA0, sjis);
    EXPECT_EQ(host[host.size() - 6], 0x44);  // the last run converted too
    EXPECT_EQ(conv(0xA0, 0x10, host), sjis);
    ExResult e = conv_ex(0x10, 0x30, sjis, int32_t(sjis.size() * 2));
    EXPECT_EQ(e.size, int32_t(sjis.size() + sjis.size() / 8));
    ExResult back = conv_ex(0x30, 0x10, e.out, int32_t(sjis.size()));
    EXPECT_EQ(back.out, sjis);
}
