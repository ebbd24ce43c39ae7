// One host in JSON: the entry a fleet report gives each host, the same entry
// for the change of a single host (with the languages before and after and
// whether its restart was followed), and one host's status row.  Scripts and
// orchestrators read these; the keys are the report's, so a reader of one
// reads the others.  Texts are written as valid UTF-8 whatever bytes they
// hold (a machine's text in its ANSI code page is read as Windows-1252).
#pragma once

#include <cstdint>
#include <string>

#include "remote/fleet.h"
#include "remote/session.h"

namespace kestrio::remote {

// A JSON string of any bytes, quoted and escaped.
std::string JsonText(const std::string& bytes);
// Seconds with three decimals.
std::string JsonSeconds(double seconds);

// {"name", "address", "result", "code", "text", "seconds": {scan, change, total}}
std::string HostJson(const HostReport& report);
// A host of a fleet report: HostJson's keys and "run", the run of the
// rollout the result is from (1 the first run, 2 its first retry, ...).
std::string HostReportJson(const HostReport& report, unsigned run);
std::string HostEntryJson(const std::string& name, const std::string& address, const std::string& result,
                          std::int32_t code, const std::string& text, double scan, double change, double total,
                          unsigned run);
// HostJson with "before", "after" and "restart_followed" from the change.
std::string HostChangeJson(const HostReport& report, const RemoteChangeResult& change);
// {"name", "address", "reachable", "protocol", "language", "status",
//  "error" (KESTRIO.ERROR.<status> when it is negative), "problem" (why the
//  host could not be reached)}
std::string HostStatusJson(const HostEntry& host, const HostStatus& status);

// The hosts file as the fleet reads it (kestrio-dnc fleet hosts --json):
// {"hosts_file", "hosts": [{"line", "name", "host", "port", "address"}],
//  "error" (the refusal, empty when usable), "line" (the line it names, 0)}
std::string HostsFileJson(const std::string& path, const HostsFile& file);

// The state a host's report ends in after a change of one host.
State StateOf(const RemoteChangeResult& change);

}  // namespace kestrio::remote
