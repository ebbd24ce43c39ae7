// The fleet's rules over generated cases (RapidCheck), each against a small
// model written here: the hosts file discover writes, and a rollout's
// record through a chain of retries.  Linux suites only.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/json.h"
#include "base/text.h"
#include "remote/discover.h"
#include "remote/fleet.h"
#include "remote/report.h"

namespace kestrio::remote {
namespace {

// 127.77.0.1 to .4 and 127.0.0.1, written as the plant writes them: dotted,
// by a name the resolver knows, as localhost or 127.1, or by a name that
// does not resolve (left to its connection).
constexpr std::uint32_t kLocal = 0x7F000001;
std::uint32_t PoolAddress(int k) { return k == 4 ? kLocal : 0x7F4D0001 + static_cast<std::uint32_t>(k); }

bool PlantResolve(const std::string& host, std::uint32_t& address) {
  if (host == "localhost" || host == "127.1") {
    address = kLocal;
    return true;
  }
  unsigned a, b, c, d;
  char rest;
  if (std::sscanf(host.c_str(), "lathe-%u.plant%c", &a, &rest) == 1 && a < 4) {
    address = PoolAddress(static_cast<int>(a));
    return true;
  }
  if (std::sscanf(host.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &rest) != 4 || a > 255 || b > 255 || c > 255 ||
      d > 255)
    return false;
  address = a << 24 | b << 16 | c << 8 | d;
  return true;
}

std::string HostSpelling(int address, int spelling) {
  if (address == 4) return spelling % 2 ? "localhost" : spelling == 2 ? "127.1" : "127.0.0.1";
  switch (spelling) {
    case 0: return AddressText(PoolAddress(address));
    case 1: return "lathe-" + std::to_string(address) + ".plant";
    case 2: return "nowhere-" + std::to_string(address) + ".invalid";
    default: return "127.77." + std::to_string(address + 1);  // a short form: 127.77.0.N
  }
}

// A name: plain, UTF-8, Windows-1252, or one discover would make.
std::string NameOf(int kind, int k) {
  switch (kind) {
    case 0: return "m" + std::to_string(k);
    case 1: return "M\xC3\xBChle-" + std::to_string(k);
    case 2: return "Fr\xE4se-" + std::to_string(k);
    default: return "cnc-" + AddressText(PoolAddress(k % 5));
  }
}

std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line(text.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

constexpr const char* kOldMark = "not found by discover on 2026-12-01";
constexpr const char* kNewMark = "not found by discover on 2026-12-08";

// For any hosts file and any machines found: discover refuses the file
// exactly when the fleet does; otherwise the fleet accepts what it writes,
// in which every line of the old file stands in its order with its names
// and comments (a not-found mark set or cleared as the probe says), and each
// machine found is listed once, by the fleet's rule.
RC_GTEST_PROP(FleetDiscoverProperty, WritesAFileTheFleetAcceptsKeepingTheInventory, ()) {
  // Per line: kind (0 blank, 1 comment, 2.. entry), name kind, a machine
  // given twice (0; else each entry has a machine of its own while the pool
  // lasts), the address then, spelling, port (0 none, 1 ":9", 2 ":10"),
  // comment, old mark, tab.
  using Line = std::tuple<int, int, int, int, int, int, bool, bool, bool>;
  // A floor of a few machines: more entries than the pool has machines
  // would name one twice.
  const auto lines = *rc::gen::container<std::vector<Line>>(*rc::gen::inRange<std::size_t>(0, 9), rc::gen::tuple(
      rc::gen::inRange(0, 6), rc::gen::inRange(0, 4), rc::gen::inRange(0, 12), rc::gen::inRange(0, 5),
      rc::gen::inRange(0, 4), rc::gen::inRange(0, 3), rc::gen::arbitrary<bool>(), rc::gen::arbitrary<bool>(),
      rc::gen::arbitrary<bool>()));
  const int shift = *rc::gen::inRange(0, 5);
  const bool crlf = *rc::gen::arbitrary<bool>(), bom = *rc::gen::arbitrary<bool>();
  const bool earlierHeader = *rc::gen::arbitrary<bool>();
  // Per machine of the pool: 0 not probed, 1 probed and silent, 2 found;
  // one is found at least (a probe that found nothing writes no file).
  auto how = *rc::gen::container<std::vector<int>>(5, rc::gen::inRange(0, 3));
  if (std::find(how.begin(), how.end(), 2) == how.end()) how[*rc::gen::inRange(0, 5)] = 2;
  std::vector<std::uint32_t> probed, found;
  for (int k = 0; k < 5; ++k) {
    if (how[k] > 0) probed.push_back(PoolAddress(k));
    if (how[k] == 2) found.push_back(PoolAddress(k));
  }
  std::sort(probed.begin(), probed.end());

  // The old file, and each line as the new file must hold it.
  std::string old = bom ? "\xEF\xBB\xBF" : "";
  const std::string eol = crlf ? "\r\n" : "\n";
  std::vector<std::string> want;
  if (earlierHeader) old += "# kestrio-dnc fleet discover 127.77.0.0/24 (port 9): 1 machine found" + eol;
  int number = 0;  // the line's: names are unique but for discover's own ("cnc-...")
  for (const auto& [kind, nameKind, twice, given, spelling, port, comment, mark, tab] : lines) {
    const int address = twice == 0 ? given : (number + shift) % 5;
    ++number;
    std::string line;
    if (kind == 0) line = tab ? "\t" : "";
    else if (kind == 1) line = "# hall " + std::to_string(number);
    if (kind < 2) {
      old += line + eol;
      want.push_back(line);
      continue;
    }
    const std::string host = HostSpelling(address, spelling);
    const std::string sep = tab ? "\t" : " ";
    std::string base = NameOf(nameKind, number) + sep + host + (port == 1 ? ":9" : port == 2 ? ":10" : "");
    if (comment) base += sep + "# by the door " + std::to_string(number);
    const std::string markSep = comment ? "; " : "  # ";
    line = base + (mark ? markSep + kOldMark : "");
    old += line + eol;
    std::uint32_t resolved = 0;
    const bool probedHere = port != 2 && PlantResolve(host, resolved) &&
                            std::binary_search(probed.begin(), probed.end(), resolved);
    if (!probedHere) want.push_back(line);
    else if (std::find(found.begin(), found.end(), resolved) != found.end()) want.push_back(base);
    else want.push_back(base + markSep + kNewMark);
  }

  const HostsFile before = ReadHosts(old, 9, PlantResolve);
  const Inventory inventory = UpdateInventory(old, probed, found, 9, "# new", "2026-12-08", PlantResolve);
  RC_CLASSIFY(!before.Ok() && before.error != "no hosts", "a file the fleet refuses");
  RC_CLASSIFY(inventory.added > 0 && inventory.kept > 0, "machines added to kept entries");
  RC_CLASSIFY(inventory.notFound > 0, "an entry marked not found");
  if (!before.Ok() && before.error != "no hosts") {
    RC_ASSERT(inventory.error == before.error);
    return;
  }
  RC_ASSERT(inventory.Ok());
  const HostsFile after = ReadHosts(inventory.text, 9, PlantResolve);
  RC_ASSERT(after.error == "");
  RC_ASSERT((inventory.text.rfind("\xEF\xBB\xBF", 0) == 0) == bom);
  // (A file without a line has no line ends to keep.)
  RC_ASSERT((inventory.text.find("\r\n") != std::string::npos) == (crlf && old.find('\n') != std::string::npos));
  const std::vector<std::string> written = LinesOf(inventory.text);
  RC_ASSERT(written.size() >= want.size() + 1);
  RC_ASSERT(written[0] == "# new");
  RC_ASSERT(std::vector<std::string>(written.begin() + 1, written.begin() + 1 + static_cast<std::ptrdiff_t>(want.size())) ==
            want);
  // The entries kept come first, as they were; each machine found once.
  RC_ASSERT(after.hosts.size() >= before.hosts.size());
  for (std::size_t k = 0; k < before.hosts.size(); ++k)
    RC_ASSERT(after.hosts[k].name + " " + after.hosts[k].Address() == before.hosts[k].name + " " + before.hosts[k].Address());
  for (const std::uint32_t machine : found) {
    int listed = 0;
    for (const HostEntry& h : after.hosts) {
      std::uint32_t a = 0;
      if (h.port == 9 && PlantResolve(h.host, a) && a == machine) ++listed;
    }
    RC_ASSERT(listed == 1);
  }
}

// ---- A rollout through its retries -------------------------------------------

enum class Outcome { Done, Skipped, Failed, LostAfterGo, NotReached };
bool Fails(Outcome o) { return o != Outcome::Done && o != Outcome::Skipped; }

// The machine a fake runner plays: what the host does when it is changed.
RemoteChangeResult Play(Outcome outcome, const RemoteChangeSettings& change, const RemoteChangeSteps& steps) {
  RemoteChangeResult r;
  switch (outcome) {
    case Outcome::Done:
      steps.changing();
      if (change.followRestart) steps.restarting();
      r.end = ChangeEnd::Done;
      r.text = "Polish, after the restart";
      break;
    case Outcome::Skipped:
      r.end = ChangeEnd::Skipped;
      r.text = "already Polish";
      break;
    case Outcome::Failed:
      steps.changing();
      r.fault = Fault::Refused;
      r.code = -10;
      r.text = "System is protected.";
      break;
    case Outcome::LostAfterGo:
      steps.changing();
      if (change.followRestart) steps.restarting();
      r.fault = change.followRestart ? Fault::NoAnswer : Fault::Lost;
      r.text = change.followRestart ? "the machine did not answer again" : "the connection ended after GO";
      break;
    case Outcome::NotReached:
      r.fault = Fault::Unreachable;
      r.text = "cannot connect";
      break;
  }
  return r;
}

struct Recorded {
  std::string result, text;
  unsigned run = 0;
};

// The report's hosts, in its order: name -> result, text, run.
std::vector<std::pair<std::string, Recorded>> HostsOf(const json::Value& report) {
  std::vector<std::pair<std::string, Recorded>> hosts;
  if (const json::Value* list = report.Find("hosts"))
    for (const json::Value& h : list->items) {
      const json::Value* run = h.Find("run");
      hosts.push_back({h.TextOf("name"), {h.TextOf("result"), h.TextOf("text"), run ? static_cast<unsigned>(run->number) : 0}});
    }
  return hosts;
}

// For any hosts (names in UTF-8 or Windows-1252), any outcome of each host
// in each run, a client killed at any write and a chain of retries: every
// write parses and holds every host of the rollout once; each retry runs
// exactly the hosts neither done nor skipped, with the first run's settings;
// at the end each host stands in the last report with its latest result.
RC_GTEST_PROP(FleetRetryProperty, EveryReportIsTheWholeRecordAndRetriesConverge, ()) {
  const int count = *rc::gen::inRange(1, 7);
  std::string hostsText;
  std::vector<std::string> names;  // as the fleet reads them: UTF-8
  for (int k = 0; k < count; ++k) {
    const std::string raw = NameOf(*rc::gen::inRange(0, 3), k);
    hostsText += raw + " 10.0.0." + std::to_string(k + 1) + "\n";
    names.push_back(text::Utf8FromUnknown(raw));
  }
  ChangeSettings first;
  first.change.root = "D:\\Packs";
  first.change.language = "Polish";
  first.port = static_cast<std::uint16_t>(*rc::gen::inRange(1, 65536));
  first.timeoutMs = *rc::gen::inRange(0u, 100000u);
  first.change.scanTimeout = *rc::gen::inRange(1u, 5000u);
  first.change.changeTimeout = *rc::gen::inRange(1u, 5000u);
  first.change.followRestart = *rc::gen::arbitrary<bool>();
  first.change.restartTimeout = *rc::gen::inRange(1u, 5000u);
  first.parallel = *rc::gen::inRange(1u, 4u);
  first.canary = *rc::gen::inRange(0u, 3u);
  first.maxFailures = *rc::gen::inRange(0u, 4u);
  first.hostsFile = "/plant/hall-b.hosts";
  first.hostsFingerprint = Fingerprint(hostsText);
  const int runs = *rc::gen::inRange(2, 6);  // the first and its retries

  std::map<std::string, Recorded> record;  // the model: each host's latest result
  int retried = 0, killed = 0;
  std::string left;                        // the report the last run left
  for (int runIndex = 0; runIndex < runs; ++runIndex) {
    ChangeSettings settings;
    Rollout rollout;
    std::vector<std::string> expectRun;  // the hosts this run must run, in the file's order
    if (runIndex == 0) {
      settings = first;
      expectRun = names;
    } else {
      const RetryPlan plan = ReadRetryPlan(left);
      RC_ASSERT(plan.error == "");
      ApplyRetrySettings(plan, settings, [](const char*) { return false; });
      for (const RunSetting& row : kRunSettings) RC_ASSERT(row.get(settings) == row.get(first));
      RC_ASSERT(settings.hostsFile == first.hostsFile);
      RC_ASSERT(settings.hostsFingerprint == first.hostsFingerprint);
      rollout = plan.rollout;
      RC_ASSERT(rollout.run == static_cast<unsigned>(runIndex + 1));
      for (const auto& name : names)
        if (record.at(name).result != "done" && record.at(name).result != "skipped") expectRun.push_back(name);
      const HostsFile hosts = ReadHosts(hostsText, settings.port, PlantResolve);
      RC_ASSERT(hosts.error == "");
      const HostsFile selected = SelectHosts(hosts.hosts, plan.names);
      RC_ASSERT(selected.error == "");
      std::vector<std::string> selectedNames;
      for (const auto& h : selected.hosts) selectedNames.push_back(h.name);
      RC_ASSERT(selectedNames == expectRun);
      if (expectRun.empty()) break;  // nothing to retry
    }
    std::vector<HostEntry> hosts;
    for (const HostEntry& h : ReadHosts(hostsText, settings.port, PlantResolve).hosts)
      if (std::find(expectRun.begin(), expectRun.end(), h.name) != expectRun.end()) hosts.push_back(h);

    std::map<std::string, Outcome> outcome;
    for (const auto& name : expectRun) outcome[name] = static_cast<Outcome>(*rc::gen::inRange(0, 5));
    const int killAt = *rc::gen::inRange(-1, 30);  // -1: the run ends

    FleetChange run(hosts, settings);
    std::mutex mutex;
    std::vector<std::string> ran;  // in the order they started
    bool settingsKept = true;
    run.SetHostRunner([&](const HostEntry& host, const RemoteChangeSettings& change, unsigned timeoutMs,
                          const RemoteChangeSteps& steps) {
      {
        std::lock_guard lock(mutex);
        ran.push_back(host.name);
        settingsKept = settingsKept && change.followRestart == first.change.followRestart &&
                       change.restartTimeout == first.change.restartTimeout && timeoutMs == first.timeoutMs &&
                       host.port == first.port;
      }
      return Play(outcome.at(host.name), change, steps);
    });
    // Every write, with the hosts of this run as it wrote them.
    std::vector<std::string> writes;
    std::vector<std::map<std::string, Recorded>> wrote;
    const auto write = [&](bool finished) {
      const std::vector<HostReport> snapshot = run.Snapshot();
      writes.push_back(JsonReport(settings, snapshot, false, finished ? run.StopReason() : "", finished, rollout));
      std::map<std::string, Recorded> hostsNow;
      for (const HostReport& r : snapshot) hostsNow[r.host.name] = {ResultName(r.state), r.text, rollout.run};
      wrote.push_back(std::move(hostsNow));
    };
    write(false);
    const std::atomic<bool> stop{false};
    run.Run(stop, [&](const HostReport&) { write(false); });
    write(true);
    RC_ASSERT(settingsKept);

    // Which hosts start, one at a time: the canaries, then the rest unless
    // one of them failed, each only while the failure budget lasts.
    std::vector<std::string> modelRan;
    if (settings.parallel == 1) {
      unsigned failures = 0;
      const std::size_t canaries = std::min<std::size_t>(settings.canary, expectRun.size());
      bool canaryFailed = false;
      // (A budget spent among the canaries means a canary failed.)
      for (std::size_t k = 0; k < expectRun.size(); ++k) {
        if ((k == canaries && canaryFailed) || (settings.maxFailures && failures >= settings.maxFailures)) break;
        modelRan.push_back(expectRun[k]);
        if (Fails(outcome[expectRun[k]])) {
          ++failures;
          if (k < canaries) canaryFailed = true;
        }
      }
      RC_ASSERT(ran == modelRan);
    }

    const std::size_t kept = killAt < 0 ? writes.size() - 1 : std::min<std::size_t>(static_cast<std::size_t>(killAt), writes.size() - 1);
    for (std::size_t w = 0; w < writes.size(); ++w) {
      const json::Parsed parsed = json::Parse(writes[w]);
      RC_ASSERT(parsed.Ok());
      RC_ASSERT(ReadRetryPlan(writes[w]).error == "");
      const auto listed = HostsOf(parsed.value);
      RC_ASSERT(listed.size() == names.size());
      unsigned done = 0;
      for (std::size_t k = 0; k < names.size(); ++k) {
        const auto& [name, entry] = listed[k];
        RC_ASSERT(name == names[k]);
        const auto runNow = wrote[w].find(name);
        const Recorded& want = runNow != wrote[w].end() ? runNow->second : record.at(name);
        RC_ASSERT(entry.result == want.result);
        RC_ASSERT(entry.text == want.text);
        RC_ASSERT(entry.run == want.run);
        if (entry.result == "done") ++done;
      }
      RC_ASSERT(parsed.value.Find("summary")->Find("done")->number == static_cast<double>(done));
    }
    if (settings.parallel == 1 && killAt < 0)
      for (const auto& name : expectRun) {
        const bool started = std::find(modelRan.begin(), modelRan.end(), name) != modelRan.end();
        const std::string want = !started ? "not started" : Fails(outcome[name]) ? "failed" : outcome[name] == Outcome::Done ? "done" : "skipped";
        RC_ASSERT(wrote.back().at(name).result == want);
      }
    retried += runIndex > 0;
    killed += kept + 1 < writes.size();
    // The client ends, or is killed, at write `kept`: that report is left.
    left = writes[kept];
    for (const auto& [name, entry] : wrote[kept]) record[name] = entry;
  }
  RC_CLASSIFY(retried > 0, "retried");
  RC_CLASSIFY(retried > 1, "a retry retried");
  RC_CLASSIFY(killed > 0, "a client killed");
  // The last report is the whole record, each host once with its latest result.
  const auto last = HostsOf(json::Parse(left).value);
  RC_ASSERT(last.size() == names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    RC_ASSERT(last[k].first == names[k]);
    RC_ASSERT(last[k].second.result == record.at(names[k]).result);
    RC_ASSERT(last[k].second.run == record.at(names[k]).run);
  }
}

}  // namespace
}  // namespace kestrio::remote
