// kestrio-dnc's options, one row each, in the order --help lists them.  The
// table is a list macro: each user expands the rows it needs, so one row
// gives the command line's reading of the option, the check of which
// commands take it, its line in --help (and so the man page help2man makes
// of it), and, for a setting a fleet change is made with, its key in the
// report and the retry's reading of it back (remote/report.h's
// kRunSettings).  An option added later is one row here.
//
// Columns of an OPTION row (an option of the command line alone):
//   name      "--host"
//   value     the name of its value in --help ("H"); nullptr: it takes none
//   commands  the command:: bits of the commands that take it
//   kind      OptionKind: how its value is read
//   low, high a Number's range on the command line
//   what      a Number: what a value out of range is not ("a port from 1 to
//             65535"); a Text: what an empty one lacks ("a host name or
//             address"), nullptr: empty is allowed
//   field     where the value goes (a member of cli::CommandLine)
//   default   its default as --help tells it; nullptr: none to tell
//   refusedOne, refusedFleet  what a command of one host, or a fleet
//             command, that does not take it says ("an option of change
//             only"); nullptr: every such command takes it
//   help      its line in --help (wrapped there)
// A SETTING row (a setting of a fleet change's run) has the report's key
// first, then the same columns; its field is a member of ChangeSettings.
#pragma once

namespace kestrio::remote {

// The commands of kestrio-dnc as bits, so that a row can name several.
namespace command {
enum : unsigned {
  Read = 1u << 0,
  Write = 1u << 1,
  Version = 1u << 2,
  Vars = 1u << 3,
  Change = 1u << 4,
  Status = 1u << 5,
  FleetStatus = 1u << 6,
  FleetHosts = 1u << 7,
  FleetChange = 1u << 8,
  FleetDiscover = 1u << 9,
  OneHost = Read | Write | Version | Vars | Change | Status,
  Fleet = FleetStatus | FleetHosts | FleetChange | FleetDiscover,
  Any = OneHost | Fleet,
};
}  // namespace command

enum class OptionKind {
  Number,        // a whole decimal number within [low, high]
  NumberOrNone,  // a Number; a report also holds 0 for none
  Off,           // no value: sets its setting to false (0)
  Text,          // any text (see `what`)
  File,          // a file name, not empty
  FileOrOut,     // a File; given last or before another option: "-", standard output
  Action,        // no value: the program does this instead of a command
};

inline constexpr unsigned long kMaxCount = 4294967295UL;

// clang-format off
#define KESTRIO_DNC_OPTIONS(SETTING, OPTION)                                                                          \
  OPTION("--host", "H", command::OneHost, Text, 0, 0, "a host name or address", host, "127.0.0.1",                    \
         nullptr, "fleet takes its hosts from the hosts file", "host of the DNC service")                            \
  SETTING("port", "--port", "P", command::Any, Number, 1, 65535, "a port from 1 to 65535", port, "3873",             \
          nullptr, nullptr, "TCP port of the DNC service")                                                           \
  SETTING("timeout_ms", "--timeout", "MS", command::Any, Number, 0, kMaxCount, "a number of milliseconds",           \
          timeoutMs, "5000; fleet discover: 500", nullptr, nullptr,                                                  \
          "milliseconds to wait for the connection and for each reply")                                              \
  OPTION("--root", "DIR", command::Change | command::FleetChange, Text, 0, 0, nullptr, run.change.root, nullptr,     \
         "an option of change only", "an option of change only",                                                     \
         "change: the folder of the language packs on the machine (e.g. D:\\LanguagePacks)")                         \
  OPTION("--language", "NAME", command::Change | command::FleetChange, Text, 0, 0, nullptr, run.change.language,     \
         nullptr, "an option of change only", "an option of change only",                                            \
         "change: the language to change to, as the scan of the root folder names it")                               \
  SETTING("scan_timeout", "--scan-timeout", "S", command::Change | command::FleetChange, Number, 1, kMaxCount,      \
          "a positive number of seconds", change.scanTimeout, "600", "an option of change only",                     \
          "an option of change only", "change: seconds the scan may take")                                           \
  SETTING("change_timeout", "--change-timeout", "S", command::Change | command::FleetChange, Number, 1, kMaxCount,  \
          "a positive number of seconds", change.changeTimeout, "3600", "an option of change only",                  \
          "an option of change only", "change: seconds the change may take")                                         \
  SETTING("restart_timeout", "--restart-timeout", "S", command::Change | command::FleetChange, Number, 1,           \
          kMaxCount, "a positive number of seconds", change.restartTimeout, "900", "an option of change only",       \
          "an option of change only",                                                                                \
          "change: seconds to wait for the machine's restart after the change and for its answer, then read the "    \
          "language it runs")                                                                                        \
  SETTING("follow_restart", "--no-follow", nullptr, command::Change | command::FleetChange, Off, 0, 1, nullptr,     \
          change.followRestart, nullptr, "an option of change only", "an option of change only",                     \
          "change: end when the change is done (or the connection ends during it) without following the restart")   \
  SETTING("parallel", "--parallel", "N", command::Fleet, Number, 1, 1000, "a number from 1 to 1000", parallel,       \
          "8; fleet discover: 64", "an option of fleet only", nullptr, "fleet: hosts at once")                       \
  SETTING("canary", "--canary", "N", command::FleetChange, Number, 0, 1000000, "a number of hosts", canary, "0",     \
          "an option of fleet change only", "an option of fleet change only",                                        \
          "fleet change: the first N hosts run alone first; if one fails, no other host starts")                     \
  SETTING("max_failures", "--max-failures", "K", command::FleetChange, NumberOrNone, 1, 1000000,                    \
          "a number of hosts from 1", maxFailures, "none", "an option of fleet change only",                         \
          "an option of fleet change only", "fleet change: once K hosts have failed, no new host starts")            \
  OPTION("--json", "FILE", command::Change | command::Status | command::FleetChange | command::FleetHosts,           \
         FileOrOut, 0, 0, nullptr, json, nullptr, "an option of change, status and fleet change only",               \
         "an option of fleet change and fleet hosts only",                                                           \
         "fleet change: the report of every host, FILE, written whole when the run starts, as hosts change state "   \
         "and when it ends; change: the host's entry of such a report (result, code, text, seconds, the language "   \
         "before and after, restart_followed), whatever the end; status: the host's row (reachable, protocol, "      \
         "language, status, error); fleet hosts: the entries; FILE - or none: standard output (change's progress "   \
         "then goes to standard error)")                                                                             \
  OPTION("--retry", "REPORT", command::FleetChange, File, 0, 0, nullptr, retry, nullptr,                             \
         "an option of fleet change only", "an option of fleet change only",                                         \
         "fleet change: the hosts of REPORT that failed, were under way or were not started")                        \
  OPTION("--write", "HOSTS", command::FleetDiscover, File, 0, 0, nullptr, write, nullptr, "an option of fleet only",  \
         "an option of fleet discover only", "fleet discover: write the machines found as a hosts file")             \
  OPTION("--version", nullptr, command::Any, Action, 0, 0, nullptr, version, nullptr, nullptr, nullptr,              \
         "print this program's version and exit")                                                                    \
  OPTION("--help", nullptr, command::Any, Action, 0, 0, nullptr, help, nullptr, nullptr, nullptr,                    \
         "print this text and exit")
// clang-format on

}  // namespace kestrio::remote
