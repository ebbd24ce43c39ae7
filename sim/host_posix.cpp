#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/machine.h"
#include "platform/simulated_posix.h"
#include "sim/host.h"

namespace kestrio::sim {

std::string ToolMachineDir(const char* argv0) {
  // A tool of the machine is a link in <machine>/C/Windows/System32.
  const std::string path = argv0;
  for (const char* marker : {"/C/Windows/System32/", "/C/Windows/"}) {
    const auto at = path.rfind(marker);
    if (at != std::string::npos && path.find('/', at + std::string(marker).size()) == std::string::npos)
      return path.substr(0, at);
  }
  const char* env = std::getenv(platform::posix::kMachineEnv);
  return env ? env : "";
}

std::string ToolCommandLine(int argc, char** argv) {
  if (const char* line = std::getenv(platform::posix::kCommandLineEnv)) {
    std::string copy = line;
    ::unsetenv(platform::posix::kCommandLineEnv);
    return copy;
  }
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (i == 0) a = a.substr(a.find_last_of('/') + 1);
    if (!line.empty()) line += ' ';
    line += a.find(' ') != std::string::npos ? "\"" + a + "\"" : a;
  }
  return line;
}

int ReportToolExit(std::uint32_t code) {
  if (const char* fd = std::getenv(platform::posix::kStatusFdEnv)) {
    const std::string text = std::to_string(code) + "\n";
    const int n = std::atoi(fd);
    if (n > 2 && ::write(n, text.data(), text.size()) < 0) {
      // The caller then falls back to the 8-bit exit status.
    }
  }
  if (code == 0) return 0;
  return (code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 1;
}

void AnnounceShutdown(const std::string& machineDir) {
  const int fd = ::open((machineDir + "/" + std::string(kShutdownMark)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

void KillSelf() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached
}

std::string SelfPath(const char* argv0) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return argv0;
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace kestrio::sim
