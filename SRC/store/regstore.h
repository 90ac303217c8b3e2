// The registry store: one SQLite database per hive, holding keys (a tree of
// case-insensitive, case-preserving names) and their values (name, type,
// data, in creation order). Every change is one transaction, so a process
// killed in the middle leaves the store as it was before or after.
//
// Functions return 0 or the store's own error number: an errno for the
// conditions of the store itself (listed below) or of the file system, or
// kSqliteBase | the SQLite (extended) result code when the database fails.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zax::reg {

enum class Hive { machine, user };

// Rights of an open key.
constexpr uint32_t kRead = 1;   // query values, enumerate
constexpr uint32_t kWrite = 2;  // set and delete values
constexpr uint32_t kAll = kRead | kWrite;

// Value types as the family's programs know them.
constexpr uint32_t kTypeString = 1;  // REG_SZ
constexpr uint32_t kTypeBinary = 3;  // REG_BINARY
constexpr uint32_t kTypeDword = 4;   // REG_DWORD, 4 bytes little-endian

// A failure reported by SQLite: kSqliteBase | its extended result code, so
// that the low byte of the detail is SQLite's primary code (0x1000B corrupt,
// 0x1001A not a database, 0x10005 busy).
constexpr int kSqliteBase = 0x10000;

// The store's conditions (errno values, so that a Linux user can read them):
//   ENOENT        no such key or value (or no database yet for a read)
//   E2BIG         the value's data is larger than the caller can take
//   EACCES        the key was not opened with the right that the call needs
//   ESTALE        the key was deleted since the handle was opened
//   ENOTEMPTY     a key to delete still has sub-keys
//   ENAMETOOLONG  a key name above kMaxKeyName or a value name above
//                 kMaxValueName bytes
//   ENODATA       no item at that enumeration position (the end; not an error)
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

struct Key;  // an open key; opaque

// The directory that holds the databases, and the database file of a hive:
// $ZAXXLIB_REGISTRY_DIR/{machine,user}.db, else /var/lib/zaxxlib/machine.db
// and $XDG_DATA_HOME/zaxxlib/user.db ($HOME/.local/share/zaxxlib). 0 or errno.
int database_path(Hive hive, std::string &path);

// Opens the key at path (names separated by backslashes; empty names are
// skipped; "" is the hive's root). With create, missing keys on the way are
// made (and the database with them); without, a missing key gives ENOENT and
// nothing is created. rights are kRead, kWrite or kAll.
int open_key(Hive hive, const std::string &path, bool create, uint32_t rights, Key *&out);
// Closes an open key (the caller keeps track of which keys are open): 0.
int close_key(Key *key);

// The value name of key: its type and data. A value with more than limit
// bytes of data gives E2BIG (type and data untouched).
int get_value(Key *key, const char *name, size_t limit, uint32_t &type, std::string &data);
// Sets (creates or overwrites in place) the value name of key.
int set_value(Key *key, const char *name, uint32_t type, const void *data, size_t size);
// Deletes the value name of key.
int delete_value(Key *key, const char *name);

// The name of the sub-key at position index in case-insensitive name order;
// ENODATA past the end.
int sub_key_at(Key *key, uint32_t index, std::string &name);
// The value at position index in creation order; ENODATA past the end.
int value_at(Key *key, uint32_t index, std::string &name, uint32_t &type, std::string &data);

// Deletes the key at path with its values; ENOTEMPTY when it has sub-keys,
// ENOENT when it does not exist. Handles open on it go stale.
int delete_key(Hive hive, const std::string &path);

}  // namespace zax::reg
