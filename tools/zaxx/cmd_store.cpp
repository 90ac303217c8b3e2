// zaxx reg and parm: the registry and parameter files, through the library's
// own functions, so that zaxx reads and writes them exactly as programs do.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "xparm_format.h"
#include "zaxx.h"
#include "zaxxlib.h"
#include "zaxxlib_codes.h"

namespace zaxx {
namespace {

// ---------------------------------------------------------------------------
// reg

constexpr int32_t kRegBuffer = 260;  // names and data as the library passes them

struct RegPath {
    std::string product;  // "" for the top ("SOFTWARE\ZAX")
    std::string subkey;
    std::string text() const { return subkey.empty() ? product : product + "\\" + subkey; }
};

// "Product\Sub\Key" (slashes work too).
RegPath reg_path(std::string text) {
    for (char &c : text)
        if (c == '/') c = '\\';
    while (!text.empty() && text.front() == '\\') text.erase(0, 1);
    while (!text.empty() && text.back() == '\\') text.pop_back();
    RegPath p;
    size_t at = text.find('\\');
    p.product = text.substr(0, at);
    if (at != std::string::npos) p.subkey = text.substr(at + 1);
    return p;
}

uint32_t g_hive = HKEY_CURRENT_USER;
std::string g_hive_name = "user";

std::string reg_object(const RegPath &p) {
    return "registry " + g_hive_name + (p.product.empty() ? "" : "\\" + p.text());
}

// An open key, closed at the end of the scope. The top of a hive that holds
// nothing yet reads as an empty key (null handle).
class RegKey {
public:
    RegKey(const RegPath &p, int32_t access) : path_(p) {
        key_ = XOpenRegistry(g_hive, p.product.c_str(), p.subkey.empty() ? nullptr : p.subkey.c_str(), access);
        if (key_ == X_FAILED_PTR) {
            key_ = nullptr;
            if (XGetLastError(nullptr) == X_E_XOpenRegistry_OPEN_FAILED) {
                XErrorInfo e{};
                XGetLastError(&e);
                if (e.detail == ENOENT && p.product.empty()) return;
                if (e.detail == ENOENT) throw Failure(reg_object(p) + ": no such key");
            }
            throw Failure(reg_object(p) + ": " + last_error());
        }
    }
    ~RegKey() {
        if (key_ != nullptr) XCloseRegistry(key_);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    XHANDLE get() const { return key_; }
    const RegPath &path() const { return path_; }

private:
    RegPath path_;
    XHANDLE key_;
};

struct RegValue {
    std::string name;
    int32_t type;  // X_REGTYPE_*
    std::string data;
};

std::vector<std::string> sub_keys(const RegKey &k) {
    std::vector<std::string> out;
    char buf[kRegBuffer];
    for (int32_t i = 0; k.get() != nullptr; ++i) {
        int32_t n = XListRegKey(k.get(), i, buf, sizeof buf);
        if (n == -1) break;
        if (n < 0) throw Failure(reg_object(k.path()) + ": " + last_error());
        out.emplace_back(buf, size_t(n));
    }
    return out;
}

std::vector<RegValue> values(const RegKey &k) {
    std::vector<RegValue> out;
    for (int32_t i = 0; k.get() != nullptr; ++i) {
        char name[kRegBuffer], data[kRegBuffer];
        int32_t type = 0, namelen = sizeof name, datalen = sizeof data;
        int32_t r = XListRegValue(k.get(), i, &type, name, &namelen, data, &datalen);
        if (r == -1) break;
        if (r != 0) throw Failure(reg_object(k.path()) + ": " + last_error());
        out.push_back({std::string(name, size_t(namelen)), type, std::string(data, size_t(datalen))});
    }
    return out;
}

int32_t int_of(const std::string &data) {
    uint32_t v = 0;
    std::memcpy(&v, data.data(), data.size() < 4 ? data.size() : 4);
    return int32_t(v);
}

const char *type_name(int32_t type) {
    return type == X_REGTYPE_STRING ? "string" : type == X_REGTYPE_INT ? "int" : "other";
}

// Text of the export format: bytes outside printable ASCII, '%' and '"'
// written as %HH.
std::string escape(const std::string &s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F || c == '%' || c == '"') {
            std::snprintf(b, sizeof b, "%%%02X", c);
            out += b;
        } else {
            out += char(c);
        }
    }
    return out;
}

bool unescape(const std::string &s, std::string &out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || !std::isxdigit((unsigned char)s[i + 1]) || !std::isxdigit((unsigned char)s[i + 2]))
            return false;
        out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

Json value_json(const RegValue &v) {
    Json j = Json::object();
    j.set("name", v.name);
    j.set("type", type_name(v.type));
    if (v.type == X_REGTYPE_INT) j.set("value", int64_t(int_of(v.data)));
    else j.set("value", v.data);
    return j;
}

void run_reg_ls(const std::string &path) {
    RegPath p = reg_path(path);
    RegKey k(p, X_REG_READ);
    std::vector<std::string> keys = sub_keys(k);
    std::vector<RegValue> vals = values(k);
    if (g_options.json) {
        Json j = Json::object();
        j.set("hive", g_hive_name);
        j.set("path", p.text());
        Json &ks = j.set("keys", Json::array());
        for (const std::string &s : keys) ks.push(s);
        Json &vs = j.set("values", Json::array());
        for (const RegValue &v : vals) vs.push(value_json(v));
        print_json(j);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const std::string &s : keys) rows.push_back({"key", s, ""});
    for (const RegValue &v : vals)
        rows.push_back({type_name(v.type), v.name,
                        v.type == X_REGTYPE_INT ? std::to_string(int_of(v.data)) : "\"" + escape(v.data) + "\""});
    if (rows.empty()) std::cout << reg_object(p) << ": no keys and no values\n";
    print_table(rows);
}

void run_reg_get(const std::string &path, const std::string &name) {
    RegPath p = reg_path(path);
    RegKey k(p, X_REG_READ);
    for (const RegValue &v : values(k)) {
        if (v.name != name) continue;
        if (g_options.json) print_json(value_json(v));
        else if (v.type == X_REGTYPE_INT) std::cout << int_of(v.data) << "\n";
        else std::cout << v.data << "\n";
        return;
    }
    throw Failure(reg_object(p) + ": no value " + name);
}

void run_reg_set(const std::string &path, const std::string &name, const std::string &value, bool as_int) {
    RegPath p = reg_path(path);
    if (p.product.empty()) throw UsageError("reg set needs a key below the top: PRODUCT[\\KEY...]");
    int32_t number = 0;
    if (as_int) {
        int64_t v = parse_i64(value, "value");
        if (v < INT32_MIN || v > int64_t(UINT32_MAX)) throw UsageError("value " + value + ": not a 32-bit integer");
        number = int32_t(uint32_t(v));
    }
    RegKey k(p, X_REG_ALL);
    bool ok = as_int ? XWriteRegInt(k.get(), name.c_str(), number) != 0
                     : XWriteRegStr(k.get(), name.c_str(), value.c_str(), int32_t(value.size())) != 0;
    if (!ok) throw Failure(reg_object(p) + " value " + name + ": " + last_error());
}

void run_reg_del(const std::string &path, const std::vector<std::string> &names) {
    RegPath p = reg_path(path);
    if (p.product.empty()) throw UsageError("reg del needs a key below the top: PRODUCT[\\KEY...]");
    if (names.empty()) {
        {
            RegKey exists(p, X_REG_READ);  // a missing key is a failure, not a silent success
        }
        if (!XDeleteRegKey(g_hive, p.product.c_str(), p.subkey.empty() ? nullptr : p.subkey.c_str()))
            throw Failure(reg_object(p) + ": " + last_error());
        return;
    }
    RegKey k(p, X_REG_ALL);
    for (const std::string &n : names)
        if (!XDeleteRegValue(k.get(), n.c_str())) {
            if (XGetLastError(nullptr) == X_E_XDeleteRegValue_DELETE_FAILED) {
                XErrorInfo e{};
                XGetLastError(&e);
                if (e.detail == ENOENT) throw Failure(reg_object(p) + ": no value " + n);
            }
            throw Failure(reg_object(p) + " value " + n + ": " + last_error());
        }
}

// The export format, one line each:
//   [PRODUCT\KEY]                    a key (made when missing)
//   "NAME" = int -12                 a 32-bit integer value
//   "NAME" = string "TEXT"           a string value
// Names, key paths and texts write '%', '"' and bytes outside printable
// ASCII as %HH. Lines starting with '#' and blank lines are ignored.
void export_key(const RegPath &p, std::ostream &out, size_t &skipped) {
    RegKey k(p, X_REG_READ);
    if (!p.product.empty()) out << "[" << escape(p.text()) << "]\n";
    for (const RegValue &v : values(k)) {
        if (v.type == X_REGTYPE_INT) {
            out << "\"" << escape(v.name) << "\" = int " << int_of(v.data) << "\n";
        } else if (v.type == X_REGTYPE_STRING) {
            out << "\"" << escape(v.name) << "\" = string \"" << escape(v.data) << "\"\n";
        } else {
            out << "# \"" << escape(v.name) << "\": a value of another type, not exported\n";
            ++skipped;
        }
    }
    for (const std::string &s : sub_keys(k)) {
        RegPath child = p.product.empty() ? RegPath{s, ""} : RegPath{p.product, p.subkey.empty() ? s : p.subkey + "\\" + s};
        export_key(child, out, skipped);
    }
}

void run_reg_export(const std::string &path) {
    std::ostringstream out;
    out << "# zaxx registry export, " << g_hive_name << " hive\n";
    size_t skipped = 0;
    export_key(reg_path(path), out, skipped);
    std::cout << out.str();
    if (skipped > 0) std::fprintf(stderr, "zaxx: %zu value(s) of other types not exported\n", skipped);
}

struct ImportItem {
    RegPath key;
    bool is_value = false;
    std::string name;
    bool is_int = false;
    int32_t number = 0;
    std::string text;
};

// A quoted field at p ("..."), unescaped; advances p past it.
bool quoted(const std::string &line, size_t &p, std::string &out) {
    if (p >= line.size() || line[p] != '"') return false;
    size_t end = line.find('"', p + 1);
    if (end == std::string::npos) return false;
    bool ok = unescape(line.substr(p + 1, end - p - 1), out);
    p = end + 1;
    return ok;
}

void skip_spaces(const std::string &line, size_t &p) {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
}

void run_reg_import(const std::string &file) {
    std::ifstream in;
    std::istream *src = &std::cin;
    const std::string what = file.empty() || file == "-" ? "standard input" : file;
    if (!file.empty() && file != "-") {
        in.open(file);
        if (!in) throw Failure("import file " + file + ": " + std::strerror(errno));
        src = &in;
    }
    // Everything is read and checked before anything is written.
    std::vector<ImportItem> items;
    bool have_key = false;
    RegPath current;
    std::string line;
    for (int n = 1; std::getline(*src, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t p = 0;
        skip_spaces(line, p);
        if (p == line.size() || line[p] == '#') continue;
        auto bad = [&](const std::string &why) { throw Failure(what + " line " + std::to_string(n) + ": " + why); };
        if (line[p] == '[') {
            if (line.back() != ']') bad("a key line ends with ']'");
            std::string path;
            if (!unescape(line.substr(p + 1, line.size() - p - 2), path)) bad("a bad %HH escape");
            current = reg_path(path);
            if (current.product.empty()) bad("an empty key path");
            have_key = true;
            ImportItem k;
            k.key = current;
            items.push_back(k);
            continue;
        }
        ImportItem v;
        v.key = current;
        v.is_value = true;
        if (!quoted(line, p, v.name)) bad("a value line starts with its quoted name");
        if (!have_key) bad("a value before the first [key] line");
        skip_spaces(line, p);
        if (p >= line.size() || line[p] != '=') bad("'=' expected after the name");
        ++p;
        skip_spaces(line, p);
        if (line.compare(p, 4, "int ") == 0) {
            p += 4;
            skip_spaces(line, p);
            std::string num = line.substr(p);
            while (!num.empty() && (num.back() == ' ' || num.back() == '\t')) num.pop_back();
            char *end = nullptr;
            errno = 0;
            long long x = std::strtoll(num.c_str(), &end, 10);
            if (num.empty() || *end != '\0' || errno != 0 || x < INT32_MIN || x > INT32_MAX)
                bad("not a 32-bit integer: " + num);
            v.is_int = true;
            v.number = int32_t(x);
        } else if (line.compare(p, 7, "string ") == 0) {
            p += 7;
            skip_spaces(line, p);
            if (!quoted(line, p, v.text)) bad("a string value is quoted");
            skip_spaces(line, p);
            if (p != line.size()) bad("text after the string's closing quote");
            if (v.text.empty() || v.text.size() >= size_t(kRegBuffer - 1))
                bad("a string value has 1 to 258 bytes");
        } else {
            bad("the type is int or string");
        }
        if (v.name.empty() || v.name.size() >= size_t(kRegBuffer)) bad("a value name has 1 to 259 bytes");
        items.push_back(v);
    }
    if (in.bad()) throw Failure(what + ": " + std::strerror(errno));
    size_t keys = 0, vals = 0;
    std::unique_ptr<RegKey> open;
    for (const ImportItem &it : items) {
        if (!it.is_value) {
            open = std::make_unique<RegKey>(it.key, X_REG_ALL);
            ++keys;
            continue;
        }
        bool ok = it.is_int ? XWriteRegInt(open->get(), it.name.c_str(), it.number) != 0
                            : XWriteRegStr(open->get(), it.name.c_str(), it.text.c_str(), int32_t(it.text.size())) != 0;
        if (!ok) throw Failure(reg_object(it.key) + " value " + it.name + ": " + last_error());
        ++vals;
    }
    print_result(Json::object({{"keys", uint64_t(keys)}, {"values", uint64_t(vals)}}),
                 "imported " + std::to_string(keys) + " key(s) and " + std::to_string(vals) + " value(s)");
}

void add_reg(CLI::App &app) {
    auto *reg = app.add_subcommand("reg", "Read and change the registry (keys below SOFTWARE\\ZAX)");
    reg->require_subcommand(1);
    reg->footer("PATH is PRODUCT[\\KEY...] (slashes work too); without a PATH, ls and export start at the top.");
    static std::string hive = "user";
    reg->add_option("--hive", hive, "The hive: user (HKEY_CURRENT_USER) or machine (HKEY_LOCAL_MACHINE)")
        ->check(CLI::IsMember({"user", "machine"}))
        ->capture_default_str();
    reg->fallthrough();
    auto pick = [] {
        g_hive_name = hive;
        g_hive = hive == "machine" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    };
    static std::string path, name, value, file;
    static std::vector<std::string> names;
    static bool as_int = false;

    auto *ls = reg->add_subcommand("ls", "List the sub-keys and values of a key");
    ls->add_option("PATH", path, "The key");
    on_run(ls, [pick] { pick(); run_reg_ls(path); });
    auto *get = reg->add_subcommand("get", "Print a value");
    get->add_option("PATH", path, "The key")->required();
    get->add_option("NAME", name, "The value's name")->required();
    on_run(get, [pick] { pick(); run_reg_get(path, name); });
    auto *set = reg->add_subcommand("set", "Set a value, making the key when missing");
    set->add_option("PATH", path, "The key")->required();
    set->add_option("NAME", name, "The value's name")->required();
    set->add_option("VALUE", value, "The value")->required();
    set->add_flag("--int", as_int, "Store a 32-bit integer instead of a string");
    on_run(set, [pick] { pick(); run_reg_set(path, name, value, as_int); });
    auto *del = reg->add_subcommand("del", "Delete values, or the key with everything below it");
    del->add_option("PATH", path, "The key")->required();
    del->add_option("NAME", names, "Values to delete (none: the key itself)");
    on_run(del, [pick] { pick(); run_reg_del(path, names); });
    auto *exp = reg->add_subcommand("export", "Write a key and everything below it as text");
    exp->add_option("PATH", path, "The key (default: the top)");
    on_run(exp, [pick] { pick(); run_reg_export(path); });
    auto *imp = reg->add_subcommand("import", "Read keys and values written by export");
    imp->add_option("FILE", file, "The text (default: standard input)");
    on_run(imp, [pick] { pick(); run_reg_import(file); });
}

// ---------------------------------------------------------------------------
// parm

namespace pf = zax::parm;

// A parameter file, opened for reading and closed at the end of the scope.
class ParmFile {
public:
    ParmFile(const std::string &path, bool write) : path_(path) {
        size_t slash = path.rfind('/');
        std::string dir = slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        h_ = write ? XOpenParmFileRW(dir.empty() ? nullptr : dir.c_str(), name.c_str())
                   : XOpenParmFile(dir.empty() ? nullptr : dir.c_str(), name.c_str());
        if (h_ == X_FAILED_PTR) throw Failure("parameter file " + path + ": " + last_error());
    }
    ~ParmFile() {
        if (h_ != X_FAILED_PTR) XCloseParmFile(h_);
    }
    ParmFile(const ParmFile &) = delete;
    ParmFile &operator=(const ParmFile &) = delete;
    XHANDLE get() const { return h_; }
    // Closes (rewriting a changed file); Failure when that fails.
    void close() {
        XHANDLE h = h_;
        h_ = X_FAILED_PTR;
        if (!XCloseParmFile(h)) throw Failure("parameter file " + path_ + ": " + last_error());
    }

private:
    std::string path_;
    XHANDLE h_;
};

// The file's lines as the library reads them: pieces of at most 1024 bytes,
// each with its kind and the number of the line it is on.
struct ParmLine {
    int number;
    std::string text;
    int32_t kind;
};

std::vector<ParmLine> parm_lines(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("parameter file " + path + ": " + std::strerror(errno));
    std::vector<ParmLine> out;
    std::string line;
    int32_t prev = pf::kHeader;
    for (int n = 1; std::getline(in, line); ++n) {
        line += '\n';
        for (size_t at = 0; at < line.size(); at += 1024) {
            ParmLine l{n, line.substr(at, 1024), 0};
            l.kind = pf::classify(l.text.c_str(), prev);
            prev = l.kind;
            out.push_back(l);
        }
    }
    return out;
}

std::string word_of(const std::string &text) {
    const char *p = pf::skip_blanks(text.c_str());
    return std::string(p, size_t(pf::skip_word(p) - p));
}

struct ParmEntry {
    std::string key, value;
};

std::vector<ParmEntry> parm_entries(ParmFile &f, const std::string &path, const std::string &section) {
    std::vector<ParmEntry> out;
    for (int32_t i = 0;; ++i) {
        std::string key(256, '\0'), value(4096, '\0');
        for (;;) {
            int32_t ks = int32_t(key.size()), vs = int32_t(value.size());
            int32_t r = XListParmEntry(f.get(), i, section.c_str(), key.data(), &ks, value.data(), &vs);
            if (r == -4) return out;
            if (r == -5) {
                if (XGetLastError(nullptr) == X_E_XListParmEntry_NO_SECTION)
                    throw Failure("parameter file " + path + ": no section " + section);
                throw Failure("parameter file " + path + " section " + section + ": " + last_error());
            }
            if (r == 0) {
                out.push_back({key.substr(0, size_t(ks)), value.substr(0, size_t(vs))});
                break;
            }
            key.resize(size_t(ks) + 1);  // cut: again with room for all of it
            value.resize(size_t(vs) + 1);
        }
    }
}

void run_parm_ls(const std::string &path, const std::string &section) {
    if (section.empty()) {
        ParmFile check(path, false);  // the library's errors for a missing or unreadable file
        std::vector<std::string> sections;
        std::set<std::string> seen;
        for (const ParmLine &l : parm_lines(path))
            if (l.kind == pf::kHeader && seen.insert(word_of(l.text)).second) sections.push_back(word_of(l.text));
        if (g_options.json) {
            Json a = Json::array();
            for (const std::string &s : sections) a.push(s);
            print_json(a);
        } else {
            for (const std::string &s : sections) std::cout << s << "\n";
        }
        return;
    }
    ParmFile f(path, false);
    std::vector<ParmEntry> entries = parm_entries(f, path, section);
    if (g_options.json) {
        Json a = Json::array();
        for (const ParmEntry &e : entries) {
            Json &x = a.push(Json::object());
            x.set("key", e.key);
            x.set("value", e.value);
        }
        print_json(a);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const ParmEntry &e : entries) rows.push_back({e.key, "=", e.value});
    print_table(rows);
}

std::string read_value(ParmFile &f, const std::string &path, const std::string &section, const std::string &key) {
    std::string value(1024, '\0');
    for (;;) {
        int32_t n = XReadParmStr(f.get(), section.c_str(), key.c_str(), value.data(), int32_t(value.size()));
        if (n == 0) {
            uint32_t code = XGetLastError(nullptr);
            if (code == X_E_XReadParmStr_NO_SECTION) throw Failure("parameter file " + path + ": no section " + section);
            if (code == X_E_XReadParmStr_NO_KEY)
                throw Failure("parameter file " + path + " section " + section + ": no key " + key);
            throw Failure("parameter file " + path + " " + section + "/" + key + ": " + last_error());
        }
        if (size_t(n) <= value.size()) return value.substr(0, size_t(n));
        value.resize(size_t(n));
    }
}

void run_parm_get(const std::string &path, const std::string &section, const std::string &key) {
    ParmFile f(path, false);
    std::string v = read_value(f, path, section, key);
    print_result(Json::object({{"section", section}, {"key", key}, {"value", v}}), v);
}

void write_value(ParmFile &f, const std::string &path, const std::string &section, const std::string &key,
                 const std::string &text) {
    if (!XWriteParmStr(f.get(), section.c_str(), key.c_str(), text.c_str(), int32_t(text.size())))
        throw Failure("parameter file " + path + " " + section + "/" + key + ": " + last_error());
}

void run_parm_set(const std::string &path, const std::string &section, const std::string &key,
                  const std::string &value) {
    // A value with blanks is written between quotes, so that it reads back
    // whole; the writer adds none and there is no escape for a quote.
    const bool blanks = value.find_first_of(" \t") != std::string::npos;
    if (blanks && value.find('"') != std::string::npos)
        throw Failure("parameter file " + path + " " + section + "/" + key +
                      ": a value with both blanks and double quotes cannot be written");
    const std::string text = blanks ? "\"" + value + "\"" : value;
    // Tried first on a copy: a long value is cut over several lines, and a
    // blank where it is cut would be lost. The file itself changes only when
    // the value reads back the same.
    std::string scratch = "/tmp/zaxx-parm-" + std::to_string(getpid());
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
        if (in) out << in.rdbuf();
    }
    std::string back;
    try {
        ParmFile copy(scratch, true);
        write_value(copy, scratch, section, key, text);
        back = read_value(copy, scratch, section, key);
    } catch (const Failure &) {
        unlink(scratch.c_str());
        throw Failure("parameter file " + path + " " + section + "/" + key + ": " + last_error());
    }
    unlink(scratch.c_str());
    if (back != value)
        throw Failure("parameter file " + path + " " + section + "/" + key + ": the value would read back as \"" +
                      back + "\" (a blank falls where the long value is cut over lines)");
    ParmFile f(path, true);
    write_value(f, path, section, key, text);
    f.close();
}

// Lines a person probably meant differently.
struct Finding {
    int line;
    std::string kind, message;
};

void run_parm_check(const std::string &path) {
    ParmFile f(path, false);
    std::vector<ParmLine> lines = parm_lines(path);
    std::vector<Finding> found;
    std::string section;
    bool in_section = false;
    std::set<std::string> sections, keys;
    for (size_t i = 0; i < lines.size(); ++i) {
        const ParmLine &l = lines[i];
        const std::string word = word_of(l.text);
        if (l.kind == pf::kHeader) {
            const char *colon = std::strchr(l.text.c_str(), ':');
            std::string after = colon ? colon + 1 : "";
            while (!after.empty() && std::isspace((unsigned char)after.back())) after.pop_back();
            size_t lead = after.find_first_not_of(" \t");
            if (word.empty()) {
                found.push_back({l.number, "header", "a line starting with ':' reads as the header of a section without a name"});
            } else if (lead != std::string::npos) {
                found.push_back({l.number, "header",
                                 "reads as the header of section " + word + "; the text after ':' is ignored"});
            }
            if (!sections.insert(word).second)
                found.push_back({l.number, "duplicate", "section " + word + " again: only its first header is read"});
            section = word;
            in_section = true;
            keys.clear();
            continue;
        }
        if (l.kind == pf::kContinuation) {
            // Only a line that ends in the mark '@' goes on in the next one.
            std::string before = i > 0 ? lines[i - 1].text : "";
            while (!before.empty() && std::isspace((unsigned char)before.back())) before.pop_back();
            if (before.empty() || before.back() != '@')
                found.push_back({l.number, "continuation",
                                 "a continuation line ('=' ...) that no '@' asks for: it is ignored"});
            continue;
        }
        if (l.kind != pf::kEntry) continue;
        if (word.empty()) {
            found.push_back({l.number, "continuation",
                             "a line starting with '=' follows no entry: it reads as an entry without a key"});
            continue;
        }
        if (!in_section) {
            found.push_back({l.number, "orphan", "entry " + word + " comes before the first section: it cannot be read"});
            continue;
        }
        if (!keys.insert(word).second) {
            found.push_back({l.number, "duplicate", "key " + word + " again in section " + section + ": only the first is read"});
            continue;
        }
        // The value as the library reads it, against the line's text.
        std::string value(1024, '\0');
        int32_t n = XReadParmStr(f.get(), section.c_str(), word.c_str(), value.data(), int32_t(value.size()));
        uint32_t code = n == 0 ? XGetLastError(nullptr) : 0;
        if (code == X_E_XReadParmStr_NO_CONTINUATION) {
            found.push_back({l.number, "continuation",
                             "key " + word + " ends in '@' but no continuation line ('=' ...) follows"});
            continue;
        }
        if (code == X_E_XReadParmStr_NO_VALUE) {
            found.push_back({l.number, "value", "key " + word + " has no value"});
            continue;
        }
        const char *eq = std::strchr(l.text.c_str(), '=');
        const char *p = pf::skip_blanks(eq + 1);
        if (*p == '"') continue;
        const char *w = p;
        while (*w != '\0' && !pf::is_blank(*w) && *w != '\r' && *w != '\n') ++w;
        const char *rest = pf::skip_blanks(w);
        if (std::isalnum((unsigned char)*rest))
            found.push_back({l.number, "unquoted",
                             "the value of " + word + " is " + std::string(p, size_t(w - p)) +
                                 "; what follows the blank is ignored (quote a value with blanks)"});
    }
    if (g_options.json) {
        Json j = Json::object();
        j.set("file", path);
        Json &a = j.set("findings", Json::array());
        for (const Finding &x : found) {
            Json &o = a.push(Json::object());
            o.set("line", x.line);
            o.set("kind", x.kind);
            o.set("message", x.message);
        }
        print_json(j);
    } else {
        for (const Finding &x : found) std::cout << path << ":" << x.line << ": " << x.message << "\n";
    }
    if (!found.empty()) throw Failure("parameter file " + path + ": " + std::to_string(found.size()) + " line(s) to look at");
}

void add_parm(CLI::App &app) {
    auto *parm = app.add_subcommand("parm", "Read, change and check parameter files");
    parm->require_subcommand(1);
    static std::string file, section, key, value;
    auto *ls = parm->add_subcommand("ls", "List the sections of a file, or the entries of a section");
    ls->add_option("FILE", file, "The parameter file")->required();
    ls->add_option("SECTION", section, "The section");
    on_run(ls, [] { run_parm_ls(file, section); });
    auto *get = parm->add_subcommand("get", "Print the value of an entry");
    get->add_option("FILE", file, "The parameter file")->required();
    get->add_option("SECTION", section, "The section")->required();
    get->add_option("KEY", key, "The key")->required();
    on_run(get, [] { run_parm_get(file, section, key); });
    auto *set = parm->add_subcommand("set", "Set the value of an entry (the file is made when missing)");
    set->add_option("FILE", file, "The parameter file")->required();
    set->add_option("SECTION", section, "The section")->required();
    set->add_option("KEY", key, "The key")->required();
    set->add_option("VALUE", value, "The value")->required();
    on_run(set, [] { run_parm_set(file, section, key, value); });
    auto *check = parm->add_subcommand("check", "Point at lines that are probably meant differently");
    check->add_option("FILE", file, "The parameter file")->required();
    check->footer("Finds unquoted values with a blank in them, headers that are really free text, "
                  "continuation marks without a continuation line, entries outside any section, and "
                  "sections and keys given twice. Exit status 1 when it finds any.");
    on_run(check, [] { run_parm_check(file); });
}

}  // namespace

void add_store_commands(CLI::App &app) {
    add_reg(app);
    add_parm(app);
}

}  // namespace zaxx
