// Writes the parts of the documentation that are made from the library's own
// tables, so that they cannot drift from what the library does:
//
//   gen_docs error-codes OUT.md       docs/error-codes.md: every function code
//                                     and reason, from SRC/xcodes.def
//   gen_docs code-tables OUT.md       docs/code-tables.md: the single-byte code
//                                     tables, each beside the public code page
//                                     closest to it (glibc's iconv), with every
//                                     difference
//   gen_docs reference HEADER OUT     a Doxygen input that adds to every
//                                     function of HEADER the error codes it
//                                     records
//
// The two Markdown files are kept in the repository; the tests docs_*_current
// run this program and compare.
#include <iconv.h>
#include <clocale>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "code_table.h"
#include "xdata_tables.h"

namespace {

// ---------------------------------------------------------------------------
// The table of error codes.

using namespace zaxcodes;

std::vector<const Reason *> reasons_of(const char *fn) {
    std::vector<const Reason *> out;
    for (const Reason &r : kReasons)
        if (std::string(r.fn) == fn) out.push_back(&r);
    return out;
}

const char *kind_text(unsigned kind) { return kind == 1 ? "1 system" : "2 library"; }

// A cell of a Markdown table: "|" would end the cell.
std::string cell(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '|') out += "\\|";
        else out += c;
    }
    return out;
}

// The functions named in an "also" text ("XOpenFile64, XOpenParmFile (reason
// 6)"), each with what follows its name up to the next comma.
std::vector<std::pair<std::string, std::string>> also_list(const char *also) {
    std::vector<std::pair<std::string, std::string>> out;
    static const std::regex item(R"(^\s*(X[A-Za-z0-9_]*)\s*(.*?)\s*$)");
    std::stringstream ss(also);
    std::string part;
    while (std::getline(ss, part, ',')) {
        std::smatch m;
        if (!std::regex_match(part, m, item)) continue;
        std::string note = m[2];
        if (note.size() >= 2 && note.front() == '(' && note.back() == ')')
            note = note.substr(1, note.size() - 2);
        out.emplace_back(m[1], note);
    }
    return out;
}

std::vector<const Function *> by_code() {
    std::vector<const Function *> fns;
    for (const Function &f : kFunctions) fns.push_back(&f);
    std::sort(fns.begin(), fns.end(),
              [](const Function *a, const Function *b) { return a->code < b->code; });
    return fns;
}

void reason_table(std::ostream &out, const Function &f, const char *prefix) {
    out << prefix << "| Code | Reason | Kind | Detail | Meaning |\n";
    out << prefix << "|---|---|---|---|---|\n";
    for (const Reason *r : reasons_of(f.name))
        out << prefix << "| " << hex(f.code << 16 | r->reason) << " | " << r->reason << " `"
            << r->id << "` | " << kind_text(r->kind) << " | " << cell(r->detail) << " | "
            << cell(r->meaning) << " |\n";
}

int error_codes(const char *path) {
    std::ofstream out(path);
    out << "# Error codes\n\n"
           "<!-- Made by tools/gen_docs from SRC/xcodes.def; do not edit by hand:\n"
           "     cmake --build build --target update_docs -->\n\n"
           "Every failure leaves a code, a detail and a kind in the calling thread's\n"
           "error record (`XGetLastError`). The code is the function code of the\n"
           "function that recorded it, shifted left by 16 bits, plus a reason number:\n"
           "`0x780006` is reason 6 of function code `0x78` (`XOpenFile`). The kind tells\n"
           "how to read the detail: kind 1 (system) means that the detail is an `errno`\n"
           "value (2 is `ENOENT`, 13 `EACCES`; `errno(3)` lists them), kind 2 (library)\n"
           "that it is a number of the library's own, most often the 1-based position\n"
           "of the argument that was refused. [Concepts](concepts.md#the-error-record)\n"
           "tells more; `zaxxlib_codes.h` names every code (`X_E_XOpenFile_...`).\n\n"
           "A function that hands work to another exported function leaves that\n"
           "function's code: the *Also recorded by* column lists those callers. The\n"
           "codes of `XAllocMemory` (no memory) and `XLockObj` (a lock not had in time)\n"
           "can come from any function that allocates or takes a lock.\n\n"
           "| Function code | Function | Also recorded by |\n|---|---|---|\n";
    std::vector<const Function *> fns = by_code();
    for (const Function *f : fns) {
        std::string anchor = f->name;
        std::transform(anchor.begin(), anchor.end(), anchor.begin(), ::tolower);
        out << "| " << hex(f->code) << " | [" << f->name << "](#" << anchor << ") | "
            << cell(f->also) << " |\n";
    }
    for (const Function *f : fns) {
        out << "\n## " << f->name << "\n\nFunction code " << hex(f->code) << ".";
        if (*f->also != '\0') out << " Also recorded by " << f->also << ".";
        out << "\n\n";
        reason_table(out, *f, "");
    }
    return out.good() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The Doxygen input with each function's error codes.

struct Declaration {
    std::string name, text;
};

std::vector<Declaration> declarations(const char *header) {
    std::ifstream in(header);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string all = ss.str();
    std::vector<Declaration> out;
    static const std::regex name(R"(([A-Za-z_][A-Za-z0-9_]*)\s*\()");
    for (size_t at = all.find("\nXAPI "); at != std::string::npos;
         at = all.find("\nXAPI ", at + 1)) {
        size_t end = all.find(';', at);
        std::string text = all.substr(at + 6, end - at - 6);
        std::string flat;
        for (char c : text) {
            if (c == '\n' || c == '\t') c = ' ';
            if (c == ' ' && !flat.empty() && flat.back() == ' ') continue;
            flat += c;
        }
        std::smatch m;
        if (std::regex_search(flat, m, name)) out.push_back({m[1], flat});
    }
    return out;
}

int reference(const char *header, const char *path) {
    std::map<std::string, const Function *> own;
    std::map<std::string, std::vector<std::pair<const Function *, std::string>>> borrowed;
    for (const Function &f : kFunctions) {
        own[f.name] = &f;
        for (auto &[name, note] : also_list(f.also)) borrowed[name].push_back({&f, note});
    }
    std::ofstream out(path);
    out << "/* Made by tools/gen_docs from SRC/xcodes.def: the error codes of each\n"
           " * function, added to its documentation in zaxxlib.h. */\n";
    for (const Declaration &d : declarations(header)) {
        out << "\n/** \\fn " << d.text << "\n";
        auto o = own.find(d.name);
        auto b = borrowed.find(d.name);
        if (o == own.end() && b == borrowed.end()) {
            out << " * \\par Error codes\n * Records no error code of its own.\n */\n";
            continue;
        }
        out << " * \\par Error codes\n";
        if (o != own.end()) {
            out << " * Function code " << hex(o->second->code) << ":\n *\n";
            reason_table(out, *o->second, " * ");
            if (*o->second->also != '\0')
                out << " *\n * The same codes are recorded by " << o->second->also << ".\n";
        }
        if (b != borrowed.end()) {
            out << " *\n * Leaves the codes of ";
            for (size_t i = 0; i < b->second.size(); ++i) {
                const auto &[f, note] = b->second[i];
                out << (i == 0 ? "" : i + 1 == b->second.size() ? " and " : ", ") << f->name
                    << "() (" << hex(f->code) << (note.empty() ? "" : ", " + note) << ")";
            }
            out << ".\n";
        }
        out << " */\n";
    }
    return out.good() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The single-byte code tables beside public code pages.

constexpr int kNone = -1;  // no character

// The character (a Unicode scalar) of byte b in iconv's charset, or kNone.
int decode(const char *charset, unsigned b) {
    iconv_t cd = iconv_open("UTF-32LE", charset);
    if (cd == (iconv_t)-1) return kNone - 1;
    char in = char(b), outbuf[8];
    char *ip = &in, *op = outbuf;
    size_t il = 1, ol = sizeof outbuf;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == size_t(-1) || ol != sizeof outbuf - 4) return kNone;
    return int(uint8_t(outbuf[0]) | uint8_t(outbuf[1]) << 8 | uint8_t(outbuf[2]) << 16);
}

using Chars = std::vector<int>;  // 256 characters, one per byte

// The characters of a public single-byte code page, or an empty table when
// this system's iconv does not know it.
Chars charset_chars(const char *charset) {
    Chars out(256);
    for (unsigned b = 0; b < 256; ++b) {
        out[b] = decode(charset, b);
        if (out[b] < kNone) return {};
    }
    return out;
}

// A character as the tables show it.
std::string show(int c) {
    if (c == kNone) return "–";
    char buf[16];
    if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) {
        std::snprintf(buf, sizeof buf, "U+%04X", c);
        return buf;
    }
    std::string s;
    if (c < 0x80) {
        s = char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | c >> 6);
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xE0 | c >> 12);
        s += char(0x80 | (c >> 6 & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    if (s == "|") return "\\|";
    if (s == "`") return "`` ` ``";
    if (s == " ") return "SP";
    return "`" + s + "`";
}

std::string show_full(int c) {
    if (c == kNone) return "no character";
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", c);
    std::string s = show(c);
    return s.rfind("U+", 0) == 0 ? s : std::string(buf) + " " + s;
}

// Half-width katakana (U+FF61-U+FF9F) as the full-width characters that
// glibc's transliteration gives them (in the C.UTF-8 locale, which main
// selects), so that a code page that holds the full-width forms counts as
// having the same characters.
int fold(int c) {
    static std::map<int, int> folded;
    if (c < 0xFF61 || c > 0xFF9F) return c;
    auto it = folded.find(c);
    if (it != folded.end()) return it->second;
    int result = c;
    iconv_t to = iconv_open("ISO-2022-JP//TRANSLIT", "UTF-32LE");
    iconv_t back = iconv_open("UTF-32LE", "ISO-2022-JP");
    char in[4] = {char(c), char(c >> 8), char(c >> 16), 0}, mid[16], out[16];
    char *ip = in, *mp = mid, *op = out;
    size_t il = 4, ml = sizeof mid, ol = sizeof out;
    if (to != (iconv_t)-1 && back != (iconv_t)-1 && iconv(to, &ip, &il, &mp, &ml) != size_t(-1) &&
        iconv(to, nullptr, nullptr, &mp, &ml) != size_t(-1)) {
        char *rp = mid;
        size_t rl = sizeof mid - ml;
        if (iconv(back, &rp, &rl, &op, &ol) != size_t(-1) && sizeof out - ol == 4)
            result = int(uint8_t(out[0]) | uint8_t(out[1]) << 8 | uint8_t(out[2]) << 16);
    }
    if (to != (iconv_t)-1) iconv_close(to);
    if (back != (iconv_t)-1) iconv_close(back);
    if (result == '?') result = c;
    folded[c] = result;
    return result;
}

bool same(int ours, int pub) { return ours == pub || (ours != kNone && fold(ours) == pub); }

struct Candidate {
    std::string name;
    Chars chars;
    int conflicts;  // bytes where ours has a character and this has another or none
    int extra;      // bytes where this has a character and ours has none
    int widths;     // bytes where the two hold the two widths of one katakana
};

Candidate compare(const Chars &ours, const char *name, const Chars &pub) {
    Candidate c{name, pub, 0, 0, 0};
    for (int b = 0; b < 256; ++b) {
        if (ours[b] != kNone && !same(ours[b], pub[b])) ++c.conflicts;
        if (ours[b] == kNone && pub[b] != kNone) ++c.extra;
        if (ours[b] != pub[b] && same(ours[b], pub[b])) ++c.widths;
    }
    return c;
}

// Of the candidates that this system's iconv knows, the one that agrees with
// ours at the most of our characters (then: that has the fewest characters
// beyond ours).
Candidate closest(const Chars &ours, const std::vector<const char *> &names) {
    Candidate best{"", {}, 257, 257, 0};
    for (const char *n : names) {
        Chars chars = charset_chars(n);
        if (chars.empty()) continue;
        Candidate c = compare(ours, n, chars);
        if (c.conflicts < best.conflicts ||
            (c.conflicts == best.conflicts && c.extra < best.extra))
            best = c;
    }
    return best;
}

// A 16 x 16 grid: row = high nibble, column = low nibble of the byte.
void grid(std::ostream &out, const Chars &chars) {
    out << "| |";
    for (int c = 0; c < 16; ++c) out << " _" << "0123456789ABCDEF"[c] << " |";
    out << "\n|---|";
    for (int c = 0; c < 16; ++c) out << "---|";
    out << "\n";
    for (int r = 0; r < 16; ++r) {
        out << "| **" << "0123456789ABCDEF"[r] << "_** |";
        for (int c = 0; c < 16; ++c) out << " " << show(chars[r * 16 + c]) << " |";
        out << "\n";
    }
}

// The next of two characters in a run of consecutive code points (none stays none).
bool follows(int next, int prev) { return next == kNone ? prev == kNone : prev != kNone && next == prev + 1; }

// Every byte where ours has a character and pub another or none (runs of
// consecutive bytes and characters in one row), then the characters of pub
// that ours lacks.
void differences(std::ostream &out, const Chars &ours, const Candidate &pub,
                 const char *byte_name, const char *set_name) {
    out << "| " << byte_name << " | zaxxlib | " << pub.name << " |\n|---|---|---|\n";
    for (int b = 0; b < 256; ++b) {
        if (ours[b] == kNone || same(ours[b], pub.chars[b])) continue;
        int e = b;
        while (e + 1 < 256 && ours[e + 1] != kNone && !same(ours[e + 1], pub.chars[e + 1]) &&
               follows(ours[e + 1], ours[e]) && follows(pub.chars[e + 1], pub.chars[e]))
            ++e;
        if (e == b)
            out << "| " << hex(unsigned(b), 2) << " | " << show_full(ours[b]) << " | "
                << show_full(pub.chars[b]) << " |\n";
        else
            out << "| " << hex(unsigned(b), 2) << "–" << hex(unsigned(e), 2) << " | "
                << show_full(ours[b]) << " to " << show_full(ours[e]) << " | "
                << (pub.chars[b] == kNone ? "no character"
                                          : show_full(pub.chars[b]) + " to " + show_full(pub.chars[e]))
                << " |\n";
        b = e;
    }
    if (pub.widths != 0)
        out << "\nAt " << pub.widths << " more bytes the two hold the same katakana: " << set_name
            << " its half-width form (U+FF61 to U+FF9F), " << pub.name
            << " the full-width one (as glibc's iconv has it).\n";
    if (pub.extra == 0) return;
    out << "\n" << pub.name << " has " << pub.extra << " characters that " << set_name
        << " lacks (the byte converts to the period):";
    const char *sep = " ";
    for (int b = 0; b < 256; ++b)
        if (ours[b] == kNone && pub.chars[b] != kNone) {
            out << sep << hex(unsigned(b), 2) << " " << show_full(pub.chars[b]);
            sep = ", ";
        }
    out << ".\n";
}

int code_tables(const char *path) {
    using namespace zax::data;
    // The Unicode units of the library's 8-bit ASCII, and the public code
    // page closest to them.
    Chars uni(256);
    for (int b = 0; b < 256; ++b)
        uni[b] = kAscToUni[b] == kUnicodePeriod && b != kAsciiPeriod ? kNone : kAscToUni[b];
    const Candidate pub_ascii =
        closest(uni, {"ISO-8859-1", "SJIS", "CP932", "EUC-JP", "JIS_C6220-1969-RO"});
    // The character of an ASCII byte when it is exchanged with EBCDIC: as the
    // public code page has it, else as the library's Unicode table has it.
    Chars ascii(256);
    for (int b = 0; b < 256; ++b) ascii[b] = pub_ascii.chars[b] != kNone ? pub_ascii.chars[b] : uni[b];
    // Each EBCDIC variant as the characters of the ASCII bytes it converts to,
    // and as the Unicode units it converts to (no character where a byte
    // converts to the substitute).
    Chars ebc_asc[2], ebc_uni[2];
    for (int v = 0; v < 2; ++v) {
        ebc_asc[v].assign(256, kNone);
        ebc_uni[v].assign(256, kNone);
        for (int e = 0; e < 256; ++e) {
            uint8_t a = kEbcToAsc[v][e];
            if (a != kAsciiPeriod || e == kEbcdicPeriod) ebc_asc[v][e] = ascii[a];
            uint16_t u = kEbcToUni[v][e];
            if (u != kUnicodePeriod || e == kEbcdicPeriod) ebc_uni[v][e] = u;
        }
    }
    std::vector<const char *> ebcdic = {"IBM037", "IBM273", "IBM277", "IBM278", "IBM280",
                                        "IBM284", "IBM285", "IBM290", "IBM297", "IBM500",
                                        "IBM1047", "IBM1140", "EBCDIC-JP-KANA", "EBCDIC-JP-E"};

    std::ofstream out(path);
    out << "# Code tables\n\n"
           "<!-- Made by tools/gen_docs from the library's own tables and glibc's\n"
           "     iconv; do not edit by hand: cmake --build build --target update_docs -->\n\n"
           "The conversion functions (`XConvAscToEbc`, `XConvEbcToAsc`, `XConvAscToUni`,\n"
           "`XConvUniToAsc`, `XConvEbcToUni`, `XConvUniToEbc`, and the single bytes of\n"
           "the Kanji conversions) go through fixed tables built into the library. Each\n"
           "is shown here beside the public code page that comes closest to it, with\n"
           "every byte where the two differ. A character that has no counterpart in\n"
           "the target set becomes that set's period (ASCII 0x2E, EBCDIC 0x4B,\n"
           "U+002E), and the call returns 2 instead of 1. Conversions from Unicode\n"
           "take the byte whose character the unit is; any other unit becomes the\n"
           "period.\n\n"
           "In the tables, `A` is a character, U+0001 a control or space character\n"
           "(by its Unicode number), SP the space, and – no character: the byte\n"
           "converts to the period.\n";

    out << "\n## 8-bit ASCII\n\n"
           "The library's ASCII is a single-byte set of its own. `XConvAscToUni` and\n"
           "`XConvUniToAsc` exchange its bytes with these Unicode characters. Closest\n"
           "public code page: **"
        << pub_ascii.name << "** (its single bytes).\n\n";
    grid(out, uni);
    out << "\n### Differences from " << pub_ascii.name << "\n\n";
    differences(out, uni, pub_ascii, "ASCII byte", "the library's ASCII");

    for (int v = 0; v < 2; ++v) {
        const char *title = v == 0 ? "EBCDIC variant 1 (X_EBCDIC_LATIN)"
                                   : "EBCDIC variant 2 (X_EBCDIC_KATAKANA)";
        Candidate pub = closest(ebc_asc[v], ebcdic);
        out << "\n## " << title << "\n\n"
            << "`XConvEbcToAsc` and `XConvAscToEbc` exchange each EBCDIC byte with the\n"
               "ASCII byte of the character shown (each table is the exact inverse of\n"
               "the other, so a character that crosses and comes back is unchanged; the\n"
               "ASCII bytes count with the characters that "
            << pub_ascii.name
            << " gives them).\nClosest public code page: **" << pub.name << "**.\n\n";
        grid(out, ebc_asc[v]);
        out << "\n### Differences from " << pub.name << "\n\n";
        differences(out, ebc_asc[v], pub, "EBCDIC byte", "the variant");
        int towards_unicode = 0;
        for (int e = 0; e < 256; ++e) towards_unicode += ebc_uni[v][e] != ebc_asc[v][e];
        out << "\n### Unicode conversions\n\n";
        if (towards_unicode == 0) {
            out << "`XConvEbcToUni` and `XConvUniToEbc` give every byte the character shown\n"
                   "above.\n";
            continue;
        }
        out << "`XConvEbcToUni` and `XConvUniToEbc` give every byte the character shown\n"
               "above, except these "
            << towards_unicode
            << ":\n\n| EBCDIC byte | with ASCII | with Unicode |\n|---|---|---|\n";
        for (int e = 0; e < 256; ++e)
            if (ebc_uni[v][e] != ebc_asc[v][e])
                out << "| " << hex(unsigned(e), 2) << " | " << show_full(ebc_asc[v][e]) << " | "
                    << show_full(ebc_uni[v][e]) << " |\n";
    }
    return out.good() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "error-codes" && argc == 3) return error_codes(argv[2]);
    if (what == "code-tables" && argc == 3) return code_tables(argv[2]);
    if (what == "reference" && argc == 4) return reference(argv[2], argv[3]);
    std::fprintf(stderr,
                 "usage: gen_docs error-codes OUT.md | code-tables OUT.md | "
                 "reference HEADER OUT.dox\n");
    return 2;
}
