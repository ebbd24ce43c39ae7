#include "dnc/fleet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "dnc/client.h"
#include "dnc/setup_variables.h"

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

// ---- One connection to a host ------------------------------------------------

// The requests of one host's procedure over one connection; the first
// failure is kept with the engine's code when the host reported one.
class Session {
 public:
  Session(const HostEntry& host, unsigned timeoutMs) : host_(host), timeoutMs_(timeoutMs) {}

  bool Connect() {
    std::string error;
    if (client_.Connect(host_.host, host_.port, timeoutMs_, error)) return true;
    return Fail("unreachable: " + error);
  }
  bool Read(const std::string& name, std::string& value) {
    const ClientResult r = client_.Read(name);
    if (!Accept(r, name, 1)) return false;
    value = r.values[0];
    return true;
  }
  bool ReadNumber(const std::string& name, std::int32_t& number) {
    std::string text;
    if (!Read(name, text)) return false;
    if (ParseWholeNumber(text, number)) return true;
    return Fail(name + ": expected a number, the host answered \"" + text + "\"");
  }
  bool Write(const std::string& name, const std::string& value) { return Accept(client_.Write(name, value), name, 0); }
  bool Version(std::string& version) {
    const ClientResult r = client_.Version();
    if (!Accept(r, "version", 1)) return false;
    version = r.values[0];
    return true;
  }
  // Reads STATUS every `poll` while it is 1; true with `status` once it is
  // not 1 any more.
  bool WaitWhileBusy(unsigned limitSeconds, std::chrono::milliseconds poll, const std::string& what,
                     std::int32_t& status) {
    const auto deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    for (;;) {
      if (!ReadNumber("KESTRIO.STATUS", status)) return false;
      if (status != 1) return true;
      if (Clock::now() >= deadline)
        return Fail(what + " did not finish within " + std::to_string(limitSeconds) +
                    " s (KESTRIO.STATUS is still 1; the host may still be at work)");
      std::this_thread::sleep_for(poll);
    }
  }
  // A negative STATUS with the engine's own text for it.
  bool EngineFailure(std::int32_t status, const std::string& what) {
    std::string text;
    if (!Read("KESTRIO.ERROR." + std::to_string(status), text)) return false;
    code_ = status;
    problem_ = text.empty() ? what + " failed with " + std::to_string(status) : text;
    return false;
  }
  bool Fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
    return false;
  }
  void ScanUnderWay() { scanUnderWay_ = true; }
  void ChangeUnderWay() { changeUnderWay_ = true; }

  std::int32_t Code() const { return code_; }
  const std::string& Problem() const { return problem_; }

 private:
  bool Accept(const ClientResult& r, const std::string& what, std::size_t values) {
    switch (r.kind) {
      case ClientResult::ErrorReply: return Fail(what + ": " + DescribeError(r.code));
      case ClientResult::Refused: return Fail(what + ": " + r.problem);
      case ClientResult::Failed:
        if (r.connectionLost && changeUnderWay_)
          return Fail("the connection ended during the change; the machine may be restarting (" + r.problem + ")");
        if (r.connectionLost && scanUnderWay_)
          return Fail("the connection ended during the scan: Kestrio Setup ends after a failed scan once its message "
                      "is answered (" + r.problem + ")");
        return Fail(r.problem);
      case ClientResult::Ok: break;
    }
    if (r.values.size() != values) return Fail("unexpected reply to " + what);
    return true;
  }

  const HostEntry& host_;
  unsigned timeoutMs_;
  Client client_;
  std::int32_t code_ = 0;
  std::string problem_;
  bool scanUnderWay_ = false;
  bool changeUnderWay_ = false;
};

// ---- JSON --------------------------------------------------------------------

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Number(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

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
    const auto fields = Fields(line);
    if (fields.empty() || fields[0][0] == '#') continue;
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

// ---- Status of a host ----------------------------------------------------

std::string HostStatus::Describe() const {
  if (!reachable) return "-";
  if (status == 0) return "idle";
  if (status == 1) return "busy";
  return "failed " + std::to_string(status) + (errorText.empty() ? "" : ": " + errorText);
}

HostStatus QueryStatus(const HostEntry& host, unsigned timeoutMs) {
  HostStatus s;
  Session session(host, timeoutMs);
  s.reachable = session.Connect() && session.Version(s.protocol) && session.ReadNumber("KESTRIO.STATUS", s.status) &&
                session.Read("KESTRIO.CURRENT", s.language) &&
                (s.status >= 0 || session.Read("KESTRIO.ERROR." + std::to_string(s.status), s.errorText));
  s.problem = session.Problem();
  return s;
}

// ---- The change on many hosts ----------------------------------------------

const char* StateName(State state) {
  switch (state) {
    case State::Waiting: return "waiting";
    case State::Scanning: return "scanning";
    case State::Changing: return "changing";
    case State::Done: return "done";
    case State::Skipped: return "skipped";
    case State::Failed: return "failed";
    case State::NotStarted: return "not started";
  }
  return "?";
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
    r.code = code;
    r.text = std::move(text);
    copy = r;
  }
  if (onUpdate_ && *onUpdate_) {
    std::lock_guard lock(updateMutex_);
    (*onUpdate_)(copy);
  }
}

// One host, over one connection: a busy host is refused before anything is
// written (a write while busy would be dropped without a word), a host
// already in the language is skipped, then ROOTDIR and the wait, the names
// found, NEXT and GO and the wait.
void FleetChange::ChangeOne(std::size_t index) {
  const HostEntry host = Snapshot()[index].host;
  const std::string& language = settings_.language;
  Session s(host, settings_.timeoutMs);
  Set(index, State::Scanning);
  const auto failed = [&] { Set(index, State::Failed, s.Code(), s.Problem()); };

  std::int32_t status = 0;
  std::string current;
  if (!s.Connect() || !s.ReadNumber("KESTRIO.STATUS", status)) return failed();
  if (status == 1) {
    s.Fail("busy: a scan or a language change is under way (KESTRIO.STATUS is 1)");
    return failed();
  }
  if (!s.Read("KESTRIO.CURRENT", current)) return failed();
  if (current == language) return Set(index, State::Skipped, 0, "already " + language);

  if (!s.Write("KESTRIO.ROOTDIR", settings_.root)) return failed();
  s.ScanUnderWay();
  if (!s.WaitWhileBusy(settings_.scanTimeout, settings_.poll, "the scan of " + settings_.root, status))
    return failed();
  if (status != 0) {
    if (status > 0) s.Fail("the scan: unexpected KESTRIO.STATUS " + std::to_string(status));
    else s.EngineFailure(status, "the scan");
    return failed();
  }
  std::int32_t count = 0;
  if (!s.ReadNumber("KESTRIO.NITEMS", count)) return failed();
  bool found = false;
  const std::size_t published = std::min(static_cast<std::size_t>(std::max(count, 0)), kPackSlots);
  for (std::size_t i = 0; i < published && !found; ++i) {
    std::string name;
    if (!s.Read("KESTRIO.NAME." + std::to_string(i), name)) return failed();
    found = name == language;
  }
  if (!found) {
    s.Fail("no language pack for " + language + " under " + settings_.root);
    return failed();
  }

  if (!s.Write("KESTRIO.NEXT", language) || !s.Write("KESTRIO.GO", "1")) return failed();
  s.ChangeUnderWay();
  Set(index, State::Changing);
  if (!s.WaitWhileBusy(settings_.changeTimeout, settings_.poll, "the change to " + language, status)) return failed();
  if (status != 0) {
    if (status > 0) s.Fail("the change: unexpected KESTRIO.STATUS " + std::to_string(status));
    else s.EngineFailure(status, "the change");
    return failed();
  }
  Set(index, State::Done, 0, language + " installed; the machine restarts to finish");
}

void FleetChange::Run(const std::atomic<bool>& stop, const std::function<void(const HostReport&)>& onUpdate) {
  onUpdate_ = &onUpdate;
  const std::size_t count = reports_.size();
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (;;) {
      if (stop.load()) return;
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      ChangeOne(index);
    }
  };
  const std::size_t threads = std::min<std::size_t>(std::max(1u, settings_.parallel), count);
  std::vector<std::thread> pool;
  for (std::size_t k = 1; k < threads; ++k) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  for (std::size_t index = 0; index < count; ++index)
    if (Snapshot()[index].state == State::Waiting) Set(index, State::NotStarted, 0, "interrupted");
  onUpdate_ = nullptr;
}

std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted) {
  const Summary s = Summarize(reports);
  std::string out = "{\n";
  out += "  \"language\": " + Quote(settings.language) + ",\n";
  out += "  \"root\": " + Quote(settings.root) + ",\n";
  out += "  \"parallel\": " + std::to_string(settings.parallel) + ",\n";
  out += std::string("  \"interrupted\": ") + (interrupted ? "true" : "false") + ",\n";
  out += "  \"summary\": {\"done\": " + std::to_string(s.done) + ", \"skipped\": " + std::to_string(s.skipped) +
         ", \"failed\": " + std::to_string(s.failed) + ", \"not_started\": " + std::to_string(s.notStarted) + "},\n";
  out += "  \"hosts\": [";
  for (std::size_t k = 0; k < reports.size(); ++k) {
    const HostReport& r = reports[k];
    out += k ? ",\n    {" : "\n    {";
    out += "\"name\": " + Quote(r.host.name) + ", \"address\": " + Quote(r.host.Address()) +
           ", \"result\": " + Quote(StateName(r.state)) + ", \"code\": " + std::to_string(r.code) +
           ", \"text\": " + Quote(r.text) + ", \"seconds\": {\"scan\": " + Number(r.ScanSeconds()) +
           ", \"change\": " + Number(r.ChangeSeconds()) + ", \"total\": " + Number(r.TotalSeconds(r.ended)) + "}}";
  }
  out += reports.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace kestrio::dnc::fleet
