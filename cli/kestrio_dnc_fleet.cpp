// kestrio-dnc fleet: the commands on many hosts.  status and change read a
// hosts file (hosts shows it as they read it); discover finds the hosts of
// address ranges and can write one.
// change runs the remote change on every host, a bounded number at once: on
// a Linux terminal a table, one row per host, is redrawn in place; piped,
// and always on Windows, each change of a host's state is one plain line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "cli/kestrio_dnc.h"
#include "cli/terminal.h"
#include "platform/desk.h"
#include "platform/net.h"
#include "remote/discover.h"
#include "remote/fleet.h"
#include "remote/host_json.h"
#include "remote/report.h"

namespace kestrio::cli {
namespace {

namespace fleet = remote;

// A hosts file or a report: a report of 5,000 hosts is about 1.5 MiB; the
// bound only keeps a wrong file (a disk image, a device) out of memory.
constexpr std::size_t kMaxFile = std::size_t{256} << 20;

// A whole file, or nullopt with the reason told.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::string text, error;
  if (platform::desk::ReadWholeFile(path, kMaxFile, text, error) == platform::desk::FileRead::Read) return text;
  Complain(path + ": " + error);
  return std::nullopt;
}

// Told once a run, whichever stage or command finds it first.
void TellShortOfThreads(unsigned made, unsigned wanted) {
  static std::atomic<bool> told{false};
  if (!told.exchange(true))
    Complain("the system made " + std::to_string(made) + " of the " + std::to_string(wanted) +
             " threads asked for; the run goes on with " + std::to_string(made) + " at once");
}

// The fleet's one resolver: the system's, as Connect uses it.  A host that
// does not resolve is left to its connection.
bool Resolve(const std::string& host, std::uint32_t& address) {
  std::string unresolved;
  return platform::net::ResolveIPv4(host, address, unresolved);
}

// The hosts file, or why it is unusable (then nothing starts).
std::optional<std::vector<fleet::HostEntry>> ParseHostsFile(const std::string& path, const std::string& text,
                                                           std::uint16_t defaultPort) {
  fleet::HostsFile hosts = fleet::ReadHosts(text, defaultPort, Resolve);
  if (!hosts.Ok()) {
    Complain(path + ": " + hosts.error);
    return std::nullopt;
  }
  return std::move(hosts.hosts);
}

// Runs `work` on a thread of its own (StartShieldedThread) and calls
// `meanwhile` every `pause` until it has returned.  When the system made no
// thread, `work` has run on this one already and nothing is joined.
void RunWatched(const std::function<void()>& work, const std::function<void()>& meanwhile,
                std::chrono::milliseconds pause) {
  std::atomic<bool> finished{false};
  std::thread runner = StartShieldedThread([&] {
    work();
    finished.store(true);
  });
  while (!finished.load()) {
    meanwhile();
    std::this_thread::sleep_for(pause);
  }
  if (runner.joinable()) runner.join();
}

// Columns padded to the widest cell, two spaces apart; the last one as it is.
// Cells may hold what a machine sent: they are made printable first.
std::vector<std::string> Columns(std::vector<std::vector<std::string>> rows) {
  for (auto& row : rows)
    for (auto& cell : row) cell = text::Printable(cell);
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      widths[c] = std::max(widths[c], text::Utf16Length(row[c]));  // a name like Fräse-1 takes 7 columns
    }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - text::Utf16Length(row[c]) + 2, ' ');
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
  const unsigned made = fleet::ForEachAtOnce(0, hosts.size(), parallel, [] { return false; },
                                             [&](std::size_t k) { found[k] = fleet::QueryStatus(hosts[k], timeoutMs); });
  if (const unsigned wanted = fleet::WorkersFor(hosts.size(), parallel); made < wanted) TellShortOfThreads(made, wanted);

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
  if (!r.text.empty()) line += ": " + text::Printable(r.text);
  if (r.code != 0) line += " (" + std::to_string(r.code) + ")";
  return line + '\n';
}

// The run's record, written when the run starts, each time the hosts change
// state and when it ends, each time whole (a temporary file renamed over the
// last), so that whatever ends the client leaves a report that parses.
class ReportFile {
 public:
  ReportFile(std::string path, const fleet::ChangeSettings& settings, const fleet::Rollout& rollout)
      : path_(std::move(path)), settings_(settings), rollout_(rollout) {}
  bool Wanted() const { return !path_.empty(); }
  bool Write(const fleet::FleetChange& run, bool interrupted, bool finished) {
    if (path_.empty()) return true;
    const std::string report = fleet::JsonReport(settings_, run.Snapshot(), interrupted,
                                                 finished ? run.StopReason() : std::string(), finished, rollout_);
    std::string error;
    if (platform::desk::ReplaceWholeFile(path_, report, error)) return true;
    if (!told_) Complain(error);
    told_ = true;
    return false;
  }

 private:
  std::string path_;
  const fleet::ChangeSettings& settings_;
  const fleet::Rollout& rollout_;
  bool told_ = false;
};

int FleetChangeCommand(const std::vector<fleet::HostEntry>& hosts, const fleet::ChangeSettings& settings,
                       const fleet::Rollout& rollout, const FleetOptions& options) {
  // The report a retry reads is its only list of what is left to do: when
  // the new report is to replace it, the run writes beside it and replaces
  // it only once the run has ended.
  const bool replacesInput = !options.json.empty() && !options.retry.empty() &&
                             (options.json == options.retry || platform::desk::SameFile(options.json, options.retry));
  const std::string working = replacesInput ? options.json + ".partial" : options.json;
  fleet::FleetChange run(hosts, settings);
  run.OnShortOfThreads(TellShortOfThreads);
  ReportFile report(working, settings, rollout);
  // A report that cannot be written is a reason not to start.
  if (!report.Write(run, false, false)) return kNoHost;
  if (replacesInput)
    Print("the report is kept in " + working + " while the run goes on; " + options.json +
          " is replaced when it ends\n");

  static std::atomic<bool> interrupted{false};
  CatchInterrupt(&interrupted);
  const bool live = StdoutRedrawsInPlace();
  std::atomic<unsigned> changes{0};  // state changes so far; the report follows them
  const auto onUpdate = [live, &changes](const fleet::HostReport& r) {
    if (!live) Print(PlainLine(r));
    changes.fetch_add(1);
  };

  std::size_t drawn = 0;  // lines of the table on screen
  const auto draw = [&] {
    std::string text = drawn ? "\033[" + std::to_string(drawn) + "A" : "";
    const auto lines = TableLines(run.Snapshot(), fleet::Clock::now());
    for (const auto& line : lines) text += "\r" + line + "\033[K\n";
    drawn = lines.size();
    Print(text);
  };
  bool toldOfInterrupt = false;
  unsigned written = 0;  // the state changes the report on disk holds
  RunWatched([&] { run.Run(interrupted, onUpdate); },
             [&] {
               if (live) draw();
               if (interrupted.load() && !toldOfInterrupt) {
                 toldOfInterrupt = true;
                 const std::string note =
                     "interrupted: no new host starts; the hosts under way finish (Ctrl-C again ends "
                     "the client at once)\n";
                 Print(note);
                 drawn = 0;  // the table goes on below the note
               }
               // A burst of hosts that end together is one write.
               if (const unsigned now = changes.load(); now != written && report.Wanted()) {
                 report.Write(run, interrupted.load(), false);
                 written = now;
               }
             },
             std::chrono::milliseconds(live ? 200 : 50));
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
  if (report.Wanted()) {
    std::string error;
    if (!report.Write(run, interrupted.load(), true)) {
      exitCode = kFailed;
    } else if (replacesInput) {
      // The whole new report goes over the old one, as one rename.
      const auto text = ReadWholeFile(working);
      if (!text || !platform::desk::ReplaceWholeFile(options.json, *text, error)) {
        if (text) Complain(error);
        Complain("the report of this run is in " + working);
        exitCode = kFailed;
      } else {
        platform::desk::RemoveFile(working);
      }
    }
  }
  return exitCode;
}

// ---- discover ----------------------------------------------------------------

// The hosts file a discover is to write over, as it is: empty when there is
// none yet; nullopt (told) when it is there but cannot be read whole.
std::optional<std::string> OldInventory(const std::string& path, std::uint16_t port) {
  std::string text, error;
  switch (platform::desk::ReadWholeFile(path, kMaxFile, text, error)) {
    case platform::desk::FileRead::Missing: return std::string();
    case platform::desk::FileRead::Failed: Complain(path + ": " + error); return std::nullopt;
    case platform::desk::FileRead::Read: break;
  }
  const fleet::HostsFile hosts = fleet::ReadHosts(text, port, Resolve);
  if (!hosts.Ok() && hosts.error != "no hosts") {
    Complain(path + ": " + hosts.error + "; the hosts file is left as it is");
    return std::nullopt;
  }
  return text;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  char text[16] = "";
  if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%d", local);
  return text;
}

bool WriteHostsFile(const std::string& path, const std::vector<std::string>& ranges, std::uint16_t port,
                    const std::vector<std::uint32_t>& probed, const std::vector<fleet::Discovered>& machines) {
  const auto old = OldInventory(path, port);
  if (!old) return false;
  std::vector<std::uint32_t> found;
  for (const auto& m : machines) found.push_back(m.address);
  const std::string header = "# kestrio-dnc fleet discover " + Join(ranges, " ") + " (port " + std::to_string(port) +
                             "): " + std::to_string(machines.size()) + " machine" + (machines.size() == 1 ? "" : "s") +
                             " found";
  const fleet::Inventory inventory = fleet::UpdateInventory(*old, probed, found, port, header, Today(), Resolve);
  if (!inventory.Ok()) {
    Complain(path + ": " + inventory.error + "; the hosts file is left as it is");
    return false;
  }
  std::string error;
  if (!platform::desk::ReplaceWholeFile(path, inventory.text, error)) {
    Complain(error);
    return false;
  }
  Print("hosts file: " + path + " (" + std::to_string(inventory.kept) + " kept, of them " +
        std::to_string(inventory.notFound) + " not found this time; " + std::to_string(inventory.added) + " added)\n");
  return true;
}

int FleetDiscover(const CommandLine& line) {
  const std::vector<std::string> ranges(line.values.begin() + 1, line.values.end());
  const fleet::AddressList list = fleet::ParseRanges(ranges);
  if (!list.Ok()) return Refuse(list.error);
  // A hosts file that would be refused after the probe is refused before it.
  if (!line.fleet.write.empty() && !OldInventory(line.fleet.write, line.port)) return kNoHost;
  const unsigned timeoutMs = line.timeoutGiven ? line.timeoutMs : 500;
  const unsigned parallel = line.fleet.parallelGiven ? line.fleet.parallel : 64;
  static std::atomic<bool> interrupted{false};
  CatchInterrupt(&interrupted);
  const std::size_t total = list.addresses.size();
  // Progress on a terminal for a range that takes more than a moment.
  const bool live = StdoutRedrawsInPlace() && total > 256;
  std::atomic<std::size_t> probed{0};
  std::vector<fleet::Discovered> found;
  const auto started = std::chrono::steady_clock::now();
  RunWatched([&] { found = fleet::Discover(list.addresses, line.port, timeoutMs, parallel, interrupted, probed); },
             [&] {
               if (live)
                 Print("\rprobing port " + std::to_string(line.port) + ": " + std::to_string(probed.load()) + " of " +
                       std::to_string(total) + " addresses\033[K");
             },
             std::chrono::milliseconds(live ? 200 : 20));
  if (live) Print("\r\033[K");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::vector<fleet::Discovered> machines;
  std::vector<std::vector<std::string>> rows{{"ADDRESS", "PROTOCOL", "LANGUAGE", "STATUS"}}, others;
  for (const auto& d : found) {
    if (d.status.reachable) {
      machines.push_back(d);
      rows.push_back({fleet::AddressText(d.address), d.status.protocol,
                      d.status.language.empty() ? "-" : d.status.language, d.status.Describe()});
    } else {
      others.push_back({fleet::AddressText(d.address), d.status.problem});
    }
  }
  if (!machines.empty())
    for (const auto& row : Columns(rows)) Print(row + '\n');
  if (!others.empty()) {
    Print("port open, not a Kestrio Setup:\n");
    for (const auto& row : Columns(others)) Print("  " + row + '\n');
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.1f", seconds);
  Print(std::to_string(machines.size()) + " machine" + (machines.size() == 1 ? "" : "s") + " found; " +
        std::to_string(probed.load()) + " of " + std::to_string(total) + " addresses probed on port " +
        std::to_string(line.port) + " in " + time + " s" + (interrupted.load() ? " (interrupted)" : "") + "\n");
  // A probe that found nothing or was cut short does not replace a hosts
  // file that may hold the floor.
  if (!line.fleet.write.empty() && (machines.empty() || interrupted.load()))
    Print("hosts file not written: " + std::string(machines.empty() ? "no machine found" : "interrupted") + "\n");
  else if (!line.fleet.write.empty() && !WriteHostsFile(line.fleet.write, ranges, line.port, list.addresses, machines))
    return kNoHost;
  return machines.empty() || interrupted.load() ? kFailed : 0;
}


// The run's settings as the command line gives them (the defaults for
// those it does not).
fleet::ChangeSettings SettingsOf(const CommandLine& line) {
  fleet::ChangeSettings settings;
  settings.change = line.change;
  settings.parallel = line.fleet.parallel;
  settings.canary = line.fleet.canary;
  settings.maxFailures = line.fleet.maxFailures;
  settings.timeoutMs = line.timeoutMs;
  settings.port = line.port;
  return settings;
}

// fleet hosts: the hosts file as status and change read it, one row per
// entry, or JSON; a file they refuse is refused here with its line.
int FleetHosts(const CommandLine& line) {
  const std::string path = line.values[1];
  fleet::HostsFile hosts;
  std::string text;
  if (platform::desk::ReadWholeFile(path, kMaxFile, text, hosts.error) == platform::desk::FileRead::Read)
    hosts = fleet::ReadHosts(text, line.port, Resolve);
  if (!hosts.Ok()) Complain(path + ": " + hosts.error);
  if (!line.json.empty()) {
    if (!WriteJson(line.json, fleet::HostsFileJson(platform::desk::AbsolutePath(path), hosts))) return kNoHost;
  } else if (hosts.Ok()) {
    std::vector<std::vector<std::string>> rows{{"LINE", "NAME", "ADDRESS"}};
    for (const auto& h : hosts.hosts) rows.push_back({std::to_string(h.line), h.name, h.Address()});
    for (const auto& row : Columns(rows)) Print(row + '\n');
  }
  return hosts.Ok() ? 0 : kNoHost;
}

}  // namespace

int FleetCommand(const CommandLine& line) {
  if (line.values[0] == "discover") return FleetDiscover(line);
  if (line.values[0] == "hosts") return FleetHosts(line);
  const bool change = line.values[0] == "change";
  fleet::ChangeSettings settings = SettingsOf(line);
  std::vector<std::string> retryNames;
  fleet::Rollout rollout;
  if (!line.fleet.retry.empty()) {
    const auto report = ReadWholeFile(line.fleet.retry);
    if (!report) return kNoHost;
    const fleet::RetryPlan plan = fleet::ReadRetryPlan(*report);
    if (!plan.Ok()) return Refuse(line.fleet.retry + ": " + plan.error);
    fleet::ApplyRetrySettings(
        plan, settings, [&](const char* option) { return line.Given(option); },
        [](const std::string& told) { Print(told + "\n"); });
    retryNames = plan.names;
    rollout = plan.rollout;
  } else {
    settings.hostsFile = line.values[1];
  }
  // Kept by its absolute path: a retry from another folder reads the same
  // file.  (A report of an older kestrio-dnc kept it as typed.)
  settings.hostsFile = platform::desk::AbsolutePath(settings.hostsFile);
  if (change)
    if (const auto mistake = CheckChangeArguments(settings.change.root, settings.change.language)) return Refuse(*mistake);
  const auto text = ReadWholeFile(settings.hostsFile);
  if (!text) return kNoHost;
  if (!line.fleet.retry.empty() && fleet::Fingerprint(*text) != settings.hostsFingerprint)
    return Refuse(line.fleet.retry + ": the hosts file " + settings.hostsFile +
                  " changed since the report was written; run fleet change on it anew");
  auto hosts = ParseHostsFile(settings.hostsFile, *text, settings.port);
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
          settings.change.language + " from " + settings.change.root + ")\n");
    hosts = std::move(selected.hosts);
  }
  settings.hostsFingerprint = fleet::Fingerprint(*text);
  return FleetChangeCommand(*hosts, settings, rollout, line.fleet);
}

}  // namespace kestrio::cli
