// The simulated machine the posix platform works on.
//
// The machine directory comes from UseMachine(), or else from the environment
// variable KESTRIO_MACHINE.  Tools started by RunHiddenProcess inherit it.
#pragma once

#include <string>

namespace kestrio::platform::posix {

inline constexpr const char* kMachineEnv = "KESTRIO_MACHINE";
// Set for a started tool: the command line as the program wrote it, and the
// descriptor on which the tool reports its full 32-bit exit status (a posix
// exit status keeps only 8 bits, and the package tool answers 3010).
inline constexpr const char* kCommandLineEnv = "KESTRIO_COMMAND_LINE";
inline constexpr const char* kStatusFdEnv = "KESTRIO_STATUS_FD";

void UseMachine(const std::string& dir);
std::string MachineDir();

// The last failure of a platform call on this thread: the function, errno
// and the subject ("PLATFORM: pipe2 failed, errno 24 (Too many open files):
// ..."); empty when none failed.  Set KESTRIO_PLATFORM_TRACE to have each one
// written to standard error as well.
std::string LastFailure();

}  // namespace kestrio::platform::posix
