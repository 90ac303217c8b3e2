// zaxx err: what an error code means.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "zaxx.h"
#include "zaxxlib.h"

namespace zaxx {
namespace {

const char *kind_word(uint32_t kind) { return kind == X_KIND_SYSTEM ? "system" : "library"; }

using zaxcodes::hex;

// A detail: a number, or an errno name such as ENOENT.
uint32_t parse_detail(const std::string &text) {
    if (!text.empty() && text[0] == 'E')
        for (int e = 1; e < 4096; ++e)
            if (const char *n = strerrorname_np(e); n != nullptr && text == n) return uint32_t(e);
    return parse_u32(text, "detail");
}

// Every reason of one function.
void list_function(const CodeFunction &f) {
    std::vector<CodeReason> reasons;
    for (const CodeReason &r : zaxcodes::kReasons)
        if (r.fn_code == f.code) reasons.push_back(r);
    if (g_options.json) {
        Json j = Json::object();
        j.set("function", f.name);
        j.set("function_code", f.code);
        j.set("also", f.also);
        Json &list = j.set("reasons", Json::array());
        for (const CodeReason &r : reasons)
            list.push(Json::object({{"code", hex((f.code << 16) | r.reason, 6)},
                                    {"reason", r.reason},
                                    {"name", r.id},
                                    {"kind", r.kind},
                                    {"detail", r.detail},
                                    {"meaning", r.meaning}}));
        print_json(j);
        return;
    }
    std::cout << f.name << ": function code " << hex(f.code, 0);
    if (f.also[0] != '\0') std::cout << "; recorded also by " << f.also;
    std::cout << "\n";
    if (reasons.empty()) {
        std::cout << "records no reason of its own\n";
        return;
    }
    std::vector<std::vector<std::string>> rows{{"CODE", "REASON", "NAME", "KIND", "MEANING", "DETAIL"}};
    for (const CodeReason &r : reasons)
        rows.push_back({hex((f.code << 16) | r.reason, 6), std::to_string(r.reason), r.id,
                        kind_word(r.kind), r.meaning, r.detail});
    print_table(rows);
}

void run_err(const std::string &code_text, const std::vector<std::string> &rest) {
    // A function, by name or by its code alone.
    for (const CodeFunction &f : zaxcodes::kFunctions)
        if (code_text == f.name) {
            if (!rest.empty()) throw UsageError("a function name takes no detail");
            return list_function(f);
        }
    uint32_t code = parse_u32(code_text, "code");
    if (code <= 0xFFFF) {
        const CodeFunction *f = find_function(code);
        if (f == nullptr) throw Failure("function code " + hex(code, 0) + ": no function records it");
        if (!rest.empty()) throw UsageError("a function code takes no detail");
        return list_function(*f);
    }
    if (rest.size() > 2) throw UsageError("too many arguments: CODE [DETAIL [KIND]]");
    const bool have_detail = !rest.empty();
    uint32_t detail = have_detail ? parse_detail(rest[0]) : 0;
    uint32_t kind = 0;
    if (rest.size() == 2) {
        kind = parse_u32(rest[1], "kind");
        if (kind != X_KIND_SYSTEM && kind != X_KIND_LIBRARY) throw UsageError("kind " + rest[1] + ": not 1 or 2");
    }
    const CodeFunction *f = find_function(code >> 16);
    if (f == nullptr) throw Failure("code " + hex(code, 6) + ": no function has the function code " + hex(code >> 16, 0));
    const CodeReason *r = find_reason(code >> 16, code & 0xFFFF);
    std::string text = describe_error(code, detail, kind, have_detail);
    if (r == nullptr) throw Failure(hex(code, 6) + ": " + text);
    if (g_options.json) {
        Json j = Json::object();
        j.set("code", hex(code, 6));
        j.set("function", f->name);
        j.set("function_code", f->code);
        j.set("reason", code & 0xFFFF);
        j.set("name", r->id);
        j.set("meaning", r->meaning);
        j.set("detail_holds", r->detail);
        const uint32_t k = kind != 0 ? kind : r->kind;
        j.set("kind", k);
        if (have_detail) {
            j.set("detail", detail);
            if (k == X_KIND_SYSTEM && detail != 0) {
                const char *n = strerrorname_np(int(detail));
                j.set("errno", n != nullptr ? Json(n) : Json());
                j.set("errno_text", std::strerror(int(detail)));
            }
        }
        j.set("text", text);
        print_json(j);
    } else {
        std::cout << text << "\n";
    }
}

}  // namespace

void add_err_commands(CLI::App &app) {
    auto *cmd = app.add_subcommand("err", "Say what an error code means");
    cmd->footer(
        "CODE is the error code that XGetLastError returned (0x780006, or decimal); DETAIL and KIND "
        "are the record's detail (a number or an errno name) and kind (1 system, 2 library). A "
        "function name (XOpenFile) or a bare function code (0x78) lists every reason of the "
        "function.\n\nExample: zaxx err 0x780006 2 1");
    static std::string code;
    static std::vector<std::string> rest;
    cmd->add_option("CODE", code, "Error code, function code or function name")->required();
    cmd->add_option("DETAIL_KIND", rest, "The record's detail and kind")->type_name("[DETAIL [KIND]]");
    on_run(cmd, [] { run_err(code, rest); });
}

}  // namespace zaxx
