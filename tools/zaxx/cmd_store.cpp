#include <CLI/CLI.hpp>

#include "zaxx.h"

namespace zaxx {
void add_store_commands(CLI::App &) {}
}  // namespace zaxx
