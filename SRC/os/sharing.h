// Sharing modes: who, besides the calling user, may use the named objects of
// the run-time directory.
//   machine  every user of the machine (directory 01777, objects 0666)
//   group    the members of one group (directory 02770 of that group,
//            objects 0660 of that group)
//   user     the calling user alone (directory 0700, objects 0600)
// The caller is the process's effective user. docs/security.md says what each
// mode lets other users do.
#pragma once
#include <cstdint>
#include <string>

namespace zax::os {

enum class SharingMode { machine, group, user };

struct Sharing {
    SharingMode mode = SharingMode::user;
    std::string group;  // group mode: the group as the setting names it
    uint32_t gid = 0;   // group mode: its id
};

// The sharing setting of this process, read at each call: $ZAXXLIB_SHARING
// when set and not empty, else the entry "MODE" of section "SHARING" of the
// library settings file "XTORASYS" (in $ZAXXLIB_XSYSTEM, else the current
// directory), else user. A value is "machine", "user" or "group:NAME" (NAME a
// group name or number). A set-id program takes the file only when root or
// its effective user owns it and nobody else may write it.
// Returns 0, or EINVAL for a value that is no mode or names no group, with
// why (when not null) saying what and where.
[[nodiscard]] int sharing_setting(Sharing *out, std::string *why = nullptr);

// "machine", "group:NAME" or "user", as the setting spells it.
std::string sharing_text(const Sharing &s);

// Whether the calling process (its effective ids) may use the objects of
// group gid: root, or a member.
[[nodiscard]] bool caller_in_group(uint32_t gid);
// Whether user uid is a member of group gid (its primary group or one of its
// supplementary groups).
[[nodiscard]] bool user_in_group(uint32_t uid, uint32_t gid);
// Whether a process of user uid and group gid (a peer's credentials) belongs
// to the sharing scope of the calling process: machine mode, anyone; group
// mode, root and the group's members; user mode, root and the caller's
// effective user.
[[nodiscard]] bool in_scope(const Sharing &s, uint32_t uid, uint32_t gid);

}  // namespace zax::os
