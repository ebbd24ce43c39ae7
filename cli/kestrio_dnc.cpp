// kestrio-dnc: the remote service from a command line.  Reads and writes the
// host's variables, and runs a whole language change the way a remote
// client does it: ROOTDIR, wait, the names found, NEXT and GO, wait.
//
//   kestrio-dnc [--host H] [--port P] [--timeout MS] read NAME...
//                                                    write NAME=VALUE...
//                                                    version | vars
//                                                    change --root DIR --language NAME
//   kestrio-dnc [--port P] [--timeout MS] fleet status HOSTS
//   kestrio-dnc [--port P] [--timeout MS] fleet change HOSTS --root DIR --language NAME
//                                                    [--parallel N] [--json FILE]
//   kestrio-dnc --version                            this program's version
//
// Exit status: 0 done; 1 the host answered with an error, the engine
// failed or a wait ran out; 2 no connection or no usable answer, or a
// command line that cannot be sent; 3 (change) the connection ended after
// GO was accepted: the machine may be restarting.  fleet: 0 every host
// done, skipped (or, for status, reachable); 1 some host failed, was not
// reached or was not started; 2 the hosts file or the arguments are
// unusable.
//
// This program ships to the CNC beside Kestrio.exe.  It writes with stdio
// and reads its command line itself: iostreams (and a parser built on them)
// would add a megabyte of static C++ runtime to the Windows executable.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dnc/client.h"
#include "dnc/fleet.h"
#include "dnc/protocol.h"
#include "dnc/session.h"
#include "dnc/setup_variables.h"
#include "kestrio_version.h"
#include "cli/terminal.h"

namespace {

namespace dnc = kestrio::dnc;
using Clock = std::chrono::steady_clock;

constexpr int kFailed = 1;  // an error reply, an engine error, a wait that ran out
constexpr int kNoHost = 2;  // no connection, no usable answer, a request that cannot be sent
constexpr int kLostDuringChange = 3;  // the connection ended after GO was accepted


// Standard output, written at once: a script or a terminal sees each piece
// as soon as it is printed.
void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void Complain(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "kestrio-dnc: %s\n", text.c_str());
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t k = 0; k < items.size(); ++k) out += (k ? separator : "") + items[k];
  return out;
}

// What `change` shows while it waits.  On a terminal one line is rewritten
// in place (seconds in the phase, the phase, a spinner) and left on screen
// when the phase ends; elsewhere each phase and result is a plain line that
// a log or a script can read.
class Progress {
 public:
  explicit Progress(bool live) : live_(live) {}

  void Begin(const std::string& liveText, const std::string& plainText) {
    End();
    phase_ = liveText;
    start_ = Clock::now();
    if (live_) Draw(false);
    else Line(plainText);
  }
  void Tick() {
    if (live_ && open_) Draw(false);
  }
  void End() {
    if (!open_) return;
    Draw(true);
    Print("\n");
    open_ = false;
    width_ = 0;
  }
  void Line(const std::string& text) {
    End();
    Print(text + '\n');
  }
  long Seconds() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count());
  }

 private:
  void Draw(bool last) {
    static constexpr char kSpinner[] = {'|', '/', '-', '\\'};
    char head[32];
    std::snprintf(head, sizeof head, "[%4ld s] ", Seconds());
    std::string line = head + phase_;
    if (!last) line += std::string("  ") + kSpinner[spin_++ % sizeof kSpinner];
    const std::size_t width = line.size();
    if (width < width_) line.append(width_ - width, ' ');  // clear what the last one left
    width_ = width;
    Print('\r' + line);
    open_ = true;
  }

  bool live_;
  bool open_ = false;       // a live line is on screen without its newline
  std::string phase_;       // the live line's text
  Clock::time_point start_ = Clock::now();
  std::size_t width_ = 0;   // characters of the last live line
  std::size_t spin_ = 0;
};

// How a session's first failure ends the command: told once (a failure on
// the connection names the host), and its exit status.
int Report(const dnc::Session& session, dnc::Fault fault, const std::string& problem) {
  const bool onConnection = fault == dnc::Fault::NoAnswer || fault == dnc::Fault::Lost;
  Complain((onConnection ? session.Address() + ": " : "") + problem);
  if (fault == dnc::Fault::Refused) return kFailed;
  return fault == dnc::Fault::Lost ? kLostDuringChange : kNoHost;
}
int Report(const dnc::Session& session) { return Report(session, session.GetFault(), session.Problem()); }

// ---- Commands --------------------------------------------------------------
//
// Requests that cannot carry their names or values are refused before a
// connection is made (dnc::Request says why).

int Refuse(const std::string& text) {
  Complain(text);
  return kNoHost;
}

int ReadCommand(dnc::Session& remote, const std::vector<std::string>& names) {
  const dnc::Request request = names.size() == 1 ? dnc::ReadRequest(names[0]) : dnc::ListReadRequest(names);
  if (!request.Ok()) return Refuse(request.problem);
  if (!remote.Connect()) return Report(remote);
  if (names.size() == 1) {
    std::string value;
    if (!remote.Read(names[0], value)) return Report(remote);
    Print(value + '\n');
    return 0;
  }
  std::vector<std::string> values;
  if (!remote.ReadList(names, values)) return Report(remote);
  for (std::size_t k = 0; k < names.size(); ++k) Print(names[k] + '=' + values[k] + '\n');
  return 0;
}

int WriteCommand(dnc::Session& remote, const std::vector<std::string>& assignments) {
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
  if (!remote.Connect() || !(list ? remote.WriteList(names, values) : remote.Write(names[0], values[0])))
    return Report(remote);
  Print("ok\n");
  return 0;
}

int VersionCommand(dnc::Session& remote) {
  std::string version;
  if (!remote.Connect() || !remote.Version(version)) return Report(remote);
  Print(version + '\n');
  return 0;
}

int VarsCommand(dnc::Session& remote) {
  std::string list;
  if (!remote.Connect() || !remote.Read("KESTRIO.@LIST", list)) return Report(remote);
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(';', start), list.size());
    if (end > start) Print(list.substr(start, end - start) + '\n');
    start = end + 1;
  }
  return 0;
}

// The remote language change with its progress: phases on a live line or as
// plain lines, the packs found, and the engine's text of a failure.
int ChangeCommand(dnc::Session& remote, const dnc::RemoteChangeSettings& change) {
  Progress progress(kestrio::cli::StdoutIsTerminal());
  dnc::RemoteChangeSteps steps;
  steps.current = [&](const std::string& language) { progress.Line("current language: " + language); };
  steps.scanning = [&] { progress.Begin("scanning " + change.root, "scanning " + change.root); };
  steps.found = [&](std::int32_t count, const std::vector<std::string>& names) {
    progress.End();
    if (names.empty()) return;
    std::string line = "found " + std::to_string(count) + " language pack" + (count == 1 ? "" : "s") + ": " +
                       Join(names, ", ");
    if (names.size() < static_cast<std::size_t>(count))
      line += " (the host names the first " + std::to_string(names.size()) + ")";
    progress.Line(line);
  };
  steps.changing = [&] { progress.Begin("installing " + change.language, "changing to " + change.language); };
  steps.waiting = [&] { progress.Tick(); };
  const dnc::RemoteChangeResult r = dnc::RunRemoteChange(remote, change, steps);
  progress.End();
  if (r.end != dnc::ChangeEnd::Done)
    return Report(remote, r.fault, r.code ? r.step + " failed: " + r.text + " (" + std::to_string(r.code) + ")" : r.text);
  progress.Line("done: " + change.language + " is installed; the machine restarts to finish");
  return 0;
}

// ---- fleet -------------------------------------------------------------------
//
// The same procedure on every host of a hosts file, a bounded number at once.
// On a Linux terminal a table, one row per host, is redrawn in place; piped,
// and always on Windows, each change of a host's state is one plain line.

namespace fleet = dnc::fleet;

constexpr std::size_t kMaxFile = 1 << 20;  // a hosts file or a report

// A file of at most 1 MiB, or nullopt with the reason told.
std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    Complain(path + ": cannot be read");
    return std::nullopt;
  }
  std::string text(kMaxFile + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file));
  const bool readError = std::ferror(file) != 0;
  std::fclose(file);
  if (readError || text.size() > kMaxFile) {
    Complain(path + (readError ? ": cannot be read" : ": larger than 1 MiB"));
    return std::nullopt;
  }
  return text;
}

// The hosts file, or why it is unusable (then nothing starts).
std::optional<std::vector<fleet::HostEntry>> ParseHostsFile(const std::string& path, const std::string& text,
                                                           std::uint16_t defaultPort) {
  fleet::HostsFile hosts = fleet::ParseHosts(text, defaultPort);
  if (!hosts.Ok()) {
    Complain(path + ": " + hosts.error);
    return std::nullopt;
  }
  return std::move(hosts.hosts);
}

// Columns padded to the widest cell, two spaces apart; the last one as it is.
std::vector<std::string> Columns(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      widths[c] = std::max(widths[c], row[c].size());
    }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - row[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

int FleetStatus(const std::vector<fleet::HostEntry>& hosts, unsigned parallel, unsigned timeoutMs) {
  std::vector<fleet::HostStatus> found(hosts.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < hosts.size();) found[k] = fleet::QueryStatus(hosts[k], timeoutMs);
  };
  std::vector<std::thread> pool;
  for (std::size_t k = 0; k < std::min<std::size_t>(parallel, hosts.size()); ++k) pool.push_back(std::thread(worker));
  for (auto& t : pool) t.join();

  std::vector<std::vector<std::string>> rows{{"NAME", "ADDRESS", "REACHABLE", "PROTOCOL", "LANGUAGE", "STATUS"}};
  int exitCode = 0;
  for (std::size_t k = 0; k < hosts.size(); ++k) {
    const fleet::HostStatus& s = found[k];
    if (!s.reachable) exitCode = kFailed;
    rows.push_back({hosts[k].name, hosts[k].Address(), s.reachable ? "yes" : "no", s.reachable ? s.protocol : "-",
                    s.reachable && !s.language.empty() ? s.language : "-", s.reachable ? s.Describe() : s.problem});
  }
  for (const auto& line : Columns(rows)) Print(line + '\n');
  return exitCode;
}

struct FleetOptions {
  unsigned parallel = 8;
  unsigned canary = 0;
  unsigned maxFailures = 0;
  std::string json;   // the report's file, empty: none
  std::string retry;  // an earlier report whose failed and not started hosts run again
};

// A cell of the live table is cut so that a row stays on one line.
std::string Cut(const std::string& text, std::size_t limit) {
  return text.size() <= limit ? text : text.substr(0, limit - 3) + "...";
}

std::vector<std::string> TableLines(const std::vector<fleet::HostReport>& reports, fleet::Clock::time_point now) {
  std::vector<std::vector<std::string>> rows{{"NAME", "ADDRESS", "STATE", "TIME", "RESULT"}};
  for (const auto& r : reports) {
    std::string state = fleet::StateName(r.state);
    state.resize(std::max<std::size_t>(state.size(), 11), ' ');  // the widest state: the columns stay put
    rows.push_back({r.host.name, r.host.Address(), state,
                    r.started == fleet::Clock::time_point{} ? "" : Seconds(r.TotalSeconds(now)), Cut(r.text, 60)});
  }
  return Columns(rows);
}

std::string PlainLine(const fleet::HostReport& r) {
  std::string line = r.host.name + " " + r.host.Address() + " " + fleet::StateName(r.state);
  if (fleet::Finished(r.state) && r.started != fleet::Clock::time_point{}) line += " after " + Seconds(r.TotalSeconds(r.ended));
  if (!r.text.empty()) line += ": " + r.text;
  if (r.code != 0) line += " (" + std::to_string(r.code) + ")";
  return line + '\n';
}

int FleetChangeCommand(const std::vector<fleet::HostEntry>& hosts, const fleet::ChangeSettings& settings,
                       const FleetOptions& options) {
  // The report's file is opened first: a report that cannot be written is a
  // reason not to start.
  std::FILE* json = nullptr;
  if (!options.json.empty() && !(json = std::fopen(options.json.c_str(), "wb"))) {
    Complain(options.json + ": cannot be written");
    return kNoHost;
  }
  static std::atomic<bool> interrupted{false};
  kestrio::cli::CatchInterrupt(&interrupted);
  const bool live = kestrio::cli::StdoutRedrawsInPlace();
  fleet::FleetChange run(hosts, settings);
  std::atomic<bool> finished{false};
  const auto onUpdate = [live](const fleet::HostReport& r) {
    if (!live) Print(PlainLine(r));
  };
  std::thread runner = kestrio::cli::StartShieldedThread([&] {
    run.Run(interrupted, onUpdate);
    finished.store(true);
  });

  std::size_t drawn = 0;  // lines of the table on screen
  const auto draw = [&] {
    std::string text = drawn ? "\033[" + std::to_string(drawn) + "A" : "";
    const auto lines = TableLines(run.Snapshot(), fleet::Clock::now());
    for (const auto& line : lines) text += "\r" + line + "\033[K\n";
    drawn = lines.size();
    Print(text);
  };
  bool toldOfInterrupt = false;
  while (!finished.load()) {
    if (live) draw();
    if (interrupted.load() && !toldOfInterrupt) {
      toldOfInterrupt = true;
      const std::string note = "interrupted: no new host starts; the hosts under way finish (Ctrl-C again ends "
                               "the client at once)\n";
      Print(note);
      drawn = 0;  // the table goes on below the note
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(live ? 200 : 50));
  }
  runner.join();
  if (live) draw();

  const std::vector<fleet::HostReport> reports = run.Snapshot();
  if (live)
    for (const auto& r : reports)
      if (r.state == fleet::State::Failed) Print(PlainLine(r));
  const fleet::Summary s = fleet::Summarize(reports);
  std::string summary = "summary: " + std::to_string(s.done) + " done, " + std::to_string(s.skipped) + " skipped, " +
                        std::to_string(s.failed) + " failed";
  if (s.notStarted) summary += ", " + std::to_string(s.notStarted) + " not started (" + run.StopReason() + ")";
  Print(summary + '\n');

  int exitCode = s.failed || s.notStarted ? kFailed : 0;
  if (json) {
    const std::string report = fleet::JsonReport(settings, reports, interrupted.load(), run.StopReason());
    const bool written = std::fwrite(report.data(), 1, report.size(), json) == report.size();
    if (std::fclose(json) != 0 || !written) {
      Complain(options.json + ": the report could not be written whole");
      exitCode = kFailed;
    }
  }
  return exitCode;
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
    "  fleet status HOSTS            one row per host of the hosts file: reachable, protocol version,\n"
    "                                current language, status (idle, busy, or the last failure)\n"
    "  fleet change HOSTS --root DIR --language NAME [--parallel N] [--canary N] [--max-failures K]\n"
    "               [--json FILE]    change every host of the hosts file, at most N at once; a host\n"
    "                                already in that language is skipped.  Ctrl-C starts no new host\n"
    "                                and waits for those under way.\n"
    "  fleet change --retry REPORT [--json FILE] ...\n"
    "                                run again the hosts that failed or were not started in the\n"
    "                                report of an earlier fleet change (its hosts file, unchanged,\n"
    "                                its root folder and language)\n"
    "\n"
    "hosts file: one host a line, NAME HOST[:PORT] or HOST[:PORT] (the port of --port by default);\n"
    "blank lines and # comments are allowed.\n"
    "\n"
    "options:\n"
    "  --host H                      host of the DNC service (127.0.0.1)\n"
    "  --port P                      TCP port of the DNC service (3873)\n"
    "  --timeout MS                  milliseconds to wait for the connection and for each reply (5000)\n"
    "  --scan-timeout S              change: seconds the scan may take (600)\n"
    "  --change-timeout S            change: seconds the change may take (3600)\n"
    "  --parallel N                  fleet: hosts at once (8)\n"
    "  --canary N                    fleet change: the first N hosts run alone first; if one fails,\n"
    "                                no other host starts (0)\n"
    "  --max-failures K              fleet change: once K hosts have failed, no new host starts (none)\n"
    "  --json FILE                   fleet change: write a report of every host to FILE\n"
    "  --retry REPORT                fleet change: the hosts of REPORT that failed or were not started\n"
    "  --version                     print this program's version and exit\n"
    "  --help                        print this text and exit\n"
    "\n"
    "exit status: 0 done; 1 an error reply, an engine error or a wait that ran out; 2 no connection\n"
    "or no usable answer, or a command line that cannot be sent; 3 (change) the connection ended\n"
    "after the host accepted GO: the machine may be restarting.  fleet: 0 every host done or skipped\n"
    "(status: reachable); 1 some failed, were not reached or not started; 2 the hosts file or the\n"
    "arguments are unusable.\n";

struct CommandLine {
  std::string host = "127.0.0.1";
  std::uint16_t port = dnc::PUERTO_DNC;
  unsigned timeoutMs = 5000;
  std::string command;              // read, write, version, vars, change or fleet
  std::vector<std::string> values;  // read: names; write: NAME=VALUE items; fleet: status|change HOSTS
  dnc::RemoteChangeSettings change;
  FleetOptions fleet;
  bool hostGiven = false;
  bool help = false;
  bool version = false;
};

// A whole decimal number within [low, high].
std::optional<unsigned long> Number(const std::string& text, unsigned long low, unsigned long high) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return static_cast<unsigned long>(value);
}

// Reads argv into `line`; on a mistake returns what is wrong.
std::optional<std::string> ParseCommandLine(int argc, char** argv, CommandLine& line) {
  constexpr unsigned long kMaxUnsigned = 4294967295UL;
  bool optionsEnded = false;
  std::vector<std::string> changeOnly;  // change's options that were given
  std::vector<std::string> fleetOnly;   // fleet's options that were given
  std::vector<std::string> fleetChangeOnly;  // fleet change's options that were given
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (line.command.empty()) {
        if (arg != "read" && arg != "write" && arg != "version" && arg != "vars" && arg != "change" && arg != "fleet")
          return "unknown command \"" + arg + "\" (read, write, version, vars, change or fleet)";
        line.command = arg;
      } else if (line.command == "read" || line.command == "write") {
        line.values.push_back(arg);
      } else if (line.command == "fleet" && line.values.empty()) {
        if (arg != "status" && arg != "change") return "fleet: unknown command \"" + arg + "\" (status or change)";
        line.values.push_back(arg);
      } else if (line.command == "fleet" && line.values.size() == 1) {
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
    std::string name = arg, value;
    bool hasValue = false;
    if (const auto equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasValue = true;
    }
    const char* const known[] = {"--host",     "--port",         "--timeout",        "--root",   "--language",
                                 "--scan-timeout", "--change-timeout", "--parallel", "--json", "--canary",
                                 "--max-failures", "--retry"};
    if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return name == k; }) ==
        std::end(known))
      return "unknown option " + name;
    if (!hasValue) {
      if (i + 1 >= argc) return name + ": a value is missing";
      value = argv[++i];
    }
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
    } else if (name == "--parallel") {
      const auto n = Number(value, 1, 1000);
      if (!n) return "--parallel: \"" + value + "\" is not a number from 1 to 1000";
      line.fleet.parallel = static_cast<unsigned>(*n);
      fleetOnly.push_back(name);
    } else if (name == "--canary" || name == "--max-failures") {
      const auto n = Number(value, name == "--canary" ? 0 : 1, 1000000);
      if (!n) return name + ": \"" + value + "\" is not a number of hosts" + (name == "--canary" ? "" : " from 1");
      (name == "--canary" ? line.fleet.canary : line.fleet.maxFailures) = static_cast<unsigned>(*n);
      fleetChangeOnly.push_back(name);
    } else if (name == "--json" || name == "--retry") {
      if (value.empty()) return name + ": give a file name";
      (name == "--json" ? line.fleet.json : line.fleet.retry) = value;
      fleetChangeOnly.push_back(name);
    } else {
      changeOnly.push_back(name);
      if (name == "--root") {
        line.change.root = value;
      } else if (name == "--language") {
        line.change.language = value;
      } else {
        const auto seconds = Number(value, 1, kMaxUnsigned);
        if (!seconds) return name + ": \"" + value + "\" is not a positive number of seconds";
        (name == "--scan-timeout" ? line.change.scanTimeout : line.change.changeTimeout) =
            static_cast<unsigned>(*seconds);
      }
    }
  }
  if (line.command.empty()) return "give a command: read, write, version, vars, change or fleet";
  const bool fleetChange = line.command == "fleet" && !line.values.empty() && line.values[0] == "change";
  if (line.command != "change" && !fleetChange && !changeOnly.empty())
    return changeOnly.front() + ": an option of change only";
  if (line.command != "fleet" && !fleetOnly.empty()) return fleetOnly.front() + ": an option of fleet only";
  if (!fleetChange && !fleetChangeOnly.empty()) return fleetChangeOnly.front() + ": an option of fleet change only";
  if (line.command == "fleet") {
    const bool retry = !line.fleet.retry.empty();
    if (retry && line.values.size() == 2) return "--retry: the report names the hosts file; give none";
    for (const auto& option : changeOnly)
      if (retry && (option == "--root" || option == "--language"))
        return option + ": --retry takes the root folder and the language from the report";
    if (line.values.size() < 2 && !retry) return "fleet: give status or change and a hosts file";
    if (line.hostGiven) return "--host: fleet takes its hosts from the hosts file";
  }
  if ((line.command == "read" || line.command == "write") && line.values.empty())
    return line.command == "read" ? "read: give at least one NAME" : "write: give at least one NAME=VALUE";
  return std::nullopt;
}

// The arguments of fleet change, checked before anything starts.
std::optional<std::string> CheckChangeArguments(const std::string& root, const std::string& language) {
  if (root.empty()) return "--root: give the folder of the language packs";
  if (language.empty()) return "--language: give a language name";
  for (const auto& [option, value] : {std::pair{"--root", &root}, std::pair{"--language", &language}}) {
    const dnc::Request request = dnc::WriteRequest("KESTRIO.NEXT", *value);
    if (!request.Ok()) return std::string(option) + ": " + request.problem;
  }
  return std::nullopt;
}

int FleetCommand(const CommandLine& line) {
  const bool change = line.values[0] == "change";
  fleet::ChangeSettings settings;
  settings.root = line.change.root;
  settings.language = line.change.language;
  std::vector<std::string> retryNames;
  if (!line.fleet.retry.empty()) {
    const auto report = ReadSmallFile(line.fleet.retry);
    if (!report) return kNoHost;
    const fleet::RetryPlan plan = fleet::ReadRetryPlan(*report);
    if (!plan.Ok()) return Refuse(line.fleet.retry + ": " + plan.error);
    settings.root = plan.root;
    settings.language = plan.language;
    settings.hostsFile = plan.hostsFile;
    settings.hostsFingerprint = plan.hostsFingerprint;
    retryNames = plan.names;
  } else {
    settings.hostsFile = line.values[1];
  }
  if (change)
    if (const auto mistake = CheckChangeArguments(settings.root, settings.language)) return Refuse(*mistake);
  const auto text = ReadSmallFile(settings.hostsFile);
  if (!text) return kNoHost;
  if (!line.fleet.retry.empty() && fleet::Fingerprint(*text) != settings.hostsFingerprint)
    return Refuse(line.fleet.retry + ": the hosts file " + settings.hostsFile +
                  " changed since the report was written; run fleet change on it anew");
  auto hosts = ParseHostsFile(settings.hostsFile, *text, line.port);
  if (!hosts) return kNoHost;
  if (!change) return FleetStatus(*hosts, line.fleet.parallel, line.timeoutMs);
  if (!line.fleet.retry.empty()) {
    fleet::HostsFile selected = fleet::SelectHosts(*hosts, retryNames);
    if (!selected.Ok()) return Refuse(line.fleet.retry + ": " + selected.error);
    if (selected.hosts.empty()) {
      Print("nothing to retry: every host of " + line.fleet.retry + " is done or skipped\n");
      return 0;
    }
    Print("retrying " + std::to_string(selected.hosts.size()) + " of the hosts of " + line.fleet.retry + " (" +
          settings.language + " from " + settings.root + ")\n");
    hosts = std::move(selected.hosts);
  }
  settings.hostsFingerprint = fleet::Fingerprint(*text);
  settings.parallel = line.fleet.parallel;
  settings.canary = line.fleet.canary;
  settings.maxFailures = line.fleet.maxFailures;
  settings.timeoutMs = line.timeoutMs;
  settings.scanTimeout = line.change.scanTimeout;
  settings.changeTimeout = line.change.changeTimeout;
  return FleetChangeCommand(*hosts, settings, line.fleet);
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  if (const auto mistake = ParseCommandLine(argc, argv, line)) {
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

  dnc::Session remote(line.host, line.port, line.timeoutMs);
  if (line.command == "read") return ReadCommand(remote, line.values);
  if (line.command == "write") return WriteCommand(remote, line.values);
  if (line.command == "version") return VersionCommand(remote);
  if (line.command == "vars") return VarsCommand(remote);
  if (line.command == "fleet") return FleetCommand(line);
  if (const auto mistake = CheckChangeArguments(line.change.root, line.change.language)) return Refuse(*mistake);
  return ChangeCommand(remote, line.change);
}
