// kestrio-dnc's JSON of one host, for scripts and orchestrators: the status
// row of `fleet status` for a single host (`status --json`), and the host
// entry of a fleet report for a single `change --json`.  The keys are the
// report's (remote/host_json.h).
#include <cstdio>
#include <string>

#include "cli/kestrio_dnc.h"
#include "platform/desk.h"
#include "remote/fleet.h"
#include "remote/host_json.h"

namespace kestrio::cli {

namespace fleet = remote;

bool WriteJson(const std::string& file, const std::string& json) {
  if (file == "-") {
    Print(json);
    return true;
  }
  std::string error;
  if (platform::desk::ReplaceWholeFile(file, json, error)) return true;
  Complain(file + ": " + error);
  return false;
}

// One host's row of `fleet status`; exit status 0 reachable, 2 not (the
// status of a single command without a connection).
int StatusCommand(const CommandLine& line) {
  const fleet::HostEntry host{line.host, line.host, line.port, 0};
  const fleet::HostStatus s = fleet::QueryStatus(host, line.timeoutMs);
  const int exitCode = s.reachable ? 0 : kNoHost;
  if (!line.json.empty()) return WriteJson(line.json, fleet::HostStatusJson(host, s) + '\n') ? exitCode : kFailed;
  if (!s.reachable) {
    Complain(host.Address() + ": " + s.problem);
    return exitCode;
  }
  Print("protocol: " + s.protocol + "\nlanguage: " + (s.language.empty() ? "-" : s.language) +
        "\nstatus: " + s.Describe() + '\n');
  return exitCode;
}

std::string ChangeJson(const CommandLine& line, const remote::RemoteChangeResult& r, const ChangeTimes& times) {
  fleet::HostReport report;
  report.host = {line.host, line.host, line.port, 0};
  report.state = fleet::StateOf(r);
  report.code = r.code;
  report.text = remote::ToldFailure(r.fault, r.text);
  report.started = times.started;
  report.scanEnded = times.scanEnded;
  report.ended = times.ended;
  return fleet::HostChangeJson(report, r) + '\n';
}

}  // namespace kestrio::cli
