// Writes zaxxlib_codes.h, the installed header of error codes, from the table
// in SRC/xcodes.def: for each function X_FN_<function> (its function code),
// and for each of its reasons X_R_<function>_<ID> (the reason number) and
// X_E_<function>_<ID> (the whole error code that XGetLastError returns).
#include <cstdio>
#include <cstring>

#include "code_table.h"

namespace {

using namespace zaxcodes;

const char kHead[] =
    "/* zaxxlib_codes.h: the error codes that the functions of zaxxlib record.\n"
    " * Generated from the library's table of codes; do not edit.\n"
    " *\n"
    " * XGetLastError returns the code of the last failure of the calling\n"
    " * thread: the function code in the high 16 bits, the reason in the low 16.\n"
    " *   X_FN_<function>       the function code of a function\n"
    " *   X_R_<function>_<ID>   the number of one of its reasons\n"
    " *   X_E_<function>_<ID>   the whole error code, as XGetLastError returns it\n"
    " * X_FN_OF(code) and X_REASON_OF(code) take a code apart; `zaxx err CODE`\n"
    " * prints what a code means.\n"
    " *\n"
    " *   if (XOpenFile(name, 0, X_OPEN_READ) == 0 &&\n"
    " *       XGetLastError(&e) == X_E_XOpenFile_OPEN_FAILED) ... e.detail is the errno\n"
    " */\n"
    "#ifndef ZAXXLIB_CODES_H\n"
    "#define ZAXXLIB_CODES_H\n"
    "\n"
    "#define X_FN_OF(code) (((code) >> 16) & 0xFFFFu)\n"
    "#define X_REASON_OF(code) ((code) & 0xFFFFu)\n"
    "#define X_ERROR_CODE(fn, reason) (((fn) << 16) | (reason))\n";

// A comment text: nothing in it may end the comment early.
void put_comment_text(FILE *out, const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        if (p[0] == '*' && p[1] == '/') {
            std::fputs("* /", out);
            ++p;
        } else {
            std::fputc(*p, out);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fputs(kHead, out);
    const char *kind_name[] = {"none", "system", "library"};
    for (const Function &f : kFunctions) {
        std::fprintf(out, "\n/* %s", f.name);
        if (f.also[0] != '\0') {
            std::fputs(" (recorded also by ", out);
            put_comment_text(out, f.also);
            std::fputs(")", out);
        }
        std::fprintf(out, " */\n#define X_FN_%s 0x%Xu\n", f.name, f.code);
        for (const Reason &r : kReasons) {
            if (std::strcmp(r.fn, f.name) != 0) continue;
            std::fputs("/* ", out);
            put_comment_text(out, r.meaning);
            std::fprintf(out, "; kind %u (%s), detail: ", r.kind, kind_name[r.kind < 3 ? r.kind : 0]);
            put_comment_text(out, r.detail);
            std::fputs(" */\n", out);
            std::fprintf(out, "#define X_R_%s_%s %uu\n", r.fn, r.id, r.reason);
            std::fprintf(out, "#define X_E_%s_%s 0x%Xu\n", r.fn, r.id, (r.fn_code << 16) | r.reason);
        }
    }
    std::fputs("\n#endif /* ZAXXLIB_CODES_H */\n", out);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
