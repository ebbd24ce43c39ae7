// The platform on a simulated Windows 7 Embedded machine (see base/machine.h).
//
// Every call reads the machine's files afresh, so what a tool personality or
// `kestrio-sim set` changed is seen at once.  Tools are found in the machine's
// C:\Windows\System32 and started with posix_spawn, never through a shell.
//
// Layout, in the order of the header (platform/platform_win32.cpp's twin):
//   helpers          the failure trace, the machine folder and its files,
//                    Windows paths on it, programs as CreateProcess finds them
//   version          [os] version of machine.ini
//   registry         the machine's registry files
//   write filter     [fbwf] of machine.ini
//   disk and files   free space, attributes, listings, folder identities, INI
//                    files, fopen, all on the machine's drives
//   processes        posix_spawn with the tool's output discarded
//   text             the ANSI code page (UTF-8 here)
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

// ---- helpers ---------------------------------------------------------------

// A failed call keeps its cause: the function, errno (0 for a failure the
// machine's files set, not the system) and the path or other subject it was
// given.  The line is kept as the thread's last failure (posix::LastFailure)
// and, when KESTRIO_PLATFORM_TRACE is set, written to standard error (the
// Windows twin sends it to the debugger's output); the caller then returns
// its portable answer.  Returns false, so a failure reads "return Failed(...)".
thread_local std::string t_lastFailure;

bool Failed(const char* function, int error, std::string_view subject) {
  char head[160];
  std::snprintf(head, sizeof head, "PLATFORM: %s failed, errno %d (%s): ", function, error,
                error ? std::strerror(error) : "set by the machine");
  t_lastFailure = head;
  t_lastFailure.append(subject);
  if (std::getenv("KESTRIO_PLATFORM_TRACE")) std::fprintf(stderr, "%s\n", t_lastFailure.c_str());
  return false;
}

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

std::string LastFailure() { return t_lastFailure; }

std::string MachineDir() {
  {
    std::lock_guard lock(g_machineMutex);
    if (!g_machineDir.empty()) return g_machineDir;
  }
  const char* env = std::getenv(kMachineEnv);
  return env ? env : "";
}

}  // namespace posix

// ---- version ---------------------------------------------------------------

bool QueryOsVersion(OsVersion& version) {
  const auto m = LoadMachine();
  if (!m) return Failed("Machine::Load", 0, posix::MachineDir());
  const std::string v = m->Get("os", "version", "");
  unsigned major = 0, minor = 0, build = 0;
  if (std::sscanf(v.c_str(), "%u.%u.%u", &major, &minor, &build) < 2) return Failed("[os] version", 0, v);
  version = {major, minor, build};
  return true;
}

// ---- registry --------------------------------------------------------------

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

// ---- File-Based Write Filter -------------------------------------------------

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
  if (!m) return Failed("Machine::Load", 0, posix::MachineDir());
  switch (WriteFilterLibrary(*m)) {
    case FilterLibrary::Absent: enabled = {}; return true;  // no write-filter library: no filter
    case FilterLibrary::Failing: return Failed("FbwfIsFilterEnabled", 0, "[fbwf]");
    case FilterLibrary::Answering: break;
  }
  enabled = {m->Flag("fbwf", "enabled"), m->Flag("fbwf", "enabled_next")};
  return true;
}

bool QueryVolumeProtected(std::string_view volume, FilterSessions& prot) {
  const auto m = LoadMachine();
  if (!m) return Failed("Machine::Load", 0, posix::MachineDir());
  switch (WriteFilterLibrary(*m)) {
    case FilterLibrary::Absent: prot = {}; return true;  // no filter: no volume is protected
    case FilterLibrary::Failing: return Failed("FbwfIsVolumeProtected", 0, volume);
    case FilterLibrary::Answering: break;
  }
  prot = Upper(volume) == "C:" ? FilterSessions{m->Flag("fbwf", "protected"), m->Flag("fbwf", "protected_next")}
                               : FilterSessions{};
  return true;
}

// ---- disk and files ----------------------------------------------------------

bool QueryTotalFreeBytes(std::string_view root, std::uint64_t& freeBytes) {
  const auto m = LoadMachine();
  if (!m) return Failed("Machine::Load", 0, posix::MachineDir());
  if (Upper(root.substr(0, 2)) == "C:") {
    if (m->Flag("disk", "fail")) return Failed("[disk] fail", 0, root);
    freeBytes = m->Number("disk", "free_bytes", 0);
    return true;
  }
  struct statvfs st {};
  if (::statvfs(Host(root).c_str(), &st) != 0) return Failed("statvfs", errno, root);
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
  if (d == nullptr) return Failed("opendir", errno, pattern);
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
  if (::stat(Host(path).c_str(), &st) != 0) return Failed("stat", errno, path);
  if (!S_ISDIR(st.st_mode)) return Failed("stat", ENOTDIR, path);
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

bool RemoveFile(std::string_view path) { return ::unlink(Host(path).c_str()) == 0 || Failed("unlink", errno, path); }

std::FILE* OpenFile(std::string_view path, const char* mode) {
  std::string m;
  for (const char* p = mode; *p; ++p)
    if (*p != 't') m += *p;  // text mode is the only mode here
  return std::fopen(Host(path).c_str(), m.c_str());
}

// ---- processes ---------------------------------------------------------------

namespace {

// The tool's environment: the program's own, with the machine folder, the
// command line as written and the status descriptor set for it.
std::vector<std::string> ToolEnvironment(const std::string& commandLine) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const auto named = [&](const char* name) {
      return entry.substr(0, std::strlen(name) + 1) == std::string(name) + "=";
    };
    if (!named(posix::kMachineEnv) && !named(posix::kCommandLineEnv) && !named(posix::kStatusFdEnv))
      env.emplace_back(entry);
  }
  env.push_back(std::string(posix::kMachineEnv) + "=" + posix::MachineDir());
  env.push_back(std::string(posix::kCommandLineEnv) + "=" + commandLine);
  env.push_back(std::string(posix::kStatusFdEnv) + "=3");
  return env;
}

// Starts `program` with `args` (args[0] is replaced by the program) and
// `env`: standard input and output on /dev/null, as a hidden console, the
// status descriptor 3 on `statusFd`, in the program's working directory and
// in a process group of its own (Ctrl-C typed at the program's terminal does
// not reach it, so a refused close cannot break a running change).
bool SpawnHidden(const std::string& program, const std::vector<std::string>& args, std::vector<std::string>& env,
                 int statusFd, const std::string& commandLine, pid_t& pid) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, statusFd, 3);
  const std::string workdir = WorkDirHost();
  if (!workdir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 || Failed("posix_spawn", rc, commandLine);
}

// Everything written to `fd` until its last writer closes it.
std::string ReadToEnd(int fd) {
  std::string text;
  char buf[64];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return text;
}

// Waits for the tool.  One that cannot be waited for (SIGCHLD ignored, the
// child reaped elsewhere) has no exit status to report: that is never taken
// for a success.
bool WaitForExit(pid_t pid, int& waited, const std::string& commandLine) {
  pid_t reaped = 0;
  do {
    reaped = ::waitpid(pid, &waited, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped == pid || Failed("waitpid", reaped < 0 ? errno : ECHILD, commandLine);
}

// The tool's full 32-bit exit code: as it reported it on the status
// descriptor, else its 8-bit exit status; killed, as a crashed Windows
// process.
std::uint32_t ExitCodeOf(const std::string& reported, int waited) {
  char* end = nullptr;
  const unsigned long full = std::strtoul(reported.c_str(), &end, 10);
  if (!reported.empty() && (*end == '\0' || *end == '\n')) return static_cast<std::uint32_t>(full);
  if (WIFEXITED(waited)) return static_cast<std::uint32_t>(WEXITSTATUS(waited));
  return 0xC0000005u;
}

}  // namespace

bool RunHiddenProcess(const std::string& commandLine, std::uint32_t& exitCode) {
  const std::vector<std::string> args = text::SplitCommandLine(commandLine);
  if (args.empty()) return Failed("SplitCommandLine", EINVAL, commandLine);
  const std::string program = ResolveProgram(args[0]);
  if (program.empty()) return Failed("ResolveProgram", ENOENT, args[0]);
  // A fault set on the machine: this step's tool cannot be started.
  if (const auto m = LoadMachine(); m && m->ForcedFault(sim::StepOfCommandLine(commandLine), sim::kNotStarted))
    return Failed("[fault] not started", 0, commandLine);

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return Failed("pipe2", errno, commandLine);
  std::vector<std::string> env = ToolEnvironment(commandLine);
  pid_t pid = 0;
  const bool started = SpawnHidden(program, args, env, status[1], commandLine, pid);
  ::close(status[1]);
  if (!started) {
    ::close(status[0]);
    return false;
  }
  const std::string reported = ReadToEnd(status[0]);
  ::close(status[0]);
  int waited = 0;
  if (!WaitForExit(pid, waited, commandLine)) return false;
  exitCode = ExitCodeOf(reported, waited);
  return true;
}

// ---- text ------------------------------------------------------------------------

std::string AnsiToUtf8(std::string_view ansi) { return std::string(ansi); }
std::string Utf8ToAnsi(std::string_view utf8) { return std::string(utf8); }

}  // namespace kestrio::platform
