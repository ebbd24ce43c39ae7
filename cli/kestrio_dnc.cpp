// kestrio-dnc: the remote service from a command line.  Reads and writes the
// host's variables, and runs a whole language change the way a remote
// client does it: ROOTDIR, wait, the names found, NEXT and GO, wait.
//
//   kestrio-dnc [--host H] [--port P] [--timeout MS] read NAME...
//                                                    write NAME=VALUE...
//                                                    version | vars
//                                                    change --root DIR --language NAME
//                                                      [--restart-timeout S | --no-follow] [--json FILE|-]
//                                                    status [--json [FILE|-]]
//   kestrio-dnc [--port P] [--timeout MS] fleet status HOSTS
//   kestrio-dnc [--port P] fleet hosts HOSTS [--json [FILE|-]]
//   kestrio-dnc [--port P] [--timeout MS] fleet change HOSTS --root DIR --language NAME
//                                  [--parallel N] [--canary N] [--max-failures K] [--json FILE]
//   kestrio-dnc [--port P] [--timeout MS] fleet change --retry REPORT [--json FILE] ...
//   kestrio-dnc [--port P] [--timeout MS] fleet discover RANGE... [--parallel N] [--write HOSTS]
//   kestrio-dnc --version                            this program's version
//
// Exit status: 0 done; 1 the host answered with an error, the engine
// failed or a wait ran out; 2 no connection or no usable answer, or a
// command line that cannot be sent; 3 (change) the machine did not answer
// again within the restart time-out (--no-follow: the connection ended after
// GO was accepted: the machine may be restarting).  fleet: 0 every host
// done, skipped (or, for status, reachable; for discover, a machine found);
// 1 some host failed, was not reached or was not started (discover: none
// found, or interrupted); 2 the hosts file or the arguments are unusable.
// The fleet commands are in kestrio_dnc_fleet.cpp.
//
// This program ships to the CNC beside Kestrio.exe.  It writes with stdio
// and reads its command line itself: iostreams (and a parser built on them)
// would add a megabyte of static C++ runtime to the Windows executable.
#include "base/text.h"
#include "cli/kestrio_dnc.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/terminal.h"
#include "dnc/client.h"
#include "platform/desk.h"
#include "dnc/protocol.h"
#include "remote/session.h"
#include "kestrio_version.h"

namespace kestrio::cli {

void Print(const std::string& text) { WriteText(stdout, text); }

void Complain(const std::string& text) {
  std::fflush(stdout);
  WriteText(stderr, "kestrio-dnc: " + text + '\n');
}

int Refuse(const std::string& text) {
  Complain(text);
  return kNoHost;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t k = 0; k < items.size(); ++k) out += (k ? separator : "") + items[k];
  return out;
}

std::optional<std::string> CheckChangeArguments(const std::string& root, const std::string& language) {
  if (root.empty()) return "--root: give the folder of the language packs";
  if (language.empty()) return "--language: give a language name";
  for (const auto& [option, value] : {std::pair{"--root", &root}, std::pair{"--language", &language}}) {
    const dnc::Request request = dnc::WriteRequest("KESTRIO.NEXT", *value);
    if (!request.Ok()) return std::string(option) + ": " + request.problem;
  }
  return std::nullopt;
}

}  // namespace kestrio::cli

namespace {

namespace dnc = kestrio::dnc;
namespace remote = kestrio::remote;
using namespace kestrio::cli;
using Clock = std::chrono::steady_clock;

// What `change` shows while it waits.  On a terminal one line is rewritten
// in place (what it waits for, how long of how long, a spinner) and left on
// screen when the phase ends; elsewhere each phase and result is a plain line
// that a log or a script can read, and a wait says every minute how long it
// has waited.  Its texts carry what the machine sent (its language, pack
// names, error texts): control characters are shown as '?'.
class Progress {
 public:
  // `out`: stdout, or stderr when standard output carries JSON.
  Progress(bool live, std::FILE* out) : live_(live), out_(out) {}

  // A wait of at most `limit` seconds (0: none) for what `waitText` names.
  void Begin(const std::string& waitText, const std::string& plainText, unsigned limit) {
    End();
    phase_ = kestrio::text::Printable(waitText);
    limit_ = limit;
    start_ = Clock::now();
    told_ = 0;
    if (live_) Draw(false);
    else Line(plainText);
  }
  void Tick() {
    if (live_ && open_) {
      Draw(false);
    } else if (!live_ && !phase_.empty() && Seconds() / 60 > told_) {
      told_ = Seconds() / 60;
      Line("still " + Elapsed());
    }
  }
  void End() {
    if (open_) {
      Draw(true);
      Put("\n");
      open_ = false;
      width_ = 0;
    }
    phase_.clear();
  }
  void Line(const std::string& text) {
    if (open_) End();
    Put(kestrio::text::Printable(text) + '\n');
  }

 private:
  long Seconds() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count());
  }
  static std::string MinutesAndSeconds(long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
  }
  // "waiting for the restart: 0:35 of 15:00"
  std::string Elapsed() const {
    return phase_ + ": " + MinutesAndSeconds(Seconds()) + (limit_ ? " of " + MinutesAndSeconds(limit_) : "");
  }
  void Draw(bool last) {
    static constexpr char kSpinner[] = {'|', '/', '-', '\\'};
    std::string line = Elapsed();
    if (!last) line += std::string("  ") + kSpinner[spin_++ % sizeof kSpinner];
    const std::size_t width = line.size();
    if (width < width_) line.append(width_ - width, ' ');  // clear what the last one left
    width_ = width;
    Put('\r' + line);
    open_ = true;
  }
  void Put(const std::string& text) { WriteText(out_, text); }

  bool live_;
  std::FILE* out_;
  bool open_ = false;       // a live line is on screen without its newline
  std::string phase_;       // what is waited for; empty between waits
  unsigned limit_ = 0;      // seconds
  Clock::time_point start_ = Clock::now();
  long told_ = 0;           // minutes of the wait told in plain lines
  std::size_t width_ = 0;   // characters of the last live line
  std::size_t spin_ = 0;
};

// How a session's first failure ends the command: told once (a failure on
// the connection names the host), and its exit status.
int Report(const remote::Session& session, remote::Fault fault, const std::string& problem) {
  const bool onConnection = fault == remote::Fault::NoAnswer || fault == remote::Fault::Lost;
  Complain((onConnection ? session.Address() + ": " : "") + kestrio::text::Printable(problem));
  if (fault == remote::Fault::Refused || fault == remote::Fault::NotTaken) return kFailed;
  return fault == remote::Fault::Lost ? kLostDuringChange : kNoHost;
}
int Report(const remote::Session& session) { return Report(session, session.GetFault(), session.Problem()); }

// ---- Commands --------------------------------------------------------------
//
// Requests that cannot carry their names or values are refused before a
// connection is made (dnc::Request says why).

int ReadCommand(remote::Session& session, const std::vector<std::string>& names) {
  const dnc::Request request = names.size() == 1 ? dnc::ReadRequest(names[0]) : dnc::ListReadRequest(names);
  if (!request.Ok()) return Refuse(request.problem);
  if (!session.Connect()) return Report(session);
  if (names.size() == 1) {
    std::string value;
    if (!session.Read(names[0], value)) return Report(session);
    Print(value + '\n');
    return 0;
  }
  std::vector<std::string> values;
  if (!session.ReadList(names, values)) return Report(session);
  for (std::size_t k = 0; k < names.size(); ++k) Print(names[k] + '=' + values[k] + '\n');
  return 0;
}

int WriteCommand(remote::Session& session, const std::vector<std::string>& assignments) {
  std::vector<std::string> names, values;
  for (const auto& item : assignments) {
    const auto equals = item.find('=');
    if (equals == std::string::npos) return Refuse("\"" + item + "\": expected NAME=VALUE");
    names.push_back(item.substr(0, equals));
    values.push_back(item.substr(equals + 1));
  }
  const bool list = names.size() > 1;
  const dnc::Request request = list ? dnc::ListWriteRequest(names, values) : dnc::WriteRequest(names[0], values[0]);
  if (!request.Ok()) return Refuse(request.problem);
  if (!session.Connect() || !(list ? session.WriteList(names, values) : session.Write(names[0], values[0])))
    return Report(session);
  Print("ok\n");
  return 0;
}

int VersionCommand(remote::Session& session) {
  std::string version;
  if (!session.Connect() || !session.Version(version)) return Report(session);
  Print(kestrio::text::Printable(version) + '\n');
  return 0;
}

int VarsCommand(remote::Session& session) {
  std::string list;
  if (!session.Connect() || !session.Read("KESTRIO.@LIST", list)) return Report(session);
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(';', start), list.size());
    if (end > start) Print(kestrio::text::Printable(list.substr(start, end - start)) + '\n');
    start = end + 1;
  }
  return 0;
}

// The remote language change with its progress: phases on a live line or as
// plain lines, the packs found, and the engine's text of a failure; with
// --json the host's entry of a fleet report, whatever the end (on standard
// output the progress goes to standard error, so that the output is JSON).
int ChangeCommand(remote::Session& session, const CommandLine& command) {
  const remote::RemoteChangeSettings& change = command.change;
  const bool jsonOut = command.json == "-";
  Progress progress(!jsonOut && kestrio::cli::StdoutIsTerminal(), jsonOut ? stderr : stdout);
  ChangeTimes times;
  times.started = Clock::now();
  remote::RemoteChangeSteps steps;
  steps.current = [&](const std::string& language) { progress.Line("current language: " + language); };
  steps.scanning = [&] {
    progress.Begin("waiting for the scan of " + change.root, "scanning " + change.root, change.scanTimeout);
  };
  steps.found = [&](std::int32_t count, const std::vector<std::string>& names) {
    progress.End();
    if (names.empty()) return;
    std::string line = "found " + std::to_string(count) + " language pack" + (count == 1 ? "" : "s") + ": " +
                       Join(names, ", ");
    if (names.size() < static_cast<std::size_t>(count))
      line += " (the host names the first " + std::to_string(names.size()) + ")";
    progress.Line(line);
  };
  steps.changing = [&] {
    times.scanEnded = Clock::now();
    progress.Begin("waiting for the change to " + change.language, "changing to " + change.language,
                   change.changeTimeout);
  };
  steps.waiting = [&] { progress.Tick(); };
  steps.restarting = [&] {
    progress.Begin("waiting for the restart", "the machine restarts; waiting for it to answer again",
                   change.restartTimeout);
  };
  const remote::RemoteChangeResult r = remote::RunRemoteChange(session, change, steps);
  times.ended = Clock::now();
  progress.End();
  const bool written = command.json.empty() || WriteJson(command.json, ChangeJson(command, r, times));
  if (r.end != remote::ChangeEnd::Done)
    return Report(session, r.fault, r.code ? r.step + " failed: " + r.text + " (" + std::to_string(r.code) + ")" : r.text);
  progress.Line(r.restartFollowed ? "done: " + r.text
                                  : "done: " + change.language + " is installed; the machine restarts to finish");
  return written ? 0 : kFailed;
}

// ---- Command line ------------------------------------------------------------
//
// The options may stand before or after the command; "--name value" and
// "--name=value" are both understood, and "--" ends the options.

constexpr const char* kUsage =
    "kestrio-dnc: reads and writes the setup's variables over the DNC service, and runs a remote\n"
    "language change.\n"
    "\n"
    "usage: kestrio-dnc [OPTIONS] COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  read NAME...                  read variables: one prints its value, several print NAME=value\n"
    "                                lines (e.g. KESTRIO.STATUS, KESTRIO.NAME.0)\n"
    "  write NAME=VALUE...           write variables (several in one list write); prints ok\n"
    "  version                       print the protocol version of the service\n"
    "  vars                          list the variables of the KESTRIO table\n"
    "  change --root DIR --language NAME\n"
    "                                scan a folder of language packs on the machine (e.g.\n"
    "                                D:\\LanguagePacks) and change to a language the scan found\n"
    "  status                        the host's row of fleet status: protocol version, current\n"
    "                                language, status (idle, busy, or the last failure)\n"
    "  fleet status HOSTS            one row per host of the hosts file: reachable, protocol version,\n"
    "                                current language, status (idle, busy, or the last failure)\n"
    "  fleet hosts HOSTS [--json]    the hosts file as fleet status and change read it: one row per\n"
    "                                entry (line, name, address and port), or the line that makes\n"
    "                                them refuse it (exit status 2); --json: {\"hosts\": [{line, name,\n"
    "                                host, port, address}], \"error\", \"line\"} (the Ansible inventory reads it)\n"
    "  fleet change HOSTS --root DIR --language NAME [--parallel N] [--canary N] [--max-failures K]\n"
    "               [--json FILE]    change every host of the hosts file, at most N at once; a host\n"
    "                                already in that language is skipped.  Ctrl-C starts no new host\n"
    "                                and waits for those under way.\n"
    "  fleet change --retry REPORT [--json FILE] ...\n"
    "                                run again the hosts that failed, were under way or were not\n"
    "                                started in the report of an earlier fleet change (its hosts\n"
    "                                file, unchanged, its root folder, language and settings; an\n"
    "                                option given again overrides the report's); its report holds\n"
    "                                every host of the rollout, those not run again with their\n"
    "                                earlier result and run\n"
    "\n"
    "  fleet discover RANGE... [--write HOSTS]\n"
    "                                probe the DNC port of every address of the ranges (an address,\n"
    "                                ADDRESS/PREFIX of at most 65,536 addresses, or FIRST-LAST); one row\n"
    "                                per Kestrio Setup that answers; --write adds them to a hosts file\n"
    "                                as cnc-ADDRESS, keeping its entries, names and comments (one that\n"
    "                                did not answer is marked \"not found by discover on DATE\")\n"
    "\n"
    "hosts file: one host a line, NAME HOST[:PORT] or HOST[:PORT] (the port of --port by default);\n"
    "blank lines and # comments are allowed, also after an entry (a field that starts with #); UTF-8\n"
    "or Windows-1252 (\"ANSI\").  A name or a machine twice (by its resolved address and port:\n"
    "127.0.0.1, 127.1 and localhost are one) is refused.\n"
    "\n"
    "options:\n"
    "  --host H                      host of the DNC service (127.0.0.1)\n"
    "  --port P                      TCP port of the DNC service (3873)\n"
    "  --timeout MS                  milliseconds to wait for the connection and for each reply (5000;\n"
    "                                fleet discover: 500)\n"
    "  --scan-timeout S              change: seconds the scan may take (600)\n"
    "  --change-timeout S            change: seconds the change may take (3600)\n"
    "  --restart-timeout S           change: seconds to wait for the machine's restart after the\n"
    "                                change and for its answer, then read the language it runs (900)\n"
    "  --no-follow                   change: end when the change is done (or the connection ends\n"
    "                                during it) without following the restart\n"
    "  --parallel N                  fleet: hosts at once (8; fleet discover: 64)\n"
    "  --canary N                    fleet change: the first N hosts run alone first; if one fails,\n"
    "                                no other host starts (0)\n"
    "  --max-failures K              fleet change: once K hosts have failed, no new host starts (none)\n"
    "  --json FILE                   fleet change: the report of every host, FILE, written whole when\n"
    "                                the run starts, as hosts change state and when it ends; change:\n"
    "                                the host's entry of such a report (result, code, text, seconds,\n"
    "                                the language before and after, restart_followed), whatever the\n"
    "                                end; status: the host's row (reachable, protocol, language,\n"
    "                                status, error); fleet hosts: the entries; FILE - or none:\n"
    "                                standard output (change's progress then goes to standard error)\n"
    "  --retry REPORT                fleet change: the hosts of REPORT that failed, were under way or\n"
    "                                were not started\n"
    "  --write HOSTS                 fleet discover: write the machines found as a hosts file\n"
    "  --version                     print this program's version and exit\n"
    "  --help                        print this text and exit\n"
    "\n"
    "exit status: 0 done; 1 an error reply, an engine error or a wait that ran out; 2 no connection\n"
    "or no usable answer, or a command line that cannot be sent; 3 (change) the machine did not\n"
    "answer again within --restart-timeout after the change (with --no-follow: the connection ended\n"
    "after the host accepted GO: the machine may be restarting).  fleet: 0 every host done or skipped\n"
    "(status: reachable; discover: a machine found); 1 some failed, were not reached or not started\n"
    "(discover: none found, or interrupted); 2 the hosts file or the arguments are unusable.\n";

// A whole decimal number within [low, high].
std::optional<unsigned long> Number(const std::string& text, unsigned long low, unsigned long high) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned long>(value);
}

// Reads the arguments (the program's name first) into `line`; on a mistake
// returns what is wrong.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, CommandLine& line) {
  constexpr unsigned long kMaxUnsigned = 4294967295UL;
  bool optionsEnded = false;
  std::vector<std::string> changeOnly;  // change's options that were given
  std::vector<std::string> fleetOnly;   // fleet's options that were given
  std::vector<std::string> fleetChangeOnly;  // fleet change's options that were given
  const std::size_t count = args.size();
  for (std::size_t i = 1; i < count; ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (line.command.empty()) {
        if (arg != "read" && arg != "write" && arg != "version" && arg != "vars" && arg != "change" && arg != "status" &&
            arg != "fleet")
          return "unknown command \"" + arg + "\" (read, write, version, vars, change, status or fleet)";
        line.command = arg;
      } else if (line.command == "read" || line.command == "write") {
        line.values.push_back(arg);
      } else if (line.command == "fleet" && line.values.empty()) {
        if (arg != "status" && arg != "change" && arg != "hosts" && arg != "discover")
          return "fleet: unknown command \"" + arg + "\" (status, change, hosts or discover)";
        line.values.push_back(arg);
      } else if (line.command == "fleet" && (line.values.size() == 1 || line.values[0] == "discover")) {
        line.values.push_back(arg);
      } else {
        return line.command + ": unexpected argument \"" + arg + "\"";
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      return std::nullopt;
    }
    if (arg == "--version") {
      line.version = true;
      return std::nullopt;
    }
    if (arg == "--no-follow") {
      line.change.followRestart = false;
      changeOnly.push_back(arg);
      line.given.push_back(arg);
      continue;
    }
    std::string name = arg, value;
    bool hasValue = false;
    if (const auto equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    }
    const char* const known[] = {"--host",     "--port",         "--timeout",        "--root",   "--language",
                                 "--scan-timeout", "--change-timeout", "--restart-timeout", "--parallel", "--json", "--canary",
                                 "--max-failures", "--retry", "--write"};
    if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return name == k; }) ==
        std::end(known))
      return "unknown option " + name;
    // --json alone (last, or before another option) is standard output.
    if (!hasValue && name == "--json" && (i + 1 >= count || args[i + 1].rfind("--", 0) == 0)) {
      value = "-";
      hasValue = true;
    }
    if (!hasValue) {
      if (i + 1 >= count) return name + ": a value is missing";
      value = args[++i];
    }
    line.given.push_back(name);
    if (name == "--host") {
      if (value.empty()) return "--host: give a host name or address";
      line.host = value;
      line.hostGiven = true;
    } else if (name == "--port") {
      const auto port = Number(value, 1, 65535);
      if (!port) return "--port: \"" + value + "\" is not a port from 1 to 65535";
      line.port = static_cast<std::uint16_t>(*port);
    } else if (name == "--timeout") {
      const auto ms = Number(value, 0, kMaxUnsigned);
      if (!ms) return "--timeout: \"" + value + "\" is not a number of milliseconds";
      line.timeoutMs = static_cast<unsigned>(*ms);
      line.timeoutGiven = true;
    } else if (name == "--parallel") {
      const auto n = Number(value, 1, 1000);
      if (!n) return "--parallel: \"" + value + "\" is not a number from 1 to 1000";
      line.fleet.parallel = static_cast<unsigned>(*n);
      line.fleet.parallelGiven = true;
      fleetOnly.push_back(name);
    } else if (name == "--canary" || name == "--max-failures") {
      const auto n = Number(value, name == "--canary" ? 0 : 1, 1000000);
      if (!n) return name + ": \"" + value + "\" is not a number of hosts" + (name == "--canary" ? "" : " from 1");
      (name == "--canary" ? line.fleet.canary : line.fleet.maxFailures) = static_cast<unsigned>(*n);
      fleetChangeOnly.push_back(name);
    } else if (name == "--write") {
      if (value.empty()) return "--write: give a file name";
      line.fleet.write = value;
      fleetOnly.push_back(name);
    } else if (name == "--json" || name == "--retry") {
      if (value.empty()) return name + ": give a file name";
      (name == "--json" ? line.fleet.json : line.fleet.retry) = value;
      if (name == "--json") line.json = value;
      else fleetChangeOnly.push_back(name);
    } else {
      changeOnly.push_back(name);
      if (name == "--root") {
        line.change.root = value;
      } else if (name == "--language") {
        line.change.language = value;
      } else {
        const auto seconds = Number(value, 1, kMaxUnsigned);
        if (!seconds) return name + ": \"" + value + "\" is not a positive number of seconds";
        (name == "--scan-timeout"     ? line.change.scanTimeout
         : name == "--change-timeout" ? line.change.changeTimeout
                                      : line.change.restartTimeout) = static_cast<unsigned>(*seconds);
      }
    }
  }
  if (line.command.empty()) return "give a command: read, write, version, vars, change, status or fleet";
  const bool fleetChange = line.command == "fleet" && !line.values.empty() && line.values[0] == "change";
  const bool fleetHosts = line.command == "fleet" && !line.values.empty() && line.values[0] == "hosts";
  if (line.command != "change" && !fleetChange && !changeOnly.empty())
    return changeOnly.front() + ": an option of change only";
  if (line.command != "fleet" && !fleetOnly.empty()) return fleetOnly.front() + ": an option of fleet only";
  if (!fleetChange && !fleetChangeOnly.empty()) return fleetChangeOnly.front() + ": an option of fleet change only";
  if (!line.json.empty() && !fleetChange && !fleetHosts && line.command != "change" && line.command != "status")
    return line.command == "fleet" ? "--json: an option of fleet change and fleet hosts only"
                                   : "--json: an option of change, status and fleet change only";
  if (line.json == "-" && fleetChange) return "--json: fleet change writes its report to a file; give one";
  if (line.command == "fleet") {
    const bool retry = !line.fleet.retry.empty();
    if (retry && line.values.size() == 2) return "--retry: the report names the hosts file; give none";
    for (const auto& option : changeOnly)
      if (retry && (option == "--root" || option == "--language"))
        return option + ": --retry takes the root folder and the language from the report";
    if (line.values.size() < 2 && !retry)
      return line.values.size() == 1 && line.values[0] == "discover" ? "fleet discover: give at least one address range"
                                                                      : "fleet: give status, change or hosts and a hosts file";
    if (!line.fleet.write.empty() && line.values[0] != "discover") return "--write: an option of fleet discover only";
    if (line.hostGiven) return "--host: fleet takes its hosts from the hosts file";
  }
  if ((line.command == "read" || line.command == "write") && line.values.empty())
    return line.command == "read" ? "read: give at least one NAME" : "write: give at least one NAME=VALUE";
  return std::nullopt;
}


}  // namespace

bool kestrio::cli::CommandLine::Given(const std::string& option) const {
  return std::find(given.begin(), given.end(), option) != given.end();
}

int main(int argc, char** argv) {
  CommandLine line;
  if (const auto mistake = ParseCommandLine(kestrio::platform::desk::Arguments(argc, argv), line)) {
    Complain(*mistake + " (see kestrio-dnc --help)");
    return kNoHost;
  }
  if (line.help) {
    Print(kUsage);
    return 0;
  }
  if (line.version) {
    Print(std::string(KESTRIO_VERSION_TEXT) + '\n');
    return 0;
  }

  remote::Session session(line.host, line.port, line.timeoutMs);
  if (line.command == "read") return ReadCommand(session, line.values);
  if (line.command == "write") return WriteCommand(session, line.values);
  if (line.command == "version") return VersionCommand(session);
  if (line.command == "vars") return VarsCommand(session);
  if (line.command == "fleet") return FleetCommand(line);
  if (line.command == "status") return StatusCommand(line);
  if (const auto mistake = CheckChangeArguments(line.change.root, line.change.language)) return Refuse(*mistake);
  return ChangeCommand(session, line);
}
