#include "remote/fleet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "base/json.h"
#include "base/text.h"
#include "platform/desk.h"
#include "remote/host_json.h"
#include "remote/session.h"

namespace kestrio::dnc::fleet {
namespace {

// ---- Hosts file ------------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t k = 0;
  while (k < line.size()) {
    while (k < line.size() && IsBlank(line[k])) ++k;
    const std::size_t start = k;
    while (k < line.size() && !IsBlank(line[k])) ++k;
    if (k > start) fields.emplace_back(line.substr(start, k - start));
  }
  return fields;
}

// HOST[:PORT] into `entry`; what is wrong otherwise.
std::string ParseAddress(const std::string& text, std::uint16_t defaultPort, HostEntry& entry) {
  const auto colon = text.find(':');
  entry.host = text.substr(0, colon);
  entry.port = defaultPort;
  if (entry.host.empty()) return "\"" + text + "\" has no host";
  if (colon == std::string::npos) return {};
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::strtoul(port.c_str(), nullptr, 10) < 1 || std::strtoul(port.c_str(), nullptr, 10) > 65535)
    return "\"" + port + "\" in \"" + text + "\" is not a port from 1 to 65535";
  entry.port = static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
  return {};
}

// What a fleet tells of a failure: an unreachable host says so first.
std::string Told(Fault fault, const std::string& problem) {
  return fault == Fault::Unreachable ? "unreachable: " + problem : problem;
}

// ---- JSON --------------------------------------------------------------------

// The report's strings: see host_json.h.
std::string Quote(const std::string& bytes) { return JsonText(bytes); }

}  // namespace

// ---- Hosts file ------------------------------------------------------------

HostsFile ParseHosts(std::string_view text, std::uint16_t defaultPort) {
  HostsFile file;
  std::map<std::string, int> names, addresses;
  int number = 0;
  // Notepad starts a file it saves as UTF-8 with a byte order mark.
  std::size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const auto fail = [&](const std::string& why) {
      file.hosts.clear();
      file.error = "line " + std::to_string(number) + ": " + why;
      return file;
    };
    auto fields = Fields(line);
    // A field that starts with '#' begins a comment: "mill-B 10.0.0.3  # by the door".
    if (const auto comment = std::find_if(fields.begin(), fields.end(), [](const std::string& f) { return f[0] == '#'; });
        comment != fields.end())
      fields.erase(comment, fields.end());
    if (fields.empty()) continue;
    if (fields.size() > 2) return fail("expected NAME HOST[:PORT] or HOST[:PORT], found " + std::to_string(fields.size()) + " fields");
    for (const char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && !IsBlank(c)) return fail("a control character");
    HostEntry entry;
    entry.line = number;
    if (const std::string why = ParseAddress(fields.back(), defaultPort, entry); !why.empty()) return fail(why);
    entry.name = fields[0];  // with the address alone, the address as written
    if (const auto [it, fresh] = names.emplace(entry.name, number); !fresh)
      return fail("the name " + entry.name + " is also on line " + std::to_string(it->second));
    // Two clients on one service would wait for each other and change the
    // machine twice.
    if (const auto [it, fresh] = addresses.emplace(entry.Address(), number); !fresh)
      return fail(entry.Address() + " is also on line " + std::to_string(it->second));
    file.hosts.push_back(std::move(entry));
  }
  if (file.hosts.empty()) file.error = "no hosts";
  return file;
}

std::string NotAMachine(std::uint32_t address) {
  if (address == 0) return "0.0.0.0 is no machine's address (it reaches the local host)";
  if (address == 0xFFFFFFFF) return "255.255.255.255 is the broadcast address";
  if ((address >> 28) == 0xE) return "a multicast address (224.0.0.0 to 239.255.255.255)";
  return {};
}

std::string CheckMachines(const std::vector<HostEntry>& hosts, const Resolver& resolve) {
  std::map<std::pair<std::uint32_t, std::uint16_t>, const HostEntry*> machines;
  for (const HostEntry& host : hosts) {
    std::uint32_t address = 0;
    if (!resolve(host.host, address)) continue;
    const std::string where = "line " + std::to_string(host.line) + ": ";
    if (const std::string why = NotAMachine(address); !why.empty()) return where + host.host + ": " + why;
    const auto [it, fresh] = machines.emplace(std::make_pair(address, host.port), &host);
    if (!fresh)
      return where + host.Address() + " and " + it->second->Address() + " on line " + std::to_string(it->second->line) +
             " are one machine, " + AddressText(address) + ":" + std::to_string(host.port);
  }
  return {};
}

// ---- Status of a host ----------------------------------------------------

std::string HostStatus::Describe() const {
  if (!reachable) return "-";
  if (status == 0) return "idle";
  if (status == 1) return "busy";
  return "failed " + std::to_string(status) + (errorText.empty() ? "" : ": " + errorText);
}

HostStatus QueryStatus(const HostEntry& host, unsigned timeoutMs) {
  HostStatus s;
  Session session(host.host, host.port, timeoutMs);
  s.connected = session.Connect();
  s.reachable = s.connected && session.Version(s.protocol) && session.ReadNumber("KESTRIO.STATUS", s.status) &&
                session.Read("KESTRIO.CURRENT", s.language) &&
                (s.status >= 0 || session.Read("KESTRIO.ERROR." + std::to_string(s.status), s.errorText));
  s.problem = Told(session.GetFault(), session.Problem());
  return s;
}

// ---- The change on many hosts ----------------------------------------------

const char* StateName(State state) {
  switch (state) {
    case State::Waiting: return "waiting";
    case State::Scanning: return "scanning";
    case State::Changing: return "changing";
    case State::Restarting: return "restarting";
    case State::Done: return "done";
    case State::Skipped: return "skipped";
    case State::Failed: return "failed";
    case State::NotStarted: return "not started";
  }
  return "?";
}

const char* ResultName(State state) {
  switch (state) {
    case State::Waiting: return "not started";
    case State::Scanning:
    case State::Changing: return "under way";
    default: return StateName(state);
  }
}

bool Finished(State state) {
  return state == State::Done || state == State::Skipped || state == State::Failed || state == State::NotStarted;
}

double HostReport::Seconds(Clock::time_point from, Clock::time_point to) const {
  if (from == Clock::time_point{} || to < from) return 0;
  return std::chrono::duration<double>(to - from).count();
}
double HostReport::ScanSeconds() const { return Seconds(started, scanEnded == Clock::time_point{} ? ended : scanEnded); }
double HostReport::ChangeSeconds() const {
  return scanEnded == Clock::time_point{} ? 0 : Seconds(scanEnded, ended);
}
double HostReport::TotalSeconds(Clock::time_point now) const {
  return Seconds(started, ended == Clock::time_point{} ? now : ended);
}

Summary Summarize(const std::vector<HostReport>& reports) {
  Summary s;
  for (const auto& r : reports) {
    if (r.state == State::Done) ++s.done;
    if (r.state == State::Skipped) ++s.skipped;
    if (r.state == State::Failed) ++s.failed;
    if (r.state == State::NotStarted) ++s.notStarted;
  }
  return s;
}

FleetChange::FleetChange(std::vector<HostEntry> hosts, ChangeSettings settings) : settings_(std::move(settings)) {
  for (auto& host : hosts) {
    HostReport r;
    r.host = std::move(host);
    reports_.push_back(std::move(r));
  }
}

std::vector<HostReport> FleetChange::Snapshot() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

void FleetChange::Set(std::size_t index, State state, std::int32_t code, std::string text) {
  HostReport copy;
  {
    std::lock_guard lock(mutex_);
    HostReport& r = reports_[index];
    const auto now = Clock::now();
    if (state == State::Scanning) r.started = now;
    if (state == State::Changing) r.scanEnded = now;
    if (Finished(state) && r.started != Clock::time_point{}) r.ended = now;
    r.state = state;
    if (state == State::Failed) failures_.fetch_add(1);
    r.code = code;
    r.text = std::move(text);
    copy = r;
  }
  if (onUpdate_ && *onUpdate_) {
    std::lock_guard lock(updateMutex_);
    (*onUpdate_)(copy);
  }
}

void FleetChange::ChangeOne(std::size_t index) {
  HostEntry host;
  {
    std::lock_guard lock(mutex_);
    host = reports_[index].host;
  }
  Session session(host.host, host.port, settings_.timeoutMs);
  RemoteChangeSettings change = settings_.change;
  change.skipIfCurrent = true;
  RemoteChangeSteps steps;
  steps.changing = [&] { Set(index, State::Changing); };
  // Going down after the change is the package tool's restart, no failure.
  steps.restarting = [&] { Set(index, State::Restarting); };
  Set(index, State::Scanning);
  const RemoteChangeResult r = RunRemoteChange(session, change, steps);
  if (r.end == ChangeEnd::Done) Set(index, State::Done, 0, r.text);
  else if (r.end == ChangeEnd::Skipped) Set(index, State::Skipped, 0, r.text);
  else Set(index, State::Failed, r.code, Told(r.fault, r.text));
}

bool FleetChange::BudgetSpent() const {
  return settings_.maxFailures != 0 && failures_.load() >= settings_.maxFailures;
}

unsigned WorkersFor(std::size_t calls, unsigned parallel) {
  return static_cast<unsigned>(std::min<std::size_t>(std::max(1u, parallel), std::max<std::size_t>(calls, 1)));
}

unsigned ForEachAtOnce(std::size_t first, std::size_t end, unsigned parallel, const std::function<bool()>& stop,
                       const std::function<void(std::size_t)>& work) {
  if (end <= first) return 0;
  std::atomic<std::size_t> next{first};
  const std::function<void()> worker = [&] {
    for (std::size_t k; !stop() && (k = next.fetch_add(1)) < end;) work(k);
  };
  return platform::desk::RunOnThreads(WorkersFor(end - first, parallel), platform::desk::kWorkerStack, worker);
}

void FleetChange::RunStage(std::size_t first, std::size_t end, const std::atomic<bool>& stop) {
  const unsigned made = ForEachAtOnce(first, end, settings_.parallel, [&] { return stop.load() || BudgetSpent(); },
                                      [&](std::size_t index) { ChangeOne(index); });
  if (const unsigned wanted = WorkersFor(end - first, settings_.parallel); made < wanted && shortOfThreads_)
    shortOfThreads_(made, wanted);
}

void FleetChange::Run(const std::atomic<bool>& stop, const std::function<void(const HostReport&)>& onUpdate) {
  onUpdate_ = &onUpdate;
  const std::size_t count = reports_.size();
  const std::size_t canaries = std::min<std::size_t>(settings_.canary, count);
  if (canaries) {
    RunStage(0, canaries, stop);
    const auto reports = Snapshot();
    canaryFailed_ = std::any_of(reports.begin(), reports.begin() + static_cast<std::ptrdiff_t>(canaries),
                                [](const HostReport& r) { return r.state == State::Failed; });
  }
  if (!canaryFailed_ && canaries < count) RunStage(canaries, count, stop);
  interrupted_ = stop.load();
  const std::string reason = StopReason();
  const std::vector<HostReport> reports = Snapshot();  // no host is under way any more
  for (std::size_t index = 0; index < count; ++index)
    if (reports[index].state == State::Waiting) Set(index, State::NotStarted, 0, reason);
  onUpdate_ = nullptr;
}

std::string FleetChange::StopReason() const {
  const auto reports = Snapshot();
  const bool held = std::any_of(reports.begin(), reports.end(), [](const HostReport& r) {
    return r.state == State::Waiting || r.state == State::NotStarted;
  });
  if (!held) return {};
  if (canaryFailed_) return "canary failed";
  if (BudgetSpent()) return std::to_string(settings_.maxFailures) + " failures";
  return "interrupted";
}

std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason, bool finished) {
  Summary s = Summarize(reports);
  unsigned underWay = 0;
  for (const auto& r : reports) {
    if (r.state == State::Waiting) ++s.notStarted;
    if (r.state == State::Scanning || r.state == State::Changing) ++underWay;
  }
  std::string out = "{\n";
  out += "  \"hosts_file\": " + Quote(settings.hostsFile) + ",\n";
  out += "  \"hosts_fingerprint\": " + Quote(settings.hostsFingerprint) + ",\n";
  out += "  \"language\": " + Quote(settings.change.language) + ",\n";
  out += "  \"root\": " + Quote(settings.change.root) + ",\n";
  out += "  \"port\": " + std::to_string(settings.port) + ",\n";
  out += "  \"timeout_ms\": " + std::to_string(settings.timeoutMs) + ",\n";
  out += "  \"scan_timeout\": " + std::to_string(settings.change.scanTimeout) + ",\n";
  out += "  \"change_timeout\": " + std::to_string(settings.change.changeTimeout) + ",\n";
  out += "  \"parallel\": " + std::to_string(settings.parallel) + ",\n";
  out += "  \"canary\": " + std::to_string(settings.canary) + ",\n";
  out += "  \"max_failures\": " + std::to_string(settings.maxFailures) + ",\n";
  // false while the run goes on: a report left so by a client that was
  // ended says which hosts were under way when it last wrote.
  out += std::string("  \"finished\": ") + (finished ? "true" : "false") + ",\n";
  out += std::string("  \"interrupted\": ") + (interrupted ? "true" : "false") + ",\n";
  out += "  \"not_started_because\": " + Quote(stopReason) + ",\n";
  out += "  \"summary\": {\"done\": " + std::to_string(s.done) + ", \"skipped\": " + std::to_string(s.skipped) +
         ", \"failed\": " + std::to_string(s.failed) + ", \"under_way\": " + std::to_string(underWay) +
         ", \"not_started\": " + std::to_string(s.notStarted) + "},\n";
  out += "  \"hosts\": [";
  for (std::size_t k = 0; k < reports.size(); ++k) {
    out += (k ? ",\n    " : "\n    ") + HostJson(reports[k]);
  }
  out += reports.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

// ---- Discover ---------------------------------------------------------------

namespace {

constexpr std::uint64_t kMaxRange = 65536;

// A dotted quad of four decimal numbers 0..255 without leading zeros (an
// address written "010" is read as octal by some tools: refused, not guessed).
bool ParseAddress(std::string_view text, std::uint32_t& address) {
  address = 0;
  int parts = 0;
  std::size_t k = 0;
  while (parts < 4) {
    const std::size_t start = k;
    unsigned value = 0;
    while (k < text.size() && text[k] >= '0' && text[k] <= '9' && k - start < 3)
      value = value * 10 + static_cast<unsigned>(text[k++] - '0');
    if (k == start || value > 255 || (k - start > 1 && text[start] == '0')) return false;
    address = (address << 8) | value;
    if (++parts < 4 && (k >= text.size() || text[k++] != '.')) return false;
  }
  return k == text.size();
}

}  // namespace

std::string AddressText(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
         "." + std::to_string(a & 255);
}

AddressList ParseRanges(const std::vector<std::string>& ranges) {
  AddressList list;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
  std::uint64_t total = 0;
  for (const auto& range : ranges) {
    const auto fail = [&](const std::string& why) {
      list.addresses.clear();
      list.error = range + ": " + why;
      return list;
    };
    std::uint32_t first = 0, last = 0;
    if (const auto slash = range.find('/'); slash != std::string::npos) {
      const std::string prefix = range.substr(slash + 1);
      if (!ParseAddress(std::string_view(range).substr(0, slash), first))
        return fail("not an IPv4 address before the '/'");
      if (prefix.empty() || prefix.size() > 2 || prefix.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(prefix) > 32)
        return fail("the prefix length is not a number from 0 to 32");
      const int bits = std::stoi(prefix);
      if (bits < 16)
        return fail("a /" + prefix + " holds " + std::to_string(1ULL << (32 - bits)) +
                    " addresses; at most 65,536 (a /16) at once");
      const std::uint32_t size = bits == 32 ? 1u : 1u << (32 - bits);
      first &= ~(size - 1);
      last = first + (size - 1);
    } else if (const auto dash = range.find('-'); dash != std::string::npos) {
      if (!ParseAddress(std::string_view(range).substr(0, dash), first) ||
          !ParseAddress(std::string_view(range).substr(dash + 1), last))
        return fail("expected FIRST-LAST, two IPv4 addresses");
      if (last < first) return fail("the last address comes before the first");
      if (std::uint64_t{last} - first + 1 > kMaxRange)
        return fail("holds " + std::to_string(std::uint64_t{last} - first + 1) + " addresses; at most 65,536 at once");
    } else {
      if (!ParseAddress(range, first)) return fail("not an IPv4 address, ADDRESS/PREFIX or FIRST-LAST");
      last = first;
    }
    // A probe of these would reach the local host or every host at once.
    if (first == 0) return fail(NotAMachine(0));
    if (last == 0xFFFFFFFF) return fail(NotAMachine(last));
    if (first <= 0xEFFFFFFF && last >= 0xE0000000) return fail("holds " + NotAMachine(0xE0000000));
    total += std::uint64_t{last} - first + 1;
    spans.emplace_back(first, last);
  }
  // Checked before any range is expanded: many ranges of a /16 each would
  // otherwise fill the memory first.
  if (total > kMaxRange) {
    list.error = "the ranges hold " + std::to_string(total) + " addresses together; at most 65,536 at once";
    return list;
  }
  for (const auto& [first, last] : spans)
    for (std::uint64_t a = first; a <= last; ++a) list.addresses.push_back(static_cast<std::uint32_t>(a));
  std::sort(list.addresses.begin(), list.addresses.end());
  list.addresses.erase(std::unique(list.addresses.begin(), list.addresses.end()), list.addresses.end());
  if (list.addresses.empty()) list.error = "give at least one address range";
  return list;
}

std::vector<Discovered> Discover(const std::vector<std::uint32_t>& addresses, std::uint16_t port, unsigned timeoutMs,
                                 unsigned parallel, const std::atomic<bool>& stop, std::atomic<std::size_t>& probed) {
  std::mutex mutex;
  std::vector<Discovered> found;
  ForEachAtOnce(0, addresses.size(), parallel, [&] { return stop.load(); }, [&](std::size_t k) {
    HostEntry host;
    host.host = AddressText(addresses[k]);
    host.port = port;
    HostStatus status = QueryStatus(host, timeoutMs);
    if (status.connected) {
      std::lock_guard lock(mutex);
      found.push_back({addresses[k], std::move(status)});
    }
    probed.fetch_add(1);
  });
  std::sort(found.begin(), found.end(), [](const Discovered& a, const Discovered& b) { return a.address < b.address; });
  return found;
}

namespace {

constexpr std::string_view kDiscoverHeader = "# kestrio-dnc fleet discover ";
constexpr std::string_view kNotFoundMark = "not found by discover on ";

// The line without a not-found mark of an earlier discover.
std::string WithoutMark(std::string line) {
  const auto mark = line.rfind(kNotFoundMark);
  if (mark == std::string::npos) return line;
  std::size_t start = mark;
  if (start >= 2 && line.compare(start - 2, 2, "# ") == 0) start -= 2;
  else if (start >= 2 && line.compare(start - 2, 2, "; ") == 0) start -= 2;
  line.erase(start);
  while (!line.empty() && IsBlank(line.back())) line.pop_back();
  return line;
}

}  // namespace

Inventory UpdateInventory(std::string_view oldText, const std::vector<std::uint32_t>& probed,
                          const std::vector<std::uint32_t>& found, std::uint16_t port, const std::string& header,
                          const std::string& date) {
  Inventory inventory;
  HostsFile old = ParseHosts(oldText, port);
  if (!old.Ok() && old.error != "no hosts") {
    inventory.error = old.error;
    return inventory;
  }
  // The lines of the old file, each with the entry on it.
  std::vector<std::string> lines;
  bool crlf = false;
  std::size_t start = oldText.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (start < oldText.size()) {
    const std::size_t end = std::min(oldText.find('\n', start), oldText.size());
    std::string line(oldText.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      crlf = true;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  std::vector<const HostEntry*> entryOn(lines.size(), nullptr);
  for (const auto& entry : old.hosts) entryOn[static_cast<std::size_t>(entry.line - 1)] = &entry;

  const auto in = [](const std::vector<std::uint32_t>& sorted, std::uint32_t a) {
    return std::binary_search(sorted.begin(), sorted.end(), a);
  };
  std::vector<std::uint32_t> sortedFound = found;
  std::sort(sortedFound.begin(), sortedFound.end());
  std::vector<std::uint32_t> listed;  // addresses on `port` the file has
  std::map<std::string, int> names;
  for (const auto& entry : old.hosts) names[entry.name] = entry.line;

  std::string text(header);
  text += '\n';
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::string line = lines[k];
    if (k == 0 && line.rfind(kDiscoverHeader, 0) == 0) continue;  // the header of an earlier discover
    if (const HostEntry* entry = entryOn[k]) {
      std::uint32_t address = 0;
      ++inventory.kept;
      if (entry->port == port && ParseAddress(entry->host, address)) {
        listed.push_back(address);
        if (in(probed, address)) {
          line = WithoutMark(std::move(line));
          if (!in(sortedFound, address)) {
            // Switched off, or busy with another client: still on the floor.
            line += line.find(" #") != std::string::npos || line.find("\t#") != std::string::npos ? "; " : "  # ";
            line += std::string(kNotFoundMark) + date;
            ++inventory.notFound;
          }
        }
      }
    }
    text += line + '\n';
  }
  std::sort(listed.begin(), listed.end());
  for (const std::uint32_t address : sortedFound) {
    if (in(listed, address)) continue;
    std::string name = "cnc-" + AddressText(address);
    for (int n = 2; names.count(name); ++n) name = "cnc-" + AddressText(address) + "-" + std::to_string(n);
    names[name] = 0;
    text += name + " " + AddressText(address) + ":" + std::to_string(port) + "\n";
    ++inventory.added;
  }
  if (crlf) {  // a file edited on Windows keeps its line ends
    std::string converted;
    for (const char c : text) {
      if (c == '\n') converted += '\r';
      converted += c;
    }
    text = std::move(converted);
  }
  inventory.text = std::move(text);
  return inventory;
}

// ---- A retry of what failed ------------------------------------------------

std::string Fingerprint(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

RetryPlan ReadRetryPlan(std::string_view reportText) {
  RetryPlan plan;
  const json::Parsed parsed = json::Parse(reportText);
  if (!parsed.Ok()) {
    plan.error = "not a report of kestrio-dnc fleet change: " + parsed.error;
    return plan;
  }
  const json::Value& report = parsed.value;
  const json::Value* hosts = report.Find("hosts");
  plan.hostsFile = report.TextOf("hosts_file");
  plan.hostsFingerprint = report.TextOf("hosts_fingerprint");
  plan.root = report.TextOf("root");
  plan.language = report.TextOf("language");
  plan.settings = {{"port", "--port"},       {"timeout_ms", "--timeout"}, {"scan_timeout", "--scan-timeout"},
                   {"change_timeout", "--change-timeout"}, {"parallel", "--parallel"}, {"canary", "--canary"},
                   {"max_failures", "--max-failures"}};
  for (RetrySetting& setting : plan.settings) {
    const json::Value* value = report.Find(setting.name);
    if (!value) continue;  // an older report: the command line's value or its default
    const bool zeroAllowed = std::string_view(setting.name) != "port" && std::string_view(setting.name) != "parallel";
    if (value->kind != json::Value::Number || value->number != static_cast<double>(static_cast<std::uint64_t>(value->number)) ||
        value->number > (std::string_view(setting.name) == "port" ? 65535.0 : 4294967295.0) ||
        (!zeroAllowed && value->number < 1)) {
      plan.error = std::string("\"") + setting.name + "\" in the report is not a usable number";
      return plan;
    }
    setting.value = static_cast<unsigned>(value->number);
    setting.present = true;
  }
  if (report.kind != json::Value::Object || !hosts || hosts->kind != json::Value::Array || plan.root.empty() ||
      plan.language.empty()) {
    plan.error = "not a report of kestrio-dnc fleet change (it lacks the root folder, the language or the hosts)";
    return plan;
  }
  if (plan.hostsFile.empty() || plan.hostsFingerprint.empty()) {
    plan.error = "the report does not name its hosts file (written by an older kestrio-dnc)";
    return plan;
  }
  for (const json::Value& host : hosts->items) {
    const std::string name = host.TextOf("name"), result = host.TextOf("result");
    if (name.empty() || result.empty()) {
      plan.error = "a host of the report has no name or result";
      return plan;
    }
    // A host under way (or restarting after its change) when the report was
    // last written may have been changed or not: it runs again, and is
    // skipped if it was.
    if (result == ResultName(State::Failed) || result == ResultName(State::NotStarted) ||
        result == ResultName(State::Scanning) || result == ResultName(State::Restarting))
      plan.names.push_back(name);
    else if (result != ResultName(State::Done) && result != ResultName(State::Skipped)) {
      plan.error = "host " + name + " has a result this kestrio-dnc does not know: \"" + result + "\"";
      return plan;
    }
  }
  return plan;
}

const RetrySetting* RetryPlan::Setting(std::string_view name) const {
  for (const auto& setting : settings)
    if (name == setting.name) return &setting;
  return nullptr;
}

HostsFile SelectHosts(const std::vector<HostEntry>& hosts, const std::vector<std::string>& names) {
  HostsFile selected;
  for (const auto& name : names)
    if (std::none_of(hosts.begin(), hosts.end(), [&](const HostEntry& h) { return h.name == name; })) {
      selected.error = "the hosts file has no host " + name;
      return selected;
    }
  for (const auto& host : hosts)
    if (std::find(names.begin(), names.end(), host.name) != names.end()) selected.hosts.push_back(host);
  return selected;
}

}  // namespace kestrio::dnc::fleet
