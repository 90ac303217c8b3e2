// gen_ibm_tables: writes SRC/xdata_kanji_tables.cpp, the two tables between
// the IBM host double-byte code (Kanji code 0x20) and Shift-JIS, to standard
// output.
//
// Both directions go through Unicode with glibc's iconv: IBM930 for the host
// code (its double-byte part is shared by IBM939, IBM1390 and IBM1399) and
// IBM943 for Shift-JIS (IBM's Shift-JIS, which holds both the IBM and the
// NEC-selected extensions).  The library's tables differ from what these
// converters give in a few documented places; each override below says why.
// After the overrides the generator checks the tables' fixed points (sizes,
// substitute counts, the rows that the library's tests rely on) and fails
// loudly if a glibc update moved anything.
//
// Usage: gen_ibm_tables > SRC/xdata_kanji_tables.cpp
// A CTest test runs it and compares the output with the checked-in file byte
// for byte.
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kIbmNoSjis = 0xFCFB;  // Shift-JIS for "no counterpart"
constexpr uint16_t kSjisNoIbm = 0x7FFE;  // host code for "no counterpart"
constexpr size_t kIbmEntries = 7601;     // 0x4040, then 0x41-0x68 x 0x41-0xFE
constexpr size_t kSjisEntries = 11517;   // 60 row pairs x 0x40-0xFF, less 0xFCFD-0xFCFF
constexpr size_t kIbmSubstitutes = 338;
constexpr size_t kSjisSubstitutes = 2198;

// One iconv descriptor per direction, reset before every character.
class Converter {
public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            std::fprintf(stderr, "gen_ibm_tables: iconv_open(%s, %s): %s\n", to, from,
                         std::strerror(errno));
            std::exit(2);
        }
    }
    ~Converter() { iconv_close(cd_); }
    // The converted bytes, or empty when the input has no exact counterpart
    // (an error, or a substitution that iconv reports as irreversible).
    std::string run(const std::string &in) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char *ip = const_cast<char *>(in.data());
        size_t il = in.size();
        char out[32];
        char *op = out;
        size_t ol = sizeof out;
        size_t r = iconv(cd_, &ip, &il, &op, &ol);
        if (r == size_t(-1) || r > 0 || il != 0) return {};
        if (iconv(cd_, nullptr, nullptr, &op, &ol) == size_t(-1)) return {};
        return std::string(out, sizeof out - ol);
    }

private:
    iconv_t cd_;
};

struct Converters {
    Converter host_to_uni{"UTF-32LE", "IBM930"};
    Converter uni_to_host{"IBM930", "UTF-32LE"};
    Converter sjis_to_uni{"UTF-32LE", "IBM943"};
    Converter uni_to_sjis{"IBM943", "UTF-32LE"};

    // One Unicode character of a byte string, or -1.
    static long one_char(const std::string &utf32) {
        if (utf32.size() != 4) return -1;
        uint32_t u;
        std::memcpy(&u, utf32.data(), 4);
        return long(u);
    }
    static std::string utf32(uint32_t u) { return std::string(reinterpret_cast<char *>(&u), 4); }

    // Host double-byte code to Shift-JIS, or -1.
    long ibm_to_sjis(int code) {
        // A host double-byte character only exists between shift-out and shift-in.
        std::string in = {'\x0E', char(code >> 8), char(code & 0xFF), '\x0F'};
        long u = one_char(host_to_uni.run(in));
        if (u < 0) return -1;
        std::string s = uni_to_sjis.run(utf32(uint32_t(u)));
        if (s.size() != 2) return -1;  // single-byte or nothing: no double-byte counterpart
        return long(uint8_t(s[0])) << 8 | uint8_t(s[1]);
    }
    // Shift-JIS to host double-byte code, or -1.
    long sjis_to_ibm(int code) {
        std::string in = {char(code >> 8), char(code & 0xFF)};
        long u = one_char(sjis_to_uni.run(in));
        if (u < 0) return -1;
        std::string h = uni_to_host.run(utf32(uint32_t(u)));
        if (h.size() != 4 || h[0] != '\x0E' || h[3] != '\x0F') return -1;
        return long(uint8_t(h[1])) << 8 | uint8_t(h[2]);
    }
};

int ibm_code_of(size_t index) {
    if (index == 0) return 0x4040;
    size_t i = index - 1;
    return int((0x41 + i / 190) << 8 | (0x41 + i % 190));
}

int sjis_code_of(size_t index) {
    size_t p = index / 192, q = index % 192;
    int lead = p < 31 ? int(0x81 + p) : int(0xE0 + (p - 31));
    return lead << 8 | int(0x40 + q);
}

size_t sjis_index_of(int code) {
    int lead = code >> 8, second = code & 0xFF;
    size_t p = size_t(lead < 0xE0 ? lead - 0x81 : lead - 0xC1);
    return p * 192 + size_t(second - 0x40);
}

bool check(bool ok, const char *what) {
    if (!ok) std::fprintf(stderr, "gen_ibm_tables: check failed: %s\n", what);
    return ok;
}

void print_table(const char *name, const char *size, const std::vector<uint16_t> &t) {
    std::printf("const uint16_t %s[%s] = {\n", name, size);
    for (size_t i = 0; i < t.size(); ++i) {
        std::printf("%s0x%04X,", i % 12 == 0 ? "    " : " ", t[i]);
        if (i % 12 == 11 || i + 1 == t.size()) std::printf("\n");
    }
    std::printf("};\n");
}

}  // namespace

int main() {
    Converters cv;
    std::vector<uint16_t> ibm(kIbmEntries), sjis(kSjisEntries);
    std::vector<long> ibm_raw(kIbmEntries), sjis_raw(kSjisEntries);
    for (size_t i = 0; i < kIbmEntries; ++i) {
        ibm_raw[i] = cv.ibm_to_sjis(ibm_code_of(i));
        ibm[i] = ibm_raw[i] < 0 ? kIbmNoSjis : uint16_t(ibm_raw[i]);
    }
    for (size_t i = 0; i < kSjisEntries; ++i) {
        sjis_raw[i] = cv.sjis_to_ibm(sjis_code_of(i));
        sjis[i] = sjis_raw[i] < 0 ? kSjisNoIbm : uint16_t(sjis_raw[i]);
    }

    // Override 1: Shift-JIS 0xFA40 (small roman numeral one, an IBM
    // extension) goes to host 0x71ED.  IBM943 with IBM930 give 0x41B1; the
    // library's table holds 0x71ED there, the host user-defined position that
    // the converters give for Shift-JIS 0xF940.
    sjis[sjis_index_of(0xFA40)] = 0x71ED;

    // Override 2: the host table has two substitutes more than the
    // converters leave (336).  Every host code converts both ways, so the two
    // are taken where losing them costs least: among the host codes whose
    // Shift-JIS counterpart the Shift-JIS-to-host conversion passes through
    // unchanged (0x84BF-0x889D, first bytes from 0xEB: the IBM extensions),
    // which therefore never come back anyway, the two highest.
    {
        size_t missing = 0;
        for (uint16_t v : ibm) missing += v == kIbmNoSjis;
        for (size_t i = kIbmEntries; i-- > 0 && missing < kIbmSubstitutes;) {
            uint16_t v = ibm[i];
            bool passes_through = (v >= 0x84BF && v <= 0x889D) || (v >> 8) >= 0xEB;
            if (v != kIbmNoSjis && passes_through) {
                ibm[i] = kIbmNoSjis;
                ++missing;
            }
        }
    }

    // Override 3: the Shift-JIS table has 224 substitutes more than the
    // converters leave (1974).  They are taken, in ascending code order, from
    // the Shift-JIS codes whose conversion is one-way: the NEC special
    // characters of row 0x87 and the NEC-selected IBM extensions of rows 0xED
    // and 0xEE, which the converters send to the host code of another
    // Shift-JIS code for the same character (the IBM extension in rows
    // 0xFA-0xFC, or the JIS character).  Each of them therefore keeps a
    // Shift-JIS spelling that still converts.
    {
        size_t missing = 0;
        for (uint16_t v : sjis) missing += v == kSjisNoIbm;
        std::map<int, int> host_back;  // host code -> the Shift-JIS code it converts to
        for (size_t i = 0; i < kIbmEntries; ++i)
            if (ibm_raw[i] >= 0) host_back[ibm_code_of(i)] = int(ibm_raw[i]);
        for (size_t i = 0; i < kSjisEntries && missing < kSjisSubstitutes; ++i) {
            if (sjis_raw[i] < 0 || sjis_code_of(i) == 0xFA40) continue;
            auto it = host_back.find(int(sjis_raw[i]));
            if (it == host_back.end() || it->second == sjis_code_of(i)) continue;
            sjis[i] = kSjisNoIbm;
            ++missing;
        }
    }

    // The fixed points of the tables.
    size_t ibm_subst = 0, sjis_subst = 0;
    bool zero = false;
    for (uint16_t v : ibm) ibm_subst += v == kIbmNoSjis, zero |= v == 0;
    for (uint16_t v : sjis) sjis_subst += v == kSjisNoIbm, zero |= v == 0;
    auto ibm_at = [&](int code) {
        return code == 0x4040 ? ibm[0]
                              : ibm[size_t(((code >> 8) - 0x41) * 190 + ((code & 0xFF) - 0x41) + 1)];
    };
    auto sjis_at = [&](int code) { return sjis[sjis_index_of(code)]; };
    bool ok = true;
    ok &= check(ibm_subst == kIbmSubstitutes, "338 host codes without counterpart");
    ok &= check(sjis_subst == kSjisSubstitutes, "2198 Shift-JIS codes without counterpart");
    ok &= check(!zero, "no entry is 0");
    ok &= check(ibm_at(0x4040) == 0x8140 && sjis_at(0x8140) == 0x4040, "0x4040 <-> 0x8140");
    ok &= check(ibm_at(0x4141) == 0x83BF, "0x4141 -> 0x83BF");
    ok &= check(ibm_at(0x42C1) == 0x8260 && sjis_at(0x8260) == 0x42C1, "0x42C1 <-> 0x8260");
    ok &= check(ibm_at(0x4281) == 0x8281 && sjis_at(0x8281) == 0x4281, "0x4281 <-> 0x8281");
    ok &= check(ibm_at(0x4481) == 0x82A0 && sjis_at(0x82A0) == 0x4481, "0x4481 <-> 0x82A0");
    ok &= check(sjis_at(0x829F) == 0x4447, "0x829F -> 0x4447");
    ok &= check(sjis_at(0x8340) == 0x4347, "0x8340 -> 0x4347");
    ok &= check(sjis_at(0x889F) == 0x4867, "0x889F -> 0x4867");
    ok &= check(sjis_at(0xE040) == 0x5DB5, "0xE040 -> 0x5DB5");
    ok &= check(sjis_at(0xFA40) == 0x71ED, "0xFA40 -> 0x71ED");
    ok &= check(ibm_at(0x68FE) == 0xFCFB, "0x68FE -> 0xFCFB");
    if (!ok) return 1;

    std::printf(
        "// Generated by tools/gen_ibm_tables (glibc iconv IBM930 and IBM943, with the\n"
        "// overrides documented there).  Do not edit; regenerate with\n"
        "//   build/tools/gen_ibm_tables > SRC/xdata_kanji_tables.cpp\n"
        "//\n"
        "// kIbmToSjis: index 0 is host 0x4040; host (first, second) with first\n"
        "// 0x41-0x68 and second 0x41-0xFE is at (first - 0x41) * 190 + (second - 0x41) + 1.\n"
        "// 0xFCFB marks a host code without Shift-JIS counterpart.\n"
        "// kSjisToIbm: Shift-JIS (lead, second) is at p * 192 + (second - 0x40), p =\n"
        "// lead - 0x81 (lead - 0xC1 from 0xE0 on).  0x7FFE marks no host counterpart.\n"
        "#include \"xdata_tables.h\"\n\nnamespace zax::data {\n\n");
    print_table("kIbmToSjis", "kIbmToSjisEntries", ibm);
    std::printf("\n");
    print_table("kSjisToIbm", "kSjisToIbmEntries", sjis);
    std::printf("\n}  // namespace zax::data\n");
    return 0;
}
