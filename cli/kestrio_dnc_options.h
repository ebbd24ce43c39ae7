// kestrio-dnc's command line: the commands, the options (one table,
// remote/dnc_options.h), the command line as read, and the usage text that
// --help prints (and help2man makes the man page of).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "remote/dnc_options.h"
#include "remote/fleet.h"

namespace kestrio::cli {

// The command line as read.
struct CommandLine {
  std::string host = "127.0.0.1";
  std::string command;  // read, write, version, vars, change, status or fleet
  // read: names; write: NAME=VALUE items; fleet: status|change|hosts HOSTS or discover RANGE...
  std::vector<std::string> values;
  // The port, the time-outs, the change's root folder, language and limits,
  // and the fleet's: every setting of a run, with the defaults of those not given.
  remote::ChangeSettings run;
  // change, status, fleet hosts: the file for the JSON ("-": standard output);
  // fleet change: the report's file; empty: none.
  std::string json;
  std::string retry;  // fleet change: an earlier report whose failed and not started hosts run again
  std::string write;  // fleet discover: the hosts file to write, empty: none
  std::vector<std::string> given;  // the options on the command line, as named ("--port")
  bool Given(const std::string& option) const;
  bool help = false;
  bool version = false;
  // The command's bit of remote::command (fleet without a command of its
  // own: every fleet command's).
  unsigned CommandBit() const;
};

// A row of remote/dnc_options.h as the command line reads it.
struct Option {
  const char* name;   // "--port"
  const char* value;  // "P"; nullptr: takes none
  unsigned commands;  // remote::command bits
  remote::OptionKind kind;
  unsigned long low, high;
  const char* what;
  const char* defaultText;
  const char* refusedOne;
  const char* refusedFleet;
  const char* help;
  const char* reportKey;  // a run setting's key in the report; nullptr for the others
  void (*set)(CommandLine& line, const std::string& text, unsigned long number);
};
// Every row, in the order of the table.
std::span<const Option> Options();

// A command, with its block of --help: its synopsis and what it does, and
// the two examples of its own --help.
struct Command {
  const char* name;  // "read", "fleet change"
  unsigned bit;      // its remote::command bit
  const char* usage;
  const char* examples;
};
extern const Command kCommands[];
extern const std::size_t kCommandCount;

// Reads the arguments (the program's name first) into `line`; on a mistake
// returns what is wrong.  The options may stand before or after the
// command; "--name value" and "--name=value" are both understood, and "--"
// ends the options.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, CommandLine& line);

// What --help prints: with no command bit, every command, the hosts file,
// every option and the exit statuses; with a command's bit (change --help,
// fleet change --help; fleet --help: remote::command::Fleet), those
// commands, the options they take with their defaults, and their examples.
std::string Usage(unsigned commandBit = 0);

// The root folder and language of a change, checked before anything starts.
std::optional<std::string> CheckChangeArguments(const std::string& root, const std::string& language);

}  // namespace kestrio::cli
