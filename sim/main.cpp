// kestrio-sim: the simulated machine's own program.  Called by one of the
// tools' names (dism.exe, bcdedit, expand, cmd.exe) it is that tool on the
// machine it belongs to; called as kestrio-sim it makes and inspects machines.
#include <iostream>

#include "base/text.h"
#include "sim/cli.h"
#include "sim/host.h"
#include "base/machine.h"
#include "sim/tools.h"
#include "base/cmdline.h"

int main(int argc, char** argv) {
  using namespace kestrio::sim;
  const Tool tool = ToolFromProgramName(argc > 0 ? argv[0] : "");
  if (tool == Tool::None) return RunCli(argc, argv);

  const std::string dir = ToolMachineDir(argv[0]);
  std::string error;
  auto machine = dir.empty() ? std::nullopt : Machine::Load(dir, &error);
  if (!machine) {
    std::cerr << (dir.empty() ? "no simulated machine: set KESTRIO_MACHINE or call the tool from a machine's C\\Windows\\System32"
                              : error)
              << '\n';
    return ReportToolExit(1);
  }
  const std::string line = ToolCommandLine(argc, argv);
  const std::uint32_t code =
      RunTool(tool, *machine, line, kestrio::text::SplitCommandLine(line), std::cout, std::cerr);
  std::cout.flush();
  if (!machine->Save(&error)) {
    std::cerr << error << '\n';
    return ReportToolExit(1);
  }
  // Windows goes down once the tool has returned: the machine's power
  // (kestrio-sim power) sees the mark and restarts it.
  if (machine->Flag("boot", "shutdown")) AnnounceShutdown(dir);
  return ReportToolExit(code);
}
