// The suite's helper program: multi-process tests run it with a command name
// and arguments. Each command is a function registered with ZAX_HELPER; its
// result is the program's exit status and it may print to standard output.
#pragma once

namespace zaxhelper {

using Command = int (*)(int argc, char **argv);  // argv[0] is the command name

struct Registration {
    Registration(const char *name, Command fn);
};

}  // namespace zaxhelper

#define ZAX_HELPER(name)                                                           \
    static int zax_helper_##name(int argc, char **argv);                           \
    static ::zaxhelper::Registration zax_helper_reg_##name(#name, zax_helper_##name); \
    static int zax_helper_##name(int argc, char **argv)
