// The zaxx command: what its subcommands share.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../code_table.h"

namespace CLI {
class App;
}

namespace zaxx {

// Options of every subcommand.
struct Options {
    std::string rundir;  // --rundir, empty when not given
    bool json = false;   // --json
};
extern Options g_options;

// A failure that ends the command: one line "zaxx: MESSAGE", exit status 1.
// The message names the object and says what is wrong with it.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A use of the command that makes no sense (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Registers what a (leaf) subcommand does; it runs once the whole command
// line has been read.
void on_run(CLI::App *command, std::function<void()> action);

// The subcommands of each area.
void add_err_commands(CLI::App &app);
void add_object_commands(CLI::App &app);
void add_store_commands(CLI::App &app);
void add_data_commands(CLI::App &app);
void add_system_commands(CLI::App &app);

// ---------------------------------------------------------------------------
// Error codes

// The table of error codes (SRC/xcodes.def).
using CodeFunction = zaxcodes::Function;
using CodeReason = zaxcodes::Reason;
const CodeFunction *find_function(uint32_t fn_code);
const CodeReason *find_reason(uint32_t fn_code, uint32_t reason);

// What a recorded error means: "XOpenFile: the file cannot be opened; detail
// ENOENT (No such file or directory)". kind 0 takes the reason's own kind.
std::string describe_error(uint32_t code, uint32_t detail, uint32_t kind, bool with_detail = true);
// The calling thread's last error, described.
std::string last_error();

// ---------------------------------------------------------------------------
// The run-time directory and the initiator service

// The run-time directory to look into: --rundir, $ZAXXLIB_RUNDIR, or the
// library's default. Never made by zaxx.
std::string run_dir();
// run_dir(), which must exist and be a directory (Failure otherwise).
std::string existing_run_dir();

struct Initiator {
    bool running = false;
    uint32_t pid = 0;       // 0 when not known
    int64_t entries = -1;   // vector-table entries, -1 when the service does not say
    std::string why;        // why it is not running
};
// Asks the service of the run-time directory, waiting at most about two
// seconds; never starts one.
Initiator probe_initiator();
// Fails (exit 1) unless the service runs: the vector-table functions would
// otherwise retry for about ten seconds.
void require_initiator();

// ---------------------------------------------------------------------------
// Parsing arguments (a bad one is a usage error)

// A 32-bit number: decimal, or hexadecimal with 0x.
uint32_t parse_u32(const std::string &text, const char *what);
int64_t parse_i64(const std::string &text, const char *what);
// A key: hexadecimal (with or without 0x), or kind/code/group/number as
// XMakeKey takes them ("2/01/0/3").
uint32_t parse_key(const std::string &text);
// A key as text: "0x20101003".
std::string key_text(uint32_t key);
// Bytes as hexadecimal digits, two a byte: "C1F2".
std::string hex_bytes(const void *data, size_t n);
// A key taken apart as XMakeKey builds it: "kind 2, code 01, group 1, number 3",
// or "" when it is no such key.
std::string key_parts(uint32_t key);

// ---------------------------------------------------------------------------
// Output

// A JSON value, built in order and printed with two-space indentation.
class Json {
public:
    Json() = default;  // null
    Json(bool b) : type_(kBool), b_(b) {}
    Json(int v) : type_(kInt), i_(v) {}
    Json(int64_t v) : type_(kInt), i_(v) {}
    Json(uint32_t v) : type_(kInt), i_(v) {}
    Json(uint64_t v) : type_(kInt), i_(int64_t(v)) {}
    Json(const char *s) : type_(kString), s_(s) {}
    Json(std::string s) : type_(kString), s_(std::move(s)) {}
    static Json object() { return Json(kObject); }
    // An object of the members given, in their order.
    static Json object(std::initializer_list<std::pair<std::string, Json>> members);
    static Json array() { return Json(kArray); }
    // Object member (appended; keys are not checked for repeats).
    Json &set(const std::string &key, Json v);
    // Array element.
    Json &push(Json v);
    std::string dump() const;

private:
    enum Type { kNull, kBool, kInt, kString, kArray, kObject };
    explicit Json(Type t) : type_(t) {}
    void dump_to(std::string &out, int indent) const;
    Type type_ = kNull;
    bool b_ = false;
    int64_t i_ = 0;
    std::string s_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> elements_;
};

// Prints rows as aligned columns (the first row is the heading).
void print_table(const std::vector<std::vector<std::string>> &rows);
// Prints the value (a JSON document ends in a line feed).
void print_json(const Json &j);
// Prints j with --json, otherwise the line.
void print_result(const Json &j, const std::string &line);
// A string as JSON would quote it.
std::string json_quote(const std::string &s);

}  // namespace zaxx
