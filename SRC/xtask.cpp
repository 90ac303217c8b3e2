// xtask: processes, job processes and threads.
#include "xtask.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "os/signal.h"
#include "os/module.h"
#include "os/process.h"
#include "os/thread.h"
#include "xevent.h"
#include "xhandle.h"
#include "xint.h"
#include "xload.h"

using namespace zax;

namespace {

// A process record; job-process records are the same with the job set, so
// that a job call given a plain record finds no job instead of reading past
// its end.
struct ProcessRecord {
    HandleHeader header;
    XHANDLE *event_var;
    XHANDLE saved;
    os::Process *process;
    void *primary_thread;  // Linux has no handle of its own for it: null
    uint32_t pid;
    uint32_t tid;  // the primary thread's identifier: the pid
    void *job;     // the process group of a job process, else null
    WaitRecord wait;  // the handle the event variable holds
};

struct ThreadRecord {
    HandleHeader header;
    XHANDLE module;
    os::Thread *thread;
    XHANDLE *event_var;
    XHANDLE saved;
    XThreadMain entry;
    uint32_t arg1;
    uint32_t arg2;
    uint32_t tid;
    WaitRecord wait;  // the handle the event variable holds
};

// The longest command line: the program, then a space and each argument.
constexpr size_t kMaxCommandLine = 260;

std::atomic<bool> g_job_support{false};

bool valid_name(const char *name) {
    return name != nullptr && name[0] != '\0' && std::memchr(name, 0, 256) != nullptr;
}

// Puts the handle of object into the record's event variable (when it has
// one), keeping the variable's value for restore_event.
template <typename Record>
void hand_out_event(Record *rec, os::Waitable *object) {
    if (rec->event_var == nullptr) return;
    wait_handle_open(rec->wait, object);
    rec->saved = *rec->event_var;
    *rec->event_var = &rec->wait;
}

// The checks of the create calls: reason 1 with the argument's position.
constexpr Reason kCreateArgument = same_reason(
    R_XCreateProcess_BAD_ARGUMENT, R_XCreateJobProcess_BAD_ARGUMENT, R_XCreateThread_BAD_ARGUMENT);
constexpr Reason kBadProgramArgument =
    same_reason(R_XCreateProcess_BAD_PROGRAM_ARGUMENT, R_XCreateJobProcess_BAD_PROGRAM_ARGUMENT);
constexpr Reason kCommandTooLong =
    same_reason(R_XCreateProcess_COMMAND_TOO_LONG, R_XCreateJobProcess_COMMAND_TOO_LONG);
constexpr Reason kSpawnFailed =
    same_reason(R_XCreateProcess_SPAWN_FAILED, R_XCreateJobProcess_SPAWN_FAILED);
constexpr Reason kTermArgument =
    same_reason(R_XTermProcess_BAD_ARGUMENT, R_XTermJobProcess_BAD_ARGUMENT);
constexpr Reason kExitCodeFailed =
    same_reason(R_XTermProcess_EXIT_CODE_FAILED, R_XTermJobProcess_EXIT_CODE_FAILED);
constexpr Reason kKillCloseFailed =
    same_reason(R_XKillProcess_CLOSE_FAILED, R_XKillJobProcess_CLOSE_FAILED);
constexpr Reason kKillFailed =
    same_reason(R_XKillProcess_KILL_FAILED, R_XKillJobProcess_KILL_FAILED);

bool check_create(Fn fn, XHANDLE *record_out, const char *program) {
    if (record_out == nullptr) {
        lib_error(fn, kCreateArgument, 1);
        return false;
    }
    if (!valid_name(program)) {
        lib_error(fn, kCreateArgument, 2);
        return false;
    }
    return true;
}

// The program's argument vector, checked as the command line it would make
// on other platforms: each argument zero-terminated within 260 bytes, and
// the joined line at most 260 characters. Each argument adds at least one
// character, so 260 arguments are the most that can pass.
struct Arguments {
    const char *argv[kMaxCommandLine + 2];
};

bool build_arguments(Fn fn, const char *program, int32_t argc, const char *const *argv,
                     Arguments *out) {
    size_t length = std::strlen(program);
    int32_t n = argc > 0 ? argc : 0;
    out->argv[0] = program;
    for (int32_t i = 0; i < n; ++i) {
        const char *arg = argv != nullptr ? argv[i] : nullptr;
        const void *end = arg != nullptr ? std::memchr(arg, 0, kMaxCommandLine) : nullptr;
        if (end == nullptr) {
            lib_error(fn, kBadProgramArgument, uint32_t(i));
            return false;
        }
        length += size_t(static_cast<const char *>(end) - arg) + 1;
        if (length > kMaxCommandLine) {
            lib_error(fn, kCommandTooLong, uint32_t(length));
            return false;
        }
        out->argv[i + 1] = arg;
    }
    out->argv[n + 1] = nullptr;
    return true;
}

int32_t create_process(Fn fn, XHANDLE *record_out, const char *program, XHANDLE *event_var,
                       int32_t argc, const char *const *argv, bool job) {
    auto *rec = handle_new<ProcessRecord>(HandleKind::process);
    if (rec == nullptr) return 0;
    Arguments args;
    if (!build_arguments(fn, program, argc, argv, &args)) {
        handle_free(rec);
        return 0;
    }
    os::Process *p = nullptr;
    if (int err = os::process_spawn(program, args.argv, job, &p)) {
        handle_free(rec);
        sys_error(fn, kSpawnFailed, err);
        return 0;
    }
    rec->process = p;
    rec->pid = p->pid();
    rec->tid = p->pid();
    // The job is the process group that the process leads; its id is the
    // leader's pid, which stays reserved until the leader is reaped.
    if (job) rec->job = reinterpret_cast<void *>(uintptr_t(p->pid()));
    rec->event_var = event_var;
    hand_out_event(rec, p);
    *record_out = rec;
    return 1;
}

// Give the event variable its old value back; the handle it held ends.
template <typename Record>
void restore_event(Record *rec) {
    if (rec->event_var == nullptr) return;
    *rec->event_var = rec->saved;
    wait_handle_close(rec->wait);
}

// Wake a thread that waits on the saved event. Without one the post fails
// and records its own error; the kill call's result does not depend on it.
void post_saved(XHANDLE saved) { XPostEvent(saved, 1); }

int32_t term_process(XHANDLE record, Fn fn, Reason running_reason, Reason close_reason) {
    auto *rec = handle_get<ProcessRecord>(record, HandleKind::process, fn, kTermArgument);
    if (rec == nullptr) return 0;
    uint32_t code = 0;
    if (int err = rec->process->exit_code(&code)) {
        sys_error(fn, kExitCodeFailed, err);
        return 0;
    }
    if (code == os::kStillActive) {
        lib_error(fn, running_reason, 0);
        return 0;
    }
    restore_event(rec);
    // The primary thread and the job have no handles of their own to close.
    if (int err = os::process_close(rec->process, true)) sys_error(fn, close_reason, err);
    handle_free(rec);
    return 1;
}

// Kill and collect; group: every process of the job.
void kill_and_close(ProcessRecord *rec, Fn fn, bool group) {
    bool killed = true;
    if (int err = rec->process->kill(group)) {
        sys_error(fn, kKillFailed, err);
        killed = false;
    }
    // Only a process that was killed can be waited for without a hang.
    if (int err = os::process_close(rec->process, killed)) sys_error(fn, kKillCloseFailed, err);
}

// XKillThread and XKillThreadSync: their reasons differ. (Reasons 2 and 18,
// a failed exit-code query, cannot happen: the code is the trampoline's.)
struct KillReasons {
    Reason null_record, kill, close;
};

int32_t kill_thread(XHANDLE record, bool sync) {
    const KillReasons r =
        sync ? KillReasons{R_XKillThread_SYNC_BAD_ARGUMENT, R_XKillThread_SYNC_KILL_FAILED,
                           R_XKillThread_SYNC_CLOSE_FAILED}
             : KillReasons{R_XKillThread_BAD_ARGUMENT, R_XKillThread_KILL_FAILED,
                           R_XKillThread_CLOSE_FAILED};
    auto *rec = handle_get<ThreadRecord>(record, HandleKind::thread, FN_XKillThread, r.null_record);
    if (rec == nullptr) return 0;
    os::run_parked();
    // The exit code is the trampoline's own record: the query cannot fail.
    restore_event(rec);
    if (os::thread_exit_code(rec->thread) == os::kStillActive) {
        if (int err = os::thread_kill(rec->thread)) sys_error(FN_XKillThread, r.kill, err);
        if (sync) {
            for (int i = 0; i < 3000 && os::thread_exit_code(rec->thread) == os::kStillActive; ++i)
                XSleep(60);
        }
    }
    post_saved(rec->saved);
    // A thread that a kill ended left its module's reference parked.
    if (os::thread_exit_code(rec->thread) != os::kStillActive) os::run_parked();
    if (int err = os::thread_close(rec->thread)) sys_error(FN_XKillThread, r.close, err);
    // The thread holds a reference of its own on the module's code until it
    // has ended, so this unload never pulls the code from under it.
    XUnloadModule(rec->module);
    release_thread_waits(rec->tid);
    handle_free(rec);
    return 1;
}

void unpin_module(void *pin) { os::module_unpin(pin); }

}  // namespace

namespace zax {

int job_support_setup() {
    XOsInfo info{};
    XGetOsInfo(&info);
    if (info.major < 5 || g_job_support.load()) return 1;
    // Jobs rest on process descriptors and groups; a kernel (or a sandbox)
    // that refuses process descriptors cannot give them.
    if (int err = os::process_probe()) {
        sys_error(FN_XCreateJobProcess, R_XCreateJobProcess_SPAWN_FAILED, err);
        return 0;
    }
    g_job_support.store(true);
    return 1;
}

int job_support_release() { return g_job_support.exchange(false) ? 1 : 0; }

bool job_support_on() { return g_job_support.load(); }

}  // namespace zax

extern "C" {

XAPI int32_t XCreateProcess(XHANDLE *record_out, const char *program, XHANDLE *event_var,
                            int32_t argc, const char *const *argv) {
    if (!check_create(FN_XCreateProcess, record_out, program)) return 0;
    return create_process(FN_XCreateProcess, record_out, program, event_var, argc, argv, false);
}

XAPI int32_t XTermProcess(XHANDLE record, uint32_t /*reserved: not looked at*/) {
    return term_process(record, FN_XTermProcess, R_XTermProcess_STILL_RUNNING,
                        R_XTermProcess_CLOSE_FAILED);
}

XAPI int32_t XKillProcess(XHANDLE record) {
    auto *rec = handle_get<ProcessRecord>(record, HandleKind::process, FN_XKillProcess,
                                          R_XKillProcess_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    uint32_t code = 0;
    if (int err = rec->process->exit_code(&code)) {
        sys_error(FN_XKillProcess, R_XKillProcess_EXIT_CODE_FAILED, err);
        return 0;
    }
    restore_event(rec);
    XHANDLE saved = rec->saved;
    if (code == os::kStillActive) {
        kill_and_close(rec, FN_XKillProcess, false);
    } else if (int err = os::process_close(rec->process, true)) {
        sys_error(FN_XKillProcess, R_XKillProcess_CLOSE_FAILED, err);
    }
    post_saved(saved);
    handle_free(rec);
    return 1;
}

XAPI int32_t XCreateThread(XHANDLE *record_out, const char *module, XHANDLE *event_var,
                           uint32_t arg1, uint32_t arg2) {
    if (!check_create(FN_XCreateThread, record_out, module)) return 0;
    os::run_parked();
    auto *rec = handle_new<ThreadRecord>(HandleKind::thread);
    if (rec == nullptr) return 0;
    if (XLoadModule(&rec->module, module) != 1) {
        handle_free(rec);
        return 0;
    }
    auto entry = reinterpret_cast<XThreadMain>(XGetEntry(rec->module, "osmain"));
    if (entry == nullptr) {
        XUnloadModule(rec->module);
        handle_free(rec);
        lib_error(FN_XCreateThread, R_XCreateThread_NO_OSMAIN, 0);
        return 0;
    }
    rec->event_var = event_var;
    rec->entry = entry;
    rec->arg1 = arg1;
    rec->arg2 = arg2;
    void *pin = os::module_pin(module_of(rec->module));
    if (int err = os::thread_start(entry, arg1, arg2, unpin_module, pin, &rec->thread)) {
        os::module_unpin(pin);
        XUnloadModule(rec->module);
        handle_free(rec);
        sys_error(FN_XCreateThread, R_XCreateThread_START_FAILED, err);
        return 0;
    }
    rec->tid = os::thread_tid(rec->thread);
    *record_out = rec;
    hand_out_event(rec, os::thread_waitable(rec->thread));
    return 1;
}

XAPI int32_t XTermThread(XHANDLE record) {
    auto *rec = handle_get<ThreadRecord>(record, HandleKind::thread, FN_XTermThread,
                                         R_XTermThread_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    if (os::thread_exit_code(rec->thread) == os::kStillActive) {
        lib_error(FN_XTermThread, R_XTermThread_STILL_RUNNING, 0);
        return 0;
    }
    restore_event(rec);
    // What the thread's end parked (it was ended by a fault) goes now.
    os::run_parked();
    if (int err = os::thread_close(rec->thread))
        sys_error(FN_XTermThread, R_XTermThread_CLOSE_FAILED, err);
    XUnloadModule(rec->module);
    handle_free(rec);
    return 1;
}

XAPI int32_t XKillThread(XHANDLE record) { return kill_thread(record, false); }

XAPI int32_t XKillThreadSync(XHANDLE record) { return kill_thread(record, true); }

XAPI int32_t XCreateJobProcess(XHANDLE *record_out, const char *program,
                               uint32_t /*reserved: not looked at*/, XHANDLE *event_var,
                               int32_t argc, const char *const *argv) {
    if (!check_create(FN_XCreateJobProcess, record_out, program)) return 0;
    if (!g_job_support.load()) return XCreateProcess(record_out, program, event_var, argc, argv);
    return create_process(FN_XCreateJobProcess, record_out, program, event_var, argc, argv, true);
}

XAPI int32_t XTermJobProcess(XHANDLE record, uint32_t reserved) {
    if (!g_job_support.load()) return XTermProcess(record, reserved);
    return term_process(record, FN_XTermJobProcess, R_XTermJobProcess_STILL_RUNNING,
                        R_XTermJobProcess_CLOSE_FAILED);
}

XAPI int32_t XKillJobProcess(XHANDLE record) {
    if (!g_job_support.load()) return XKillProcess(record);
    auto *rec = handle_get<ProcessRecord>(record, HandleKind::process, FN_XKillJobProcess,
                                          R_XKillJobProcess_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    if (rec->job == nullptr) {
        lib_error(FN_XKillJobProcess, R_XKillJobProcess_NO_JOB, 0);
        return 0;
    }
    restore_event(rec);
    XHANDLE saved = rec->saved;
    // The whole group goes, whether or not its leader still runs.
    kill_and_close(rec, FN_XKillJobProcess, true);
    post_saved(saved);
    handle_free(rec);
    return 1;
}

}  // extern "C"
