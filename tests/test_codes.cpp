// The table of error codes (SRC/xcodes.def) against the sources that record
// them: every code that SRC records is in the table with the kind it is
// recorded with, and every reason of the table is recorded somewhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
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

// The reasons an expression can give: its decimal literals and the named
// reasons R_<function>_<ID> it mentions (a conditional gives both sides).
struct ReasonsOf {
    std::vector<unsigned> numbers;
    std::vector<std::string> names;  // "<function>_<ID>"
};
ReasonsOf reasons_in(const std::string &expr) {
    ReasonsOf r;
    static const std::regex token(R"(\bR_(\w+)|\b(\d+)u?\b)");
    for (std::sregex_iterator it(expr.begin(), expr.end(), token), end; it != end; ++it) {
        if ((*it)[1].matched)
            r.names.push_back((*it)[1]);
        else
            r.numbers.push_back(unsigned(std::stoul((*it)[2])));
    }
    return r;
}

// Where the sources record codes.
struct Scan {
    // (function, reason) recorded directly, with where and the kind recorded
    // (0 when the call does not say).
    std::map<Pair, std::vector<std::pair<std::string, unsigned>>> direct;
    std::set<Pair> indirect;                  // FN_X followed by literal reasons elsewhere
    std::set<std::string> named;              // R_<function>_<ID> seen anywhere
    std::set<unsigned> variable_fn_reasons;   // reasons recorded under a function variable
    std::set<std::string> passed_fns;         // FN_X handed to something else
};

Scan scan() {
    Scan s;
    // lib_error(FN_X, reason, detail) and its kin; the reason may be a
    // conditional, so it runs to the comma before the detail.
    static const std::regex call(
        R"(\b(lib_error|sys_error|record_error)\s*\(\s*([\w.>-]+)\s*,\s*([^,;]+?)\s*,\s*([^;]*?)\)\s*;)");
    static const std::regex code_of(R"(\bcode_of\s*\(\s*FN_(\w+)\s*,\s*([^)]+)\))");
    static const std::regex fn_then_literals(R"(\bFN_(\w+)((?:\s*,\s*(?:\d+|true|false)\b)+))");
    static const std::regex fn_ref(R"(\bFN_(\w+))");
    static const std::regex name_ref(R"(\bR_(\w+))");
    for (const auto &[file, code] : sources()) {
        std::string rest = code;  // what the recording calls leave
        for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
            const std::string kind_fn = (*it)[1], fn = (*it)[2], args = (*it)[4];
            const ReasonsOf r = reasons_in((*it)[3]);
            unsigned kind = kind_fn == "lib_error" ? 2 : kind_fn == "sys_error" ? 1 : 0;
            if (kind == 0 && args.find("kSystem") != std::string::npos) kind = 1;
            if (kind == 0 && args.find("kLibrary") != std::string::npos) kind = 2;
            if (fn.rfind("FN_", 0) == 0) {
                for (unsigned n : r.numbers) s.direct[{fn.substr(3), n}].push_back({file, kind});
            } else {
                s.variable_fn_reasons.insert(r.numbers.begin(), r.numbers.end());
            }
            const std::string whole = (*it)[0];
            rest.replace(rest.find(whole), whole.size(), std::string(whole.size(), ' '));
        }
        for (std::sregex_iterator it(rest.begin(), rest.end(), code_of), end; it != end; ++it)
            for (unsigned n : reasons_in((*it)[2]).numbers)
                s.direct[{(*it)[1], n}].push_back({file, 0});
        rest = std::regex_replace(rest, code_of, " ");
        for (std::sregex_iterator it(rest.begin(), rest.end(), fn_then_literals), end; it != end; ++it)
            for (unsigned n : reasons_in((*it)[2]).numbers) s.indirect.insert({(*it)[1], n});
        for (std::sregex_iterator it(rest.begin(), rest.end(), fn_ref), end; it != end; ++it)
            s.passed_fns.insert((*it)[1]);
        for (std::sregex_iterator it(code.begin(), code.end(), name_ref), end; it != end; ++it)
            s.named.insert((*it)[1]);
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

TEST(CodeTable, HoldsEveryCodeTheSourcesRecord) {
    const auto table = table_reasons();
    const Scan s = scan();
    ASSERT_GT(s.direct.size(), 200u) << "the scan found too little: has the way of recording changed?";
    for (const auto &[pair, sites] : s.direct) {
        auto it = table.find(pair);
        if (it == table.end()) {
            ADD_FAILURE() << pair.first << " reason " << pair.second << " is recorded in "
                          << sites.front().first << " but missing from SRC/xcodes.def";
            continue;
        }
        for (const auto &[file, kind] : sites) {
            if (kind == 0) continue;
            EXPECT_EQ(kind, it->second->kind) << pair.first << " reason " << pair.second
                                              << " is recorded with another kind in " << file;
        }
    }
    for (const Pair &p : s.indirect)
        EXPECT_TRUE(table.count(p)) << p.first << " reason " << p.second
                                    << " is handed on for recording but missing from SRC/xcodes.def";
}

TEST(CodeTable, EveryReasonIsRecordedSomewhere) {
    const Scan s = scan();
    for (const auto &[pair, reason] : table_reasons()) {
        const bool recorded = s.direct.count(pair) || s.indirect.count(pair) ||
                              s.named.count(reason->fn + "_" + reason->id) ||
                              (s.passed_fns.count(pair.first) && s.variable_fn_reasons.count(pair.second));
        EXPECT_TRUE(recorded) << pair.first << " reason " << pair.second << " (" << reason->id
                              << ") is in SRC/xcodes.def but nothing records it";
    }
}

}  // namespace
