// What a tool personality needs from the system it runs on.
#pragma once

#include <cstdint>
#include <string>

namespace kestrio::sim {

// The machine directory a tool called as `argv0` works on.
std::string ToolMachineDir(const char* argv0);
// The command line the tool was started with, as its caller wrote it.
std::string ToolCommandLine(int argc, char** argv);
// Hands the full exit status to the caller; returns the process exit code.
int ReportToolExit(std::uint32_t code);
// Ends this process at once, as a tool killed from outside ends: on Linux by
// SIGKILL, on Windows by TerminateProcess with the status of a console closed
// under it.
[[noreturn]] void KillSelf();
// Tells the machine's power that Windows is going down (a mark in the
// machine directory that `kestrio-sim power` watches); nothing on Windows,
// where no such power runs the program.
void AnnounceShutdown(const std::string& machineDir);
// The path of the running executable.
std::string SelfPath(const char* argv0);

}  // namespace kestrio::sim
