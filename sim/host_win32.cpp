#include <windows.h>

#include "base/wide.h"
#include "sim/host.h"

namespace kestrio::sim {

std::string SelfPath(const char*) {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
  return text::Narrow(buf, n);
}

std::string ToolMachineDir(const char* argv0) {
  // The Windows tools keep machine.ini and commands.log beside themselves.
  const std::string self = SelfPath(argv0);
  return self.substr(0, self.find_last_of("\\/"));
}

std::string ToolCommandLine(int, char**) {
  return text::Narrow(GetCommandLineW());
}

void KillSelf() {
  ::TerminateProcess(::GetCurrentProcess(), 0xC000013Au);
  ::ExitProcess(0xC000013Au);  // not reached
}

int ReportToolExit(std::uint32_t code) { return static_cast<int>(code); }

void AnnounceShutdown(const std::string&) {}

}  // namespace kestrio::sim
