#include "remote/session.h"

#include <algorithm>
#include <thread>

#include "base/text.h"
#include "dnc/setup_variables.h"

namespace kestrio::remote {
namespace {

constexpr const char* kStatus = "KESTRIO.STATUS";
using Clock = std::chrono::steady_clock;

// What a STATUS other than 1 right after an accepted ROOTDIR or GO means:
// the service acknowledged the request and let it go, as Kestrio Setup does
// once it is ending (after a failed scan its message box waits for someone
// at the machine, and the program ends when it is answered; or its window is
// closing).  Nothing from here can make it take one.
bool NotTaken(Session& s, std::int32_t status, const std::string& what) {
  std::string why;
  if (status < 0) {
    std::string text;
    if (!s.Read("KESTRIO.ERROR." + std::to_string(status), text)) return false;
    why = "it is ending after a failed scan (" + std::to_string(status) + (text.empty() ? "" : ": " + text) +
          "); its message waits for someone at the machine";
  } else {
    why = "it is ending (KESTRIO.STATUS is " + std::to_string(status) + " after the request)";
  }
  return s.Fail(Fault::NotTaken, "Kestrio Setup did not take " + what + ": " + why +
                                     ". Someone at the machine must answer it and start Kestrio Setup again "
                                     "(or restart the machine); then run the same command again");
}

// Reads STATUS every `poll` while it is 1; true once it reads 0.  The first
// read follows the request that set it to 1: any other value there means the
// request was not taken.  A negative status fails with the engine's own text
// for it and its code.
bool WaitWhileBusy(Session& s, unsigned limitSeconds, std::chrono::milliseconds poll, const std::string& what,
                   const std::function<void()>& waiting) {
  const auto deadline = Clock::now() + std::chrono::seconds(limitSeconds);
  std::int32_t status = 1;
  for (bool first = true;; first = false) {
    if (!s.ReadNumber(kStatus, status)) return false;
    if (status != 1) {
      if (first) return NotTaken(s, status, what);
      break;
    }
    if (Clock::now() >= deadline)
      return s.Fail(Fault::Refused, what + " did not finish within " + std::to_string(limitSeconds) +
                                        " s (KESTRIO.STATUS is still 1; the host may still be at work)");
    if (waiting) waiting();
    std::this_thread::sleep_for(poll);
  }
  if (status == 0) return true;
  if (status > 0) return s.Fail(Fault::Refused, what + ": unexpected KESTRIO.STATUS " + std::to_string(status));
  std::string text;
  if (!s.Read("KESTRIO.ERROR." + std::to_string(status), text)) return false;
  return s.Fail(Fault::Refused, text.empty() ? what + " failed with " + std::to_string(status) : text, status);
}

// The names of the packs the scan found, as many as the host publishes.
bool ReadNames(Session& s, std::int32_t& count, std::vector<std::string>& names) {
  if (!s.ReadNumber("KESTRIO.NITEMS", count)) return false;
  if (count < 0) return s.Fail(Fault::NoAnswer, "KESTRIO.NITEMS: " + std::to_string(count) + " is not a count");
  const std::size_t published = std::min(static_cast<std::size_t>(count), dnc::kPackSlots);
  // Seven names of at most 63 characters stay within a reply's 1023
  // characters even if every character had to be escaped.
  constexpr std::size_t kNamesPerRead = 7;
  for (std::size_t first = 0; first < published; first += kNamesPerRead) {
    std::vector<std::string> variables, values;
    for (std::size_t i = first; i < std::min(first + kNamesPerRead, published); ++i)
      variables.push_back("KESTRIO.NAME." + std::to_string(i));
    if (!s.ReadList(variables, values)) return false;
    names.insert(names.end(), values.begin(), values.end());
  }
  return true;
}

// After a change: the package tool restarts the machine.  With `changed`
// (STATUS 0 was read) the host is watched until it goes down; then, or at
// once when the connection ended during the change, it is reached again
// every `reconnectPause` until it answers with the language it runs.  An
// answer in another language is taken as the machine's only from a Kestrio
// Setup that has started since (it has scanned nothing: NITEMS 0): the one
// that ran the change, reached again because the connection ended and not
// the machine, is still at work or about to go down, and is watched again.
// True with `result.after` set; false with the session's failure (Lost: no
// restart seen or no answer in time; Refused with the engine's code: the
// change failed after all).
bool FollowRestart(Session& s, const RemoteChangeSettings& settings, const RemoteChangeSteps& steps, bool changed,
                   RemoteChangeResult& result) {
  const auto deadline = Clock::now() + std::chrono::seconds(settings.restartTimeout);
  const std::string limit = std::to_string(settings.restartTimeout) + " s";
  if (steps.restarting) steps.restarting();
  // Any failure of the connection while watching is the machine going down:
  // a shutdown ends Kestrio Setup, or the network goes first.  False when it
  // has not gone down in time, or the change it is still at failed.
  const auto watchUntilDown = [&] {
    for (std::int32_t status = 0; s.ReadNumber(kStatus, status);) {
      if (status < 0) {
        std::string text;
        s.Read("KESTRIO.ERROR." + std::to_string(status), text);
        s.Fail(Fault::Refused, text.empty() ? "the change failed with " + std::to_string(status) : text, status);
        return false;
      }
      if (Clock::now() >= deadline) {
        s.Fail(Fault::Lost, settings.language + (status == 1 ? " is still being installed" : " is installed") +
                                ", but the machine did not restart within " + limit +
                                "; read KESTRIO.CURRENT once it has");
        return false;
      }
      if (steps.waiting) steps.waiting();
      std::this_thread::sleep_for(settings.poll);
    }
    return true;
  };
  if (changed && !watchUntilDown()) return false;
  for (;;) {
    s.Reset();
    std::string current;
    std::int32_t status = 0, items = 0;
    // Kestrio Setup serves before its start-up has read the language: an
    // empty CURRENT is asked again.
    if (s.Connect() && s.Read("KESTRIO.CURRENT", current) && !current.empty()) {
      if (current == settings.language ||
          (s.ReadNumber(kStatus, status) && s.ReadNumber("KESTRIO.NITEMS", items) && items == 0)) {
        result.restartFollowed = true;
        result.after = current;
        return true;
      }
      if (s.GetFault() == Fault::None && !watchUntilDown()) return false;
    }
    if (Clock::now() >= deadline) break;
    if (steps.waiting) steps.waiting();
    std::this_thread::sleep_for(settings.reconnectPause);
  }
  const std::string why = s.Problem();
  s.Reset();
  s.Fail(Fault::Lost, "the machine did not answer within " + limit + " of going down for its restart" +
                          (why.empty() ? std::string() : " (" + why + ")") + "; read KESTRIO.CURRENT once it is back");
  return false;
}

}  // namespace

std::string ToldFailure(Fault fault, const std::string& problem) {
  switch (fault) {
    case Fault::Unreachable: return "unreachable: " + problem;
    case Fault::NotTaken: return "needs a visit: " + problem;
    default: return problem;
  }
}

Session::Session(std::string host, std::uint16_t port, unsigned timeoutMs)
    : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs) {}

bool Session::Fail(Fault fault, std::string problem, std::int32_t code) {
  if (fault_ == Fault::None) {
    fault_ = fault;
    problem_ = std::move(problem);
    code_ = code;
  }
  return false;
}

void Session::Reset() {
  client_.Close();
  underWay_ = UnderWay::Nothing;
  fault_ = Fault::None;
  code_ = 0;
  problem_.clear();
}

bool Session::Connect() {
  std::string error;
  return client_.Connect(host_, port_, timeoutMs_, error) || Fail(Fault::Unreachable, error);
}

bool Session::Read(const std::string& name, std::string& value) {
  const ClientResult r = client_.Read(name);
  if (!Accept(r, name, 1)) return false;
  value = r.values[0];
  return true;
}

bool Session::ReadList(const std::vector<std::string>& names, std::vector<std::string>& values) {
  const ClientResult r = client_.ReadList(names);
  if (!Accept(r, text::Join(names, "#"), names.size())) return false;
  values = r.values;
  return true;
}

bool Session::ReadNumber(const std::string& name, std::int32_t& number) {
  std::string text;
  if (!Read(name, text)) return false;
  if (dnc::ParseWholeNumber(text, number)) return true;
  return Fail(Fault::NoAnswer, name + ": expected a number, the host answered \"" + text + "\"");
}

bool Session::Write(const std::string& name, const std::string& value) {
  return Accept(client_.Write(name, value), name, 0);
}

bool Session::WriteList(const std::vector<std::string>& names, const std::vector<std::string>& values) {
  return Accept(client_.WriteList(names, values), text::Join(names, "#"), 0);
}

bool Session::Version(std::string& version) {
  const ClientResult r = client_.Version();
  if (!Accept(r, "version", 1)) return false;
  version = r.values[0];
  return true;
}

bool Session::Accept(const ClientResult& r, const std::string& what, std::size_t values) {
  switch (r.kind) {
    case ClientResult::ErrorReply: return Fail(Fault::Refused, what + ": " + dnc::DescribeError(r.code));
    case ClientResult::Refused: return Fail(Fault::NotSent, what + ": " + r.problem);
    case ClientResult::Failed:
      if (r.connectionLost && underWay_ == UnderWay::Change)
        return Fail(Fault::Lost, "the connection ended during the change; the machine may be restarting (" +
                                     r.problem + ")");
      if (r.connectionLost && underWay_ == UnderWay::Scan)
        return Fail(Fault::NoAnswer, "the connection ended during the scan: Kestrio Setup ends after a failed scan "
                                     "once its message is answered, or the network failed (" + r.problem +
                                     "); if the machine answers again, run the same command again");
      return Fail(Fault::NoAnswer, r.problem);
    case ClientResult::Ok: break;
  }
  if (r.values.size() != values)
    return Fail(Fault::NoAnswer, "unexpected reply to " + what + " (" + std::to_string(r.values.size()) +
                                     " values for " + std::to_string(values) + ")");
  return true;
}

RemoteChangeResult RunRemoteChange(Session& s, const RemoteChangeSettings& settings, const RemoteChangeSteps& steps) {
  RemoteChangeResult result;
  const auto failed = [&](const std::string& step = {}) {
    result.end = ChangeEnd::Failed;
    result.fault = s.GetFault();
    result.code = s.Code();
    result.text = s.Problem();
    if (result.code != 0) result.step = step;
    return result;
  };
  const std::string& language = settings.language;

  std::int32_t status = 0;
  std::string current;
  if (!s.Connect() || !s.ReadNumber(kStatus, status)) return failed();
  if (status == 1) {
    s.Fail(Fault::Refused, "the host is busy (KESTRIO.STATUS is 1): a scan or a language change is under way; "
                           "try again when it has finished");
    return failed();
  }
  if (!s.Read("KESTRIO.CURRENT", current)) return failed();
  result.before = current;
  if (!current.empty() && steps.current) steps.current(current);
  if (settings.skipIfCurrent && current == language) {
    result.end = ChangeEnd::Skipped;
    result.text = "already " + language;
    return result;
  }

  const std::string scan = "the scan of " + settings.root;
  if (!s.Write("KESTRIO.ROOTDIR", settings.root)) return failed();
  s.ScanUnderWay();
  if (steps.scanning) steps.scanning();
  if (!WaitWhileBusy(s, settings.scanTimeout, settings.poll, scan, steps.waiting)) {
    // A failed scan ends Kestrio Setup once its message is answered, and
    // until then it takes no request: nothing from here brings it back.
    if (s.GetFault() == Fault::Refused && s.Code() < 0) {
      const std::int32_t code = s.Code();
      const std::string text = s.Problem();
      s.Reset();
      s.Fail(Fault::NotTaken,
             "Kestrio Setup ends once the message of its failed scan is answered at the machine; someone there "
             "must answer it and start Kestrio Setup again (or restart the machine), then run the same command "
             "again: " + text,
             code);
    }
    return failed(scan);
  }
  std::int32_t count = 0;
  std::vector<std::string> names;
  if (!ReadNames(s, count, names)) return failed();
  if (steps.found) steps.found(count, names);
  if (names.empty()) {
    s.Fail(Fault::Refused, "no language packs found under " + settings.root +
                               " (none whose cabinet Kestrio Setup could read: check the folder and its cabinets, "
                               "and that expand.exe runs on the machine)");
    return failed();
  }
  if (std::find(names.begin(), names.end(), language) == names.end()) {
    s.Fail(Fault::Refused,
           language + " is not among the language packs found under " + settings.root + ": " + text::Join(names, ", "));
    return failed();
  }

  const std::string change = "the change to " + language;
  if (!s.Write("KESTRIO.NEXT", language) || !s.Write("KESTRIO.GO", "1")) return failed();
  s.ChangeUnderWay();
  if (steps.changing) steps.changing();
  const bool changed = WaitWhileBusy(s, settings.changeTimeout, settings.poll, change, steps.waiting);
  if (!changed && (s.GetFault() != Fault::Lost || !settings.followRestart)) return failed(change);
  if (!settings.followRestart) {
    result.end = ChangeEnd::Done;
    result.text = language + " installed; the machine restarts to finish";
    return result;
  }
  if (!FollowRestart(s, settings, steps, changed, result)) return failed(change);
  if (result.after != language) {
    s.Fail(Fault::Refused, "the machine came back in " + result.after + ", not " + language +
                               ": the change did not take effect");
    return failed();
  }
  result.end = ChangeEnd::Done;
  result.text = language + ", after the restart";
  return result;
}

}  // namespace kestrio::remote
