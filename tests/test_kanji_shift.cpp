// Kanji shift codes: adding, removing, counting, and the bounded variants.
#include <string>
#include <vector>

#include "zaxtest.h"

using namespace zaxtest;

namespace {

constexpr uint32_t kAdd = 0x119, kRemove = 0x11a, kCount = 0x11b, kAddEx = 0x11c,
                   kRemoveEx = 0x11d;

using Bytes = std::vector<uint8_t>;

// Adds shift codes with the size the count gives, checking that the count
// and the conversion agree.
Bytes add(uint8_t code, const Bytes &src, int32_t *result = nullptr) {
    int32_t n = XCountKanjiShift(code, 1, int32_t(src.size()), src.data());
    Bytes out(size_t(n > 0 ? n : src.size() * 3 + 8), 0xEE);
    int32_t r = XAddKanjiShift(code, int32_t(src.size()), src.data(), out.data());
    if (result) *result = r;
    if (r == 1) {
        EXPECT_EQ(out.size(), size_t(n)) << "count and conversion differ";
    } else {
        while (!out.empty() && out.back() == 0xEE) out.pop_back();
    }
    return out;
}

Bytes remove(uint8_t code, const Bytes &src) {
    int32_t n = XCountKanjiShift(code, 0, int32_t(src.size()), src.data());
    Bytes out(size_t(n), 0xEE);
    EXPECT_EQ(XRemoveKanjiShift(code, int32_t(src.size()), src.data(), out.data()), 1);
    return out;
}

struct ExResult {
    int32_t result;
    Bytes out;
};

// A bounded conversion into cap bytes, checking that nothing past them is written.
ExResult convert_ex(decltype(&XAddKanjiShiftEx) fn, uint8_t code, const Bytes &src, int32_t cap) {
    Bytes out(size_t(cap) + 4, 0xEE);
    int32_t size = cap;
    int32_t r = fn(code, int32_t(src.size()), src.data(), &size, out.data());
    for (size_t i = size_t(cap); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "past capacity";
    out.resize(size_t(size));
    return {r, out};
}
ExResult add_ex(uint8_t code, const Bytes &src, int32_t cap) {
    return convert_ex(XAddKanjiShiftEx, code, src, cap);
}
ExResult remove_ex(uint8_t code, const Bytes &src, int32_t cap) {
    return convert_ex(XRemoveKanjiShiftEx, code, src, cap);
}

}  // namespace

class KanjiShift : public ZaxTest {};

TEST_F(KanjiShift, ShiftJisRunsGetBracketsAndLoseThemAgain) {
    const Bytes src = {'A', 0x82, 0xA0, 'B'};
    const Bytes shifted = {'A', 0x1E, 0x82, 0xA0, 0x1F, 'B'};
    EXPECT_EQ(XCountKanjiShift(0x10, 1, 4, src.data()), 6);
    EXPECT_EQ(add(0x10, src), shifted);
    EXPECT_EQ(XCountKanjiShift(0x10, 0, 6, shifted.data()), 4);
    EXPECT_EQ(remove(0x10, shifted), src);
    // A run at the end is closed; half-width katakana never open one.
    EXPECT_EQ(add(0x10, {'x', 0x88, 0x9F, 0xE0, 0x40}),
              (Bytes{'x', 0x1E, 0x88, 0x9F, 0xE0, 0x40, 0x1F}));
    EXPECT_EQ(add(0x10, {0xB1, 0xDF, 0xA1}), (Bytes{0xB1, 0xDF, 0xA1}));
    EXPECT_EQ(add(0x10, {0x81, 0x40, 0xB1, 0x81, 0x40}),
              (Bytes{0x1E, 0x81, 0x40, 0x1F, 0xB1, 0x1E, 0x81, 0x40, 0x1F}));
    // A direction other than 0 and 1 counts nothing, without an error.
    XSetLastError(0, 0, 0);
    EXPECT_EQ(XCountKanjiShift(0x10, 2, 4, src.data()), 0);
    EXPECT_LAST_ERROR(0, 0, 0);
}

TEST_F(KanjiShift, EucKatakanaPairsStandOutsideRuns) {
    const Bytes src = {0xB0, 0xA1, 0x8E, 0xB1, 'a', 0xA4, 0xA2};
    const Bytes shifted = {0x1E, 0xB0, 0xA1, 0x1F, 0x8E, 0xB1, 'a', 0x1E, 0xA4, 0xA2, 0x1F};
    EXPECT_EQ(add(0x30, src), shifted);
    EXPECT_EQ(remove(0x30, shifted), src);
    // 0x90 and 0xB0 are no codes: Shift-JIS and EUC only as written.
    EXPECT_EQ(XCountKanjiShift(0x90, 1, 7, src.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 1), 1, 2);
    EXPECT_EQ(XCountKanjiShift(0xB0, 1, 7, src.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 1), 1, 2);
}

TEST_F(KanjiShift, CutOffCharactersFailWithTheirDetails) {
    int32_t r = -1;
    // The run is closed, what came before stays.
    EXPECT_EQ(add(0x10, {'A', 0x82, 0xA0, 0x82}, &r), (Bytes{'A', 0x1E, 0x82, 0xA0, 0x1F}));
    EXPECT_EQ(r, 0);
    EXPECT_LAST_ERROR(code(kAdd, 2), 1, 2);
    EXPECT_EQ(add(0x30, {'A', 0x8E}, &r), (Bytes{'A'}));
    EXPECT_LAST_ERROR(code(kAdd, 2), 2, 2);
    EXPECT_EQ(add(0x30, {0xA4}, &r), Bytes{});
    EXPECT_LAST_ERROR(code(kAdd, 2), 3, 2);

    const Bytes lead_last = {'A', 0x82};
    EXPECT_EQ(XCountKanjiShift(0x10, 1, 2, lead_last.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 3), 1, 2);
    const Bytes euc_8e = {0x8E}, euc_lead = {'x', 0xA4};
    EXPECT_EQ(XCountKanjiShift(0x30, 1, 1, euc_8e.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 3), 2, 2);
    EXPECT_EQ(XCountKanjiShift(0x30, 1, 2, euc_lead.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 3), 3, 2);
    // Removing without a bound copies whatever stands.
    EXPECT_EQ(remove(0x10, lead_last), lead_last);
}

TEST_F(KanjiShift, EbcdicShiftSequencesOfEachCode) {
    EXPECT_EQ(add(0x20, {0x0E, 0x45, 0x41, 0x0F}), (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_EQ(add(0xA0, {0x0E, 0x45, 0x41, 0x0F}), (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_EQ(remove(0x20, {0x1E, 0x45, 0x41, 0x1F}), (Bytes{0x0E, 0x45, 0x41, 0x0F}));
    EXPECT_EQ(remove(0x40, {0x1E, 0x45, 0x41, 0x1F}),
              (Bytes{0x0A, 0x42, 0x45, 0x41, 0x0A, 0x41}));
    EXPECT_EQ(XCountKanjiShift(0x40, 0, 4, Bytes{0x1E, 0x45, 0x41, 0x1F}.data()), 6);
    EXPECT_EQ(add(0x40, {0xC1, 0x0A, 0x42, 0x45, 0x41, 0x0A, 0x41}),
              (Bytes{0xC1, 0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_EQ(remove(0x08, {0x1E, 0x45, 0x41, 0x1F}), (Bytes{0x28, 0x30, 0xE2, 0x45, 0x41, 0x29}));
    EXPECT_EQ(add(0x08, {0x28, 0x30, 0xE2, 0x45, 0x41, 0x29}), (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_EQ(add(0x02, {0x28, 0x45, 0x41, 0x29}), (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_EQ(add(0x04, {0x38, 0x45, 0x41, 0x29}), (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    // Inside a run bytes go in pairs (a shift-in inside a pair is data); a
    // 0x40 goes alone.
    EXPECT_EQ(add(0x20, {0x0E, 0x40, 0x45, 0x0F, 0x0F}), (Bytes{0x1E, 0x40, 0x45, 0x0F, 0x1F}));
    // A run left open stays open without a bound.
    EXPECT_EQ(add(0x20, {0x0E, 0x45, 0x41}), (Bytes{0x1E, 0x45, 0x41}));
    EXPECT_EQ(remove(0x20, {0x1E, 0x45, 0x41}), (Bytes{0x0E, 0x45, 0x41}));
    // A pair cut off by the end is copied as far as it goes.
    EXPECT_EQ(add(0x20, {0x0E, 0x45}), (Bytes{0x1E, 0x45}));
    // A sequence must lie wholly within the text.
    EXPECT_EQ(add(0x40, {0xC1, 0x0A}), (Bytes{0xC1, 0x0A}));
    // Unknown direction counts as adding for EBCDIC codes.
    EXPECT_EQ(XCountKanjiShift(0x40, 7, 7, Bytes{0xC1, 0x0A, 0x42, 0x45, 0x41, 0x0A, 0x41}.data()),
              5);
}

TEST_F(KanjiShift, MixedCodeReadsEveryShiftOutAndCannotBeWritten) {
    const Bytes src = {0x28, 0x45, 0x41, 0x29, 0x38, 0x45, 0x41, 0x29, 0x28, 0x30, 0x99,
                       0x45, 0x41, 0x29, 0x38, 0x30, 0xE2, 0x45, 0x41, 0x29};
    Bytes want;
    for (int i = 0; i < 4; ++i) want.insert(want.end(), {0x1E, 0x45, 0x41, 0x1F});
    EXPECT_EQ(add(0x0D, src), want);
    EXPECT_EQ(add(0x8D, src), want);
    EXPECT_EQ(XCountKanjiShift(0x0D, 1, int32_t(src.size()), src.data()), 16);
    EXPECT_EQ(XCountKanjiShift(0x0D, 0, 4, want.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 2), 0, 2);

    Bytes out(8, 0xEE);
    EXPECT_EQ(XRemoveKanjiShift(0x0D, 4, want.data(), out.data()), 0);
    EXPECT_LAST_ERROR(code(kRemove, 1), 1, 2);
    EXPECT_EQ(out, Bytes(8, 0xEE));
    int32_t size = 8;
    EXPECT_EQ(XRemoveKanjiShiftEx(0x0D, 4, want.data(), &size, out.data()), 0);
    EXPECT_LAST_ERROR(code(kRemoveEx, 1), 1, 2);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(out, Bytes(8, 0xEE));
}

TEST_F(KanjiShift, ArgumentsAreCheckedFromTheLastToTheFirst) {
    const Bytes src = {'a'};
    uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(XAddKanjiShift(0x55, 0, nullptr, nullptr), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 4, 2);
    EXPECT_EQ(XAddKanjiShift(0x55, 0, nullptr, dst), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 3, 2);
    EXPECT_EQ(XAddKanjiShift(0x55, 0, src.data(), dst), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 2, 2);
    EXPECT_EQ(XAddKanjiShift(0x55, 1, src.data(), dst), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 1, 2);
    EXPECT_EQ(XAddKanjiShift(0x90, 1, src.data(), dst), 0);
    EXPECT_LAST_ERROR(code(kAdd, 1), 1, 2);
    EXPECT_EQ(XRemoveKanjiShift(0x10, -1, src.data(), dst), 0);
    EXPECT_LAST_ERROR(code(kRemove, 1), 2, 2);
    EXPECT_EQ(XCountKanjiShift(0x55, 1, 0, nullptr), 0);
    EXPECT_LAST_ERROR(code(kCount, 1), 4, 2);
    EXPECT_EQ(XCountKanjiShift(0x55, 1, 0, src.data()), 0);
    EXPECT_LAST_ERROR(code(kCount, 1), 3, 2);

    int32_t size = 0;
    EXPECT_EQ(XAddKanjiShiftEx(0x55, 0, nullptr, &size, nullptr), 0);
    EXPECT_LAST_ERROR(code(kAddEx, 1), 5, 2);
    EXPECT_EQ(XAddKanjiShiftEx(0x55, 0, nullptr, &size, dst), 0);
    EXPECT_LAST_ERROR(code(kAddEx, 1), 4, 2);
    EXPECT_EQ(XAddKanjiShiftEx(0x55, 0, nullptr, nullptr, dst), 0);
    EXPECT_LAST_ERROR(code(kAddEx, 1), 4, 2);
    size = 4;
    EXPECT_EQ(XRemoveKanjiShiftEx(0x55, 0, nullptr, &size, dst), 0);
    EXPECT_LAST_ERROR(code(kRemoveEx, 1), 3, 2);
    EXPECT_EQ(XRemoveKanjiShiftEx(0x55, 0, src.data(), &size, dst), 0);
    EXPECT_LAST_ERROR(code(kRemoveEx, 1), 2, 2);
    EXPECT_EQ(XRemoveKanjiShiftEx(0x55, 1, src.data(), &size, dst), 0);
    EXPECT_LAST_ERROR(code(kRemoveEx, 1), 1, 2);
    EXPECT_EQ(size, 4);  // arguments refused: the size stays
    for (uint8_t b : dst) EXPECT_EQ(b, 0xEE);
}

TEST_F(KanjiShift, BoundedAddingStopsCleanlyAndClosesTheRun) {
    const Bytes dbcs_first = {0x82, 0xA0, 'B'};
    ExResult r = add_ex(0x10, dbcs_first, 3);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, Bytes{});
    XSetLastError(0, 0, 0);
    const Bytes src = {'A', 0x82, 0xA0, 'B'};
    r = add_ex(0x10, src, 6);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.out, (Bytes{'A', 0x1E, 0x82, 0xA0, 0x1F, 'B'}));
    r = add_ex(0x10, src, 5);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, (Bytes{'A', 0x1E, 0x82, 0xA0, 0x1F}));
    EXPECT_LAST_ERROR(0, 0, 0);  // a full destination is no error
    // Inside a run a pair needs room for itself and the closing code.
    const Bytes two = {0x82, 0xA0, 0x82, 0xA2};
    r = add_ex(0x10, two, 5);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, (Bytes{0x1E, 0x82, 0xA0, 0x1F}));
    r = add_ex(0x10, two, 6);
    EXPECT_EQ(r.result, 2);
    // Every capacity gives a prefix of the full result, closed when in a run.
    const Bytes mixed = {'a', 0x82, 0xA0, 0x82, 0xA2, 0xB1, 0x88, 0x9F, 'z'};
    const Bytes full = add(0x10, mixed);
    for (int32_t cap = 1; cap <= int32_t(full.size()); ++cap) {
        r = add_ex(0x10, mixed, cap);
        EXPECT_EQ(r.result, cap == int32_t(full.size()) ? 2 : 1) << cap;
        ASSERT_LE(r.out.size(), size_t(cap));
        int opens = 0;
        for (uint8_t b : r.out) opens += b == 0x1E ? 1 : b == 0x1F ? -1 : 0;
        EXPECT_EQ(opens, 0) << cap;
    }
    // Ex closes an EBCDIC run at the end; a pair cut off is an error.
    r = add_ex(0x20, {0x0E, 0x45, 0x41}, 16);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.out, (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    r = add_ex(0x20, {0x0E, 0x45, 0x41, 0x45}, 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{0x1E, 0x45, 0x41, 0x1F}));
    EXPECT_LAST_ERROR(code(kAddEx, 2), 5, 2);
    r = add_ex(0x0D, {0x38, 0x30, 0x99, 0x45}, 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_LAST_ERROR(code(kAddEx, 2), 4, 2);
    r = add_ex(0x20, {'A', 0x0E, 0x45}, 16);  // fewer than 3 bytes from the shift-out
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, Bytes{'A'});
    EXPECT_LAST_ERROR(code(kAddEx, 2), 5, 2);
    r = add_ex(0x10, {'A', 0x82}, 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, Bytes{'A'});
    EXPECT_LAST_ERROR(code(kAddEx, 2), 1, 2);
    r = add_ex(0x30, {0xA4, 0xA2, 0x8E}, 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{0x1E, 0xA4, 0xA2, 0x1F}));
    EXPECT_LAST_ERROR(code(kAddEx, 2), 2, 2);
    // A 0x40 inside an EBCDIC run keeps room for the closing code.
    r = add_ex(0x20, {0x0E, 0x40, 0x40, 0x40}, 4);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, (Bytes{0x1E, 0x40, 0x40, 0x1F}));
    // A shift-out needs room for 0x1E, a pair and the closing code.
    r = add_ex(0x20, {0x0E, 0x40, 0x40}, 3);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, Bytes{});
}

TEST_F(KanjiShift, BoundedRemovingKeepsRoomForTheShiftIn) {
    const Bytes shifted = {0xC1, 0x1E, 0x45, 0x41, 0x46, 0x42, 0x1F, 0xC2};
    ExResult r = remove_ex(0x40, shifted, 64);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.out, (Bytes{0xC1, 0x0A, 0x42, 0x45, 0x41, 0x46, 0x42, 0x0A, 0x41, 0xC2}));
    for (int32_t cap = 1; cap < 10; ++cap) {
        r = remove_ex(0x40, shifted, cap);
        EXPECT_EQ(r.result, 1) << cap;
        // Whenever a shift-out was written, its shift-in follows.
        bool open = false;
        for (size_t i = 0; i + 1 < r.out.size(); ++i) {
            if (r.out[i] == 0x0A && r.out[i + 1] == 0x42) open = true;
            if (r.out[i] == 0x0A && r.out[i + 1] == 0x41) open = false;
        }
        EXPECT_FALSE(open) << cap;
    }
    // The last run without 0x1F gets its shift-in in the bounded form only.
    const Bytes open_run = {0x1E, 0x45, 0x41};
    r = remove_ex(0x20, open_run, 16);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.out, (Bytes{0x0E, 0x45, 0x41, 0x0F}));
    EXPECT_EQ(remove(0x20, open_run), (Bytes{0x0E, 0x45, 0x41}));
    r = remove_ex(0x20, {0x1E, 0x45, 0x41, 0x45}, 16);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, (Bytes{0x0E, 0x45, 0x41, 0x0F}));
    EXPECT_LAST_ERROR(code(kRemoveEx, 2), 5, 2);

    // Shift-JIS and EUC: the markers vanish, pairs stay whole.
    r = remove_ex(0x10, {'A', 0x1E, 0x82, 0xA0, 0x1F}, 2);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, Bytes{'A'});
    r = remove_ex(0x10, {'A', 0x1E, 0x82, 0xA0, 0x1F}, 3);
    EXPECT_EQ(r.result, 2);
    r = remove_ex(0x10, {'A', 0x1E, 0x82}, 8);
    EXPECT_EQ(r.result, 0);
    EXPECT_LAST_ERROR(code(kRemoveEx, 2), 1, 2);
    r = remove_ex(0x30, {'A', 0x8E}, 8);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, Bytes{'A'});
    EXPECT_LAST_ERROR(code(kRemoveEx, 2), 2, 2);
    r = remove_ex(0x30, {0x1E, 0xA4}, 8);
    EXPECT_LAST_ERROR(code(kRemoveEx, 2), 3, 2);
}

TEST_F(KanjiShift, LongTextsRoundTripAndCountExactly) {
    // More than 65,535 bytes, with runs of every length.
    Bytes src;
    for (int i = 0; src.size() < 200000; ++i) {
        for (int k = 0; k < i % 7; ++k) src.insert(src.end(), {0x88, uint8_t(0x9F + k)});
        src.push_back(uint8_t('a' + i % 26));
    }
    Bytes shifted = add(0x10, src);
    EXPECT_EQ(remove(0x10, shifted), src);
    Bytes host = remove(0x20, shifted);
    EXPECT_EQ(add(0x20, host), shifted);
}
