// Entry of the helper program: zaxhelper COMMAND [ARGS...].
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "helper.h"

namespace zaxhelper {

static std::map<std::string, Command> &commands() {
    static std::map<std::string, Command> table;
    return table;
}

Registration::Registration(const char *name, Command fn) {
    // Two commands of one name would silently run the wrong one.
    if (!commands().emplace(name, fn).second) {
        std::fprintf(stderr, "zaxhelper: command %s registered twice\n", name);
        std::abort();
    }
}

}  // namespace zaxhelper

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zaxhelper COMMAND [ARGS...]\n");
        return 100;
    }
    auto &table = zaxhelper::commands();
    auto it = table.find(argv[1]);
    if (it == table.end()) {
        std::fprintf(stderr, "zaxhelper: no command %s\n", argv[1]);
        return 101;
    }
    int rc = it->second(argc - 1, argv + 1);
    std::fflush(stdout);
    return rc;
}
