#include "cli/kestrio_dnc_output.h"

#include <cstdio>
#include <string>

#include "base/text.h"
#include "cli/terminal.h"
#include "platform/desk.h"

namespace kestrio::cli {

void Print(const std::string& text) { WriteText(stdout, text); }

void Complain(const std::string& text) {
  std::fflush(stdout);
  WriteText(stderr, "kestrio-dnc: " + text + '\n');
}

int Refuse(const std::string& text) {
  Complain(text);
  return kNoHost;
}

bool WriteJson(const std::string& file, const std::string& json) {
  if (file == "-") {
    Print(json);
    return true;
  }
  std::string error;
  if (platform::desk::ReplaceWholeFile(file, json, error)) return true;
  Complain(file + ": " + error);
  return false;
}

int Report(const remote::Session& session, remote::Fault fault, const std::string& problem) {
  const bool onConnection = fault == remote::Fault::NoAnswer || fault == remote::Fault::Lost;
  Complain((onConnection ? session.Address() + ": " : "") + text::Printable(problem));
  if (fault == remote::Fault::Refused || fault == remote::Fault::NotTaken) return kFailed;
  return fault == remote::Fault::Lost ? kLostDuringChange : kNoHost;
}

int Report(const remote::Session& session) { return Report(session, session.GetFault(), session.Problem()); }

}  // namespace kestrio::cli
