// zaxx status, ls, gc, list and vector: the named objects of a run-time
// directory. Looking never takes a lock or maps an object; clearing a list
// and the vector table go through the library.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "OMIKINIT/omikinit/table.h"
#include "objects.h"
#include "os/names.h"
#include "xlist.h"
#include "xmemg.h"
#include "zaxx.h"
#include "zaxxlib.h"
#include "zaxxlib_codes.h"

namespace zaxx {
namespace {

std::string plural(size_t n, const std::string &word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string segment_name(uint32_t key) {
    char name[16];
    std::snprintf(name, sizeof name, zax::os::names::kSegment, key);
    return name;
}

// What an object holds, in a few words.
std::string contents(const Object &o) {
    char buf[160];
    switch (o.kind) {
        case Kind::Lock:
            if (!o.valid) return "-";
            if (o.holder_tid == 0) return o.holder_died ? "free (last holder died)" : "free";
            if (o.holder_pid == 0) return "held by thread " + std::to_string(o.holder_tid) + " (gone)";
            return "held by thread " + std::to_string(o.holder_tid) + " of process " + std::to_string(o.holder_pid);
        case Kind::Event: return "-";
        case Kind::Segment:
            if (!o.valid) return "-";
            std::snprintf(buf, sizeof buf, "%u bytes, tags 0x%02X 0x%02X", o.size, o.tag1, o.tag2);
            return buf;
        case Kind::List:
            std::snprintf(buf, sizeof buf, "%u elements, %u of %u bytes, %u attached", o.count, o.used,
                          o.capacity, o.attach);
            return buf;
        case Kind::Pipe:
            return "process " + std::to_string(o.pid) + (o.pid_alive ? " (alive)" : " (gone)");
        case Kind::Record:
            return o.file_size == 0 ? "empty" : std::to_string(o.file_size) + " bytes of a load to finish";
    }
    return "-";
}

Json pid_array(const std::vector<pid_t> &pids) {
    Json a = Json::array();
    for (pid_t p : pids) a.push(int64_t(p));
    return a;
}

Json object_json(const Object &o) {
    Json j = Json::object();
    j.set("kind", kind_name(o.kind));
    j.set("name", o.name);
    j.set("key", o.keyed ? Json(key_text(o.key)) : Json());
    std::string parts = o.keyed ? key_parts(o.key) : "";
    j.set("key_parts", parts.empty() ? Json() : Json(parts));
    j.set("stale", o.stale);
    j.set("why", o.why);
    j.set("users", pid_array(o.users));
    j.set("unknown_users", pid_array(o.unknown_users));
    j.set("hidden_users", o.hidden_users);
    j.set("owner_uid", uint32_t(o.uid));
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(o.mode));
    j.set("mode", mode);
    switch (o.kind) {
        case Kind::Lock:
            j.set("valid", o.valid);
            j.set("holder_tid", o.holder_tid);
            j.set("holder_pid", int64_t(o.holder_pid));
            j.set("holder_died", o.holder_died);
            break;
        case Kind::Event: break;
        case Kind::Segment:
            j.set("valid", o.valid);
            j.set("size", o.size);
            j.set("tag1", uint32_t(o.tag1));
            j.set("tag2", uint32_t(o.tag2));
            break;
        case Kind::List:
            j.set("size", o.size);
            j.set("capacity", o.capacity);
            j.set("used", o.used);
            j.set("count", o.count);
            j.set("attach", o.attach);
            j.set("tag", o.tag);
            break;
        case Kind::Pipe:
            j.set("pid", int64_t(o.pid));
            j.set("alive", o.pid_alive);
            break;
        case Kind::Record:
            j.set("size", o.file_size);
            break;
    }
    return j;
}

std::vector<Object> scan_or_fail(const std::string &dir) {
    std::vector<Object> objects;
    std::string why;
    if (scan(dir, objects, why) != 0) throw Failure(why);
    return objects;
}

// ---------------------------------------------------------------------------
// status, ls, gc

void run_status() {
    const std::string dir = existing_run_dir();
    std::vector<Object> objects = scan_or_fail(dir);
    Initiator init = probe_initiator();
    std::map<Kind, size_t> counts;
    std::vector<const Object *> stale;
    for (const Object &o : objects) {
        ++counts[o.kind];
        if (o.stale) stale.push_back(&o);
    }
    const Kind kinds[] = {Kind::Lock, Kind::Event, Kind::Segment, Kind::List, Kind::Pipe, Kind::Record};
    if (g_options.json) {
        Json j = Json::object();
        j.set("rundir", dir);
        Json &i = j.set("initiator", Json::object());
        i.set("running", init.running);
        i.set("pid", init.pid != 0 ? Json(init.pid) : Json());
        i.set("entries", init.entries >= 0 ? Json(init.entries) : Json());
        if (!init.running) i.set("why", init.why);
        Json &c = j.set("counts", Json::object());
        for (Kind k : kinds) c.set(std::string(kind_name(k)) + "s", uint64_t(counts[k]));
        Json &s = j.set("stale", Json::array());
        for (const Object *o : stale) s.push(object_json(*o));
        print_json(j);
        return;
    }
    std::string service;
    if (init.running) {
        service = "running";
        if (init.pid != 0) service += ", pid " + std::to_string(init.pid);
        if (init.entries >= 0)
            service += ", " + std::to_string(init.entries) +
                       (init.entries == 1 ? " vector-table entry" : " vector-table entries");
    } else {
        service = init.why;
    }
    std::string objs;
    for (Kind k : kinds) objs += (objs.empty() ? "" : ", ") + plural(counts[k], kind_name(k));
    print_table({{"run-time directory", dir},
                 {"initiator", service},
                 {"objects", objs},
                 {"stale", stale.empty() ? "none" : std::to_string(stale.size()) + " (zaxx gc removes them)"}});
    if (!stale.empty()) {
        std::vector<std::vector<std::string>> rows;
        for (const Object *o : stale) rows.push_back({"  " + std::string(kind_name(o->kind)), o->name, o->why});
        print_table(rows);
    }
}

void run_ls(const std::string &which) {
    const std::string dir = existing_run_dir();
    std::vector<Object> objects = scan_or_fail(dir);
    std::vector<const Object *> shown;
    for (const Object &o : objects)
        if (which.empty() || which == std::string(kind_name(o.kind)) + "s") shown.push_back(&o);
    if (g_options.json) {
        Json a = Json::array();
        for (const Object *o : shown) a.push(object_json(*o));
        print_json(a);
        return;
    }
    if (shown.empty()) {
        std::cout << "no " << (which.empty() ? "objects" : which) << " in " << dir << "\n";
        return;
    }
    std::vector<std::vector<std::string>> rows{{"KIND", "NAME", "KEY", "PARTS", "STATE", "HOLDS", "USE"}};
    for (const Object *o : shown) {
        std::string parts = o->keyed ? key_parts(o->key) : "";
        rows.push_back({kind_name(o->kind), o->name, o->keyed ? key_text(o->key) : "-",
                        parts.empty() ? "-" : parts, o->stale ? "stale" : "live", contents(*o), o->why});
    }
    print_table(rows);
}

void run_gc(bool dry_run) {
    const std::string dir = existing_run_dir();
    std::vector<Object> removed;
    std::string why;
    int err = sweep(dir, dry_run, removed, why);
    // A removed segment's vector-table entry goes too, so that its key can be
    // allocated again.
    std::vector<std::string> reset, kept;
    bool any_segment = false;
    for (const Object &o : removed) any_segment |= o.kind == Kind::Segment || o.kind == Kind::List;
    const bool service = any_segment && !dry_run && probe_initiator().running;
    for (const Object &o : removed) {
        if (dry_run || (o.kind != Kind::Segment && o.kind != Kind::List)) continue;
        const std::string name = segment_name(o.key);
        if (!service) {
            kept.push_back(name);
        } else if (XResetVectorTable(name.c_str())) {
            reset.push_back(name);
        } else if (XGetLastError(nullptr) != X_E_XResetVectorTable_REFUSED) {
            kept.push_back(name);  // (refused: the entry was gone already)
        }
    }
    if (g_options.json) {
        Json j = Json::object();
        j.set("rundir", dir);
        j.set("dry_run", dry_run);
        Json &a = j.set("removed", Json::array());
        for (const Object &o : removed) a.push(object_json(o));
        Json &r = j.set("vector_entries_reset", Json::array());
        for (const std::string &n : reset) r.push(n);
        Json &k = j.set("vector_entries_kept", Json::array());
        for (const std::string &n : kept) k.push(n);
        print_json(j);
    } else {
        if (removed.empty() && err == 0) std::cout << "nothing to remove in " << dir << "\n";
        for (const Object &o : removed)
            std::cout << (dry_run ? "would remove " : "removed ") << kind_name(o.kind) << " " << o.name
                      << ": " << o.why << "\n";
        for (const std::string &n : reset) std::cout << "reset vector-table entry " << n << "\n";
        for (const std::string &n : kept)
            std::cout << "kept vector-table entry " << n << ": the initiator service "
                      << (service ? "refused" : "is not running") << "\n";
    }
    if (err != 0) throw Failure(why);
}

// ---------------------------------------------------------------------------
// list show, clear, dump

struct Element {
    uint32_t position;
    std::string data;
};

// Prints elements as the library's dump lines (offset, hex, characters).
void print_elements(const std::string &title, Json header, const std::vector<Element> &elements) {
    if (g_options.json) {
        Json &a = header.set("elements", Json::array());
        for (const Element &e : elements) {
            Json &x = a.push(Json::object());
            x.set("position", e.position);
            x.set("size", uint64_t(e.data.size()));
            x.set("hex", hex_bytes(e.data.data(), e.data.size()));
        }
        print_json(header);
        return;
    }
    std::cout << title << "\n";
    for (const Element &e : elements) {
        std::cout << "element " << e.position << ", " << plural(e.data.size(), "byte") << "\n";
        char line[160];
        for (int32_t offset = 0; offset < int32_t(e.data.size());) {
            X_make_dump_image(e.data.data(), int32_t(e.data.size()), &offset, line);
            std::cout << "  " << line << "\n";
        }
    }
}

// The whole file of a segment, read (never mapped); Failure when there is none.
std::string read_segment(const std::string &dir, uint32_t key, const char *what) {
    const std::string path = dir + "/" + segment_name(key);
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        throw Failure(std::string(what) + " " + key_text(key) + ": " +
                      (err == ENOENT ? "no such " + std::string(what) + " in " + dir : std::strerror(err)));
    }
    std::string bytes;
    if (S_ISREG(st.st_mode)) {
        bytes.resize(size_t(st.st_size));
        size_t got = 0;
        while (got < bytes.size()) {
            ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, off_t(got));
            if (n <= 0) break;
            got += size_t(n);
        }
        bytes.resize(got);
    }
    close(fd);
    return bytes;
}

// The region of a global list, checked; Failure when key names none.
std::string read_list(const std::string &dir, uint32_t key) {
    std::string bytes = read_segment(dir, key, "list");
    const size_t head = sizeof(zax::ShmHeader);
    if (bytes.size() < head || std::memcmp(bytes.data(), "KELM", 4) != 0)
        throw Failure("list " + key_text(key) + ": the segment has no segment header");
    if (!list_region_sound(bytes.data() + head, bytes.size() - head))
        throw Failure("list " + key_text(key) + ": the segment holds no global list");
    return bytes.substr(head);
}

void run_list_show(uint32_t key, uint32_t from, int64_t count) {
    const std::string dir = existing_run_dir();
    if (from == 0) throw UsageError("--from counts from 1");
    // Read without the list's lock: a list that changes while it is read is
    // read again.
    for (int attempt = 0;; ++attempt) {
        std::string region = read_list(dir, key);
        auto *r = reinterpret_cast<zax::GlobalRegion *>(region.data());
        std::vector<Element> elements;
        const uint32_t n = r->h.count;
        bool sound = true;
        zax::GlobalElem *e = from <= n ? zax::find_element<zax::GlobalKind>(r, from - 1) : nullptr;
        for (uint32_t i = from; i <= n && (count < 0 || int64_t(i - from) < count); ++i) {
            if (e == nullptr || zax::GlobalKind::readable(r, e) < e->size) {
                sound = false;
                break;
            }
            elements.push_back({i, std::string(reinterpret_cast<char *>(zax::data_of<zax::GlobalKind>(e)), e->size)});
            e = zax::GlobalKind::at(r, e->next);
        }
        if (!sound) {
            if (attempt < 3) {
                usleep(20000);
                continue;
            }
            throw Failure("list " + key_text(key) + ": its chain of elements is broken (damaged, or changing too fast to be read)");
        }
        Json j = Json::object({{"key", key_text(key)},
                               {"capacity", r->h.capacity},
                               {"used", r->h.used},
                               {"count", n},
                               {"attach", r->h.attach},
                               {"tag", r->h.tag}});
        char title[160];
        std::snprintf(title, sizeof title, "list %s: %s, %u of %u bytes used, %u attached",
                      key_text(key).c_str(), plural(n, "element").c_str(), r->h.used, r->h.capacity, r->h.attach);
        print_elements(title, j, elements);
        return;
    }
}

void run_list_clear(uint32_t key) {
    const std::string dir = existing_run_dir();
    std::string region = read_list(dir, key);
    const auto *h = reinterpret_cast<const zax::RegionHeader *>(region.data());
    XHANDLE list = XCreateGlobalList(h->capacity, key, h->tag);
    if (list == nullptr) throw Failure("list " + key_text(key) + ": " + last_error());
    constexpr int32_t kWaitMs = 5000;  // for a holder of the list's lock
    int32_t n = XGetGlobalListNumT(list, kWaitMs);
    int32_t removed = 0;
    std::string failure;
    if (n == -2) failure = "its lock stayed held by another process";
    else if (n < 0) failure = last_error();
    while (failure.empty() && removed < n) {
        int32_t r = XRemoveGlobalListT(list, nullptr, 0, 0, kWaitMs);
        if (r == 1) ++removed;
        else if (r == -2) failure = "its lock stayed held by another process";
        else if (XGetLastError(nullptr) == X_E_XRemoveListT_BAD_POSITION) break;  // emptied meanwhile
        else failure = last_error();
    }
    if (!XDestroyGlobalList(list) && failure.empty()) failure = last_error();
    print_result(Json::object({{"key", key_text(key)}, {"removed", int64_t(removed)}}),
                 "list " + key_text(key) + ": " + plural(size_t(removed), "element") + " removed");
    if (!failure.empty()) throw Failure("list " + key_text(key) + ": " + failure);
}

void run_list_dump(const std::string &file) {
    XHANDLE list = XCreateList(0, -1, 0);
    if (list == nullptr) throw Failure("saved list " + file + ": " + last_error());
    if (!XLoadList(list, file.c_str())) {
        std::string why = last_error();
        XDestroyList(list);
        throw Failure("saved list " + file + ": " + why);
    }
    std::vector<Element> elements;
    const int32_t n = XGetListNum(list);
    uint64_t bytes = 0;
    for (int32_t i = 1; i <= n; ++i) {
        int32_t size = XPeekList(list, nullptr, 0, i);
        std::string data(size_t(size > 0 ? size : 0), '\0');
        if (size > 0) XPeekList(list, data.data(), uint32_t(size), i);
        bytes += data.size();
        elements.push_back({uint32_t(i), std::move(data)});
    }
    XDestroyList(list);
    Json j = Json::object();
    j.set("file", file);
    j.set("count", int64_t(n));
    j.set("bytes", bytes);
    print_elements("saved list " + file + ": " + plural(size_t(n), "element") + ", " + plural(bytes, "data byte"),
                   j, elements);
}

// ---------------------------------------------------------------------------
// vector

void print_done(const char *what, const std::string &name) {
    print_result(Json::object({{"name", name}}), what + (" " + name));
}

void check_name(const std::string &name) {
    if (name.empty() || name.size() > 8) throw UsageError("vector-table name " + name + ": 1 to 8 characters");
}

void run_vector_get(const std::string &name) {
    check_name(name);
    require_initiator();
    uint32_t values[2] = {0, 0};
    if (XGetVectorTableEx(name.c_str(), values) == 0) {
        if (XGetLastError(nullptr) == X_E_XGetVectorTableEx_NO_ENTRY)
            throw Failure("vector-table entry " + name + ": no such entry");
        throw Failure("vector-table entry " + name + ": " + last_error());
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s: first 0x%08X (%u), second 0x%08X (%u)", name.c_str(), values[0], values[0],
                  values[1], values[1]);
    print_result(Json::object({{"name", name}, {"first", values[0]}, {"second", values[1]}}), buf);
}

void run_vector_set(const std::string &name, const std::string &first, const std::string &second) {
    check_name(name);
    uint32_t a = parse_u32(first, "first value"), b = parse_u32(second, "second value");
    if (a == 0 || b == 0) throw UsageError("vector-table values must not be 0");
    require_initiator();
    if (!XSetVectorTable(name.c_str(), a, b)) throw Failure("vector-table entry " + name + ": " + last_error());
    print_done("set", name);
}

// Every entry, from the service's table file (each change is in the file
// before the service answers): read only, with or without the service.
void run_vector_ls() {
    const std::string dir = existing_run_dir();
    const std::string file = dir + "/" + zax::omik::kTableName;
    std::map<std::string, zax::omik::Entry> entries;
    if (int err = zax::omik::read_table_file(file, entries); err != 0 && err != ENOENT)
        throw Failure("vector table " + file + ": " +
                      (err == EBADMSG ? std::string("not a whole table") : std::strerror(err)));
    if (g_options.json) {
        Json a = Json::array();
        for (const auto &[name, e] : entries)
            a.push(Json::object({{"name", name}, {"first", e.first}, {"second", e.second}, {"uid", e.uid}}));
        print_json(a);
        return;
    }
    std::vector<std::vector<std::string>> rows{{"NAME", "FIRST", "SECOND", "UID"}};
    for (const auto &[name, e] : entries) {
        char first[16], second[16];
        std::snprintf(first, sizeof first, "0x%08X", e.first);
        std::snprintf(second, sizeof second, "0x%08X", e.second);
        rows.push_back({name, first, second, std::to_string(e.uid)});
    }
    print_table(rows);
}

void run_vector_reset(const std::string &name) {
    check_name(name);
    require_initiator();
    if (!XResetVectorTable(name.c_str())) {
        if (XGetLastError(nullptr) == X_E_XResetVectorTable_REFUSED)
            throw Failure("vector-table entry " + name + ": no such entry");
        throw Failure("vector-table entry " + name + ": " + last_error());
    }
    print_done("reset", name);
}

}  // namespace

void add_object_commands(CLI::App &app) {
    auto *status = app.add_subcommand("status", "Show the initiator service and the objects of the run-time directory");
    on_run(status, [] { run_status(); });

    auto *ls = app.add_subcommand("ls", "List the named objects of the run-time directory");
    static std::string which;
    ls->add_option("KIND", which, "Only this kind")->check(CLI::IsMember({"locks", "events", "segments", "lists", "pipes", "records"}));
    on_run(ls, [] { run_ls(which); });

    auto *gc = app.add_subcommand("gc", "Remove the named objects whose every user is dead");
    static bool dry_run = false;
    gc->add_flag("--dry-run,-n", dry_run, "Only say what would be removed");
    gc->footer("A segment or list that no living process has mapped, a lock that no living process "
               "uses or holds, an event that no living process has open, and an event socket whose "
               "process is gone are removed, with the vector-table entries of removed segments. Run "
               "it as root, or as the objects' owner: processes that cannot be looked into count as "
               "users of every object they could open.");
    on_run(gc, [] { run_gc(dry_run); });

    auto *list = app.add_subcommand("list", "Show, clear or read global lists and saved-list files");
    list->require_subcommand(1);
    auto *show = list->add_subcommand("show", "Show the elements of a global list");
    static std::string key_arg;
    static uint32_t from = 1;
    static int64_t count = -1;
    show->add_option("KEY", key_arg, "The list's key: hexadecimal, or kind/code/group/number")->required();
    show->add_option("--from", from, "First element to show, from 1")->capture_default_str();
    show->add_option("--count", count, "Number of elements to show (default: all)");
    on_run(show, [] { run_list_show(parse_key(key_arg), from, count); });
    auto *clear = list->add_subcommand("clear", "Remove every element of a global list");
    clear->add_option("KEY", key_arg, "The list's key")->required();
    on_run(clear, [] { run_list_clear(parse_key(key_arg)); });
    auto *dump = list->add_subcommand("dump", "Show the elements of a saved-list file");
    static std::string file;
    dump->add_option("FILE", file, "A file written by XSaveList")->required();
    on_run(dump, [] { run_list_dump(file); });

    auto *vector = app.add_subcommand("vector", "Read and change the initiator service's vector table");
    vector->require_subcommand(0, 1);
    vector->footer("Without a subcommand, lists every entry (the uid is the user who registered it).");
    on_run(vector, [] { run_vector_ls(); });
    static std::string name, first, second;
    auto *get = vector->add_subcommand("get", "Show an entry");
    get->add_option("NAME", name, "Entry name (1 to 8 characters)")->required();
    on_run(get, [] { run_vector_get(name); });
    auto *set = vector->add_subcommand("set", "Set an entry to two values (not 0)");
    set->add_option("NAME", name, "Entry name")->required();
    set->add_option("FIRST", first, "First value")->required();
    set->add_option("SECOND", second, "Second value")->required();
    on_run(set, [] { run_vector_set(name, first, second); });
    auto *reset = vector->add_subcommand("reset", "Remove an entry");
    reset->add_option("NAME", name, "Entry name")->required();
    on_run(reset, [] { run_vector_reset(name); });
}

}  // namespace zaxx
