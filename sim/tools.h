// The system tools of a simulated machine: dism.exe, bcdedit, expand,
// cmd.exe and shutdown.exe, each answering like the real tool for the command lines the
// program uses.  Every call is appended to the machine's commands.log.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/machine.h"

namespace kestrio::sim {

enum class Tool { None, Dism, Bcdedit, Expand, Cmd, Shutdown };

// The tool a program name stands for ("DISM.EXE", "C:\...\expand", ...).
Tool ToolFromProgramName(std::string_view program);

// Runs a tool.  `commandLine` is the whole line as the caller wrote it (for
// the log); `args` is that line split, program name first.  Output goes to
// `out`, messages to `err`; returns the exit status.
std::uint32_t RunTool(Tool tool, Machine& machine, std::string_view commandLine,
                      const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Carries out a restart: pending installs become installed, pending removals
// disappear, and the current-language value becomes the language that remains.
void Reboot(Machine& machine);

// The language tags of the language packs in the store (any state but the
// given one), in store order.
std::vector<std::string> LanguagePackTags(const Machine& machine, std::string_view skipState = {});

}  // namespace kestrio::sim
