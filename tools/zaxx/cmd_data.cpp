#include <CLI/CLI.hpp>

#include "zaxx.h"

namespace zaxx {
void add_data_commands(CLI::App &) {}
}  // namespace zaxx
