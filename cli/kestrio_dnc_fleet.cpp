// fleet change runs the remote change on every host, a bounded number at once: on
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
#include "cli/kestrio_dnc_fleet.h"
#include "cli/kestrio_dnc_output.h"
#include "cli/terminal.h"
#include "platform/desk.h"
#include "platform/net.h"
#include "remote/discover.h"
#include "remote/fleet.h"
#include "remote/host_json.h"
#include "remote/report.h"

namespace kestrio::cli {
namespace {

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
std::optional<std::vector<remote::HostEntry>> ParseHostsFile(const std::string& path, const std::string& text,
                                                           std::uint16_t defaultPort) {
  remote::HostsFile hosts = remote::ReadHosts(text, defaultPort, Resolve);
  if (!hosts.Ok()) {
    Complain(path + ": " + hosts.error);
    return std::nullopt;
  }
  return std::move(hosts.hosts);
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

int FleetStatus(const std::vector<remote::HostEntry>& hosts, unsigned parallel, unsigned timeoutMs) {
  std::vector<remote::HostStatus> found(hosts.size());
  const unsigned made = remote::ForEachAtOnce(0, hosts.size(), parallel, [] { return false; },
                                             [&](std::size_t k) { found[k] = remote::QueryStatus(hosts[k], timeoutMs); });
  if (const unsigned wanted = remote::WorkersFor(hosts.size(), parallel); made < wanted) TellShortOfThreads(made, wanted);

  std::vector<std::vector<std::string>> rows{{"NAME", "ADDRESS", "REACHABLE", "PROTOCOL", "LANGUAGE", "STATUS"}};
  int exitCode = 0;
  for (std::size_t k = 0; k < hosts.size(); ++k) {
    const remote::HostStatus& s = found[k];
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

std::vector<std::string> TableLines(const std::vector<remote::HostReport>& reports, remote::Clock::time_point now) {
  std::vector<std::vector<std::string>> rows{{"NAME", "ADDRESS", "STATE", "TIME", "RESULT"}};
  for (const auto& r : reports) {
    std::string state = remote::StateName(r.state);
    state.resize(std::max<std::size_t>(state.size(), 11), ' ');  // the widest state: the columns stay put
    rows.push_back({r.host.name, r.host.Address(), state,
                    r.started == remote::Clock::time_point{} ? "" : Seconds(r.TotalSeconds(now)), Cut(r.text, 60)});
  }
  return Columns(rows);
}

std::string PlainLine(const remote::HostReport& r) {
  std::string line = r.host.name + " " + r.host.Address() + " " + remote::StateName(r.state);
  if (remote::Finished(r.state) && r.started != remote::Clock::time_point{}) line += " after " + Seconds(r.TotalSeconds(r.ended));
  if (!r.text.empty()) line += ": " + text::Printable(r.text);
  if (r.code != 0) line += " (" + std::to_string(r.code) + ")";
  return line + '\n';
}

// The run's record, written when the run starts, each time the hosts change
// state and when it ends, each time whole (a temporary file renamed over the
// last), so that whatever ends the client leaves a report that parses.
class ReportFile {
 public:
  ReportFile(std::string path, const remote::ChangeSettings& settings, const remote::Rollout& rollout)
      : path_(std::move(path)), settings_(settings), rollout_(rollout) {}
  bool Wanted() const { return !path_.empty(); }
  bool Write(const remote::FleetChange& run, bool interrupted, bool finished) {
    if (path_.empty()) return true;
    const std::string report = remote::JsonReport(settings_, run.Snapshot(), interrupted,
                                                 finished ? run.StopReason() : std::string(), finished, rollout_);
    std::string error;
    if (platform::desk::ReplaceWholeFile(path_, report, error)) return true;
    if (!told_) Complain(error);
    told_ = true;
    return false;
  }

 private:
  std::string path_;
  const remote::ChangeSettings& settings_;
  const remote::Rollout& rollout_;
  bool told_ = false;
};

int FleetChangeCommand(const std::vector<remote::HostEntry>& hosts, const remote::ChangeSettings& settings,
                       const remote::Rollout& rollout, const CommandLine& options) {
  // The report a retry reads is its only list of what is left to do: when
  // the new report is to replace it, the run writes beside it and replaces
  // it only once the run has ended.
  const bool replacesInput = !options.json.empty() && !options.retry.empty() &&
                             (options.json == options.retry || platform::desk::SameFile(options.json, options.retry));
  const std::string working = replacesInput ? options.json + ".partial" : options.json;
  remote::FleetChange run(hosts, settings);
  run.OnShortOfThreads(TellShortOfThreads);
  ReportFile report(working, settings, rollout);
  // A report that cannot be written is a reason not to start.
  if (!report.Write(run, false, false)) return kNoHost;
  if (replacesInput)
    Print("the report is kept in " + working + " while the run goes on; " + options.json +
          " is replaced when it ends\n");

  static std::atomic<int> presses{0};
  static std::atomic<bool> interrupted{false};  // no new host starts
  CatchInterrupt(&presses);
  const bool live = StdoutRedrawsInPlace();
  std::size_t drawn = 0;  // lines of the table on screen
  const auto draw = [&] {
    std::string text = drawn ? "\033[" + std::to_string(drawn) + "A" : "";
    const auto lines = TableLines(run.Snapshot(), remote::Clock::now());
    for (const auto& line : lines) text += "\r" + line + "\033[K\n";
    drawn = lines.size();
    Print(text);
  };
  // The changes of state since the last look: a plain line each, and the
  // report written again (a burst of hosts that end together is one write).
  const auto follow = [&](bool write) {
    const std::vector<remote::HostReport> updates = run.TakeUpdates();
    if (!live)
      for (const auto& r : updates) Print(PlainLine(r));
    if (write && !updates.empty() && report.Wanted()) report.Write(run, interrupted.load(), false);
  };
  // What a Ctrl-C leaves: the hosts under way carry on with their change on
  // the machine, whatever becomes of this client.
  const auto underWay = [&] {
    std::vector<std::string> names;
    for (const auto& r : run.Snapshot())
      if (!remote::Finished(r.state) && r.state != remote::State::Waiting) names.push_back(r.host.name);
    return names.empty() ? std::string()
                         : "the " + std::to_string(names.size()) + " host" + (names.size() == 1 ? "" : "s") +
                               " under way (" + text::Join(names, ", ") + ")";
  };
  RunWatched([&] { run.Run(interrupted); },
             [&] {
               follow(true);
               if (live) draw();
               const int pressed = presses.load();
               if (pressed >= 1 && !interrupted.load()) {
                 interrupted.store(true);
                 report.Write(run, true, false);
                 const std::string going = underWay();
                 Print("interrupted: no new host starts; " +
                       (going.empty() ? "none is under way\n"
                                      : going + " finish their change while the client waits for them (Ctrl-C again "
                                                "ends the client; they carry on and restart on their own)\n"));
                 drawn = 0;  // the table goes on below the note
               }
               if (pressed >= 2) {
                 report.Write(run, true, false);
                 std::string told = "interrupted again: the client ends; ";
                 if (const std::string going = underWay(); going.empty()) {
                   told += "no host was under way";
                 } else {
                   told += going + " carry on with the change and restart on their own";
                   if (report.Wanted()) told += "; the report " + working + " marks them so";
                 }
                 told += "; follow them with kestrio-dnc fleet status " + settings.hostsFile;
                 if (report.Wanted()) told += ", then fleet change --retry " + working + " runs those not done";
                 EndInterrupted(told);
               }
             },
             std::chrono::milliseconds(live ? 200 : 50));
  follow(false);  // the hosts not started; the report's last write follows
  if (live) draw();

  const std::vector<remote::HostReport> reports = run.Snapshot();
  if (live)
    for (const auto& r : reports)
      if (r.state == remote::State::Failed) Print(PlainLine(r));
  const remote::Summary s = remote::Summarize(reports);
  std::string summary = "summary: " + std::to_string(s.done) + " done, " + std::to_string(s.skipped) + " skipped, " +
                        std::to_string(s.failed) + " failed";
  if (s.notStarted) summary += ", " + std::to_string(s.notStarted) + " not started (" + run.StopReason() + ")";
  Print(summary + '\n');
  const std::string again = report.Wanted() ? "kestrio-dnc fleet change --retry " + options.json
                                            : "run the same fleet change again";
  for (const std::string& told : remote::NamedSummary(reports, again)) Print(text::Printable(told) + '\n');

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
  const remote::HostsFile hosts = remote::ReadHosts(text, port, Resolve);
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
                    const std::vector<std::uint32_t>& probed, const std::vector<remote::Discovered>& machines) {
  const auto old = OldInventory(path, port);
  if (!old) return false;
  std::vector<std::uint32_t> found;
  for (const auto& m : machines) found.push_back(m.address);
  const std::string header = "# kestrio-dnc fleet discover " + text::Join(ranges, " ") + " (port " + std::to_string(port) +
                             "): " + std::to_string(machines.size()) + " machine" + (machines.size() == 1 ? "" : "s") +
                             " found";
  const remote::Inventory inventory = remote::UpdateInventory(*old, probed, found, port, header, Today(), Resolve);
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
  const remote::AddressList list = remote::ParseRanges(ranges);
  if (!list.Ok()) return Refuse(list.error);
  // A hosts file that would be refused after the probe is refused before it.
  if (!line.write.empty() && !OldInventory(line.write, line.run.port)) return kNoHost;
  const unsigned timeoutMs = line.Given("--timeout") ? line.run.timeoutMs : 500;
  const unsigned parallel = line.Given("--parallel") ? line.run.parallel : 64;
  static std::atomic<int> presses{0};
  static std::atomic<bool> interrupted{false};
  CatchInterrupt(&presses);
  const std::size_t total = list.addresses.size();
  // Progress on a terminal for a range that takes more than a moment.
  const bool live = StdoutRedrawsInPlace() && total > 256;
  std::atomic<std::size_t> probed{0};
  std::vector<remote::Discovered> found;
  const auto started = std::chrono::steady_clock::now();
  RunWatched([&] { found = remote::Discover(list.addresses, line.run.port, timeoutMs, parallel, interrupted, probed); },
             [&] {
               if (presses.load() >= 1) interrupted.store(true);  // the probes under way end; no new one starts
               if (presses.load() >= 2)
                 EndInterrupted(std::string(live ? "\r\033[K" : "") + "interrupted again: discover ends" +
                                (line.write.empty() ? "" : "; the hosts file is not written"));
               if (live)
                 Print("\rprobing port " + std::to_string(line.run.port) + ": " + std::to_string(probed.load()) + " of " +
                       std::to_string(total) + " addresses\033[K");
             },
             std::chrono::milliseconds(live ? 200 : 20));
  if (live) Print("\r\033[K");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::vector<remote::Discovered> machines;
  std::vector<std::vector<std::string>> rows{{"ADDRESS", "PROTOCOL", "LANGUAGE", "STATUS"}}, others;
  for (const auto& d : found) {
    if (d.status.reachable) {
      machines.push_back(d);
      rows.push_back({remote::AddressText(d.address), d.status.protocol,
                      d.status.language.empty() ? "-" : d.status.language, d.status.Describe()});
    } else {
      others.push_back({remote::AddressText(d.address), d.status.problem});
    }
  }
  if (!machines.empty())
    for (const auto& row : Columns(rows)) Print(row + '\n');
  if (!others.empty()) {
    Print("port open, no answer as a Kestrio Setup:\n");
    for (const auto& row : Columns(others)) Print("  " + row + '\n');
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.1f", seconds);
  Print(std::to_string(machines.size()) + " machine" + (machines.size() == 1 ? "" : "s") + " found; " +
        std::to_string(probed.load()) + " of " + std::to_string(total) + " addresses probed on port " +
        std::to_string(line.run.port) + " in " + time + " s" + (interrupted.load() ? " (interrupted)" : "") + "\n");
  // A probe that found nothing or was cut short does not replace a hosts
  // file that may hold the floor.
  if (!line.write.empty() && (machines.empty() || interrupted.load()))
    Print("hosts file not written: " + std::string(machines.empty() ? "no machine found" : "interrupted") + "\n");
  else if (!line.write.empty() && !WriteHostsFile(line.write, ranges, line.run.port, list.addresses, machines))
    return kNoHost;
  return machines.empty() || interrupted.load() ? kFailed : 0;
}


// fleet hosts: the hosts file as status and change read it, one row per
// entry, or JSON; a file they refuse is refused here with its line.
int FleetHosts(const CommandLine& line) {
  const std::string path = line.values[1];
  remote::HostsFile hosts;
  std::string text;
  if (platform::desk::ReadWholeFile(path, kMaxFile, text, hosts.error) == platform::desk::FileRead::Read)
    hosts = remote::ReadHosts(text, line.run.port, Resolve);
  if (!hosts.Ok()) Complain(path + ": " + hosts.error);
  if (!line.json.empty()) {
    if (!WriteJson(line.json, remote::HostsFileJson(platform::desk::AbsolutePath(path), hosts))) return kNoHost;
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
  remote::ChangeSettings settings = line.run;
  std::vector<std::string> retryNames;
  remote::Rollout rollout;
  if (!line.retry.empty()) {
    const auto report = ReadWholeFile(line.retry);
    if (!report) return kNoHost;
    const remote::RetryPlan plan = remote::ReadRetryPlan(*report);
    if (!plan.Ok()) return Refuse(line.retry + ": " + plan.error);
    remote::ApplyRetrySettings(
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
  if (!line.retry.empty() && remote::Fingerprint(*text) != settings.hostsFingerprint)
    return Refuse(line.retry + ": the hosts file " + settings.hostsFile +
                  " changed since the report was written; run fleet change on it anew");
  auto hosts = ParseHostsFile(settings.hostsFile, *text, settings.port);
  if (!hosts) return kNoHost;
  if (!change) return FleetStatus(*hosts, line.run.parallel, line.run.timeoutMs);
  if (!line.retry.empty()) {
    remote::HostsFile selected = remote::SelectHosts(*hosts, retryNames);
    if (!selected.Ok()) return Refuse(line.retry + ": " + selected.error);
    if (selected.hosts.empty()) {
      Print("nothing to retry: every host of " + line.retry + " is done or skipped\n");
      return 0;
    }
    Print("retrying " + std::to_string(selected.hosts.size()) + " of the hosts of " + line.retry + " (" +
          settings.change.language + " from " + settings.change.root + ")\n");
    hosts = std::move(selected.hosts);
  }
  settings.hostsFingerprint = remote::Fingerprint(*text);
  return FleetChangeCommand(*hosts, settings, rollout, line);
}

}  // namespace kestrio::cli
