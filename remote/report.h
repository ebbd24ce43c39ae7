// The report of a fleet change, the run's record, and what a retry reads
// back from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/dnc_options.h"
#include "remote/fleet.h"

namespace kestrio::remote {

// ---- What the end of a run tells ---------------------------------------------

// The lines below a fleet change's summary: the hosts that failed and those
// not started, by name in the run's order, and for each engine error a
// person must mend (engine::RemedyOf) the hosts it stopped and what to do,
// ending with `again` (how to run them again).  None when every host is done
// or skipped.
std::vector<std::string> NamedSummary(const std::vector<HostReport>& reports, const std::string& again);

// ---- The settings of a run ---------------------------------------------------
//
// One row per setting a run is made with, made from the SETTING rows of
// kestrio-dnc's options (remote/dnc_options.h): the report keeps each under
// its key, and a retry takes each back, unless its option is given again.
// The report writer, its reader and the retry go through this table only,
// so a setting added there is kept and retried everywhere.

struct RunSetting {
  const char* key;     // the report's: "port", "timeout_ms", ...
  const char* option;  // the command line's: "--port", "--timeout", ...
  // Number: a whole number within [low, high] (NumberOrNone: or 0, none);
  // Off: true or false in the report, its option (--no-follow) sets it to
  // false.
  OptionKind kind;
  unsigned long low, high;
  unsigned (*get)(const ChangeSettings&);
  void (*set)(ChangeSettings&, unsigned);
  bool Flag() const { return kind == OptionKind::Off; }
};

#define KESTRIO_RUN_SETTING_ROW(key, option, value, commands, kind, low, high, what, field, deflt, one, fleet, help) \
  RunSetting{key, option, OptionKind::kind, low, high,                                                                \
             [](const ChangeSettings& s) { return static_cast<unsigned>(s.field); },                                  \
             [](ChangeSettings& s, unsigned v) { s.field = static_cast<decltype(s.field)>(v); }},
#define KESTRIO_NOT_A_RUN_SETTING(...)
inline constexpr RunSetting kRunSettings[] = {KESTRIO_DNC_OPTIONS(KESTRIO_RUN_SETTING_ROW, KESTRIO_NOT_A_RUN_SETTING)};
#undef KESTRIO_RUN_SETTING_ROW
#undef KESTRIO_NOT_A_RUN_SETTING
inline constexpr std::size_t kRunSettingCount = std::size(kRunSettings);

// The value of a row as the report writes it ("4000", "false").
std::string SettingText(const RunSetting& row, unsigned value);

// ---- The report ----------------------------------------------------------------

// A host of the rollout that this run does not run again (done or skipped
// in an earlier run): its entry as the earlier report gave it.
struct EarlierHost {
  std::string name, address, result, text;
  std::int32_t code = 0;
  double scan = 0, change = 0, total = 0;  // seconds
  unsigned run = 1;  // the run of the rollout the result is from
};

// The rollout a run belongs to: its number (1 for a first run, one more for
// each retry) and every host of the earlier report in its order, each with
// the entry to keep when this run does not run it.
struct Rollout {
  unsigned run = 1;
  std::vector<EarlierHost> earlier;
};

// The machine-readable report, the rollout's record: the settings (with the
// hosts file by its absolute path and its fingerprint, the root folder, the
// language and every row of kRunSettings), the run's number, whether it has
// finished, why hosts were not started, the summary and, per host, name,
// address and port as used, result (ResultName), code, text, timings in
// seconds and the run its result is from.  A retry's report holds every
// host of the rollout, in the earlier report's order: those it runs with
// their state now, the others with their earlier entry.  The summary counts
// every host of the record.  Texts are written as valid UTF-8 whatever
// bytes they hold.
std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason = {}, bool finished = true, const Rollout& rollout = {});

// ---- A retry of what failed ------------------------------------------------

// A fingerprint of a hosts file's bytes (64-bit FNV-1a, "fnv1a64:" and 16 hex
// digits): a report names the hosts file it ran on, and a retry refuses a
// file that changed since.
std::string Fingerprint(std::string_view bytes);

// What an earlier report says to run again: its hosts file, root folder and
// language and every setting of kRunSettings it holds (in `settings`), the
// hosts that failed, were under way or were not started (`names`, those
// neither done nor skipped), and the rollout a retry continues; or why the
// report cannot be used.
struct RetryPlan {
  std::string hostsFile, hostsFingerprint;
  ChangeSettings settings;  // its change.root, change.language and the rows the report holds
  std::array<bool, kRunSettingCount> present{};  // per row: a report of an older kestrio-dnc lacks some
  std::vector<std::string> names;  // in the report's order
  Rollout rollout;  // run: the retry's number; earlier: every host of the report
  std::string error;
  bool Ok() const { return error.empty(); }
};
RetryPlan ReadRetryPlan(std::string_view reportText);

// The settings of a retry: the plan's rows over `settings` (the command
// line's), except those whose option `given` answers true for; each given
// row whose value differs from the report's is told ("--canary 0 from the
// command line, not the report's 2").  The hosts file, root and language
// are the plan's.
void ApplyRetrySettings(const RetryPlan& plan, ChangeSettings& settings,
                        const std::function<bool(const char* option)>& given,
                        const std::function<void(const std::string& told)>& tell = {});

// The hosts of `hosts` named in `names`, in the hosts file's order; a name
// the file lacks is an error.
HostsFile SelectHosts(const std::vector<HostEntry>& hosts, const std::vector<std::string>& names);

}  // namespace kestrio::remote
