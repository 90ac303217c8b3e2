// zaxx conv and date: the library's code tables, Kanji converters and date
// functions on files and on the command line.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "zaxx.h"
#include "zaxxlib.h"

namespace zaxx {
namespace {

// ---------------------------------------------------------------------------
// conv

enum class Family { Ascii, Ebcdic, Utf16, Kanji };

struct Encoding {
    std::string name;
    Family family;
    int32_t variant = 1;   // EBCDIC table variant
    uint8_t kanji = 0;     // Kanji code (bit 0x80: katakana single-byte table)
    bool ebcdic_based() const { return family == Family::Ebcdic || (family == Family::Kanji && (kanji & 0x7F) != 0x10 && (kanji & 0x7F) != 0x30); }
};

const char kEncodings[] =
    "ascii, ebcdic (ebcdic:1 Latin, ebcdic:2 katakana), utf16le, sjis, euc, host-ibm, host-0a and "
    "host-mixed (the last read only; :2 after a host form takes the katakana table for its single bytes)";

Encoding encoding(const std::string &text) {
    std::string base = text, suffix;
    if (size_t colon = text.find(':'); colon != std::string::npos) {
        base = text.substr(0, colon);
        suffix = text.substr(colon + 1);
    }
    if (!suffix.empty() && suffix != "1" && suffix != "2") throw UsageError("code " + text + ": the variant is 1 or 2");
    const bool kana = suffix == "2";
    Encoding e;
    e.name = text;
    if (base == "ascii" && suffix.empty()) e.family = Family::Ascii;
    else if (base == "ebcdic") e.family = Family::Ebcdic, e.variant = kana ? 2 : 1;
    else if ((base == "utf16le" || base == "utf16") && suffix.empty()) e.family = Family::Utf16;
    else if (base == "sjis" && suffix.empty()) e.family = Family::Kanji, e.kanji = X_KANJI_SJIS;
    else if (base == "euc" && suffix.empty()) e.family = Family::Kanji, e.kanji = X_KANJI_EUC;
    else if (base == "host-ibm") e.family = Family::Kanji, e.kanji = X_KANJI_HOST_IBM;
    else if (base == "host-0a") e.family = Family::Kanji, e.kanji = X_KANJI_HOST_0A;
    else if (base == "host-mixed") e.family = Family::Kanji, e.kanji = X_KANJI_HOST_MIXED;
    else throw UsageError("code " + text + ": not one of " + kEncodings);
    if (kana && e.family == Family::Kanji) e.kanji |= X_KANJI_KATAKANA;
    return e;
}

// One conversion of whole units: bytes in, bytes out, and whether each
// source unit was replaced (the table had no counterpart for it).
class Converter {
public:
    Converter(Encoding from, Encoding to) : from_(std::move(from)), to_(std::move(to)) {
        const bool kanji_from = from_.family == Family::Kanji, kanji_to = to_.family == Family::Kanji;
        if (kanji_from != kanji_to)
            throw UsageError("no conversion between " + from_.name + " and " + to_.name +
                             ": the double-byte forms convert among themselves only");
        if (kanji_to && (to_.kanji & 0x7F) == X_KANJI_HOST_MIXED)
            throw UsageError("host-mixed is read only: convert from it, not to it");
        if (!kanji_from) {
            // Whether each possible unit is replaced, learnt from the tables
            // themselves.
            size_t units = from_.family == Family::Utf16 ? 65536 : 256;
            replaced_.resize(units);
            for (size_t u = 0; u < units; ++u) {
                uint8_t in[2] = {uint8_t(u), uint8_t(u >> 8)};
                std::string out;
                replaced_[u] = table_convert(in, unit_size(from_), out);
            }
        }
    }

    static size_t unit_size(const Encoding &e) { return e.family == Family::Utf16 ? 2 : 1; }
    size_t source_unit() const { return unit_size(from_); }
    bool kanji() const { return from_.family == Family::Kanji; }
    // The byte that ends a line in the source (a safe place to cut the
    // double-byte forms), or -1 when any unit boundary will do.
    bool is_line_end(uint8_t b) const {
        return from_.ebcdic_based() ? (b == 0x15 || b == 0x25) : b == 0x0A;
    }

    // Converts n source bytes (whole units); replaced source units are added
    // to positions (unit offsets from first_unit) and counted.
    void convert(const uint8_t *src, size_t n, std::string &out, uint64_t first_unit, uint64_t &count,
                 std::vector<uint64_t> &positions) {
        out.clear();
        if (n == 0) return;
        if (kanji()) {
            kanji_convert(src, n, out, count);
            return;
        }
        if (table_convert(src, n, out)) {
            const size_t unit = source_unit();
            for (size_t i = 0; i < n; i += unit) {
                size_t u = unit == 2 ? size_t(src[i] | src[i + 1] << 8) : src[i];
                if (!replaced_[u]) continue;
                ++count;
                if (positions.size() < 10) positions.push_back(first_unit + i / unit);
            }
        }
    }

private:
    // Through the code tables; true when something was replaced.
    bool table_convert(const uint8_t *src, size_t n, std::string &out) {
        const size_t units = n / unit_size(from_);
        const int32_t count = int32_t(units);
        std::vector<uint16_t> uni;
        int32_t r = 1;
        auto check = [&](int32_t result) {
            if (result == 0) throw Failure("conv " + from_.name + " to " + to_.name + ": " + last_error());
            if (result == 2) r = 2;
        };
        auto bytes = [&](size_t size) {
            out.assign(size, '\0');
            return reinterpret_cast<uint8_t *>(out.data());
        };
        const Family f = from_.family, t = to_.family;
        if (f == t && (f != Family::Ebcdic || from_.variant == to_.variant)) {
            out.assign(reinterpret_cast<const char *>(src), n);
        } else if (f == Family::Ascii && t == Family::Ebcdic) {
            check(XConvAscToEbc(bytes(units), src, count, to_.variant));
        } else if (f == Family::Ebcdic && t == Family::Ascii) {
            check(XConvEbcToAsc(bytes(units), src, count, from_.variant));
        } else if (f == Family::Ascii && t == Family::Utf16) {
            uint8_t *o = bytes(2 * units);
            uni.resize(units);
            check(XConvAscToUni(uni.data(), src, count));
            std::memcpy(o, uni.data(), 2 * units);
        } else if (f == Family::Ebcdic && t == Family::Utf16) {
            uint8_t *o = bytes(2 * units);
            uni.resize(units);
            check(XConvEbcToUni(uni.data(), src, count, from_.variant));
            std::memcpy(o, uni.data(), 2 * units);
        } else if (f == Family::Utf16) {
            uni.resize(units);
            std::memcpy(uni.data(), src, 2 * units);
            if (t == Family::Ascii) check(XConvUniToAsc(bytes(units), uni.data(), count));
            else check(XConvUniToEbc(bytes(units), uni.data(), count, to_.variant));
        } else {  // EBCDIC to EBCDIC of the other variant, through Unicode
            uni.resize(units);
            check(XConvEbcToUni(uni.data(), src, count, from_.variant));
            check(XConvUniToEbc(bytes(units), uni.data(), count, to_.variant));
        }
        return r == 2;
    }

    // Native double-byte text: shift codes added, converted, shift codes
    // taken out again.
    void kanji_convert(const uint8_t *src, size_t n, std::string &out, uint64_t &count) {
        auto fail = [&] { throw Failure("conv " + from_.name + " to " + to_.name + ": " + last_error()); };
        if (n > size_t(INT32_MAX / 4)) throw Failure("conv: a line longer than 512 MiB");
        const int32_t len = int32_t(n);
        if (from_.kanji == to_.kanji) {
            out.assign(reinterpret_cast<const char *>(src), n);
            return;
        }
        XSetLastError(0, 0, 0);  // a count of 0 is a failure only with an error recorded
        int32_t shifted_len = XCountKanjiShift(from_.kanji, 1, len, src);
        if (shifted_len == 0 && XGetLastError(nullptr) != 0) fail();
        if (shifted_len == 0) return;
        std::string shifted(size_t(shifted_len), '\0');
        int32_t size = shifted_len;
        if (XAddKanjiShiftEx(from_.kanji, len, src, &size, shifted.data()) != 2) fail();
        shifted.resize(size_t(size));
        std::string converted(2 * shifted.size() + 16, '\0');
        int32_t cap = int32_t(converted.size());
        int32_t placed = XConvertKanjiEx(from_.kanji, to_.kanji, shifted.data(), converted.data(),
                                         int32_t(shifted.size()), &cap);
        if (placed == 0) fail();
        converted.resize(size_t(placed));
        // IBM substitutes: the host code 0x7FFE, and Shift-JIS 0xFCFB for a
        // host character without a counterpart.
        const uint8_t to = to_.kanji & 0x7F, from = from_.kanji & 0x7F;
        bool in_run = false;
        for (size_t i = 0; i < converted.size(); ++i) {
            uint8_t b = uint8_t(converted[i]);
            if (b == 0x1E || b == 0x1F) {
                in_run = b == 0x1E;
                continue;
            }
            if (!in_run || i + 1 >= converted.size()) continue;
            uint8_t c = uint8_t(converted[i + 1]);
            if ((to == X_KANJI_HOST_IBM && b == 0x7F && c == 0xFE) ||
                (from == X_KANJI_HOST_IBM && to == X_KANJI_SJIS && b == 0xFC && c == 0xFB))
                ++count;
            ++i;
        }
        int32_t native_len = XCountKanjiShift(to_.kanji, 0, placed, converted.data());
        if (native_len == 0 && XGetLastError(nullptr) != 0) fail();
        out.assign(size_t(native_len), '\0');
        size = native_len;
        if (native_len > 0 && XRemoveKanjiShiftEx(to_.kanji, placed, converted.data(), &size, out.data()) != 2)
            fail();
        out.resize(size_t(size));
    }

    Encoding from_, to_;
    std::vector<bool> replaced_;
};

// Writes all of buf to fd; false with errno set.
bool write_all(int fd, const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= size_t(w);
    }
    return true;
}

std::string mib(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    return buf;
}

void run_conv(const std::string &from_name, const std::string &to_name, const std::string &in_path,
              const std::string &out_path, bool report) {
    Converter conv(encoding(from_name), encoding(to_name));
    const bool in_std = in_path.empty() || in_path == "-", out_std = out_path.empty() || out_path == "-";
    const std::string in_name = in_std ? "standard input" : in_path;
    int in = in_std ? 0 : open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw Failure("input " + in_path + ": " + std::strerror(errno));
    struct stat st{};
    const uint64_t total = fstat(in, &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    // A file is written under another name and renamed over OUT at the end,
    // so that a failure leaves OUT as it was.
    std::string temp;
    int out = 1;
    if (!out_std) {
        temp = out_path + ".zaxx-" + std::to_string(getpid());
        out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0) {
            int err = errno;
            if (!in_std) close(in);
            throw Failure("output " + out_path + ": " + std::strerror(err));
        }
    }
    const bool progress = isatty(2) && total > 4 * 1024 * 1024;
    constexpr size_t kBlock = 1 << 20;
    constexpr size_t kLongestLine = 16 << 20;  // for the double-byte forms
    std::string pending, converted;
    std::vector<char> block(kBlock);
    uint64_t read_total = 0, units_done = 0, replaced = 0;
    std::vector<uint64_t> positions;
    int last_percent = -1;
    try {
        bool eof = false;
        while (!eof) {
            ssize_t got = read(in, block.data(), block.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw Failure(in_name + ": " + std::strerror(errno));
            eof = got == 0;
            pending.append(block.data(), size_t(got));
            read_total += uint64_t(got);
            // How much of pending converts now: whole units, and for the
            // double-byte forms whole lines.
            size_t take = eof ? pending.size() : pending.size() - pending.size() % conv.source_unit();
            if (conv.kanji() && !eof) {
                size_t end = take;
                while (end > 0 && !conv.is_line_end(uint8_t(pending[end - 1]))) --end;
                if (end == 0 && pending.size() > kLongestLine)
                    throw Failure(in_name + ": a line longer than 16 MiB cannot be converted in pieces");
                take = end;
            }
            if (eof && pending.size() % conv.source_unit() != 0)
                throw Failure(in_name + ": ends in the middle of a 16-bit unit");
            if (take == 0) continue;
            conv.convert(reinterpret_cast<const uint8_t *>(pending.data()), take, converted, units_done,
                         replaced, positions);
            units_done += take / conv.source_unit();
            pending.erase(0, take);
            if (!write_all(out, converted.data(), converted.size()))
                throw Failure((out_std ? std::string("standard output") : out_path) + ": " + std::strerror(errno));
            if (progress) {
                int percent = int(read_total * 100 / total);
                if (percent != last_percent) {
                    last_percent = percent;
                    std::string bar(size_t(percent / 4), '#');
                    bar.resize(25, '.');
                    std::fprintf(stderr, "\rconv %3d%% [%s] %s of %s", percent, bar.c_str(), mib(read_total).c_str(),
                                 mib(total).c_str());
                }
            }
        }
        if (progress) std::fprintf(stderr, "\r\033[K");
        if (!in_std) close(in);
        if (!out_std) {
            if (fsync(out) != 0 || close(out) != 0) throw Failure(out_path + ": " + std::strerror(errno));
            out = -1;
            if (rename(temp.c_str(), out_path.c_str()) != 0) throw Failure(out_path + ": " + std::strerror(errno));
        }
    } catch (...) {
        if (progress) std::fprintf(stderr, "\r\033[K");
        if (!out_std) {
            if (out >= 0) close(out);
            unlink(temp.c_str());
        }
        throw;
    }
    if (!report) return;
    // The report goes where the converted text does not.
    FILE *to = out_std ? stderr : stdout;
    if (g_options.json) {
        Json j = Json::object();
        j.set("from", from_name);
        j.set("to", to_name);
        j.set("bytes_read", read_total);
        j.set("replaced", replaced);
        Json &p = j.set("first_positions", Json::array());
        for (uint64_t x : positions) p.push(x);
        std::fprintf(to, "%s\n", j.dump().c_str());
    } else {
        std::string where;
        for (uint64_t x : positions) where += (where.empty() ? "" : ", ") + std::to_string(x);
        std::fprintf(to, "%llu character%s replaced%s%s\n", (unsigned long long)replaced, replaced == 1 ? "" : "s",
                     where.empty() ? "" : conv.kanji() ? "" : ", first at ", where.c_str());
    }
}

// ---------------------------------------------------------------------------
// date

int32_t layout_of(const std::string &text, int32_t layout) {
    if (layout >= 0) return layout;
    auto digits = [&](size_t from, size_t n) {
        for (size_t i = from; i < from + n; ++i)
            if (i >= text.size() || !std::isdigit((unsigned char)text[i])) return false;
        return true;
    };
    if (text.size() == 10 && digits(0, 4) && digits(5, 2) && digits(8, 2) && !std::isdigit((unsigned char)text[4]))
        return X_DATE_YYYYsMMsDD;
    if (text.size() == 8 && digits(0, 8)) return X_DATE_YYYYMMDD;
    throw UsageError("date " + text + ": give its --layout (0-7)");
}

std::string calendar_text(const XCalendar &c, bool time) {
    char buf[64];
    if (time)
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%06u", c.year, c.month, c.day, c.hour, c.minute,
                      c.second, c.microsecond);
    else
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", c.year, c.month, c.day);
    return buf;
}

void run_date_now() {
    XClock clk{};
    XCalendar cal{};
    if (!XGetTime(&clk) || !XGetTimeDetail(&clk, &cal)) throw Failure("clock: " + last_error());
    const std::string text = calendar_text(cal, true);
    print_result(Json::object({{"text", text},
                               {"day", uint32_t(clk.day)},
                               {"minute", uint32_t(clk.minute)},
                               {"microsecond", clk.microsecond}}),
                 text);
}

void run_date_check(const std::string &text, int32_t layout) {
    layout = layout_of(text, layout);
    if (!XCheckDate(layout, text.c_str())) throw Failure("date " + text + ": " + last_error());
    print_result(Json::object({{"date", text}, {"layout", layout}, {"valid", true}}), text + ": valid");
}

void run_date_shift(const std::string &text, int64_t days, int32_t layout) {
    layout = layout_of(text, layout);
    if (days < INT32_MIN || days > INT32_MAX) throw UsageError("days: out of range");
    std::string buf = text;
    buf.push_back('\0');
    if (!XShiftDate(layout, buf.data(), int32_t(days))) throw Failure("date " + text + ": " + last_error());
    print_result(Json::object({{"date", buf.c_str()}, {"layout", layout}}), buf.c_str());
}

// "YYYY-MM-DD" and "HH:MM:SS[.ffffff]" into a calendar record.
XCalendar parse_calendar(const std::string &date, const std::string &time) {
    XCalendar c{};
    unsigned y, mo, d;
    int n = 0;
    if (std::sscanf(date.c_str(), "%4u-%2u-%2u%n", &y, &mo, &d, &n) != 3 || size_t(n) != date.size())
        throw UsageError("date " + date + ": not YYYY-MM-DD");
    c.year = uint16_t(y);
    c.month = uint16_t(mo);
    c.day = uint16_t(d);
    if (!time.empty()) {
        unsigned h, mi, s;
        n = 0;
        if (std::sscanf(time.c_str(), "%2u:%2u:%2u%n", &h, &mi, &s, &n) != 3)
            throw UsageError("time " + time + ": not HH:MM:SS[.ffffff]");
        c.hour = uint16_t(h);
        c.minute = uint16_t(mi);
        c.second = uint16_t(s);
        std::string frac = time.substr(size_t(n));
        if (!frac.empty()) {
            if (frac[0] != '.' || frac.size() > 7 || frac.find_first_not_of("0123456789", 1) != std::string::npos)
                throw UsageError("time " + time + ": not HH:MM:SS[.ffffff]");
            frac = frac.substr(1);
            frac.resize(6, '0');
            c.microsecond = uint32_t(std::stoul(frac));
        }
    }
    return c;
}

void run_date_pack(const std::string &date, const std::string &time) {
    XCalendar c = parse_calendar(date, time);
    uint8_t d[4], t[4];
    if (!XPackDate(&c, d)) throw Failure("date " + date + ": " + last_error());
    if (!time.empty() && !XPackTime(&c, t)) throw Failure("time " + time + ": " + last_error());
    Json j = Json::object({{"date", hex_bytes(d, 4)}});
    if (!time.empty()) j.set("time", hex_bytes(t, 4));
    print_result(j, hex_bytes(d, 4) + (time.empty() ? "" : " " + hex_bytes(t, 4)));
}

void run_date_unpack(const std::string &hex, bool time) {
    if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError("packed value " + hex + ": eight hexadecimal digits");
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(std::stoul(hex.substr(size_t(2 * i), 2), nullptr, 16));
    XCalendar c{};
    if (!(time ? XUnpackTime(&c, b) : XUnpackDate(&c, b)))
        throw Failure(std::string(time ? "packed time " : "packed date ") + hex + ": " + last_error());
    char buf[32];
    if (time) std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%06u", c.hour, c.minute, c.second, c.microsecond);
    else std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", c.year, c.month, c.day);
    print_result(Json::object({{time ? "time" : "date", buf}}), buf);
}

}  // namespace

void add_data_commands(CLI::App &app) {
    auto *conv = app.add_subcommand("conv", "Convert text between ASCII, EBCDIC, UTF-16 and the Kanji forms");
    static std::string from, to, in, out;
    static bool report = false;
    conv->add_option("FROM", from, "Code of the input")->required();
    conv->add_option("TO", to, "Code of the output")->required();
    conv->add_option("IN", in, "Input file (default or -: standard input)");
    conv->add_option("OUT", out, "Output file (default or -: standard output)");
    conv->add_flag("--report", report, "Say how many characters had no counterpart, and where the first were");
    conv->footer(std::string("Codes: ") + kEncodings +
                 ". Single-byte codes and UTF-16 convert among themselves, the double-byte forms among "
                 "themselves. The input is converted in blocks (the double-byte forms a line at a time), "
                 "so files of any size take little memory; an output file is replaced only when all went well.");
    on_run(conv, [] { run_conv(from, to, in, out, report); });

    auto *date = app.add_subcommand("date", "Check, shift, pack and unpack dates");
    date->require_subcommand(1);
    static std::string text, second;
    static int64_t days = 0;
    static int32_t layout = -1;
    static bool as_time = false;
    const std::string layouts = "Layout 0-7: MMDDYYYY, MMsDDsYYYY, MMDDYY, MMsDDsYY, YYYYMMDD, YYYYsMMsDD, YYMMDD, "
                                "YYsMMsDD (s: any separator); YYYY-MM-DD and YYYYMMDD are recognised without it.";
    auto *now = date->add_subcommand("now", "Print the current local date and time");
    on_run(now, [] { run_date_now(); });
    auto *check = date->add_subcommand("check", "Check a date");
    check->add_option("DATE", text, "The date")->required();
    check->add_option("--layout", layout, "Its layout (0-7)")->check(CLI::Range(0, 7));
    check->footer(layouts);
    on_run(check, [] { run_date_check(text, layout); });
    auto *shift = date->add_subcommand("shift", "Move a date by a number of days");
    shift->add_option("DATE", text, "The date")->required();
    shift->add_option("DAYS", days, "Days to move (negative: back)")->required();
    shift->add_option("--layout", layout, "Its layout (0-7)")->check(CLI::Range(0, 7));
    shift->footer(layouts);
    on_run(shift, [] { run_date_shift(text, days, layout); });
    auto *pack = date->add_subcommand("pack", "Pack a date (YYYY-MM-DD) and a time as host systems keep them");
    pack->add_option("DATE", text, "YYYY-MM-DD")->required();
    pack->add_option("TIME", second, "HH:MM:SS[.ffffff]");
    on_run(pack, [] { run_date_pack(text, second); });
    auto *unpack = date->add_subcommand("unpack", "Unpack a packed date (or, with --time, a packed time)");
    unpack->add_option("HEX", text, "The four packed bytes as eight hexadecimal digits")->required();
    unpack->add_flag("--time", as_time, "The bytes are a packed time");
    on_run(unpack, [] { run_date_unpack(text, as_time); });
}

}  // namespace zaxx
