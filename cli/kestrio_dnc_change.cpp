#include "cli/kestrio_dnc_change.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "cli/kestrio_dnc_output.h"
#include "cli/terminal.h"
#include "engine/language.h"
#include "remote/fleet.h"
#include "remote/host_json.h"

namespace kestrio::cli {
namespace {

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
    phase_ = text::Printable(waitText);
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
    Put(text::Printable(text) + '\n');
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

// What the change's steps tell the command, in order.  The steps run on the
// change's thread and only post here, under the lock; the command's poll
// loop takes what was posted and shows it, so that the progress is the poll
// loop's alone.
struct Shown {
  enum Kind { Line, Begin, End } kind;
  std::string text;   // Line: the line; Begin: what is waited for
  std::string plain;  // Begin: the plain line of a log
  unsigned limit = 0; // Begin: seconds
};

class Posted {
 public:
  void Post(Shown shown) {
    std::lock_guard lock(mutex_);
    shown_.push_back(std::move(shown));
  }
  // Shows what was posted since the last call, in order.
  void Show(Progress& progress) {
    std::vector<Shown> taken;
    {
      std::lock_guard lock(mutex_);
      taken.swap(shown_);
    }
    for (const Shown& s : taken) {
      if (s.kind == Shown::Line) progress.Line(s.text);
      else if (s.kind == Shown::Begin) progress.Begin(s.text, s.plain, s.limit);
      else progress.End();
    }
  }

 private:
  std::mutex mutex_;
  std::vector<Shown> shown_;  // written by the change's thread, taken by the poll loop
};

// What a Ctrl-C leaves on the machine, by the phase the change was in, and
// how to follow it.
std::string Interrupted(const CommandLine& line, remote::State phase) {
  const std::string& host = line.host;
  const std::string& language = line.run.change.language;
  const std::string client =
      "kestrio-dnc --host " + host + (line.Given("--port") ? " --port " + std::to_string(line.run.port) : "");
  switch (phase) {
    case remote::State::Scanning:
      return "interrupted during the scan: " + host + " finishes its scan of " + line.run.change.root +
             " and changes nothing; run the same change again to change it";
    case remote::State::Changing:
      return "interrupted: " + host + " carries on with the change to " + language +
             " and restarts on its own; follow it with " + client +
             " status (busy while it changes), or run the same change again once it has restarted: it tells "
             "whether " + language + " took effect";
    case remote::State::Restarting:
      return "interrupted: " + host + " was changed to " + language + " and is restarting; " + client +
             " status tells its language once it answers";
    default: return "interrupted before the change was asked for: " + host + " changes nothing";
  }
}

}  // namespace

// The remote language change with its progress: phases on a live line or as
// plain lines, the packs found, and the engine's text of a failure; with
// --json the host's entry of a fleet report, whatever the end (on standard
// output the progress goes to standard error, so that the output is JSON).
// The change runs on a thread of its own while this one shows its progress
// (RunWatched).
int ChangeCommand(remote::Session& session, const CommandLine& command) {
  const remote::RemoteChangeSettings& change = command.run.change;
  const bool jsonOut = command.json == "-";
  const bool live = !jsonOut && StdoutIsTerminal();
  Progress progress(live, jsonOut ? stderr : stdout);
  Posted posted;
  ChangeTimes times;  // written by the change's thread, read after it has ended
  times.started = Clock::now();
  // What a Ctrl-C finds: the phase the change is in, and the language the
  // machine had (for --json).
  std::atomic<remote::State> phase{remote::State::Waiting};
  std::mutex beforeLock;
  std::string before;
  static std::atomic<int> presses{0};
  CatchInterrupt(&presses);
  remote::RemoteChangeSteps steps;
  steps.current = [&](const std::string& language) {
    {
      std::lock_guard lock(beforeLock);
      before = language;
    }
    posted.Post({Shown::Line, "current language: " + language, {}, 0});
  };
  steps.scanning = [&] {
    phase.store(remote::State::Scanning);
    posted.Post({Shown::Begin, "waiting for the scan of " + change.root, "scanning " + change.root, change.scanTimeout});
  };
  steps.found = [&](std::int32_t count, const std::vector<std::string>& names) {
    posted.Post({Shown::End, {}, {}, 0});
    if (names.empty()) return;
    std::string line = "found " + std::to_string(count) + " language pack" + (count == 1 ? "" : "s") + ": " +
                       text::Join(names, ", ");
    if (names.size() < static_cast<std::size_t>(count))
      line += " (the host names the first " + std::to_string(names.size()) + ")";
    posted.Post({Shown::Line, line, {}, 0});
  };
  steps.changing = [&] {
    phase.store(remote::State::Changing);
    times.scanEnded = Clock::now();
    posted.Post({Shown::Begin, "waiting for the change to " + change.language, "changing to " + change.language,
                 change.changeTimeout});
  };
  steps.restarting = [&] {
    phase.store(remote::State::Restarting);
    posted.Post({Shown::Begin, "waiting for the restart", "the machine restarts; waiting for it to answer again",
                 change.restartTimeout});
  };
  remote::RemoteChangeResult r;
  RunWatched([&] { r = remote::RunRemoteChange(session, change, steps); },
             [&] {
               posted.Show(progress);
               if (presses.load()) {
                 progress.End();
                 const remote::State at = phase.load();
                 const std::string told = Interrupted(command, at);
                 if (!command.json.empty()) {
                   remote::RemoteChangeResult sofar;
                   {
                     std::lock_guard lock(beforeLock);
                     sofar.before = before;
                   }
                   sofar.text = told;
                   WriteJson(command.json, ChangeJson(command, sofar, {times.started, {}, Clock::now()}, at));
                 }
                 EndInterrupted(told);
               }
               progress.Tick();
             },
             std::chrono::milliseconds(live ? 200 : 50));
  posted.Show(progress);
  times.ended = Clock::now();
  progress.End();
  const bool written =
      command.json.empty() || WriteJson(command.json, ChangeJson(command, r, times, remote::StateOf(r)));
  if (r.end != remote::ChangeEnd::Done) {
    const int status =
        Report(session, r.fault, r.code ? r.step + " failed: " + r.text + " (" + std::to_string(r.code) + ")" : r.text);
    if (const char* remedy = engine::RemedyOf(r.code))
      Complain(std::string("what to do: ") + remedy + ", then run the same change again");
    return status;
  }
  progress.Line(r.restartFollowed ? "done: " + r.text
                                  : "done: " + change.language + " is installed; the machine restarts to finish");
  return written ? 0 : kFailed;
}

std::string ChangeJson(const CommandLine& line, const remote::RemoteChangeResult& r, const ChangeTimes& times,
                       remote::State state) {
  remote::HostReport report;
  report.host = {line.host, line.host, line.run.port, 0};
  report.state = state;
  report.code = r.code;
  report.text = remote::ToldFailure(r.fault, r.text);
  report.started = times.started;
  report.scanEnded = times.scanEnded;
  report.ended = times.ended;
  return remote::HostChangeJson(report, r) + '\n';
}

}  // namespace kestrio::cli
