// kestrio-dnc fleet: the commands on many hosts.  status and change read a
// hosts file (hosts shows it as they read it); discover finds the hosts of
// address ranges and can write one.
#pragma once

#include "cli/kestrio_dnc_options.h"

namespace kestrio::cli {

// fleet status|hosts|change HOSTS, fleet change --retry REPORT, fleet
// discover RANGE...: exit status 0 every host done, skipped (status:
// reachable; discover: a machine found); 1 some host failed, was not
// reached or was not started (discover: none found, or interrupted); 2 the
// hosts file or the arguments are unusable.
int FleetCommand(const CommandLine& line);

}  // namespace kestrio::cli
