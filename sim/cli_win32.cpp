// The Windows build of kestrio-sim is only the machine's tools: copied as
// dism.exe, bcdedit.exe, expand.exe or cmd.exe beside a machine.ini.
#include <iostream>

#include "sim/cli.h"

namespace kestrio::sim {

int RunCli(int, char**) {
  std::cerr << "kestrio-sim.exe is the simulated machine's tools: copy it as dism.exe, bcdedit.exe,\n"
               "expand.exe or cmd.exe beside a machine.ini.  Machines are made with the Linux build.\n";
  return 2;
}

}  // namespace kestrio::sim
