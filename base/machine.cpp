#include "base/machine.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <utility>

#include "base/cmdline.h"
#include "base/text.h"

namespace kestrio::sim {

std::string LanguagePackIdentity(std::string_view tag) {
  return std::string(kLanguagePackPrefix) + std::string(tag) + std::string(kLanguagePackVersion);
}

std::optional<Machine> Machine::Load(const std::string& dir, std::string* error) {
  Machine m = Fresh(dir);
  std::string bytes;
  const std::string ini = dir + "/" + std::string(kMachineIni);
  if (!ReadWholeFile(ini, bytes)) {
    if (error) *error = "no simulated machine at " + dir + " (" + ini + " cannot be read)";
    return std::nullopt;
  }
  std::string why;
  if (!m.ini_.Parse(bytes, true, &why)) {
    if (error) *error = ini + ": " + why;
    return std::nullopt;
  }
  const std::string reg = dir + "/" + std::string(kRegistryFile);
  const bool skip = m.Get("registry", "bad_lines", "stop") == "skip";
  if (ReadWholeFile(reg, bytes) && !m.reg_.Parse(bytes, &why, skip ? &m.skipped_ : nullptr)) {
    if (error) *error = reg + ": " + why + " (bad_lines=skip in [registry] of machine.ini passes over bad lines)";
    return std::nullopt;
  }
  return m;
}

Machine Machine::Fresh(const std::string& dir) {
  Machine m;
  m.dir_ = dir;
  return m;
}

Machine Machine::NewDefault(const std::string& dir, const std::string& language,
                            const std::vector<std::string>& installed, bool rollup) {
  Machine m = Fresh(dir);
  m.ini_.Set("os", "version", "6.1.7601");
  m.ini_.Set("program", "workdir", std::string(kProgramDir));
  m.ini_.Set("fbwf", "library", "1");
  for (const char* key : {"fail", "enabled", "enabled_next", "protected", "protected_next"})
    m.ini_.Set("fbwf", key, "0");
  m.ini_.Set("disk", "free_bytes", "21474836480");
  m.ini_.Set("disk", "fail", "0");
  m.ini_.Set("boot", "locale", language);
  m.ini_.Set("boot", "restart_pending", "0");
  m.SetPackage(kBasePackage, kInstalled);
  m.SetInstalledLanguages(installed);
  if (rollup) m.SetPackage(kRollupIdentity, kInstalled);
  m.reg_.SetMultiString(kProductOptionsKey, "ProductSuite", {"Terminal Server", "EmbeddedNT"});
  SetPreferredLanguages(m.reg_, {language});
  return m;
}

void Machine::SetInstalledLanguages(const std::vector<std::string>& tags) {
  for (const auto& [id, state] : Packages())
    if (id.rfind(kLanguagePackPrefix, 0) == 0) ini_.Remove("packages", id);
  for (const auto& t : tags) SetPackage(LanguagePackIdentity(t), kInstalled);
}

bool Machine::Save(std::string* error) const {
  // registry.reg is written only when a value changed: a file dropped in
  // stays as it was, byte for byte.
  const std::string reg = dir_ + "/" + std::string(kRegistryFile);
  std::string bytes;
  return WriteFileAtomically(dir_ + "/" + std::string(kMachineIni), ini_.Serialize(), error) &&
         ((!reg_.Changed() && ReadWholeFile(reg, bytes)) || WriteFileAtomically(reg, reg_.Serialize(), error));
}

std::string Machine::Get(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
  auto v = ini_.Get(section, key);
  return v ? *v : std::string(fallback);
}

bool Machine::Flag(std::string_view section, std::string_view key) const {
  const std::string v = Get(section, key, "0");
  return v == "1" || v == "yes" || v == "on" || v == "true";
}

std::uint64_t Machine::Number(std::string_view section, std::string_view key,
                              std::uint64_t fallback) const {
  const auto v = ini_.Get(section, key);
  if (!v || v->empty()) return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v->c_str(), &end, 10);
  return *end == '\0' ? n : fallback;
}

std::optional<std::uint32_t> Machine::ForcedExit(std::string_view step) const {
  const auto v = ini_.Get("exit", step);
  if (!v || v->empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v->c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

double Machine::StepSeconds(std::string_view step) const {
  const auto v = ini_.Get("seconds", step);
  if (!v || v->empty()) return 0;
  char* end = nullptr;
  const double seconds = std::strtod(v->c_str(), &end);
  return *end == '\0' && seconds > 0 && seconds <= kMaxStepSeconds ? seconds : 0;
}

bool Machine::ForcedFault(std::string_view step, std::string_view how) const {
  const auto v = ini_.Get("exit", step);
  return v && *v == how;
}

std::string StepOfCommandLine(std::string_view commandLine) {
  std::vector<std::string> args = text::SplitCommandLine(commandLine);
  const auto program = [&](std::size_t i) {
    std::string name = i < args.size() ? args[i] : std::string();
    name = name.substr(name.find_last_of("\\/") + 1);
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
  };
  const auto has = [&](std::string_view option) {
    for (const auto& a : args)
      if (text::EqualsNoCase(a, option)) return true;
    return false;
  };
  std::string name = program(0);
  if (name == "cmd") {
    // cmd.exe /c dism.exe ...: the step is the inner command's.
    std::size_t c = 1;
    while (c < args.size() && !text::EqualsNoCase(args[c], "/c")) ++c;
    args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(std::min(c + 1, args.size())));
    name = program(0);
  }
  if (name == "bcdedit") return "bcdedit";
  if (name == "expand") return "expand";
  if (name != "dism") return {};
  if (has("/get-packages")) return "get-packages";
  if (has("/remove-package")) return "remove-package";
  if (!has("/add-package")) return {};
  for (const auto& a : args) {
    if (a.size() > 13 && text::EqualsNoCase(a.substr(0, 13), "/packagepath:")) {
      const std::string path = a.substr(13);
      const std::string base = path.substr(path.find_last_of("\\/") + 1);
      if (text::EqualsNoCase(base, kUpdateCabinet)) return "add-update";
    }
  }
  return "add-package";
}

void SetPreferredLanguages(RegFile& registry, const std::vector<std::string>& tags) {
  constexpr std::string_view kValue = "MachinePreferredUILanguages";
  if (tags.empty()) {
    registry.Remove(kMuiCachedKey, kValue);
  } else if (tags.size() == 1) {
    // As Windows writes it: a multi-string of the one tag and its NUL, without
    // the closing empty string ("de-DE" takes 12 bytes).
    RegValue value{std::string(kValue), kRegMultiSz, {}};
    for (const char16_t unit : text::Utf8ToUtf16(tags[0]) + u'\0') {
      value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    registry.Set(kMuiCachedKey, std::move(value));
  } else {
    registry.SetMultiString(kMuiCachedKey, kValue, tags);
  }
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A path taken apart: its drive letter (upper case) and its folders, with "."
// and ".." already applied.
struct PathParts {
  char drive = 'C';
  std::vector<std::string_view> names;
};

// Applies `path` to `base` the way Windows completes a path: "X:\a" stands
// alone, "\a" is on the base's drive, "a" and "X:a" go on from the base (or
// from the root of another drive).  False when the path names nothing on a
// machine: empty, a network or device path ("\\server\share", "\\?\C:"), a
// ".." above the root of its drive, a name holding ':' or a NUL.
bool ApplyPath(std::string_view path, PathParts& parts) {
  if (path.empty()) return false;
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    const char drive = static_cast<char>(path[0] & ~0x20);
    if (drive != parts.drive) parts.names.clear();  // another drive's directory is its root
    parts.drive = drive;
    path.remove_prefix(2);
    if (!path.empty() && IsSeparator(path[0])) parts.names.clear();
  } else if (IsSeparator(path[0])) {
    if (path.size() >= 2 && IsSeparator(path[1])) return false;
    parts.names.clear();
  }
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t end = i;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view name = path.substr(i, end - i);
    i = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (parts.names.empty()) return false;
      parts.names.pop_back();
      continue;
    }
    if (name.find(':') != std::string_view::npos || name.find('\0') != std::string_view::npos) return false;
    parts.names.push_back(name);
  }
  return true;
}

#ifndef _WIN32
// The entry of the host folder `dir` (ending in '/') named `name` without
// regard to ASCII case: the exact name if it is there, else the first match
// in byte order, else `name` itself.
std::string FindNoCase(const std::string& dir, std::string_view name) {
  std::error_code ec;
  const std::string exact = dir + std::string(name);
  if (std::filesystem::symlink_status(PathFromUtf8(exact), ec).type() != std::filesystem::file_type::not_found &&
      !ec)
    return std::string(name);
  std::string found;
  for (std::filesystem::directory_iterator it(PathFromUtf8(dir), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (text::EqualsNoCase(entry, name) && (found.empty() || entry < found)) found = entry;
  }
  return found.empty() ? std::string(name) : found;
}
#endif

}  // namespace

std::string FullWindowsPath(std::string_view path, std::string_view workDir) {
  PathParts parts;
  // The working directory itself is taken from the root of C:.
  if (!ApplyPath(workDir, parts)) parts = PathParts{};
  std::string out;
  if (!ApplyPath(path, parts)) return out;
  out += parts.drive;
  out += ":\\";
  for (std::size_t k = 0; k < parts.names.size(); ++k) {
    if (k > 0) out += '\\';
    out += parts.names[k];
  }
  return out;
}

std::string MapWindowsPath(std::string_view machineDir, std::string_view path, std::string_view workDir) {
#ifdef _WIN32
  (void)machineDir;
  (void)workDir;
  return std::string(path);
#else
  const std::string full = FullWindowsPath(path, workDir);
  if (full.empty() || machineDir.empty()) return std::string(kNowhere);  // no machine: nothing is on it
  std::string out(machineDir);
  out += '/';
  out += full[0];
  // Names are found without regard to case, as on NTFS: each one is the
  // entry of its folder that matches, or stays as written when none does
  // (a file about to be made keeps the case it is made with).
  std::size_t k = 3;
  while (k < full.size()) {
    const std::size_t end = std::min(full.find('\\', k), full.size());
    out += '/';
    out += FindNoCase(out, std::string_view(full).substr(k, end - k));
    k = end + 1;
  }
  if (out.back() != '/' && IsSeparator(path.back())) out += '/';  // "D:\x\" names a folder
  return out;
#endif
}

std::string Machine::HostPath(std::string_view windowsPath) const {
  return MapWindowsPath(dir_, windowsPath, Get("program", "workdir", kProgramDir));
}

void Machine::LogCommand(std::string_view commandLine, std::uint32_t exitCode) const {
  LogCommand(commandLine, std::to_string(exitCode));
}

void Machine::LogCommand(std::string_view commandLine, std::string_view outcome) const {
  std::ofstream out(PathFromUtf8(dir_ + "/" + std::string(kCommandsLog)), std::ios::app | std::ios::binary);
  out << commandLine << " => " << outcome << '\n';
}

}  // namespace kestrio::sim
