// What the subcommands share: error descriptions, the run-time directory and
// the initiator service, argument parsing and output.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "OMIKINIT/omikproto.h"
#include "objects.h"
#include "os/env.h"
#include "os/rundir.h"
#include "os/sharing.h"
#include "os/sock.h"
#include "store/regstore.h"
#include "zaxx.h"
#include "zaxxlib.h"

namespace zaxx {

Options g_options;

// ---------------------------------------------------------------------------
// Error codes

namespace {

// The part of a detail description that a value picks out of a list such as
// "argument: 1 name null, 3 flags invalid" ("flags invalid" for 3), or "".
std::string detail_item(const std::string &description, uint32_t value) {
    std::string list = description;
    if (list.rfind("argument: ", 0) == 0) list = list.substr(10);
    const std::string want = std::to_string(value) + " ";
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(", ", at);
        std::string item = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (item.rfind(want, 0) == 0) return item.substr(want.size());
        if (end == std::string::npos) break;
        at = end + 2;
    }
    return "";
}

// What the registry store's SQLite statuses (kSqliteBase | SQLite's result
// code, whose low byte is the primary code) mean.
std::string store_status_text(uint32_t detail) {
    static const char *const kPrimary[] = {
        nullptr, "SQL error", "internal error", "access denied", "aborted", "the database is busy",
        "a table is locked", "out of memory", "the database is read-only", "interrupted",
        "disk I/O error", "the database file is damaged", "unknown operation", "the disk is full",
        "the database file cannot be opened", "locking protocol error", nullptr,
        "the database was written by a newer schema", "too large", "constraint failed",
        "data type mismatch", "misuse", "large files not supported", "authorization denied", nullptr,
        "parameter out of range", "the file is not a database"};
    const uint32_t primary = detail & 0xFF;
    const char *text = primary < std::size(kPrimary) ? kPrimary[primary] : nullptr;
    char buf[96];
    std::snprintf(buf, sizeof buf, "0x%X (SQLite %u: %s)", detail, detail & 0xFFFF,
                  text != nullptr ? text : "unknown result");
    return buf;
}

}  // namespace

const CodeFunction *find_function(uint32_t fn_code) {
    for (const CodeFunction &f : zaxcodes::kFunctions)
        if (f.code == fn_code) return &f;
    return nullptr;
}

const CodeReason *find_reason(uint32_t fn_code, uint32_t reason) {
    for (const CodeReason &r : zaxcodes::kReasons)
        if (r.fn_code == fn_code && r.reason == reason) return &r;
    return nullptr;
}

std::string describe_error(uint32_t code, uint32_t detail, uint32_t kind, bool with_detail) {
    const uint32_t fn = code >> 16, reason = code & 0xFFFF;
    const CodeFunction *f = find_function(fn);
    if (f == nullptr) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "unknown function code 0x%X", fn);
        return buf;
    }
    const char *name = f->name;
    const CodeReason *r = find_reason(fn, reason);
    std::string text = std::string(name) + ": ";
    if (r == nullptr) {
        text += "reason " + std::to_string(reason) + ", which " + name + " does not record";
    } else {
        text += r->meaning;
    }
    if (!with_detail) return text;
    if (kind == 0) kind = r != nullptr ? r->kind : X_KIND_LIBRARY;
    // A few reasons record an errno as a library error.
    const bool errno_detail = kind == X_KIND_SYSTEM || (r != nullptr && std::strncmp(r->detail, "errno", 5) == 0);
    if (errno_detail && (detail & ~0xFFFFu) == uint32_t(zax::reg::kSqliteBase) && r != nullptr &&
        std::strstr(r->detail, "store status") != nullptr) {
        text += "; detail " + store_status_text(detail);
    } else if (errno_detail) {
        if (detail == 0) return text;  // a failure without an errno
        const char *errname = strerrorname_np(int(detail));
        text += "; detail ";
        text += errname != nullptr ? errname : std::to_string(detail);
        text += std::string(" (") + std::strerror(int(detail)) + ")";
    } else {
        text += "; detail " + std::to_string(detail);
        if (r != nullptr) {
            std::string item = detail_item(r->detail, detail);
            const bool argument = std::string(r->detail).rfind("argument: ", 0) == 0;
            if (!item.empty())
                text += argument ? " (argument " + std::to_string(detail) + ": " + item + ")" : " (" + item + ")";
            else if (std::string(r->detail) != "0")
                text += std::string(" (") + r->detail + ")";
        }
    }
    return text;
}

std::string last_error() {
    XErrorInfo e{};
    uint32_t code = XGetLastError(&e);
    if (code == 0) return "failed without a recorded error";
    return describe_error(code, e.detail, e.kind);
}

// ---------------------------------------------------------------------------
// The run-time directory and the initiator service

namespace {

std::string without_trailing_slashes(std::string d) {
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

// The library's own choice when nothing names a directory: the default of
// the sharing mode.
std::string library_default_run_dir() {
    zax::os::Sharing sharing;
    std::string why;
    if (zax::os::sharing_setting(&sharing, &why) != 0) throw Failure(why);
    return zax::os::default_run_dir(sharing);
}

}  // namespace

std::string run_dir() {
    if (!g_options.rundir.empty()) return without_trailing_slashes(g_options.rundir);
    char buf[4096];
    if (zax::os::env_get("ZAXXLIB_RUNDIR", buf, sizeof buf) > 0) return without_trailing_slashes(buf);
    return library_default_run_dir();
}

std::string existing_run_dir() {
    std::string dir = run_dir();
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        throw Failure("run-time directory " + dir + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) throw Failure("run-time directory " + dir + ": " + std::strerror(ENOTDIR));
    return dir;
}

Initiator probe_initiator() {
    Initiator r;
    const std::string path = run_dir() + "/" + zax::omik::kSocketName;
    int fd = -1;
    if (int err = zax::os::sock_connect(path, 1000, &fd)) {
        r.why = err == ENOENT || err == ECONNREFUSED ? "not running" : std::strerror(err);
        // A service that was killed leaves its socket and pid file.
        std::ifstream pid_file(run_dir() + "/" + zax::omik::kPidName);
        uint32_t pid = 0;
        if (err == ECONNREFUSED && pid_file >> pid && pid != 0 && !process_alive(pid_t(pid)))
            r.why += " (pid " + std::to_string(pid) + " ended without removing its socket)";
        return r;
    }
    (void)zax::os::sock_set_timeout(fd, 2000);
    zax::omik::Message m{};
    m.operation = zax::omik::kOpStatus;  // older services refuse it
    m.protocol = zax::omik::kProtocol;
    m.pid = uint32_t(getpid());
    int err = zax::os::write_exact(fd, &m, sizeof m);
    if (err == 0) err = zax::os::read_exact(fd, &m, sizeof m);
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) r.pid = uint32_t(cred.pid);
    close(fd);
    if (err != 0) {
        r.why = std::string("does not answer: ") + std::strerror(err);
        return r;
    }
    r.running = true;
    if (m.status == zax::omik::kStatusOk && m.first != 0) {
        r.pid = m.first;
        r.entries = m.second;
    }
    return r;
}

void require_initiator() {
    Initiator i = probe_initiator();
    if (!i.running) throw Failure("initiator service of " + run_dir() + ": " + i.why);
}

// ---------------------------------------------------------------------------
// Parsing arguments

int64_t parse_i64(const std::string &text, const char *what) {
    const char *s = text.c_str();
    bool neg = *s == '-';
    if (neg) ++s;
    int base = (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10;
    if (base == 16) s += 2;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = *s == '\0' || *s == '-' || *s == '+' ? 0 : std::strtoull(s, &end, base);
    if (end == nullptr || *end != '\0' || errno != 0 || v > uint64_t(INT64_MAX))
        throw UsageError(std::string(what) + " " + text + ": not a number");
    return neg ? -int64_t(v) : int64_t(v);
}

uint32_t parse_u32(const std::string &text, const char *what) {
    int64_t v = parse_i64(text, what);
    if (v < 0 || v > int64_t(UINT32_MAX)) throw UsageError(std::string(what) + " " + text + ": out of range");
    return uint32_t(v);
}

uint32_t parse_key(const std::string &text) {
    if (text.find('/') != std::string::npos) {
        unsigned kind, group, number;
        char code[3] = {};
        int n = 0;
        if (std::sscanf(text.c_str(), "%u/%2[0-9]/%u/%u%n", &kind, code, &group, &number, &n) != 4 ||
            size_t(n) != text.size())
            throw UsageError("key " + text + ": not kind/code/group/number");
        uint32_t key = XMakeKey(int32_t(kind), code, group, number);
        if (key == 0) throw UsageError("key " + text + ": " + last_error());
        return key;
    }
    std::string hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError("key " + text + ": not a hexadecimal key");
    return uint32_t(std::strtoul(hex.c_str(), nullptr, 16));
}

std::string key_text(uint32_t key) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", key);
    return buf;
}

std::string hex_bytes(const void *data, size_t n) {
    const auto *b = static_cast<const uint8_t *>(data);
    std::string s;
    char x[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(x, sizeof x, "%02X", b[i]);
        s += x;
    }
    return s;
}

std::string key_parts(uint32_t key) {
    // kind * 0x10000000 + group * 0x100000 + (digit1 * 16 + digit2) * 0x1000 + number
    uint32_t kind = key >> 28, group = (key >> 20) & 0xFF, code = (key >> 12) & 0xFF, number = key & 0xFFF;
    if (kind < 1 || kind > 4 || (code >> 4) > 9 || (code & 0xF) > 9) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u/%u%u/%u/%u", kind, code >> 4, code & 0xF, group, number);
    return buf;
}

// ---------------------------------------------------------------------------
// Output

Json Json::object(std::initializer_list<std::pair<std::string, Json>> members) {
    Json j(kObject);
    j.members_.assign(members.begin(), members.end());
    return j;
}

Json &Json::set(const std::string &key, Json v) {
    members_.emplace_back(key, std::move(v));
    return members_.back().second;
}

Json &Json::push(Json v) {
    elements_.push_back(std::move(v));
    return elements_.back();
}

std::string json_quote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Bytes beyond ASCII are not taken as UTF-8: each is one
                    // character of the same value.
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

void Json::dump_to(std::string &out, int indent) const {
    const std::string pad(size_t(indent + 2), ' '), end_pad(size_t(indent), ' ');
    switch (type_) {
        case kNull: out += "null"; break;
        case kBool: out += b_ ? "true" : "false"; break;
        case kInt: out += std::to_string(i_); break;
        case kString: out += json_quote(s_); break;
        case kArray:
            if (elements_.empty()) {
                out += "[]";
                break;
            }
            out += "[\n";
            for (size_t i = 0; i < elements_.size(); ++i) {
                out += pad;
                elements_[i].dump_to(out, indent + 2);
                out += i + 1 < elements_.size() ? ",\n" : "\n";
            }
            out += end_pad + "]";
            break;
        case kObject:
            if (members_.empty()) {
                out += "{}";
                break;
            }
            out += "{\n";
            for (size_t i = 0; i < members_.size(); ++i) {
                out += pad + json_quote(members_[i].first) + ": ";
                members_[i].second.dump_to(out, indent + 2);
                out += i + 1 < members_.size() ? ",\n" : "\n";
            }
            out += end_pad + "}";
            break;
    }
}

std::string Json::dump() const {
    std::string out;
    dump_to(out, 0);
    return out;
}

void print_json(const Json &j) { std::cout << j.dump() << "\n"; }

void print_result(const Json &j, const std::string &line) {
    if (g_options.json) print_json(j);
    else std::cout << line << "\n";
}

void print_table(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width;
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (const auto &r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

}  // namespace zaxx
