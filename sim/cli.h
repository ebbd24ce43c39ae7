// kestrio-sim's own commands: create, set, show, reboot, make-pack.
#pragma once

namespace kestrio::sim {

int RunCli(int argc, char** argv);

}  // namespace kestrio::sim
