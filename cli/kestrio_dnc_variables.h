// kestrio-dnc read, write, version and vars: the host's variables, one
// request each (a list request for several names).
#pragma once

#include <string>
#include <vector>

#include "remote/session.h"

namespace kestrio::cli {

// read NAME...: one prints its value, several print NAME=value lines.
int ReadCommand(remote::Session& session, const std::vector<std::string>& names);
// write NAME=VALUE...: several in one list write; prints ok.
int WriteCommand(remote::Session& session, const std::vector<std::string>& assignments);
// version: the service's protocol version.
int VersionCommand(remote::Session& session);
// vars: the names of the KESTRIO table, one a line.
int VarsCommand(remote::Session& session);

}  // namespace kestrio::cli
