// The table of error codes (SRC/xcodes.def) against the sources that record
// them: every recording names its reason (no bare numbers), under its own
// function and with the table's kind, and every reason of the table is
// recorded somewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "zaxtest.h"

namespace {

struct Fn {
    std::string name;
    unsigned code;
};
struct Reason {
    std::string fn;
    unsigned reason;
    std::string id;
    unsigned kind;
    std::string detail, meaning;
};

// The table in its own order, as the preprocessor reads it.
struct Row {
    bool is_fn;
    Fn fn;
    Reason reason;
};
const std::vector<Row> &rows() {
    static const std::vector<Row> r = {
#define ZAX_FN(name, code, also) {true, {#name, code}, {}},
#define ZAX_REASON(fn, reason, id, kind, detail, meaning) \
    {false, {}, {#fn, reason, #id, kind, detail, meaning}},
#include "xcodes.def"
#undef ZAX_FN
#undef ZAX_REASON
    };
    return r;
}

using Pair = std::pair<std::string, unsigned>;  // function, reason

std::map<Pair, const Reason *> table_reasons() {
    std::map<Pair, const Reason *> m;
    for (const Row &r : rows())
        if (!r.is_fn) m[{r.reason.fn, r.reason.reason}] = &r.reason;
    return m;
}

// The library's sources without their comments, each as one line.
std::map<std::string, std::string> sources() {
    std::map<std::string, std::string> out;
    namespace fs = std::filesystem;
    for (const auto &e : fs::recursive_directory_iterator(ZAX_SRC_DIR)) {
        const std::string path = e.path().string();
        const std::string ext = e.path().extension().string();
        if ((ext != ".cpp" && ext != ".h") || e.path().filename() == "xcodes.h") continue;
        const std::string text = zaxtest::ReadFile(path);
        std::string code;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, "//") == 0) {
                while (i < text.size() && text[i] != '\n') ++i;
            } else if (text.compare(i, 2, "/*") == 0) {
                size_t end = text.find("*/", i + 2);
                i = end == std::string::npos ? text.size() : end + 1;
                code += ' ';
                continue;
            } else if (text[i] == '"') {  // a string cannot hide a code
                code += text[i++];
                while (i < text.size() && text[i] != '"') {
                    if (text[i] == '\\') ++i;
                    ++i;
                }
            }
            if (i < text.size()) code += text[i] == '\n' ? ' ' : text[i];
        }
        out[fs::relative(e.path(), ZAX_SRC_DIR).string()] = code;
    }
    return out;
}

// What a reason expression names: the R_<function>_<ID> constants in it,
// directly or through a same_reason constant, and any bare number left once
// the arguments of inner calls (a server's answer, say) are set aside.
struct ReasonsOf {
    std::vector<std::string> names;                // "<function>_<ID>"
    std::vector<std::vector<std::string>> shared;  // the names of each same_reason constant
    std::vector<std::string> numbers;
};
using Shared = std::map<std::string, std::vector<std::string>>;  // constant -> names
ReasonsOf reasons_in(std::string expr, const Shared &shared) {
    static const std::regex inner_call(R"(\b(?!Reason\b|static_cast\b)\w+\s*\([^()]*\))");
    static const std::regex name(R"(\bR_(\w+))"), word(R"(\b[A-Za-z_]\w*\b)"), number(R"(\b\d\w*)");
    ReasonsOf r;
    for (std::sregex_iterator it(expr.begin(), expr.end(), name), end; it != end; ++it)
        r.names.push_back((*it)[1]);
    for (std::sregex_iterator it(expr.begin(), expr.end(), word), end; it != end; ++it)
        if (auto s = shared.find((*it)[0]); s != shared.end()) r.shared.push_back(s->second);
    std::string prev;
    while (prev != expr) prev = std::exchange(expr, std::regex_replace(expr, inner_call, "()"));
    for (std::sregex_iterator it(expr.begin(), expr.end(), number), end; it != end; ++it)
        r.numbers.push_back((*it)[0]);
    return r;
}

// One place that records a code, or makes one to compare with.
struct Site {
    std::string file, call;
    std::string fn;  // the function named by FN_, empty when a variable
    unsigned kind;   // 1, 2, or 0 when the call does not say
    ReasonsOf reasons;
};

struct Scan {
    std::vector<Site> sites;
    std::set<std::string> named;                             // R_<function>_<ID> mentioned anywhere
    std::vector<std::pair<std::string, std::string>> casts;  // a number made a reason
};

Scan scan() {
    Scan s;
    // lib_error(FN_X, reason, detail) and its kin, and code_of(FN_X, reason);
    // the reason may be a conditional, so it runs to the comma before the detail.
    static const std::regex call(
        R"(\b(lib_error|sys_error|record_error|lib_status|sys_status)\s*\(\s*([\w.>-]+)\s*,\s*([^,;]+?)\s*,\s*([^;]*?)\)\s*;)");
    static const std::regex code_of(R"(\bcode_of\s*\(\s*([\w.>-]+)\s*,\s*([^)]+)\))");
    // handle_get<T>(handle, kind, FN_X, reason[, detail]) records a library error.
    static const std::regex handle_get(
        R"(\bhandle_get\s*<[^>]*>\s*\(\s*[^,;]+,\s*[^,;]+,\s*([\w.>-]+)\s*,\s*([^,;)]+))");
    static const std::regex shared_def(
        R"(\bconstexpr\s+Reason\s+(\w+)\s*=\s*same_reason\s*\(([^;]*)\)\s*;)");
    static const std::regex name_ref(R"(\bR_(\w+))");
    static const std::regex cast(R"(\b(?:Reason\s*\(|static_cast\s*<\s*Reason\s*>\s*\()\s*\d)");
    const auto files = sources();
    Shared shared;
    for (const auto &[file, code] : files)
        for (std::sregex_iterator it(code.begin(), code.end(), shared_def), end; it != end; ++it)
            shared[(*it)[1]] = reasons_in((*it)[2], {}).names;
    for (const auto &[file, code] : files) {
        auto fn_of = [](const std::string &arg) {
            return arg.rfind("FN_", 0) == 0 ? arg.substr(3) : "";
        };
        for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
            const std::string recorder = (*it)[1], args = (*it)[4];
            unsigned kind = recorder == "lib_error" || recorder == "lib_status"   ? 2
                            : recorder == "sys_error" || recorder == "sys_status" ? 1
                                                                                  : 0;
            if (kind == 0 && args.find("kSystem") != std::string::npos) kind = 1;
            if (kind == 0 && args.find("kLibrary") != std::string::npos) kind = 2;
            s.sites.push_back(
                {file, (*it)[0], fn_of((*it)[2]), kind, reasons_in((*it)[3], shared)});
        }
        for (std::sregex_iterator it(code.begin(), code.end(), handle_get), end; it != end; ++it)
            s.sites.push_back({file, (*it)[0], fn_of((*it)[1]), 2, reasons_in((*it)[2], shared)});
        for (std::sregex_iterator it(code.begin(), code.end(), code_of), end; it != end; ++it)
            if ((*it)[1] != "fn")  // its own definition
                s.sites.push_back(
                    {file, (*it)[0], fn_of((*it)[1]), 0, reasons_in((*it)[2], shared)});
        for (std::sregex_iterator it(code.begin(), code.end(), name_ref), end; it != end; ++it)
            s.named.insert((*it)[1]);
        for (std::sregex_iterator it(code.begin(), code.end(), cast), end; it != end; ++it)
            s.casts.push_back({file, (*it)[0]});
    }
    return s;
}

TEST(CodeTable, IsWellFormed) {
    std::set<unsigned> codes;
    std::set<std::string> fns;
    std::string current;
    unsigned last_reason = 0;
    std::set<std::string> ids;
    for (const Row &r : rows()) {
        if (r.is_fn) {
            EXPECT_TRUE(codes.insert(r.fn.code).second) << r.fn.name << ": code 0x" << std::hex << r.fn.code << " twice";
            EXPECT_TRUE(fns.insert(r.fn.name).second) << r.fn.name << " twice";
            EXPECT_GT(r.fn.code, 0u);
            EXPECT_LE(r.fn.code, 0xFFFFu);
            current = r.fn.name;
            last_reason = 0;
            ids.clear();
            continue;
        }
        const Reason &x = r.reason;
        EXPECT_EQ(x.fn, current) << x.fn << " reason " << x.reason << " is not under its function";
        EXPECT_GT(x.reason, last_reason) << x.fn << ": reasons out of order at " << x.reason;
        last_reason = x.reason;
        EXPECT_TRUE(ids.insert(x.id).second) << x.fn << ": " << x.id << " twice";
        EXPECT_TRUE(x.kind == 1 || x.kind == 2) << x.fn << " reason " << x.reason;
        EXPECT_FALSE(x.detail.empty()) << x.fn << " reason " << x.reason;
        EXPECT_FALSE(x.meaning.empty()) << x.fn << " reason " << x.reason;
    }
}

// Every recording names its reason, and the name belongs to the function it
// is recorded under, with the kind the table gives it.
TEST(CodeTable, RecordingsNameTheirReasons) {
    std::map<std::string, const Reason *> by_name;  // "<function>_<ID>"
    for (const Row &r : rows())
        if (!r.is_fn) by_name[r.reason.fn + "_" + r.reason.id] = &r.reason;
    const Scan s = scan();
    ASSERT_GT(s.sites.size(), 400u)
        << "the scan found too little: has the way of recording changed?";
    for (const Site &site : s.sites) {
        for (const std::string &n : site.reasons.numbers)
            ADD_FAILURE() << site.file << ": the reason " << n << " is a bare number in "
                          << site.call;
        auto check = [&](const std::string &n, bool same_function) {
            const Reason *r = by_name.at(n);  // the build knows every R_ name
            if (site.kind != 0) {
                EXPECT_EQ(site.kind, r->kind) << site.file << ": " << site.call << " records R_"
                                              << n << " with another kind than the table gives it";
            }
            if (same_function && !site.fn.empty()) {
                EXPECT_EQ(r->fn, site.fn)
                    << site.file << ": " << site.call << " records a reason of another function";
            }
        };
        for (const std::string &n : site.reasons.names) check(n, true);
        for (const auto &names : site.reasons.shared) {
            for (const std::string &n : names) check(n, false);
            const bool has = site.fn.empty() ||
                             std::any_of(names.begin(), names.end(), [&](const std::string &n) {
                                 return by_name.at(n)->fn == site.fn;
                             });
            EXPECT_TRUE(has) << site.file << ": " << site.call
                             << " records a shared reason its function does not have";
        }
    }
    for (const auto &[file, cast] : s.casts)
        ADD_FAILURE() << file << ": a number made a reason: " << cast;
}

TEST(CodeTable, EveryReasonIsRecordedSomewhere) {
    const Scan s = scan();
    for (const auto &[pair, reason] : table_reasons())
        EXPECT_TRUE(s.named.count(reason->fn + "_" + reason->id))
            << pair.first << " reason " << pair.second << " (" << reason->id
            << ") is in SRC/xcodes.def but nothing records it";
}

}  // namespace
