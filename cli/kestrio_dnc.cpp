// kestrio-dnc: the remote service from a command line.  Reads and writes the
// host's variables, and runs a whole language change the way a remote
// client does it: ROOTDIR, wait, the names found, NEXT and GO, wait.
//
//   kestrio-dnc [--host H] [--port P] [--timeout MS] read NAME...
//                                                    write NAME=VALUE...
//                                                    version | vars
//                                                    change --root DIR --language NAME
//                                                      [--restart-timeout S | --no-follow] [--json FILE|-]
//                                                    status [--json [FILE|-]]
//   kestrio-dnc [--port P] [--timeout MS] fleet status HOSTS
//   kestrio-dnc [--port P] fleet hosts HOSTS [--json [FILE|-]]
//   kestrio-dnc [--port P] [--timeout MS] fleet change HOSTS --root DIR --language NAME
//                                  [--parallel N] [--canary N] [--max-failures K] [--json FILE]
//   kestrio-dnc [--port P] [--timeout MS] fleet change --retry REPORT [--json FILE] ...
//   kestrio-dnc [--port P] [--timeout MS] fleet discover RANGE... [--parallel N] [--write HOSTS]
//   kestrio-dnc --version                            this program's version
//
// Exit status: 0 done; 1 the host answered with an error, the engine
// failed or a wait ran out; 2 no connection or no usable answer, or a
// command line that cannot be sent; 3 (change) the machine did not answer
// again within the restart time-out (--no-follow: the connection ended after
// GO was accepted: the machine may be restarting).  fleet: 0 every host
// done, skipped (or, for status, reachable; for discover, a machine found);
// 1 some host failed, was not reached or was not started (discover: none
// found, or interrupted); 2 the hosts file or the arguments are unusable.
//
// Its files, each command with its header, above the two that every command
// uses:
//   kestrio_dnc.cpp             main: reads the command line, runs the command
//   kestrio_dnc_variables.*     read, write, version, vars
//   kestrio_dnc_change.*        change on one host, its progress and JSON
//   kestrio_dnc_status.*        status of one host
//   kestrio_dnc_fleet.*         fleet status, hosts, change and discover
//   kestrio_dnc_options.*       the commands, the options (one table:
//                               remote/dnc_options.h), the usage text
//   kestrio_dnc_output.*        Print, Complain, Refuse, WriteJson, the exit
//                               statuses
//   terminal*                   the terminal, Ctrl-C, RunWatched
//
// This program ships to the CNC beside Kestrio.exe.  It writes with stdio
// and reads its command line itself: iostreams (and a parser built on them)
// would add a megabyte of static C++ runtime to the Windows executable.
#include <cstdio>
#include <string>

#include "cli/kestrio_dnc_change.h"
#include "cli/kestrio_dnc_fleet.h"
#include "cli/kestrio_dnc_options.h"
#include "cli/kestrio_dnc_output.h"
#include "cli/kestrio_dnc_status.h"
#include "cli/kestrio_dnc_variables.h"
#include "cli/terminal.h"
#include "kestrio_version.h"
#include "platform/desk.h"
#include "remote/session.h"

using namespace kestrio::cli;

int main(int argc, char** argv) {
  CommandLine line;
  if (const auto mistake = ParseCommandLine(kestrio::platform::desk::Arguments(argc, argv), line)) {
    Complain(*mistake + " (see kestrio-dnc --help)");
    return kNoHost;
  }
  if (line.help) {
    Print(Usage(line.command.empty() ? 0u : line.CommandBit()));
    return 0;
  }
  if (line.version) {
    // Written from the literal itself: the release check finds this text
    // in the program (a std::string built of it may be made of immediates).
    WriteText(stdout, KESTRIO_VERSION_TEXT "\n");
    return 0;
  }

  kestrio::remote::Session session(line.host, line.run.port, line.run.timeoutMs);
  if (line.command == "read") return ReadCommand(session, line.values);
  if (line.command == "write") return WriteCommand(session, line.values);
  if (line.command == "version") return VersionCommand(session);
  if (line.command == "vars") return VarsCommand(session);
  if (line.command == "fleet") return FleetCommand(line);
  if (line.command == "status") return StatusCommand(line);
  if (const auto mistake = CheckChangeArguments(line.run.change.root, line.run.change.language)) return Refuse(*mistake);
  return ChangeCommand(session, line);
}
