// The row is the one fleet status and the report use (remote/host_json.h's
// keys for --json), for scripts and orchestrators.
#include "cli/kestrio_dnc_status.h"

#include <string>

#include "cli/kestrio_dnc_output.h"
#include "remote/fleet.h"
#include "remote/host_json.h"

namespace kestrio::cli {

int StatusCommand(const CommandLine& line) {
  const remote::HostEntry host{line.host, line.host, line.run.port, 0};
  const remote::HostStatus s = remote::QueryStatus(host, line.run.timeoutMs);
  const int exitCode = s.reachable ? 0 : kNoHost;
  if (!line.json.empty()) return WriteJson(line.json, remote::HostStatusJson(host, s) + '\n') ? exitCode : kFailed;
  if (!s.reachable) {
    Complain(host.Address() + ": " + s.problem);
    return exitCode;
  }
  Print("protocol: " + s.protocol + "\nlanguage: " + (s.language.empty() ? "-" : s.language) +
        "\nstatus: " + s.Describe() + '\n');
  return exitCode;
}

}  // namespace kestrio::cli
