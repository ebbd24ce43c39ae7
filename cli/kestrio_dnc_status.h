// kestrio-dnc status: one host's row of fleet status, as lines or JSON.
#pragma once

#include "cli/kestrio_dnc_options.h"

namespace kestrio::cli {

// Exit status 0 reachable, 2 not (the status of a single command without a
// connection).
int StatusCommand(const CommandLine& line);

}  // namespace kestrio::cli
