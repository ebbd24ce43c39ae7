// The report of a fleet change, the run's record, and what a retry reads
// back from it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "remote/fleet.h"

namespace kestrio::remote {

// The machine-readable report, the run's record: the settings (with the
// hosts file and its fingerprint, the port and the time limits), whether the
// run has finished, why hosts were not started, the summary and, per host,
// name, address and port as used, result (ResultName), code, text and timings
// in seconds.  Texts are written as valid UTF-8 whatever bytes they hold.
std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason = {}, bool finished = true);

// ---- A retry of what failed ------------------------------------------------

// A fingerprint of a hosts file's bytes (64-bit FNV-1a, "fnv1a64:" and 16 hex
// digits): a report names the hosts file it ran on, and a retry refuses a
// file that changed since.
std::string Fingerprint(std::string_view bytes);

// What an earlier report says to run again: its hosts file, root folder and
// language, the run's settings, and the hosts that failed, were under way or
// were not started; or why the report cannot be used.
struct RetrySetting {
  const char* name;   // the report's key: "port", "timeout_ms", ...
  const char* option;  // the command line's: "--port", "--timeout", ...
  unsigned value = 0;
  bool present = false;  // a report of an older kestrio-dnc lacks some
};
struct RetryPlan {
  std::string hostsFile, hostsFingerprint, root, language;
  std::vector<std::string> names;  // in the report's order
  // port, timeout_ms, scan_timeout, change_timeout, parallel, canary, max_failures
  std::vector<RetrySetting> settings;
  std::string error;
  bool Ok() const { return error.empty(); }
  const RetrySetting* Setting(std::string_view name) const;
};
RetryPlan ReadRetryPlan(std::string_view reportText);

// The hosts of `hosts` named in `names`, in the hosts file's order; a name
// the file lacks is an error.
HostsFile SelectHosts(const std::vector<HostEntry>& hosts, const std::vector<std::string>& names);

}  // namespace kestrio::remote
