// zaxx: looks into a machine's zaxxlib objects, decodes error codes, reads
// and writes the registry and parameter files, converts text and dates, and
// cleans up after programs that died. Exit status 0, 1 (failure) or 2 (usage).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "os/env.h"
#include "zaxx.h"
#include "zaxxlib.h"

namespace zaxx {
namespace {
std::map<const CLI::App *, std::function<void()>> &actions() {
    static std::map<const CLI::App *, std::function<void()>> m;
    return m;
}
}  // namespace

void on_run(CLI::App *command, std::function<void()> action) { actions()[command] = std::move(action); }

}  // namespace zaxx

int main(int argc, char **argv) {
    using namespace zaxx;
    CLI::App app{"Looks into the objects of zaxxlib programs, decodes their error codes, reads and "
                 "writes their registry and parameter files, converts text and dates, and cleans up "
                 "after programs that died.",
                 "zaxx"};
    app.set_version_flag("--version", ZAXXLIB_VERSION_STRING, "Print the version and exit");
    app.set_help_all_flag("--help-all", "Print help for every subcommand and exit");
    // Options given after a subcommand belong to zaxx too ("zaxx ls --json").
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("--rundir", g_options.rundir,
                   "Run-time directory of the named objects (default: $ZAXXLIB_RUNDIR, then the "
                   "library's default)")
        ->type_name("DIR");
    app.add_flag("--json", g_options.json, "Print listings as JSON");

    add_object_commands(app);
    add_err_commands(app);
    add_store_commands(app);
    add_data_commands(app);
    add_system_commands(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "zaxx: %s\nRun with --help for more information.\n", e.what());
        return 2;
    }

    // The library and its children find the chosen directory too.
    if (!g_options.rundir.empty()) (void)zax::os::env_set("ZAXXLIB_RUNDIR", g_options.rundir.c_str());

    const CLI::App *leaf = &app;
    while (!leaf->get_subcommands().empty()) leaf = leaf->get_subcommands().front();
    auto it = actions().find(leaf);
    if (it == actions().end()) {
        // A group such as "zaxx list" without its subcommand.
        std::fprintf(stderr, "zaxx %s: a subcommand is needed\nRun with --help for more information.\n",
                     leaf->get_name().c_str());
        return 2;
    }
    try {
        it->second();
    } catch (const UsageError &e) {
        std::fprintf(stderr, "zaxx: %s\nRun with --help for more information.\n", e.what());
        return 2;
    } catch (const Failure &e) {
        std::cout.flush();
        std::fprintf(stderr, "zaxx: %s\n", e.what());
        return 1;
    }
    std::cout.flush();
    if (!std::cout) {
        std::fprintf(stderr, "zaxx: standard output: write failed\n");
        return 1;
    }
    return 0;
}
