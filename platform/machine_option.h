// The --machine option of the command-line tools: which simulated machine
// the Linux build works on.  The Windows build works on the machine it runs on.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace kestrio::tools {

void AddMachineOption(CLI::App& app, std::string& machine);
// Selects the machine; false with a message when there is none to work on.
bool SelectMachine(const std::string& machine, std::string& error);

}  // namespace kestrio::tools
