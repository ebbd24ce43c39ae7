// The platform on a simulated Windows 7 Embedded machine (see base/machine.h).
//
// Every call reads the machine's files afresh, so what a tool personality or
// `kestrio-sim set` changed is seen at once.  Tools are found in the machine's
// C:\Windows\System32 and started with posix_spawn, never through a shell.
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>

#include "platform/platform.h"
#include "base/cmdline.h"
#include "platform/simulated_posix.h"
#include "base/text.h"
#include "base/machine.h"

extern char** environ;

namespace kestrio::platform {
namespace {

std::mutex g_machineMutex;
std::string g_machineDir;  // empty: take KESTRIO_MACHINE

std::optional<sim::Machine> LoadMachine() {
  return sim::Machine::Load(posix::MachineDir(), nullptr);
}

// One value of machine.ini, read from that file alone (this runs for every
// file the program touches); empty when the machine has none.
std::string MachineIniValue(std::string_view section, std::string_view key) {
  std::string bytes;
  sim::IniFile ini;
  if (sim::ReadWholeFile(posix::MachineDir() + "/" + std::string(sim::kMachineIni), bytes) &&
      ini.Parse(bytes, false, nullptr)) {
    if (auto v = ini.Get(section, key)) return *v;
  }
  return {};
}

// The machine's [program] workdir; empty when the machine names none.
std::string MachineWorkDir() { return MachineIniValue("program", "workdir"); }

// Where a Windows path lies in the machine folder (sim::MapWindowsPath): a
// path without a drive is on C:, a relative one goes on from the machine's
// working directory (C:\Kestrio unless it names another), and one that names
// nothing on the machine -- a host path is just a path on C: -- leads nowhere.
std::string Host(std::string_view windowsPath) {
  const std::string workDir = MachineWorkDir();
  return sim::MapWindowsPath(posix::MachineDir(), windowsPath, workDir.empty() ? sim::kProgramDir : workDir);
}

// The program's working directory on the host, where the tools start: the
// machine's [program] workdir, or the process's own when the machine names
// none.
std::string WorkDirHost() {
  const std::string workDir = MachineWorkDir();
  return workDir.empty() ? std::string() : Host(workDir);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

// Finds a program named by the first word of a command line the way
// CreateProcess does on the machine: ".exe" is added to a name without an
// extension, and a bare name is looked for in System32, then in Windows.
std::string ResolveProgram(const std::string& name) {
  std::string file = name;
  const auto slash = file.find_last_of("\\/");
  if (file.find('.', slash == std::string::npos ? 0 : slash + 1) == std::string::npos) file += ".exe";
  if (slash != std::string::npos) {
    const std::string host = Host(file);
    return IsExecutableFile(host) ? host : std::string();
  }
  for (const char* dir : {"C:\\Windows\\System32\\", "C:\\Windows\\"}) {
    const std::string host = Host(std::string(dir) + file);
    if (IsExecutableFile(host)) return host;
  }
  return {};
}

}  // namespace

namespace posix {

void UseMachine(const std::string& dir) {
  std::lock_guard lock(g_machineMutex);
  g_machineDir = dir;
}

std::string MachineDir() {
  {
    std::lock_guard lock(g_machineMutex);
    if (!g_machineDir.empty()) return g_machineDir;
  }
  const char* env = std::getenv(kMachineEnv);
  return env ? env : "";
}

}  // namespace posix

bool QueryOsVersion(OsVersion& version) {
  const auto m = LoadMachine();
  if (!m) return false;
  const std::string v = m->Get("os", "version", "");
  unsigned major = 0, minor = 0, build = 0;
  if (std::sscanf(v.c_str(), "%u.%u.%u", &major, &minor, &build) < 2) return false;
  version = {major, minor, build};
  return true;
}

RegistryRead ReadRegistryValue(RegistryHive hive, std::string_view key, std::string_view value,
                               std::size_t capacityBytes, std::vector<std::uint8_t>& data) {
  const auto m = LoadMachine();
  if (!m) return RegistryRead::KeyNotOpened;
  const std::string full =
      std::string(hive == RegistryHive::LocalMachine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
      std::string(key);
  if (!m->Registry().HasKey(full)) return RegistryRead::KeyNotOpened;
  const sim::RegValue* v = m->Registry().Find(full, value);
  if (v == nullptr || v->data.size() > capacityBytes) return RegistryRead::ValueNotRead;
  data = v->data;
  return RegistryRead::Ok;
}

// [fbwf] library: "0" on an image without the write filter, "broken" for a
// library that is there but does not load; anything else is a sound one.
namespace {

// What [fbwf] library makes of a write-filter query: "0" is an image without
// the filter, "broken" a library that is there but does not load, anything
// else a sound one, whose calls fail when [fbwf] fail says so.
enum class FilterLibrary { Absent, Failing, Answering };

FilterLibrary WriteFilterLibrary(const sim::Machine& m) {
  const std::string library = m.Get("fbwf", "library", "1");
  if (library == "0") return FilterLibrary::Absent;
  if (library == "broken" || m.Flag("fbwf", "fail")) return FilterLibrary::Failing;
  return FilterLibrary::Answering;
}

}  // namespace

bool QueryWriteFilterEnabled(FilterSessions& enabled) {
  const auto m = LoadMachine();
  if (!m) return false;
  switch (WriteFilterLibrary(*m)) {
    case FilterLibrary::Absent: enabled = {}; return true;  // no write-filter library: no filter
    case FilterLibrary::Failing: return false;
    case FilterLibrary::Answering: break;
  }
  enabled = {m->Flag("fbwf", "enabled"), m->Flag("fbwf", "enabled_next")};
  return true;
}

bool QueryVolumeProtected(std::string_view volume, FilterSessions& prot) {
  const auto m = LoadMachine();
  if (!m) return false;
  switch (WriteFilterLibrary(*m)) {
    case FilterLibrary::Absent: prot = {}; return true;  // no filter: no volume is protected
    case FilterLibrary::Failing: return false;
    case FilterLibrary::Answering: break;
  }
  prot = Upper(volume) == "C:" ? FilterSessions{m->Flag("fbwf", "protected"), m->Flag("fbwf", "protected_next")}
                               : FilterSessions{};
  return true;
}

bool QueryTotalFreeBytes(std::string_view root, std::uint64_t& freeBytes) {
  const auto m = LoadMachine();
  if (!m) return false;
  if (Upper(root.substr(0, 2)) == "C:") {
    if (m->Flag("disk", "fail")) return false;
    freeBytes = m->Number("disk", "free_bytes", 0);
    return true;
  }
  struct statvfs st {};
  if (::statvfs(Host(root).c_str(), &st) != 0) return false;
  freeBytes = static_cast<std::uint64_t>(st.f_bfree) * st.f_frsize;
  return true;
}

bool PathExists(std::string_view path) {
  struct stat st {};
  return ::stat(Host(path).c_str(), &st) == 0;
}

bool ListDirectory(std::string_view pattern, const std::function<bool(const DirEntry&)>& visit) {
  const auto cut = pattern.find_last_of('\\');
  const std::string dir = Host(cut == std::string_view::npos ? "." : pattern.substr(0, cut + 1));
  const std::string mask(cut == std::string_view::npos ? pattern : pattern.substr(cut + 1));
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  std::vector<DirEntry> entries;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    // A name that is not UTF-8 names no file the program can reach again.
    if (text::Utf16ToUtf8(text::Utf8ToUtf16(name)) != name) continue;
    const bool all = mask == "*.*" || mask == "*";
    if (!all && ::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    entries.push_back({name, IsDirectory(dir + "/" + name)});
  }
  ::closedir(d);
  // NTFS yields names in upper-case order, "." and ".." first; the simulated
  // drives follow it so a walk is the same on every host file system.
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    return Upper(a.name) < Upper(b.name);
  });
  for (const auto& e : entries)
    if (!visit(e)) break;
  return true;
}

bool QueryFolderIdentity(std::string_view path, FolderIdentity& identity) {
  struct stat st {};
  if (::stat(Host(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // A machine set to `[disk] file_ids=0` reports index 0 for every folder,
  // as a file system or server without file IDs does.
  const bool withoutIds = MachineIniValue("disk", "file_ids") == "0";
  identity = {static_cast<std::uint64_t>(st.st_dev), withoutIds ? 0 : static_cast<std::uint64_t>(st.st_ino)};
  return true;
}

std::string ReadIniString(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view fallback, std::size_t capacityUnits) {
  std::string bytes;
  sim::IniFile ini;
  std::string value(fallback);
  if (sim::ReadWholeFile(Host(file), bytes) && ini.Parse(bytes, false, nullptr)) {
    if (auto v = ini.Get(section, key)) value = *v;
  }
  if (capacityUnits == 0) return {};
  return std::string(text::CutToUtf16Units(value, capacityUnits - 1));
}

bool RemoveFile(std::string_view path) { return ::unlink(Host(path).c_str()) == 0; }

std::FILE* OpenFile(std::string_view path, const char* mode) {
  std::string m;
  for (const char* p = mode; *p; ++p)
    if (*p != 't') m += *p;  // text mode is the only mode here
  return std::fopen(Host(path).c_str(), m.c_str());
}

bool RunHiddenProcess(const std::string& commandLine, std::uint32_t& exitCode) {
  const std::vector<std::string> args = text::SplitCommandLine(commandLine);
  if (args.empty()) return false;
  const std::string program = ResolveProgram(args[0]);
  if (program.empty()) return false;
  // A fault set on the machine: this step's tool cannot be started.
  if (const auto m = LoadMachine(); m && m->ForcedFault(sim::StepOfCommandLine(commandLine), sim::kNotStarted))
    return false;

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return false;

  std::vector<std::string> env;
  const std::string machine = posix::MachineDir();
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const auto named = [&](const char* name) {
      return entry.substr(0, std::strlen(name) + 1) == std::string(name) + "=";
    };
    if (!named(posix::kMachineEnv) && !named(posix::kCommandLineEnv) && !named(posix::kStatusFdEnv))
      env.emplace_back(entry);
  }
  env.push_back(std::string(posix::kMachineEnv) + "=" + machine);
  env.push_back(std::string(posix::kCommandLineEnv) + "=" + commandLine);
  env.push_back(std::string(posix::kStatusFdEnv) + "=3");

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // A tool's console is hidden on the machine; here its output goes nowhere.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, status[1], 3);
  const std::string workdir = WorkDirHost();
  if (!workdir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
  // A tool's console is its own: Ctrl-C typed at the program's terminal does
  // not reach it, so a refused close cannot break a running change.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(status[1]);
  if (rc != 0) {
    ::close(status[0]);
    return false;
  }

  std::string reported;
  char buf[64];
  for (;;) {
    const ssize_t n = ::read(status[0], buf, sizeof buf);
    if (n > 0) {
      reported.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(status[0]);
  int waited = 0;
  pid_t reaped = 0;
  do {
    reaped = ::waitpid(pid, &waited, 0);
  } while (reaped < 0 && errno == EINTR);
  // A tool that cannot be waited for (SIGCHLD ignored, the child reaped
  // elsewhere) has no exit status to report: that is never taken for a success.
  if (reaped != pid) return false;
  char* end = nullptr;
  const unsigned long full = std::strtoul(reported.c_str(), &end, 10);
  if (!reported.empty() && (*end == '\0' || *end == '\n')) {
    exitCode = static_cast<std::uint32_t>(full);
  } else if (WIFEXITED(waited)) {
    exitCode = static_cast<std::uint32_t>(WEXITSTATUS(waited));
  } else {
    exitCode = 0xC0000005u;  // killed: reported like a crashed Windows process
  }
  return true;
}

std::string AnsiToUtf8(std::string_view ansi) { return std::string(ansi); }
std::string Utf8ToAnsi(std::string_view utf8) { return std::string(utf8); }

}  // namespace kestrio::platform
