#include "remote/fleet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/text.h"
#include "platform/desk.h"
#include "remote/session.h"

namespace kestrio::remote {

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
  s.problem = ToldFailure(session.GetFault(), session.Problem());
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

std::vector<HostReport> FleetChange::TakeUpdates() {
  std::vector<HostReport> taken;
  std::lock_guard lock(mutex_);
  taken.swap(updates_);
  return taken;
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
    if (state == State::Failed) ++failures_;
    r.code = code;
    r.text = std::move(text);
    copy = r;
    updates_.push_back(copy);
  }
  if (onUpdate_) {
    std::lock_guard lock(updateMutex_);
    onUpdate_(copy);
  }
}

void FleetChange::ChangeOne(std::size_t index) {
  HostEntry host;
  {
    std::lock_guard lock(mutex_);
    host = reports_[index].host;
  }
  RemoteChangeSettings change = settings_.change;
  change.skipIfCurrent = true;
  RemoteChangeSteps steps;
  steps.changing = [&] { Set(index, State::Changing); };
  // Going down after the change is the package tool's restart, no failure.
  steps.restarting = [&] { Set(index, State::Restarting); };
  Set(index, State::Scanning);
  const RemoteChangeResult r = runner_ ? runner_(host, change, settings_.timeoutMs, steps) : [&] {
    Session session(host.host, host.port, settings_.timeoutMs);
    return RunRemoteChange(session, change, steps);
  }();
  if (r.end == ChangeEnd::Done) Set(index, State::Done, 0, r.text);
  else if (r.end == ChangeEnd::Skipped) Set(index, State::Skipped, 0, r.text);
  else Set(index, State::Failed, r.code, ToldFailure(r.fault, r.text));
}

bool FleetChange::BudgetSpent() const {
  std::lock_guard lock(mutex_);
  return BudgetSpentLocked();
}

bool FleetChange::BudgetSpentLocked() const { return settings_.maxFailures != 0 && failures_ >= settings_.maxFailures; }

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
  onUpdate_ = onUpdate;
  const std::size_t count = reports_.size();  // fixed by the constructor
  const std::size_t canaries = std::min<std::size_t>(settings_.canary, count);
  bool canaryFailed = false;
  if (canaries) {
    RunStage(0, canaries, stop);
    const auto reports = Snapshot();
    canaryFailed = std::any_of(reports.begin(), reports.begin() + static_cast<std::ptrdiff_t>(canaries),
                               [](const HostReport& r) { return r.state == State::Failed; });
  }
  if (!canaryFailed && canaries < count) RunStage(canaries, count, stop);
  // No host is under way any more: the reason is the run's last word on
  // those it held back, decided once.
  std::vector<std::size_t> held;
  std::string reason;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t index = 0; index < count; ++index)
      if (reports_[index].state == State::Waiting) held.push_back(index);
    if (!held.empty())
      reason = canaryFailed         ? "canary failed"
               : BudgetSpentLocked() ? std::to_string(settings_.maxFailures) + " failures"
                                     : "interrupted";
    stopReason_ = reason;
  }
  for (const std::size_t index : held) Set(index, State::NotStarted, 0, reason);
  onUpdate_ = nullptr;
}

std::string FleetChange::StopReason() const {
  std::lock_guard lock(mutex_);
  return stopReason_;
}

}  // namespace kestrio::remote
