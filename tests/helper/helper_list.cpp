// Helper commands for global lists.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "helper.h"
#include "zaxxlib.h"

namespace {

void print_error(const char *what) {
    XErrorInfo info{};
    uint32_t code = XGetLastError(&info);
    std::printf("%s error %X %u\n", what, code, info.detail);
}

// Waits up to 20 s for a file to appear.
bool wait_for(const char *path) {
    for (int i = 0; i < 4000; ++i) {
        if (access(path, F_OK) == 0) return true;
        usleep(5000);
    }
    return false;
}

}  // namespace

// glist KEY CAP TAG STEP...: create or attach to the global list of KEY (hex)
// with capacity CAP and tag TAG, then run the steps in order, printing one
// line for each that has something to say:
//   add:TEXT        add TEXT (without its terminator) at the end
//   addn:PFX:N      add PFX0 ... PFX(N-1) at the end, one by one
//   churn:PFX:N     N times: add PFX<k> at the end, then remove the first
//                   element, printing "got DATA" (nothing when the list is empty)
//   peek:POS        print "peek DATA"
//   remove:POS      remove and print "remove DATA"
//   num             print "num COUNT"
//   hold            take the list lock (X_lock_list) and keep it
//   touch:PATH      create the file PATH
//   wait:PATH       wait for the file PATH
//   destroy         leave the list, print "destroy RESULT"
//   exit            end the process at once, still attached
//   kill            end the process by SIGKILL
// A failed create prints "create error CODE DETAIL" and exits with 1.
ZAX_HELPER(glist) {
    if (argc < 4) return 2;
    uint32_t key = uint32_t(std::strtoul(argv[1], nullptr, 16));
    uint32_t cap = uint32_t(std::strtoul(argv[2], nullptr, 0));
    uint32_t tag = uint32_t(std::strtoul(argv[3], nullptr, 0));
    XHANDLE list = XCreateGlobalList(cap, key, tag);
    if (list == nullptr) {
        print_error("create");
        return 1;
    }
    for (int i = 4; i < argc; ++i) {
        std::string step = argv[i];
        std::string arg = step.find(':') == std::string::npos ? "" : step.substr(step.find(':') + 1);
        std::string op = step.substr(0, step.find(':'));
        if (op == "add") {
            if (XAddGlobalList(list, arg.data(), uint32_t(arg.size()), -1) != 1) print_error("add");
        } else if (op == "addn" || op == "churn") {
            std::string prefix = arg.substr(0, arg.find(':'));
            int n = std::atoi(arg.substr(arg.find(':') + 1).c_str());
            for (int k = 0; k < n; ++k) {
                std::string text = prefix + std::to_string(k);
                if (XAddGlobalList(list, text.data(), uint32_t(text.size()), -1) != 1) {
                    print_error("add");
                    break;
                }
                if (op == "addn") continue;
                char buf[256] = {};
                if (XRemoveGlobalList(list, buf, sizeof buf - 1, 0) == 1) std::printf("got %s\n", buf);
                else print_error("remove");
            }
        } else if (op == "peek" || op == "remove") {
            char buf[256] = {};
            int32_t pos = std::atoi(arg.c_str());
            int32_t r = op == "peek" ? XPeekGlobalList(list, buf, sizeof buf - 1, pos)
                                     : XRemoveGlobalList(list, buf, sizeof buf - 1, pos);
            if (r == 0) print_error(op.c_str());
            else std::printf("%s %s\n", op.c_str(), buf);
        } else if (op == "num") {
            std::printf("num %d\n", XGetGlobalListNum(list));
        } else if (op == "hold") {
            if (X_lock_list(list) != 1) print_error("hold");
        } else if (op == "touch") {
            FILE *f = std::fopen(arg.c_str(), "w");
            if (f == nullptr) return 3;
            std::fclose(f);
        } else if (op == "wait") {
            if (!wait_for(arg.c_str())) return 4;
        } else if (op == "destroy") {
            std::printf("destroy %d\n", XDestroyGlobalList(list));
        } else if (op == "exit") {
            std::fflush(stdout);
            _exit(0);
        } else if (op == "kill") {
            std::fflush(stdout);
            raise(SIGKILL);
        } else {
            return 5;
        }
        std::fflush(stdout);
    }
    return 0;
}
