#include <CLI/CLI.hpp>

#include "platform/machine_option.h"

namespace kestrio::tools {

void AddMachineOption(CLI::App&, std::string&) {}

bool SelectMachine(const std::string&, std::string&) { return true; }

}  // namespace kestrio::tools
