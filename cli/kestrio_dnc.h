// kestrio-dnc's parts shared by its files: the command line as read, the exit
// statuses, and how the program writes.  kestrio_dnc.cpp has main, the
// command line and the commands on one host; kestrio_dnc_fleet.cpp the
// commands on many (fleet status, change, hosts and discover).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dnc/protocol.h"
#include "remote/session.h"

namespace kestrio::cli {

constexpr int kFailed = 1;  // an error reply, an engine error, a wait that ran out
constexpr int kNoHost = 2;  // no connection, no usable answer, a request that cannot be sent
constexpr int kLostDuringChange = 3;  // the connection ended after GO was accepted

struct FleetOptions {
  unsigned parallel = 8;  // 64 for discover unless given
  bool parallelGiven = false;
  unsigned canary = 0;
  unsigned maxFailures = 0;
  std::string json;   // the report's file, empty: none
  std::string retry;  // an earlier report whose failed and not started hosts run again
  std::string write;  // discover: the hosts file to write, empty: none
};

struct CommandLine {
  std::string host = "127.0.0.1";
  std::uint16_t port = dnc::PUERTO_DNC;
  unsigned timeoutMs = 5000;  // 500 for discover unless given
  bool timeoutGiven = false;
  std::string command;              // read, write, version, vars, change, status or fleet
  // read: names; write: NAME=VALUE items; fleet: status|change HOSTS or discover RANGE...
  std::vector<std::string> values;
  remote::RemoteChangeSettings change;
  FleetOptions fleet;
  std::string json;  // change, status: the file for one host's JSON ("-": standard output), empty: none
  bool hostGiven = false;
  std::vector<std::string> given;  // the options on the command line, as named ("--port")
  bool Given(const std::string& option) const;
  bool help = false;
  bool version = false;
};

// Standard output, written at once: a script or a terminal sees each piece
// as soon as it is printed.
void Print(const std::string& text);
// "kestrio-dnc: TEXT" on standard error.
void Complain(const std::string& text);
// Complains; the status of a command line that cannot be sent.
int Refuse(const std::string& text);
std::string Join(const std::vector<std::string>& items, const char* separator);

// The root folder and language of a change, checked before anything starts.
std::optional<std::string> CheckChangeArguments(const std::string& root, const std::string& language);

int FleetCommand(const CommandLine& line);

// ---- One host in JSON (kestrio_dnc_host.cpp) ----

// Writes JSON to `file` whole, or to standard output for "-"; false (told)
// when the file cannot be written.
bool WriteJson(const std::string& file, const std::string& json);
// `status`: one host's row of fleet status, as lines or JSON.
int StatusCommand(const CommandLine& line);
// When a single change started, ended its scan and ended.
struct ChangeTimes {
  std::chrono::steady_clock::time_point started{}, scanEnded{}, ended{};
};
// The host entry of a fleet report for a single change, with the languages
// before and after and whether the restart was followed.
std::string ChangeJson(const CommandLine& line, const remote::RemoteChangeResult& result, const ChangeTimes& times);

}  // namespace kestrio::cli
