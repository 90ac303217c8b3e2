#include <CLI/CLI.hpp>

#include "zaxx.h"

namespace zaxx {
void add_system_commands(CLI::App &) {}
}  // namespace zaxx
