// zaxx trace, sysinfo, post and wait: settings, the system description, and
// events between processes tried by hand.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <algorithm>
#include <set>

#include "os/env.h"
#include "zaxx.h"
#include "zaxxlib.h"

namespace zaxx {
namespace {

std::string env_value(const char *name) {
    char buf[4096];
    long n = zax::os::env_get(name, buf, sizeof buf);
    return n >= 0 ? std::string(buf) : std::string();
}

bool env_set(const char *name) {
    char buf[2];
    return zax::os::env_get(name, buf, sizeof buf) >= 0;
}

// ---------------------------------------------------------------------------
// trace

// A string value of the settings file, "" when it has none.
std::string parm_str(XHANDLE f, const char *section, const char *key) {
    char buf[1025] = {};
    int32_t n = XReadParmStr(f, section, key, buf, 1024);
    return n > 0 ? std::string(buf, size_t(n < 1024 ? n : 1024)) : std::string();
}

std::string parm_int(XHANDLE f, const char *section, const char *key) {
    int32_t v = 0;
    return XReadParmInt(f, section, key, &v) ? std::to_string(v) : std::string();
}

void run_trace() {
    const std::string dir = env_value("ZAXXLIB_XSYSTEM");
    const std::string file = (dir.empty() ? "." : dir) + "/XTORASYS";
    Json j = Json::object();
    Json &env = j.set("environment", Json::object());
    for (const char *v : {"ZAXXLIB_XSYSTEM", "ZAXXLIB_ZAXDPUT", "ZAXXLIB_RUNDIR", "ZAXXLIB_EVENT_NUMBER"})
        env.set(v, env_set(v) ? Json(env_value(v)) : Json());
    j.set("settings_file", file);
    XHANDLE f = XOpenParmFile(dir.empty() ? nullptr : dir.c_str(), "XTORASYS");
    if (f == X_FAILED_PTR) {
        std::string why = last_error();
        if (g_options.json) {
            j.set("found", false);
            j.set("why", why);
            print_json(j);
        } else {
            print_table({{"settings file", file + " (" + why + ")"}});
            std::cout << "defaults: lock timeout 1000 ms, termination mode 1, no trace and no dumps\n";
        }
        return;
    }
    j.set("found", true);
    // Load settings, as the library reads them at load.
    std::string timeout = parm_int(f, "TIME", "TIMEOUT"), termmode = parm_int(f, "ESTAE", "TERMMODE");
    j.set("lock_timeout_ms", timeout.empty() ? int64_t(1000) : int64_t(std::stoll(timeout)));
    j.set("termination_mode", termmode == "1" ? 0 : 1);
    // The binding chain as the sections name it.
    std::vector<std::string> sections;
    std::set<std::string> seen;
    for (std::string next = parm_str(f, "XTORASYS", "BINDINGS"); !next.empty() && next != "NONE" &&
                                                                 sections.size() < 255 && seen.insert(next).second;
         next = parm_str(f, next.c_str(), "BINDINGS"))
        sections.push_back(next);
    std::vector<std::pair<std::string, std::string>> bindings;  // section, ID
    for (const std::string &s : sections) bindings.emplace_back(s, parm_str(f, s.c_str(), "ID"));
    XCloseParmFile(f);
    // The effective levels, as a debug record takes them (lines to the debug
    // console: no trace file is made).
    XHANDLE r = XInitDebug("XP_TRACE_DEFAULT", 0);
    std::string record_why = r == nullptr ? last_error() : "";
    auto level = [&](bool dump, const std::string &id) -> Json {
        uint32_t v = 0;
        if (r == nullptr) return Json();
        int32_t ok = dump ? XGetDumpLevel(r, id.c_str(), &v) : XGetTraceLevel(r, id.c_str(), &v);
        return ok ? Json(v) : Json();
    };
    j.set("trace_level", level(false, "XTORASYS"));
    j.set("dump_level", level(true, "XTORASYS"));
    if (r == nullptr) j.set("why", record_why);
    Json &b = j.set("bindings", Json::array());
    for (const auto &[section, id] : bindings)
        b.push(Json::object({{"section", section},
                             {"id", id},
                             {"trace_level", level(false, id)},
                             {"dump_level", level(true, id)}}));
    if (r != nullptr) XTermDebug(r);
    if (g_options.json) {
        print_json(j);
        return;
    }
    auto text = [](const Json &v) {
        std::string s = v.dump();
        return s == "null" ? std::string("-") : s;
    };
    std::vector<std::vector<std::string>> rows{{"settings file", file},
                                               {"lock timeout", (timeout.empty() ? "1000" : timeout) + " ms"},
                                               {"termination mode", termmode == "1" ? "0 (pass on)" : "1 (end the thread)"},
                                               {"trace level", text(level(false, "XTORASYS"))},
                                               {"dump level", text(level(true, "XTORASYS"))}};
    if (r == nullptr) rows.push_back({"debug record", record_why});
    print_table(rows);
    if (!bindings.empty()) {
        std::vector<std::vector<std::string>> t{{"SECTION", "ID", "TRACE", "DUMP"}};
        for (const auto &[section, id] : bindings)
            t.push_back({section, id, text(level(false, id)), text(level(true, id))});
        std::cout << "\n";
        print_table(t);
    }
    std::vector<std::vector<std::string>> e;
    for (const char *v : {"ZAXXLIB_XSYSTEM", "ZAXXLIB_ZAXDPUT", "ZAXXLIB_RUNDIR", "ZAXXLIB_EVENT_NUMBER"})
        if (env_set(v)) e.push_back({v, env_value(v)});
    if (!e.empty()) {
        std::cout << "\n";
        print_table(e);
    }
}

// ---------------------------------------------------------------------------
// sysinfo

void run_sysinfo() {
    // A query that fails (no controlling terminal, say) leaves its fields
    // empty; the rest is shown, with what failed.
    XSystemInfo s{};
    const std::string note = XGetSystemInfo(&s) ? "" : last_error();
    XOsInfo os{};
    int32_t platform = XGetOsInfo(&os);
    auto str = [](const char *p, size_t n) { return std::string(p, strnlen(p, n)); };
    std::vector<std::pair<std::string, Json>> f = {
        {"platform", s.platform},
        {"os_name", s.os_name},
        {"os_version", std::to_string(s.os_major) + "." + std::to_string(s.os_minor) + "." + std::to_string(s.os_level)},
        {"cpu_name", s.cpu_name},
        {"cpu_count", s.cpu_count},
        {"sbcs", uint32_t(s.sbcs)},
        {"mbcs", uint32_t(s.mbcs)},
        {"word_size", uint32_t(s.word_size)},
        {"byte_order", s.byte_order == X_BYTEORDER_BIG ? "big" : s.byte_order == X_BYTEORDER_LITTLE ? "little" : "?"},
        {"x_resolution", s.x_resolution},
        {"y_resolution", s.y_resolution},
        {"colors", s.colors},
        {"machine", str(s.machine, sizeof s.machine)},
        {"location", str(s.location, sizeof s.location)},
        {"user_id", str(s.user_id, sizeof s.user_id)},
        {"jes", str(s.jes, sizeof s.jes)},
        {"job", str(s.job, sizeof s.job)},
        {"step", str(s.step, sizeof s.step)},
        {"os_info_platform", int64_t(platform)},
        {"kernel", std::to_string(os.major) + "." + std::to_string(os.minor) + "." + std::to_string(os.build)},
    };
    if (g_options.json) {
        Json j = Json::object();
        for (auto &[k, v] : f) j.set(k, v);
        j.set("note", note.empty() ? Json() : Json(note));
        print_json(j);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (auto &[k, v] : f) {
        std::string t = v.dump();
        if (t.size() >= 2 && t.front() == '"') t = t.substr(1, t.size() - 2);
        std::replace(k.begin(), k.end(), '_', ' ');
        rows.push_back({k, t});
    }
    if (!note.empty()) rows.push_back({"note", note});
    print_table(rows);
}

// ---------------------------------------------------------------------------
// post and wait

// The large event mode, which receives posts from other processes: an
// event-table size above 64 unless one is set already.
void init_large_mode() {
    char buf[32];
    long n = zax::os::env_get("ZAXXLIB_EVENT_NUMBER", buf, sizeof buf);
    if (n < 0 || std::atoi(buf) <= 64) (void)zax::os::env_set("ZAXXLIB_EVENT_NUMBER", "128");
    if (!X_init_xlib()) throw Failure("initialisation: " + last_error());
}

void run_post(const std::string &pid_text, const std::string &key_text_arg) {
    uint32_t pid = parse_u32(pid_text, "process");
    uint32_t key = parse_key(key_text_arg);
    if (pid == 0 || key == 0) throw UsageError("the process and the key are not 0");
    existing_run_dir();  // the events would make it
    init_large_mode();
    XHANDLE event = nullptr;
    if (!XCreateEvent(&event, key)) throw Failure("event " + key_text(key) + ": " + last_error());
    if (!XGlobalPostEvent(event, 0, pid))
        throw Failure("event " + key_text(key) + " of process " + std::to_string(pid) + ": " + last_error());
    XDestroyEvent(event);
    XTermXlib();
    if (!g_options.json) std::cout << "posted event " << key_text(key) << " to process " << pid << "\n";
}

void run_wait(const std::string &key_text_arg, int64_t timeout) {
    uint32_t key = parse_key(key_text_arg);
    if (key == 0) throw UsageError("the key is not 0");
    existing_run_dir();
    init_large_mode();
    XHANDLE event = nullptr;
    if (!XCreateEvent(&event, key)) throw Failure("event " + key_text(key) + ": " + last_error());
    // Others need the pid to post: said at once, before the wait.
    std::cout << "waiting for event " << key_text(key) << " in process " << getpid() << std::endl;
    int32_t r = XWaitEvent(&event, 1, timeout < 0 ? X_INFINITE : uint32_t(timeout));
    std::string why = r == -1 ? last_error() : "";
    XDestroyEvent(event);
    XTermXlib();
    if (r == -2) throw Failure("event " + key_text(key) + ": not posted within " + std::to_string(timeout) + " ms");
    if (r < 0) throw Failure("event " + key_text(key) + ": " + why);
    std::cout << "posted\n";
}

}  // namespace

void add_system_commands(CLI::App &app) {
    auto *trace = app.add_subcommand("trace", "Show the trace and dump settings and bindings in effect");
    trace->footer("Reads the library settings file XTORASYS in $ZAXXLIB_XSYSTEM (else the current "
                  "directory) as a debug record does; the levels are those the library takes.");
    on_run(trace, [] { run_trace(); });

    auto *sysinfo = app.add_subcommand("sysinfo", "Show the system information record (XGetSystemInfo)");
    on_run(sysinfo, [] { run_sysinfo(); });

    static std::string pid, key;
    static int64_t timeout = -1;
    auto *post = app.add_subcommand("post", "Post an event to a process (as XGlobalPostEvent)");
    post->add_option("PID", pid, "The receiving process")->required();
    post->add_option("KEY", key, "The event's key: hexadecimal, or kind/code/group/number")->required();
    on_run(post, [] { run_post(pid, key); });
    auto *wait = app.add_subcommand("wait", "Wait for an event posted to this process");
    wait->add_option("KEY", key, "The event's key")->required();
    wait->add_option("--timeout", timeout, "Milliseconds to wait (default: without limit)");
    wait->footer("Prints its process identifier, which zaxx post takes; exit status 1 when the time ran out.");
    on_run(wait, [] { run_wait(key, timeout); });
}

}  // namespace zaxx
