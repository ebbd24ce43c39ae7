// A simulated Windows 7 Embedded machine: a directory holding
//   registry.reg   the registry keys the program reads (regedit format),
//   machine.ini    everything else: version, the program's working
//                  directory, write filter, free space, the
//                  package store, the boot locale, a pending restart and the
//                  faults set on purpose (docs/simulated-machine.md lists them),
//   C/, D/, ...    the drives,
//   commands.log   every command line a tool received, with its exit status.
// Shared by the posix platform (which reads it), kestrio-sim (which makes and
// changes it) and the tool personalities on both builds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ini_file.h"
#include "base/reg_file.h"

namespace kestrio::sim {

inline constexpr std::string_view kMachineIni = "machine.ini";
inline constexpr std::string_view kRegistryFile = "registry.reg";
inline constexpr std::string_view kCommandsLog = "commands.log";

inline constexpr std::string_view kProductOptionsKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
inline constexpr std::string_view kMuiCachedKey =
    "HKEY_CURRENT_USER\\Control Panel\\Desktop\\MuiCached";

inline constexpr std::string_view kLanguagePackPrefix =
    "Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~";
inline constexpr std::string_view kLanguagePackVersion = "~6.1.7601.17514";
inline constexpr std::string_view kRollupIdentity =
    "Package_for_RollupFix~31bf3856ad364e35~x86~~7601.23710.1.2";
inline constexpr std::string_view kUpdateIdentity =
    "Package_for_KB4012215~31bf3856ad364e35~x86~~6.1.1.2";
// The program's working directory, where the update cabinet lies.
inline constexpr std::string_view kProgramDir = "C:\\Kestrio";
inline constexpr std::string_view kBasePackage =
    "Package_for_KB976902~31bf3856ad364e35~x86~~6.1.1.17514";
inline constexpr std::string_view kUpdateCabinet = "windows6.1-kb4012215-x86.cab";

// Package states as the package tool names them.
inline constexpr std::string_view kInstalled = "Installed";
inline constexpr std::string_view kInstallPending = "Install Pending";
inline constexpr std::string_view kUninstallPending = "Uninstall Pending";

// The steps whose exit status can be forced with [exit] in machine.ini.
inline constexpr std::string_view kSteps[] = {"get-packages", "add-package", "add-update",
                                              "remove-package", "bcdedit", "expand"};
// Besides a number, [exit] STEP may say how the tool fails to give one:
// kNotStarted, the runner cannot start it (Linux machine only); kKilled, it
// writes half of its output and is killed by a signal before it changes the
// machine.
inline constexpr std::string_view kNotStarted = "not-started";
// The longest a step's tool may be made to take ([seconds] STEP).
inline constexpr double kMaxStepSeconds = 3600;
inline constexpr std::string_view kKilled = "killed";
// The mark in the machine directory that says Windows is going down.
inline constexpr std::string_view kShutdownMark = "shutdown";
// What [faults] listing does to the listing the package tool writes through
// cmd.exe's redirection while it still answers 0.
inline constexpr std::string_view kListingFaults[] = {"missing", "empty", "truncated"};

// The step of a command line (one of kSteps), "" for none.  The command as
// the program runs it: "cmd.exe /c dism.exe ... /get-packages ..." is
// get-packages, dism.exe adding the update cabinet add-update.
std::string StepOfCommandLine(std::string_view commandLine);

std::string LanguagePackIdentity(std::string_view tag);

class Machine {
 public:
  // Reads machine.ini (required) and registry.reg (optional: a Windows
  // machine keeps its registry itself).  A bad line of registry.reg fails the
  // load, unless machine.ini says bad_lines=skip in [registry]: then it is
  // passed over and listed in SkippedRegistryLines.
  static std::optional<Machine> Load(const std::string& dir, std::string* error);
  // An empty machine in memory; nothing is written until Save.
  static Machine Fresh(const std::string& dir);
  // A machine that passes the program's system checks: Windows 6.1, the
  // embedded edition, no write filter, 20 GiB free on C:, with the given
  // current language and installed language packs.
  static Machine NewDefault(const std::string& dir, const std::string& language,
                            const std::vector<std::string>& installed, bool rollup);
  // Writes machine.ini, and registry.reg when a value changed.
  bool Save(std::string* error) const;
  // "line N: cause: text" for each line of registry.reg passed over.
  const std::vector<std::string>& SkippedRegistryLines() const { return skipped_; }

  const std::string& Dir() const { return dir_; }
  IniFile& Ini() { return ini_; }
  const IniFile& Ini() const { return ini_; }
  RegFile& Registry() { return reg_; }
  const RegFile& Registry() const { return reg_; }

  // Typed views of machine.ini.
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback) const;
  bool Flag(std::string_view section, std::string_view key) const;
  std::uint64_t Number(std::string_view section, std::string_view key, std::uint64_t fallback) const;
  // The exit status forced on a step, if any.
  std::optional<std::uint32_t> ForcedExit(std::string_view step) const;
  // True when [exit] STEP says `how` (kNotStarted, kKilled).
  bool ForcedFault(std::string_view step, std::string_view how) const;
  // The seconds [seconds] STEP says the step's tool takes, 0 by default: it
  // waits that long, then acts (a rehearsal floor whose tools take the time
  // real ones do, without using the processor).
  double StepSeconds(std::string_view step) const;

  // The package store: identity and state, in store order.
  std::vector<IniFile::Entry> Packages() const { return ini_.Entries("packages"); }
  void SetPackage(std::string_view identity, std::string_view state) {
    ini_.Set("packages", identity, state);
  }
  // Replaces the language packs of the store with installed packs of `tags`.
  void SetInstalledLanguages(const std::vector<std::string>& tags);

  // Where a Windows path lies on the host: "X:\a\b" is <dir>/X/a/b, and every
  // other form stays inside the machine too (see MapWindowsPath), completed
  // against the machine's [program] workdir.  On Windows the machine's drives
  // are the real ones.
  std::string HostPath(std::string_view windowsPath) const;

  // Appends one line to commands.log: the command line and its exit status.
  void LogCommand(std::string_view commandLine, std::uint32_t exitCode) const;
  // The same with a word where the status would be ("killed").
  void LogCommand(std::string_view commandLine, std::string_view outcome) const;

 private:
  std::string dir_;
  IniFile ini_;
  RegFile reg_;
  std::vector<std::string> skipped_;
};

// Sets MachinePreferredUILanguages as Windows keeps it: a multi-string of the
// tags ("de-DE" alone takes 12 bytes, without the closing empty string that
// several tags end with); none removes it.
void SetPreferredLanguages(RegFile& registry, const std::vector<std::string>& tags);

// The complete form "X:\a\b" of a Windows path as the machine resolves it:
// '/' separates like '\', a path without a drive is on the working
// directory's drive (C:), a relative one goes on from the working directory,
// "." and ".." are applied.  "" when it names nothing on the machine: an empty
// path, a network or device path, a ".." above the root of a drive.
std::string FullWindowsPath(std::string_view windowsPath, std::string_view workDir = kProgramDir);

// A host path that cannot exist, nor anything below it: where a Windows path
// that names nothing on the machine leads.
inline constexpr std::string_view kNowhere = "/dev/null/not-on-the-machine";

// Maps a Windows path into a machine directory: <machineDir>/X/a/b for the
// full path X:\a\b, kNowhere when it names nothing on the machine (or there
// is no machine directory).  The
// machine is a sandbox: no Windows path reaches a host file outside it.
std::string MapWindowsPath(std::string_view machineDir, std::string_view windowsPath,
                           std::string_view workDir = kProgramDir);

}  // namespace kestrio::sim
