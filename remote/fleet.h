// Many machines at once: the hosts file, the status of each host, and the
// language change run on every host of a list with a bounded number at once.
// Built on dnc::Client; each running host holds one connection, so a run
// never has more sockets (or threads) open than its parallel limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "remote/session.h"

namespace kestrio::dnc::fleet {

// ---- Hosts file ----------------------------------------------------------
//
// One host a line: `NAME HOST[:PORT]` or `HOST[:PORT]` (the name is then the
// address as written), optionally followed by a comment: a field that starts
// with '#' and the rest of the line.  Blank lines and lines whose first
// non-blank character is '#' are skipped.  A bad line makes the whole file
// unusable.

struct HostEntry {
  std::string name;
  std::string host;
  std::uint16_t port = 0;
  int line = 0;  // line number in the file, from 1
  std::string Address() const { return host + ":" + std::to_string(port); }
};

struct HostsFile {
  std::vector<HostEntry> hosts;
  std::string error;  // "line 3: ...", empty when usable
  bool Ok() const { return error.empty(); }
};

HostsFile ParseHosts(std::string_view text, std::uint16_t defaultPort);

// Why an IPv4 address (host order) is no machine's: 0.0.0.0 (on Linux it
// reaches the local host), the broadcast address, a multicast address;
// empty for an address a machine can have.
std::string NotAMachine(std::uint32_t address);

// Refuses hosts that name one machine twice, by address and port as
// `resolve` gives them (127.0.0.1, 127.1 and localhost are one machine: two
// sessions on one service would wait for each other or change it twice), or
// an address that is no machine's: "line 3: ...", naming both lines; empty
// when usable.  A host that does not resolve is left to its connection.
using Resolver = std::function<bool(const std::string& host, std::uint32_t& address)>;
std::string CheckMachines(const std::vector<HostEntry>& hosts, const Resolver& resolve);

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
  // The hosts file as named on the command line and the fingerprint of its
  // bytes, for the report (a retry reads them back).
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

class FleetChange {
 public:
  FleetChange(std::vector<HostEntry> hosts, ChangeSettings settings);

  // Changes every host, at most `parallel` at once, and returns when all
  // started hosts have finished: the canaries first, alone, then the rest.
  // No host starts once `stop` is set, a canary has failed, or the failure
  // budget is spent; the hosts under way are carried to their end (a change
  // is never left half-way by the client), the others end as NotStarted with
  // the reason (StopReason).  `onUpdate` is called (from any thread, never
  // two at once) after every change of state.
  void Run(const std::atomic<bool>& stop, const std::function<void(const HostReport&)>& onUpdate = {});
  // Called (once a stage, from the running thread) when fewer threads could
  // be made than `parallel` asks: made, wanted.
  void OnShortOfThreads(std::function<void(unsigned, unsigned)> told) { shortOfThreads_ = std::move(told); }

  std::vector<HostReport> Snapshot() const;
  const ChangeSettings& Settings() const { return settings_; }
  // Why hosts were not started: "interrupted", "canary failed", "3 failures";
  // empty when every host started.
  std::string StopReason() const;

 private:
  void RunStage(std::size_t first, std::size_t end, const std::atomic<bool>& stop);
  bool BudgetSpent() const;
  void ChangeOne(std::size_t index);
  void Set(std::size_t index, State state, std::int32_t code = 0, std::string text = {});

  ChangeSettings settings_;
  std::atomic<unsigned> failures_{0};
  bool canaryFailed_ = false;
  bool interrupted_ = false;
  mutable std::mutex mutex_;
  std::vector<HostReport> reports_;
  std::mutex updateMutex_;
  const std::function<void(const HostReport&)>* onUpdate_ = nullptr;
  std::function<void(unsigned, unsigned)> shortOfThreads_;
};

// The machine-readable report, the run's record: the settings (with the
// hosts file and its fingerprint, the port and the time limits), whether the
// run has finished, why hosts were not started, the summary and, per host,
// name, address and port as used, result (ResultName), code, text and timings
// in seconds.  Texts are written as valid UTF-8 whatever bytes they hold.
std::string JsonReport(const ChangeSettings& settings, const std::vector<HostReport>& reports, bool interrupted,
                       const std::string& stopReason = {}, bool finished = true);

// ---- Discover ---------------------------------------------------------------

// The IPv4 addresses of ranges, each once, in order: an address
// ("10.4.0.7"), a CIDR block of at most 65,536 addresses ("10.4.0.0/22"; bits
// below the prefix are ignored) or a first-last range
// ("192.168.7.20-192.168.7.80", at most 65,536 addresses).
struct AddressList {
  std::vector<std::uint32_t> addresses;
  std::string error;  // "10.4.0.0/8: ...", empty when usable
  bool Ok() const { return error.empty(); }
};
AddressList ParseRanges(const std::vector<std::string>& ranges);
std::string AddressText(std::uint32_t address);

struct Discovered {
  std::uint32_t address = 0;
  HostStatus status;  // connected; reachable when it is a Kestrio Setup
};

// Probes the DNC port of every address (QueryStatus), at most `parallel` at
// once, until done or `stop`; `probed` counts the addresses done.  Returns
// the addresses where something accepted the connection, in address order.
std::vector<Discovered> Discover(const std::vector<std::uint32_t>& addresses, std::uint16_t port, unsigned timeoutMs,
                                 unsigned parallel, const std::atomic<bool>& stop, std::atomic<std::size_t>& probed);

// The hosts file a discover writes, from the one already there (the plant's
// inventory, empty when there is none): every line of it stays, in its
// order, with its names and comments; an entry for an address of `probed`
// on `port` that did not answer is marked "not found by discover on DATE"
// (the mark goes when it answers again); the machines found that the file
// lacks follow as `cnc-ADDRESS ADDRESS:PORT`, under a name no entry has.
// The first line is `header` (a header of an earlier discover is replaced).
// A file that cannot be read whole is refused, naming its line.
struct Inventory {
  std::string text;
  std::string error;
  unsigned kept = 0, added = 0, notFound = 0;
  bool Ok() const { return error.empty(); }
};
Inventory UpdateInventory(std::string_view oldText, const std::vector<std::uint32_t>& probed,
                          const std::vector<std::uint32_t>& found, std::uint16_t port, const std::string& header,
                          const std::string& date);

// ---- A retry of what failed ------------------------------------------------

// A fingerprint of a hosts file's bytes (64-bit FNV-1a, "fnv1a64:" and 16 hex
// digits): a report names the hosts file it ran on, and a retry refuses a
// file that changed since.
std::string Fingerprint(std::string_view bytes);

// What an earlier report says to run again: its hosts file, root folder and
// language, the run's settings, and the hosts that failed, were under way or
// were not started; or why the report cannot be used.
struct RetrySetting {
  const char* name;   // the report's key: "port", "timeout_ms", ...
  const char* option;  // the command line's: "--port", "--timeout", ...
  unsigned value = 0;
  bool present = false;  // a report of an older kestrio-dnc lacks some
};
struct RetryPlan {
  std::string hostsFile, hostsFingerprint, root, language;
  std::vector<std::string> names;  // in the report's order
  // port, timeout_ms, scan_timeout, change_timeout, parallel, canary, max_failures
  std::vector<RetrySetting> settings;
  std::string error;
  bool Ok() const { return error.empty(); }
  const RetrySetting* Setting(std::string_view name) const;
};
RetryPlan ReadRetryPlan(std::string_view reportText);

// The hosts of `hosts` named in `names`, in the hosts file's order; a name
// the file lacks is an error.
HostsFile SelectHosts(const std::vector<HostEntry>& hosts, const std::vector<std::string>& names);

}  // namespace kestrio::dnc::fleet
