// One client's session with a host's DNC service, and the remote language
// change built on it: the requests over one connection, with the first
// failure kept and told apart by what it means for the caller (an answer
// that says no, no usable answer, or a connection that ended once the change
// had begun).  kestrio-dnc's single commands and every host of a fleet run
// go through it, so a machine is changed the same way however it is reached.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dnc/client.h"

namespace kestrio::remote {

using dnc::Client;
using dnc::ClientResult;

// What went wrong first in a session.
enum class Fault {
  None,
  Refused,      // the host said no: an error reply, an engine failure, a wait that ran out, busy, no such pack
  Unreachable,  // no connection
  NotSent,      // the request cannot carry its names or values
  NoAnswer,     // no usable answer on the connection
  Lost,         // the connection ended after GO was accepted: the machine may be restarting
  NotTaken,     // the host acknowledged ROOTDIR or GO but let it go: it is ending, and needs someone at it
};

// A failure as a report or a fleet row tells it: an unreachable host says so
// first, and a host that needs someone at it says "needs a visit: " first,
// so that both can be picked out of a report.
std::string ToldFailure(Fault fault, const std::string& problem);

class Session {
 public:
  Session(std::string host, std::uint16_t port, unsigned timeoutMs);

  bool Connect();
  bool Read(const std::string& name, std::string& value);
  bool ReadList(const std::vector<std::string>& names, std::vector<std::string>& values);
  bool ReadNumber(const std::string& name, std::int32_t& number);
  bool Write(const std::string& name, const std::string& value);
  bool WriteList(const std::vector<std::string>& names, const std::vector<std::string>& values);
  bool Version(std::string& version);

  // Keeps the first failure; always false, so that a step can end with it.
  bool Fail(Fault fault, std::string problem, std::int32_t code = 0);

  // From here on a connection that ends is told as the scan's or the change's
  // doing: the program ends after a failed scan once its box is answered, and
  // the package tool restarts the machine once the change is done.
  void ScanUnderWay() { underWay_ = UnderWay::Scan; }
  void ChangeUnderWay() { underWay_ = UnderWay::Change; }

  // Closes the connection and forgets the failure: a new start on the same
  // host, as after its restart.
  void Reset();

  Fault GetFault() const { return fault_; }
  std::int32_t Code() const { return code_; }          // the engine's code of a failure, 0 otherwise
  const std::string& Problem() const { return problem_; }
  std::string Address() const { return host_ + ":" + std::to_string(port_); }

 private:
  enum class UnderWay { Nothing, Scan, Change };
  bool Accept(const ClientResult& r, const std::string& what, std::size_t values);

  std::string host_;
  std::uint16_t port_;
  unsigned timeoutMs_;
  Client client_;
  UnderWay underWay_ = UnderWay::Nothing;
  Fault fault_ = Fault::None;
  std::int32_t code_ = 0;
  std::string problem_;
};

// ---- The remote language change ----------------------------------------------
//
// Over one session: STATUS (a busy host is refused before anything is
// written: a write while busy is dropped without a word), CURRENT, ROOTDIR
// and the wait, the names found, NEXT and GO and the wait.

struct RemoteChangeSettings {
  std::string root;
  std::string language;
  unsigned scanTimeout = 600;    // seconds
  unsigned changeTimeout = 3600;  // seconds
  std::chrono::milliseconds poll{250};
  bool skipIfCurrent = false;  // a host already in the language is left alone
  // The package tool restarts the machine once the change is done: wait for
  // it to go down and answer again, and read the language it came back in.
  bool followRestart = true;
  unsigned restartTimeout = 900;  // seconds, from the end of the change (or the connection's) to the answer
  std::chrono::milliseconds reconnectPause{1000};  // between two tries to reach a restarting host
};

// What the change tells as it goes; each is optional.
struct RemoteChangeSteps {
  std::function<void(const std::string& language)> current;  // a host that knows its language
  std::function<void()> scanning;
  // The count the host gives and the names it publishes (its first slots).
  std::function<void(std::int32_t count, const std::vector<std::string>& names)> found;
  std::function<void()> changing;
  std::function<void()> waiting;  // between two reads of STATUS
  // The change ended (STATUS 0, or the connection with it): the machine's
  // going down and its return are awaited, at most `restartTimeout` seconds.
  std::function<void()> restarting;
};

enum class ChangeEnd { Done, Skipped, Failed };

struct RemoteChangeResult {
  ChangeEnd end = ChangeEnd::Failed;
  Fault fault = Fault::None;  // for Failed
  std::int32_t code = 0;      // the engine's code of a failure
  // Failed: the engine's own text, or what went wrong; Skipped: why.
  std::string text;
  std::string step;  // the step that failed with the engine's code: "the scan of D:\x", "the change to French"
  std::string before;  // the language the host read before the change ("" when not read)
  std::string after;   // the language it came back in after its restart ("" when not followed)
  bool restartFollowed = false;  // the host was seen going down and answering again
};

RemoteChangeResult RunRemoteChange(Session& session, const RemoteChangeSettings& settings,
                                   const RemoteChangeSteps& steps = {});

}  // namespace kestrio::remote
