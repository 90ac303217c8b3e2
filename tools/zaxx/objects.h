// The named objects of a run-time directory as an onlooker sees them: what
// each file is, what it holds and which processes use it, and the sweep that
// removes the objects whose every user is dead. Nothing here takes a lock or
// maps an object: files are read with pread, processes through /proc.
//
// A small static library of its own (zaxobjects): the zaxx command lists and
// sweeps with it, and the initiator service sweeps with it at start.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zaxx {

// A record is the load record of a global list, which goes with its list.
enum class Kind { Lock, Event, Segment, List, Pipe, Record };

// "lock", "event", "segment", "list", "pipe", "record".
const char *kind_name(Kind k);

struct Object {
    Kind kind;
    std::string name;        // the file's name in the directory
    bool keyed = false;      // the name carries a key (every kind but the pipe and
    uint32_t key = 0;        //   the service's own lock)
    uid_t uid = 0;           // the file's owner and mode
    gid_t gid = 0;
    mode_t mode = 0;
    uint64_t file_size = 0;

    // Processes that have the file open or mapped (this process not counted).
    std::vector<pid_t> users;
    // Processes that could not be looked into but could use the file.
    std::vector<pid_t> unknown_users;
    // /proc hides other processes (hidepid): any of them could use the file.
    bool hidden_users = false;

    // Lock: the mutex file, and who holds the mutex.
    bool valid = false;      // the file holds what its kind says (lock, segment, list)
    uint32_t holder_tid = 0; // 0: free
    pid_t holder_pid = 0;    // the holder's process, 0 when it is gone
    bool holder_died = false;// the last holder ended holding it

    // Segment and list: the segment header.
    uint32_t size = 0;       // the area's size (the header's total - 16)
    uint8_t tag1 = 0, tag2 = 0;
    // List: the region header.
    uint32_t capacity = 0, used = 0, count = 0, attach = 0, tag = 0;

    // Pipe: the process it belongs to.
    pid_t pid = 0;
    bool pid_alive = false;

    // Dead: nothing alive uses it (see stale_reason).
    bool stale = false;
    std::string why;         // why it is stale, or why it is kept
};

// Reads the directory. Returns 0 with the objects in name order, or an errno
// with why naming the directory and the reason.
int scan(const std::string &dir, std::vector<Object> &out, std::string &why);

// Removes the stale objects of the directory (with dry_run, only says which).
// Each object is looked at again just before it goes, so one that a process
// took up meanwhile stays. Returns 0 with what was (or would be) removed, or
// an errno with why (the directory cannot be read, or a file cannot be
// removed: what went before stays removed and is in removed).
int sweep(const std::string &dir, bool dry_run, std::vector<Object> &removed, std::string &why);

// Whether the area of a segment (its bytes after the segment header, size
// bytes of it at hand) holds a global-list region of a sound geometry.
bool list_region_sound(const void *area, uint64_t size);

// Whether process pid exists (a process of another user counts).
bool process_alive(pid_t pid);

}  // namespace zaxx
