// kestrio-dnc change: the remote language change on one host, with its
// progress on a live line or as plain lines, and with --json the host's
// entry of a fleet report.
#pragma once

#include <chrono>
#include <string>

#include "cli/kestrio_dnc_options.h"
#include "remote/fleet.h"
#include "remote/session.h"

namespace kestrio::cli {

// change --root DIR --language NAME: ROOTDIR, wait, the names found, NEXT
// and GO, wait, and (unless --no-follow) the restart followed.
int ChangeCommand(remote::Session& session, const CommandLine& line);

// When a single change started, ended its scan and ended.
struct ChangeTimes {
  std::chrono::steady_clock::time_point started{}, scanEnded{}, ended{};
};
// The host entry of a fleet report for a single change in `state` (that of
// `result` when it has ended; a Ctrl-C's: the phase it was in), with the
// languages before and after and whether the restart was followed.
std::string ChangeJson(const CommandLine& line, const remote::RemoteChangeResult& result, const ChangeTimes& times,
                       remote::State state);

}  // namespace kestrio::cli
