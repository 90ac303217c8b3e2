// xparm: parameter files. A file is read whole into a list of lines when it
// is opened; reads search the lines, writes edit them, and a changed
// read-write handle rewrites the file from them at close, so that everything
// but the written entries (comments, blank lines, carriage returns, even
// binary bytes) comes back byte for byte.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "os/file.h"
#include "os/heap.h"
#include "xhandle.h"
#include "xint.h"
#include "xparm.h"
#include "xparm_format.h"

using namespace zax;

namespace {

using namespace zax::parm;

constexpr size_t kPiece = 1024;   // lines are read in pieces of at most this many bytes
constexpr size_t kMaxPath = 255;  // directory and name together, the "/" not counted
constexpr size_t kLineWidth = 70; // the writer's lines, before " @" and the line end
constexpr size_t kMiddlePiece = 66;

// One line of the file: its bytes with their line end, then a zero.
struct Line {
    Line *next;
    char *text;
    uint32_t length;
    int32_t kind;
    int32_t prev_kind;  // the kind of the line before it (1 before the first)
};

}  // namespace

struct zax::parm::File {
    HandleHeader header;
    XFILE file;      // kept open until close
    Line *lines;     // in file order
    int32_t mode;    // 1 read only, 2 read and write
    int32_t changed; // 2 unchanged, 1 changed by a write
    char path[kMaxPath + 2];  // what the rewrite replaces
};

namespace {

using ParmFile = zax::parm::File;
ParmFile *parm_of(XHANDLE handle) { return handle_as<ParmFile>(handle, HandleKind::parm); }

void classify_all(Line *first) {
    int32_t prev = kHeader;
    for (Line *l = first; l != nullptr; l = l->next) {
        l->prev_kind = prev;
        l->kind = classify(l->text, prev);
        prev = l->kind;
    }
}

// Whether the line, after its leading blanks, starts with name followed by a
// space, a tab or the separator.
bool matches(const Line *l, const char *name, char separator) {
    const char *p = skip_blanks(l->text);
    size_t n = std::strlen(name);
    if (std::strncmp(p, name, n) != 0) return false;
    char c = p[n];
    return c == ' ' || c == '\t' || c == separator;
}

Line *new_line(const char *text, size_t length) {
    auto *l = static_cast<Line *>(os::heap_alloc(sizeof(Line) + length + 1));
    if (l == nullptr) return nullptr;
    l->text = reinterpret_cast<char *>(l + 1);
    std::memcpy(l->text, text, length);
    l->text[length] = '\0';
    l->length = uint32_t(length);
    return l;
}

void free_lines(Line *l) {
    while (l != nullptr) {
        Line *next = l->next;
        (void)os::heap_free(l);
        l = next;
    }
}

Line *find_section(ParmFile *pf, const char *section) {
    for (Line *l = pf->lines; l != nullptr; l = l->next)
        if (l->kind == kHeader && matches(l, section, ':')) return l;
    return nullptr;
}

// Collects value pieces into the caller's buffer, at most size bytes, while
// counting the full length.
struct Value {
    char *buffer;
    int64_t size;
    int64_t total = 0;
    void append(const char *p, size_t n) {
        if (buffer != nullptr && total < size) {
            int64_t room = size - total;
            std::memcpy(buffer + total, p, size_t(int64_t(n) < room ? int64_t(n) : room));
        }
        total += int64_t(n);
    }
};

// Why a value could not be had (the reasons of XReadParmStr).
enum Extract : uint32_t {
    kGot = 0,
    kNoValue = R_XReadParmStr_NO_VALUE,
    kNoContinuation = R_XReadParmStr_NO_CONTINUATION
};

// The text after the "=" of an entry or continuation line, blanks skipped.
const char *after_separator(const Line *l) {
    const char *p = skip_word(skip_blanks(l->text));
    p = skip_blanks(p);
    if (*p == '=') ++p;
    return skip_blanks(p);
}

// The end of the line's text: its line feed, or its end.
const char *line_end(const char *p) {
    while (*p != '\0' && *p != '\n') ++p;
    return p;
}

// The value of the entry line, over its continuation lines.
Extract extract_value(const Line *entry, Value &v) {
    const Line *cur = entry;
    const char *p = after_separator(cur);
    bool open_quote = false;  // a quoted string goes on from the line before
    for (;;) {
        bool closed_piece = true;
        if (!open_quote && *p == '"') {
            ++p;
            open_quote = true;
        } else if (!open_quote) {
            const char *q = p;
            while (*q != '\0' && !is_blank(*q) && *q != '\r' && *q != '\n') ++q;
            v.append(p, size_t(q - p));
            p = q;
        }
        if (open_quote) {
            const char *end = line_end(p);
            const char *q = static_cast<const char *>(std::memchr(p, '"', size_t(end - p)));
            if (q != nullptr) {
                v.append(p, size_t(q - p));
                p = q + 1;
                open_quote = false;
            } else {
                // Not closed here: the line must end, after optional spaces,
                // with "@", and the string goes on in the next line.
                const char *e = end;
                if (e > p && e[-1] == '\r') --e;
                while (e > p && is_blank(e[-1])) --e;
                if (e == p || e[-1] != '@') return kNoValue;
                const char *piece_end = e - 1;
                while (piece_end > p && is_blank(piece_end[-1])) --piece_end;
                v.append(p, size_t(piece_end - p));
                closed_piece = false;
            }
        }
        if (closed_piece) {
            const char *r = skip_blanks(p);
            if (*r != '@') break;
        }
        cur = cur->next;
        if (cur == nullptr || cur->kind != kContinuation) return kNoContinuation;
        p = after_separator(cur);
        // A continuation of an open string that starts with a quote closes
        // it with nothing added: the search for the closing quote does that.
    }
    return v.total == 0 ? kNoValue : kGot;
}

constexpr Status kNoMemory = sys_status(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);

constexpr Reason kOpenArgument =
    same_reason(R_XOpenParmFile_BAD_ARGUMENT, R_XOpenParmFileRW_BAD_ARGUMENT);
constexpr Reason kBadPath = same_reason(R_XOpenParmFile_BAD_PATH, R_XOpenParmFileRW_BAD_PATH);

// Checks directory and name and joins them; the failure under fn.
Status build_path(Fn fn, const char *directory, const char *name, char (&path)[kMaxPath + 2]) {
    if (name == nullptr) return lib_status(fn, kOpenArgument, 2);
    size_t nlen = strnlen(name, kMaxPath + 1);
    size_t dlen = directory != nullptr ? strnlen(directory, kMaxPath + 1) : 0;
    size_t total = nlen + dlen;
    if (nlen > kMaxPath || dlen > kMaxPath || total < 1 || total > kMaxPath)
        return lib_status(fn, kBadPath, 0);
    if (directory != nullptr) {
        std::memcpy(path, directory, dlen);
        path[dlen] = '/';
        std::memcpy(path + dlen + 1, name, nlen + 1);
    } else {
        std::memcpy(path, name, nlen + 1);
    }
    return {};
}

// Reads the whole file into lines: pieces end at a line feed (kept) or at
// 1024 bytes; a last piece without a line feed gets a carriage return and a
// line feed.
Status read_lines(ParmFile *pf) {
    char chunk[16384];
    char piece[kPiece + 2];
    size_t plen = 0;
    Line **tail = &pf->lines;
    auto emit = [&]() -> bool {
        Line *l = new_line(piece, plen);
        if (l == nullptr) return false;
        *tail = l;
        tail = &l->next;
        plen = 0;
        return true;
    };
    for (;;) {
        size_t got = 0;
        if (int err = os::file_read(pf->file, chunk, sizeof chunk, &got))
            return sys_status(FN_XReadFile, R_XReadFile_READ_FAILED, err);
        if (got == 0) break;
        const char *p = chunk;
        const char *end = chunk + got;
        while (p < end) {
            // Copy up to the next line feed or until the piece is full.
            size_t room = kPiece - plen;
            size_t avail = size_t(end - p);
            size_t n = avail < room ? avail : room;
            const void *lf = std::memchr(p, '\n', n);
            if (lf != nullptr) n = size_t(static_cast<const char *>(lf) - p) + 1;
            std::memcpy(piece + plen, p, n);
            plen += n;
            p += n;
            if ((lf != nullptr || plen == kPiece) && !emit()) return kNoMemory;
        }
    }
    if (plen > 0) {
        piece[plen++] = '\r';
        piece[plen++] = '\n';
        if (!emit()) return kNoMemory;
    }
    classify_all(pf->lines);
    return {};
}

Status rewrite(ParmFile *pf);

}  // namespace

Status parm::open(Fn fn, const char *directory, const char *name, bool write, File **out) {
    char path[kMaxPath + 2];
    if (Status s = build_path(fn, directory, name, path); s.failed()) return s;
    auto *pf = handle_try_new<ParmFile>(HandleKind::parm);
    if (pf == nullptr) return kNoMemory;
    pf->mode = write ? 2 : 1;
    pf->changed = 2;
    std::memcpy(pf->path, path, sizeof path);
    int err;
    for (;;) {
        err = os::file_open(path, write, os::Disposition::open_existing, &pf->file);
        if (write && err == ENOENT) {
            err = os::file_open(path, true, os::Disposition::create_new, &pf->file);
            if (err == EEXIST) continue;
        }
        if (err != 0 || !write) break;
        // A writer keeps other writers out for as long as it holds the file:
        // the whole-file lock, tried at once, stands for the sharing mode
        // that lets others read but not write. A writer that closed just
        // before replaced the file whole: the lock counts on the file that
        // has the name now.
        bool same = false;
        if ((err = os::file_lock(pf->file, false)) == 0) err = os::file_is_named(pf->file, path, &same);
        if (err == 0 && same) break;
        (void)os::file_close(pf->file);
        if (err != 0) break;
    }
    if (err != 0) {
        handle_free(pf);
        return sys_status(FN_XOpenFile, R_XOpenFile_PARM_OPEN_FAILED, err);
    }
    if (Status s = read_lines(pf); s.failed()) {
        free_lines(pf->lines);
        (void)os::file_close(pf->file);
        handle_free(pf);
        return s;
    }
    *out = pf;
    return {};
}

Status parm::close(File *pf) {
    Status s;
    if (pf->mode == 2 && pf->changed == 1) s = rewrite(pf);
    // The file and the memory go back even when the rewrite failed.
    if (int err = os::file_close(pf->file); err != 0 && !s.failed())
        s = sys_status(FN_XCloseFile, R_XCloseFile_CLOSE_FAILED, err);
    free_lines(pf->lines);
    handle_free(pf);
    return s;
}

Status parm::read_str(File *pf, const char *section, const char *key, char *buffer, int32_t size,
                      int32_t *len) {
    Line *hdr = find_section(pf, section);
    if (hdr == nullptr) return lib_status(FN_XReadParmStr, R_XReadParmStr_NO_SECTION, 0);
    Line *entry = nullptr;
    for (Line *l = hdr->next; l != nullptr && l->kind != kHeader; l = l->next)
        if (l->kind == kEntry && matches(l, key, '=')) {
            entry = l;
            break;
        }
    if (entry == nullptr) return lib_status(FN_XReadParmStr, R_XReadParmStr_NO_KEY, 0);
    Value v{buffer, size};
    if (Extract r = extract_value(entry, v); r != kGot)
        return lib_status(FN_XReadParmStr,
                          r == kNoValue ? R_XReadParmStr_NO_VALUE : R_XReadParmStr_NO_CONTINUATION,
                          0);
    *len = v.total > INT32_MAX ? INT32_MAX : int32_t(v.total);
    return {};
}

Status parm::read_int(File *pf, const char *section, const char *key, int32_t *result) {
    char text[kPiece + 1] = {};
    int32_t len = 0;
    if (Status s = read_str(pf, section, key, text, int32_t(kPiece), &len); s.failed()) return s;
    bool number = len <= int32_t(kPiece);
    for (int32_t i = 0; number && i < len; ++i)
        number = (text[i] >= '0' && text[i] <= '9') || (i == 0 && text[i] == '-');
    if (!number) return lib_status(FN_XReadParmInt, R_XReadParmInt_NOT_A_NUMBER, 0);
    bool neg = text[0] == '-';
    int64_t v = 0;
    bool range = true;
    for (int32_t i = neg ? 1 : 0; i < len; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > int64_t(INT32_MAX) + 1) {
            range = false;
            break;
        }
    }
    if (neg) v = -v;
    if (!range || v > INT32_MAX || v < INT32_MIN) {
        *result = neg ? INT32_MIN : INT32_MAX;
        return lib_status(FN_XReadParmInt, R_XReadParmInt_OUT_OF_RANGE, 0);
    }
    *result = int32_t(v);
    return {};
}

namespace {

XHANDLE open_parm(Fn fn, const char *directory, const char *name, bool write) {
    parm::File *pf = nullptr;
    if (Status s = parm::open(fn, directory, name, write, &pf); s.failed()) {
        record_failure(s);
        return X_FAILED_PTR;
    }
    return pf;
}

// Rewrites the file from the lines, every line as held, into a new file
// that replaces the old one whole once complete (os::replace_open), so that
// a full disk or the death of the process leaves the old file as it was.
Status rewrite(ParmFile *pf) {
    int64_t size = 0;
    for (Line *l = pf->lines; l != nullptr; l = l->next) size += l->length;
    os::Replacement rep;
    if (int err = os::replace_open(pf->path, pf->file, &rep))
        return sys_status(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
    int err = os::replace_reserve(&rep, size);
    for (Line *l = pf->lines; err == 0 && l != nullptr; l = l->next) {
        size_t put = 0;
        err = os::file_write(rep.fd, l->text, l->length, &put);
    }
    if (err != 0) return sys_status(FN_XWriteFile, R_XWriteFile_WRITE_FAILED, err);
    if ((err = os::replace_commit(&rep)) != 0)
        return sys_status(FN_XFlushFile, R_XFlushFile_FLUSH_FAILED, err);
    return {};
}

// Builds the lines of an entry in the writer's formats. Returns the first
// line (the chain ends in last), or nullptr after an allocation failure.
Line *entry_lines(const char *key, const char *value, size_t vlen, Line *&last) {
    size_t klen = std::strlen(key);
    char buf[kLineWidth + 16];
    Line *first = nullptr;
    Line **tail = &first;
    auto add = [&](int n) -> bool {
        Line *l = new_line(buf, size_t(n));
        if (l == nullptr) return false;
        *tail = l;
        last = l;
        tail = &l->next;
        return true;
    };
    bool ok;
    if (klen + 3 + vlen <= kLineWidth) {
        // klen + vlen is at most 67 here, so the line fits the buffer.
        ok = add(std::snprintf(buf, sizeof buf, "%s = %.*s\r\n", key, int(vlen), value));
    } else {
        size_t first_piece = 65 - klen;  // key, " = " and piece fill 68 characters
        ok = add(std::snprintf(buf, sizeof buf, "%s = %.*s %c\r\n", key, int(first_piece), value,
                               '@'));
        size_t at = first_piece;
        while (ok && vlen - at > kMiddlePiece) {
            ok = add(std::snprintf(buf, sizeof buf, "= %.*s %c\r\n", int(kMiddlePiece), value + at,
                                   '@'));
            at += kMiddlePiece;
        }
        if (ok) ok = add(std::snprintf(buf, sizeof buf, "= %.*s\r\n", int(vlen - at), value + at));
    }
    if (!ok) {
        free_lines(first);
        return nullptr;
    }
    return first;
}

bool has_line_feed(const char *s, size_t n) { return std::memchr(s, '\n', n) != nullptr; }

// Whether a name written into a line reads back as that line's one word: a
// blank, "=" or ":" in it would end the word early and make the line another
// kind of line (a header in the middle of a section, or an entry of the
// section above); a line feed would split the line.
bool is_word(const char *s) { return s[std::strcspn(s, " \t\n=:")] == '\0'; }

}  // namespace

extern "C" {

XAPI XHANDLE XOpenParmFile(const char *directory, const char *name) {
    return open_parm(FN_XOpenParmFile, directory, name, false);
}

XAPI XHANDLE XOpenParmFileRW(const char *directory, const char *name) {
    return open_parm(FN_XOpenParmFileRW, directory, name, true);
}

XAPI int32_t XCloseParmFile(XHANDLE handle) {
    ParmFile *pf = parm_of(handle);
    if (pf == nullptr) {
        lib_error(FN_XCloseParmFile, R_XCloseParmFile_BAD_ARGUMENT, 1);
        return 0;
    }
    return recorded(parm::close(pf));
}

XAPI int32_t XReadParmStr(XHANDLE handle, const char *section, const char *key, char *buffer,
                          int32_t size) {
    ParmFile *pf = parm_of(handle);
    uint32_t bad = pf == nullptr ? 1 : section == nullptr ? 2 : key == nullptr ? 3
                                     : buffer == nullptr  ? 4 : size < 0 ? 5 : 0;
    if (bad != 0) {
        lib_error(FN_XReadParmStr, R_XReadParmStr_BAD_ARGUMENT, bad);
        return 0;
    }
    int32_t len = 0;
    if (Status s = parm::read_str(pf, section, key, buffer, size, &len); s.failed()) {
        record_failure(s);
        return 0;
    }
    return len;
}

XAPI int32_t XReadParmInt(XHANDLE handle, const char *section, const char *key, int32_t *result) {
    uint32_t bad = parm_of(handle) == nullptr ? 1 : section == nullptr ? 2 : key == nullptr ? 3
                   : result == nullptr ? 4 : 0;
    if (bad != 0) {
        lib_error(FN_XReadParmInt, R_XReadParmInt_BAD_ARGUMENT, bad);
        return 0;
    }
    if (Status s = parm::read_int(parm_of(handle), section, key, result); s.failed()) {
        record_failure(s);
        return 0;
    }
    return 1;
}

XAPI int32_t XWriteParmStr(XHANDLE handle, const char *section, const char *key, const char *value,
                           int32_t length) {
    ParmFile *pf = parm_of(handle);
    uint32_t bad = pf == nullptr ? 1 : section == nullptr ? 2 : key == nullptr ? 3
                                     : value == nullptr   ? 4 : length < 1 ? 5 : 0;
    if (bad != 0) {
        lib_error(FN_XWriteParmStr, R_XWriteParmStr_BAD_ARGUMENT, bad);
        return 0;
    }
    if (pf->mode != 2) {
        lib_error(FN_XWriteParmStr, R_XWriteParmStr_READ_ONLY, 0);
        return 0;
    }
    size_t vlen = strnlen(value, size_t(length));
    size_t klen = std::strlen(key);
    // Names and values that would not read back as one entry are refused: a
    // line feed would make lines of their own, a section header longer than
    // a line piece would be cut, a name must be one word, and an empty key
    // would make the entry a continuation of the entry above it.
    if (std::strlen(section) > kPiece - 4 || !is_word(section))
        bad = 2;
    else if (klen == 0 || !is_word(key))
        bad = 3;
    else if (has_line_feed(value, vlen))
        bad = 4;
    if (bad != 0) {
        lib_error(FN_XWriteParmStr, R_XWriteParmStr_BAD_ARGUMENT, bad);
        return 0;
    }
    // A value that needs continuation lines leaves its first line
    // 65 - key length characters: with no room left, no layout reads back.
    if (klen + 3 + vlen > kLineWidth && klen >= 65) {
        lib_error(FN_XWriteParmStr, R_XWriteParmStr_KEY_TOO_LONG, 0);
        return 0;
    }
    // Every new line is made before the list is touched, so that a failed
    // allocation leaves the lines as they were.
    Line *last = nullptr;
    Line *first = entry_lines(key, value, vlen, last);
    Line *hdr = first != nullptr ? find_section(pf, section) : nullptr;
    if (first != nullptr && hdr == nullptr) {
        char buf[kPiece + 8];
        int n = std::snprintf(buf, sizeof buf, "%s :\r\n", section);
        hdr = new_line(buf, size_t(n));
        if (hdr == nullptr) {
            free_lines(first);
            first = nullptr;
        } else {
            hdr->kind = kHeader;
            Line **end = &pf->lines;
            while (*end != nullptr) end = &(*end)->next;
            *end = hdr;
        }
    }
    if (first == nullptr) {
        sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
        return 0;
    }
    Line **link = &hdr->next;
    while (*link != nullptr && (*link)->kind != kHeader &&
           !((*link)->kind == kEntry && matches(*link, key, '=')))
        link = &(*link)->next;
    if (*link != nullptr && (*link)->kind == kEntry) {
        // Replace the entry and its continuation lines in place.
        Line *old = *link;
        Line *after = old->next;
        while (after != nullptr && after->kind == kContinuation) after = after->next;
        Line *old_last = old;
        while (old_last->next != after) old_last = old_last->next;
        old_last->next = nullptr;
        *link = first;
        last->next = after;
        free_lines(old);
    } else if (*link != nullptr) {
        // Another section follows: the new entry goes right under the header.
        last->next = hdr->next;
        hdr->next = first;
    } else {
        *link = first;  // the last section: at the end of the file
    }
    classify_all(pf->lines);
    pf->changed = 1;
    return 1;
}

XAPI int32_t XWriteParmInt(XHANDLE handle, const char *section, const char *key, int32_t number) {
    uint32_t bad = parm_of(handle) == nullptr ? 1 : section == nullptr ? 2 : key == nullptr ? 3 : 0;
    if (bad != 0) {
        lib_error(FN_XWriteParmInt, R_XWriteParmInt_BAD_ARGUMENT, bad);
        return 0;
    }
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", int(number));
    return XWriteParmStr(handle, section, key, text, n);
}

XAPI int32_t XListParmEntry(XHANDLE handle, int32_t index, const char *section, char *key,
                            int32_t *key_size, char *value, int32_t *value_size) {
    ParmFile *pf = parm_of(handle);
    uint32_t bad = pf == nullptr                                  ? 1
                   : index < 0                                    ? 2
                   : section == nullptr                           ? 3
                   : key == nullptr                               ? 4
                   : key_size == nullptr || *key_size < 1         ? 5
                   : value_size == nullptr                        ? 7
                   : value != nullptr && *value_size < 1          ? 7
                                                                  : 0;
    if (bad != 0) {
        lib_error(FN_XListParmEntry, R_XListParmEntry_BAD_ARGUMENT, bad);
        return -5;
    }
    Line *hdr = find_section(pf, section);
    if (hdr == nullptr) {
        lib_error(FN_XListParmEntry, R_XListParmEntry_NO_SECTION, 0);
        return -5;
    }
    Line *entry = nullptr;
    int32_t seen = 0;
    for (Line *l = hdr->next; l != nullptr && l->kind != kHeader; l = l->next)
        if (l->kind == kEntry && seen++ == index) {
            entry = l;
            break;
        }
    if (entry == nullptr) return -4;

    const char *k = skip_blanks(entry->text);
    size_t klen = 0;
    while (klen < kPiece && k[klen] != '\0' && !is_blank(k[klen]) && k[klen] != '=') ++klen;
    if (klen == 0) {
        lib_error(FN_XListParmEntry, R_XListParmEntry_EMPTY_KEY, 0);
        return -5;
    }
    char vbuf[kPiece];
    Value v{vbuf, int64_t(kPiece)};
    if (Extract r = extract_value(entry, v); r != kGot) {
        lib_error(FN_XListParmEntry,
                  r == kNoValue ? R_XListParmEntry_NO_VALUE : R_XListParmEntry_NO_CONTINUATION, 0);
        return -5;
    }
    int32_t result = 0;
    if (int64_t(klen) > *key_size) result -= 1;
    std::memcpy(key, k, klen < size_t(*key_size) ? klen : size_t(*key_size));
    *key_size = int32_t(klen);
    int64_t have = v.total < int64_t(kPiece) ? v.total : int64_t(kPiece);
    if (value != nullptr) {
        int64_t n = have < *value_size ? have : *value_size;
        std::memcpy(value, vbuf, size_t(n));
        if (v.total > n) result -= 2;
    }
    *value_size = v.total > INT32_MAX ? INT32_MAX : int32_t(v.total);
    return result;
}

}  // extern "C"
