#include <CLI/CLI.hpp>

#include <cstdlib>
#include <filesystem>

#include "platform/simulated_posix.h"
#include "base/machine.h"
#include "platform/machine_option.h"

namespace kestrio::tools {

void AddMachineOption(CLI::App& app, std::string& machine) {
  app.add_option("--machine", machine, "simulated machine directory (default: $KESTRIO_MACHINE)");
}

bool SelectMachine(const std::string& machine, std::string& error) {
  std::string dir = machine;
  if (dir.empty()) {
    const char* env = std::getenv(platform::posix::kMachineEnv);
    dir = env ? env : "";
  }
  if (dir.empty()) {
    error = "no simulated machine: give --machine DIR or set KESTRIO_MACHINE (make one with kestrio-sim create)";
    return false;
  }
  // The machine's tools run in the program's working directory on the
  // machine, so a relative path would no longer name the machine there.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
  if (!ec) dir = absolute.lexically_normal().string();
  if (!sim::Machine::Load(dir, &error)) return false;
  platform::posix::UseMachine(dir);
  return true;
}

}  // namespace kestrio::tools
