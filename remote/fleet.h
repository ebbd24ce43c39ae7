// Many machines at once: the status of each host, and the language change
// run on every host of a list with a bounded number at once.  Built on
// dnc::Client; each running host holds one connection, so a run never has
// more sockets (or threads) open than its parallel limit.  The hosts file is
// in hosts.h, discover in discover.h, the report and its reader in report.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "remote/hosts.h"
#include "remote/session.h"

namespace kestrio::remote {

// ---- Status of a host ----------------------------------------------------

struct HostStatus {
  bool connected = false;  // something accepted the connection
  bool reachable = false;  // ... and answered as a Kestrio Setup
  std::string problem;       // why it is not reachable
  std::string protocol;      // the service's protocol version
  std::string language;      // KESTRIO.CURRENT
  std::int32_t status = 0;   // KESTRIO.STATUS
  std::string errorText;     // KESTRIO.ERROR.<status> when it is negative
  // "idle", "busy" or "failed -10: System is protected...".
  std::string Describe() const;
};

HostStatus QueryStatus(const HostEntry& host, unsigned timeoutMs);

// Calls work(k) for each k in [first, end), at most `parallel` at once (the
// calling thread is one of them, the others are made with small stacks); no
// new k starts once stop() answers true.  Returns when every call that
// started has returned, with the number of threads that worked: fewer than
// asked when the system would make no more (the work is then shared by
// those), never fewer than one.
unsigned ForEachAtOnce(std::size_t first, std::size_t end, unsigned parallel, const std::function<bool()>& stop,
                       const std::function<void(std::size_t)>& work);
// The threads ForEachAtOnce asks for: `parallel`, at most one a call.
unsigned WorkersFor(std::size_t calls, unsigned parallel);

// ---- The change on many hosts ----------------------------------------------

enum class State { Waiting, Scanning, Changing, Restarting, Done, Skipped, Failed, NotStarted };
const char* StateName(State state);  // "waiting", ..., "not started"
bool Finished(State state);          // Done, Skipped, Failed or NotStarted
// A host's result in the report: "done", "skipped", "failed", "under way"
// (scanning or changing), "restarting" (changed; its restart is being
// followed) or "not started" (waiting, or held back).
const char* ResultName(State state);

struct ChangeSettings {
  RemoteChangeSettings change;  // root folder, language, time limits (a host in the language is skipped)
  unsigned parallel = 8;
  unsigned canary = 0;       // the first N hosts run alone first; one that fails stops the run
  unsigned maxFailures = 0;  // once this many hosts failed no new host starts; 0: no limit
  // The hosts file by its absolute path and the fingerprint of its bytes,
  // for the report (a retry reads them back, from whichever folder).
  std::string hostsFile;
  std::string hostsFingerprint;
  unsigned timeoutMs = 5000;  // connection and each reply
  std::uint16_t port = 3873;  // the port of the hosts the hosts file gives none
};

using Clock = std::chrono::steady_clock;

struct HostReport {
  HostEntry host;
  State state = State::Waiting;
  std::int32_t code = 0;  // the engine's code of a failure, 0 otherwise
  std::string text;       // why a host was skipped or failed (the engine's own text when it has one)
  Clock::time_point started{}, scanEnded{}, ended{};
  double Seconds(Clock::time_point from, Clock::time_point to) const;
  double ScanSeconds() const;    // 0 when it did not scan
  double ChangeSeconds() const;  // 0 when it did not change
  double TotalSeconds(Clock::time_point now) const;  // so far while it runs
};

struct Summary {
  unsigned done = 0, skipped = 0, failed = 0, notStarted = 0;
};
Summary Summarize(const std::vector<HostReport>& reports);

// The change on many hosts.
//
// Threads.  A run has three tiers: the command's thread, which builds the
// run, starts Run on a thread of its own and polls it (Snapshot,
// TakeUpdates) until Run has returned, then reads StopReason; the runner,
// the thread in Run, which runs the stages one after the other and, at the
// end, marks the hosts it did not start; and the workers, which Run's stages
// make (ForEachAtOnce) and which change one host at a time (ChangeOne, Set).
//
// Who writes each member, under which lock, and who reads it:
//   settings_, runner_, shortOfThreads_
//       written by the command's thread before Run (constructor,
//       SetHostRunner, OnShortOfThreads), never after; read without a lock
//       by the runner and the workers (making a thread orders the writes
//       before its reads).
//   onUpdate_
//       written by the runner at Run's start, before any worker is made, and
//       cleared at its end, after every worker has been joined; read by the
//       workers (Set) without mutex_.  Called under updateMutex_, which
//       makes two calls never overlap; mutex_ is not held during a call, so
//       that it may call Snapshot.
//   mutex_ guards reports_, updates_, failures_ and stopReason_:
//       reports_, updates_, failures_: written by the workers and, for the
//       hosts not started, the runner (Set); read by the stop test of the
//       stages (BudgetSpent) and by any thread through Snapshot and
//       TakeUpdates.
//       stopReason_: written once, by the runner at Run's end, when no host
//       is under way any more; read through StopReason, by the command once
//       Run has returned.
// mutex_ is never held while updateMutex_ is taken, nor the other way round.
class FleetChange {
 public:
  FleetChange(std::vector<HostEntry> hosts, ChangeSettings settings);

  // Changes every host, at most `parallel` at once, and returns when all
  // started hosts have finished: the canaries first, alone, then the rest.
  // No host starts once `stop` is set, a canary has failed, or the failure
  // budget is spent; the hosts under way are carried to their end (a change
  // is never left half-way by the client), the others end as NotStarted with
  // the reason (StopReason).  `onUpdate`, when given, is called (from any
  // thread, never two at once) after every change of state; a command polls
  // TakeUpdates instead.
  void Run(const std::atomic<bool>& stop, const std::function<void(const HostReport&)>& onUpdate = {});
  // Called (once a stage, from the running thread) when fewer threads could
  // be made than `parallel` asks: made, wanted.
  void OnShortOfThreads(std::function<void(unsigned, unsigned)> told) { shortOfThreads_ = std::move(told); }
  // What changes one host: a session and RunRemoteChange with the run's
  // settings (skipIfCurrent set) unless set before Run; a test sets a
  // machine of its own.  Called from the worker threads.
  using HostRunner = std::function<RemoteChangeResult(const HostEntry& host, const RemoteChangeSettings& change,
                                                      unsigned timeoutMs, const RemoteChangeSteps& steps)>;
  void SetHostRunner(HostRunner runner) { runner_ = std::move(runner); }

  // Every host as it is now.
  std::vector<HostReport> Snapshot() const;
  // The changes of state since the last call, in the order they happened
  // (each host as it was right after it): what a command's poll loop shows
  // line by line.
  std::vector<HostReport> TakeUpdates();
  const ChangeSettings& Settings() const { return settings_; }
  // Why hosts were not started: "interrupted", "canary failed", "3 failures";
  // empty when every host started, and before Run has ended.
  std::string StopReason() const;

 private:
  void RunStage(std::size_t first, std::size_t end, const std::atomic<bool>& stop);
  bool BudgetSpent() const;
  bool BudgetSpentLocked() const;  // mutex_ held
  void ChangeOne(std::size_t index);
  void Set(std::size_t index, State state, std::int32_t code = 0, std::string text = {});

  const ChangeSettings settings_;
  HostRunner runner_;
  std::function<void(unsigned, unsigned)> shortOfThreads_;
  std::function<void(const HostReport&)> onUpdate_;
  std::mutex updateMutex_;
  mutable std::mutex mutex_;
  std::vector<HostReport> reports_;
  std::vector<HostReport> updates_;  // the changes of state TakeUpdates has not taken yet
  unsigned failures_ = 0;
  std::string stopReason_;
};

}  // namespace kestrio::remote
