// The vector table of the initiator service, kept in a file of the run-time
// directory so that a restarted service knows every key that was live.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "OMIKINIT/omikproto.h"

namespace zax::omik {

// File of the table in the run-time directory, and the name it is written
// under before it replaces the file.
constexpr const char *kTableName = "ZAX_OMIKINIT.table";
constexpr const char *kTableTempName = "ZAX_OMIKINIT.table.new";
// A table file that cannot be read is kept under this name for a person to
// look at, and the service starts with an empty table.
constexpr const char *kTableBadName = "ZAX_OMIKINIT.table.bad";
// More entries are refused (each change rewrites the whole file).
constexpr size_t kMaxEntries = 65536;

struct Entry {
    uint32_t first = 0, second = 0;
    uint32_t uid = 0;  // who registered it
};

// Reads the table file at path without changing anything, as onlookers do.
// 0 with the entries; EBADMSG when the file is not a whole table; or the
// errno of the open or read (ENOENT: no table yet).
int read_table_file(const std::string &path, std::map<std::string, Entry> &out);

class VectorTable {
public:
    // dir: the run-time directory.
    explicit VectorTable(std::string dir);

    // Reads the file. A missing file is an empty table. A file that is not a
    // table of this service is put aside (kTableBadName) and reported in
    // note; the table then starts empty. Returns 0, or an errno when the file
    // can be neither read nor put aside (the service must not start then: it
    // could not keep its table).
    int load(std::string &note);

    // Answers one request from a client with user id uid, in place. A change
    // is in the file before the request succeeds: when the file cannot be
    // written, the table stays as it was and the status says so.
    // may_change(registrar_uid) tells whether this client may overwrite or
    // remove an entry registered by that user.
    uint16_t handle(Message &m, uint32_t uid, const std::function<bool(uint32_t)> &may_change);

    // Removes the entries of these names (those of segments that are gone),
    // in one save. Returns how many went, or -1 when the file cannot be
    // written (the table then stays as it was).
    long forget(const std::vector<std::string> &names);

    size_t size() const { return entries_.size(); }
    // The errno of the last failed save (for the log), 0 after a good one.
    int last_save_error() const { return save_error_; }

private:
    int save();
    std::string dir_;
    std::map<std::string, Entry> entries_;
    int save_error_ = 0;
};

}  // namespace zax::omik
