#include "sim/tools.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/cmdline.h"
#include "base/text.h"
#include "sim/cabinet.h"
#include "sim/host.h"

namespace kestrio::sim {
namespace {

constexpr std::uint32_t kFileNotFound = 0x80070002u;
constexpr std::uint32_t kBadPackage = 0x800F0818u;
constexpr std::uint32_t kBadParameter = 87;
constexpr std::uint32_t kRestartRequired = 3010;
constexpr std::uint32_t kNotRecognised = 9009;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && text::EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string BaseName(std::string_view path) {
  const auto cut = path.find_last_of("\\/");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// The language tag inside a language-pack identity, or "".
std::string TagOf(std::string_view identity) {
  if (!StartsWithNoCase(identity, kLanguagePackPrefix)) return {};
  identity.remove_prefix(kLanguagePackPrefix.size());
  return std::string(identity.substr(0, identity.find('~')));
}

void DismBanner(std::ostream& out) {
  out << "\nDeployment Image Servicing and Management tool\nVersion: 6.1.7600.16385\n\n"
         "Image Version: 6.1.7601.17514\n\n";
}

std::uint32_t DismError(std::ostream& out, std::uint32_t code, std::string_view message) {
  char hex[16];
  std::snprintf(hex, sizeof hex, code > 0xFFFF ? "0x%08x" : "%u", code);
  out << "\nError: " << hex << "\n\n" << message << "\n\nThe DISM log file can be found at C:\\Windows\\Logs\\DISM\\dism.log\n";
  return code;
}

// Where a cut output ends: in the middle of its first language-pack identity,
// or half-way through when it names none.
std::size_t CutPoint(const std::string& bytes) {
  const auto pack = bytes.find(kLanguagePackPrefix);
  return pack != std::string::npos ? pack + kLanguagePackPrefix.size() / 2 : bytes.size() / 2;
}

std::uint32_t GetPackages(const Machine& machine, std::ostream& out) {
  DismBanner(out);
  out << "Packages listing:\n\n";
  const std::string rule(102, '-');
  // Columns padded to their width; a longer identity widens its row whole
  // (a fixed line buffer would cut it, and the listing would name a package
  // the store does not hold).
  const auto row = [&](std::string_view a, std::string_view b, std::string_view c, std::string_view d) {
    const auto cell = [](std::string_view text, std::size_t width) {
      std::string padded(text);
      if (padded.size() < width) padded.append(width - padded.size(), ' ');
      return padded;
    };
    out << cell(a, 102) << " | " << cell(b, 15) << " | " << cell(c, 15) << " | " << d << '\n';
  };
  row(rule, std::string(15, '-'), std::string(15, '-'), std::string(18, '-'));
  row("Package Identity", "State", "Release Type", "Install Time");
  row(rule, std::string(15, '-'), std::string(15, '-'), std::string(18, '-'));
  for (const auto& [identity, state] : machine.Packages()) {
    const bool language = !TagOf(identity).empty();
    row(identity, state, language ? "Language Pack" : "Update", "11/21/2010 3:40 AM");
  }
  out << "\nThe operation completed successfully.\n";
  return 0;
}

// The package tool run quietly without /norestart restarts Windows itself
// when its work needs a restart: the machine notes that it is going down,
// unless it is set to leave the restart to someone (restart=manual).
void RestartWindows(Machine& machine) {
  machine.Ini().Set("boot", "restart_pending", "1");
  if (machine.Get("boot", "restart", "auto") != "manual") machine.Ini().Set("boot", "shutdown", "1");
}

// dism /add-package: a language pack (its langcfg.ini names the language) or
// the update cabinet.
std::uint32_t AddPackage(Machine& machine, std::string_view path, bool quiet, bool norestart,
                         std::ostream& out) {
  DismBanner(out);
  const std::string host = machine.HostPath(path);
  const bool update = text::EqualsNoCase(BaseName(path), kUpdateCabinet);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(PathFromUtf8(host), ec))
    return DismError(out, kFileNotFound, "The system cannot find the file specified.");

  std::string identity;
  if (update) {
    const CabResult r = ExtractFromCabinet(host, "update.mum", host + ".probe");
    std::filesystem::remove(PathFromUtf8(host + ".probe"), ec);
    if (r != CabResult::Ok)
      return DismError(out, kBadPackage, "An error occurred trying to open - " + std::string(path));
    identity = kUpdateIdentity;
  } else {
    const std::string probe = host + ".langcfg";
    const CabResult r = ExtractFromCabinet(host, "langcfg.ini", probe);
    std::string bytes;
    IniFile ini;
    std::string tag;
    if (r == CabResult::Ok && ReadWholeFile(probe, bytes) && ini.Parse(bytes, false, nullptr))
      tag = ini.Get("LangInfo", "Language").value_or("");
    std::filesystem::remove(PathFromUtf8(probe), ec);
    if (tag.empty())
      return DismError(out, kBadPackage, "An error occurred trying to open - " + std::string(path));
    identity = LanguagePackIdentity(tag);
  }

  out << "Processing 1 of 1 - Adding package " << identity << "\n[==========================100.0%==========================]\n";
  bool changed = true, languageAdded = false;
  for (const auto& [id, state] : machine.Packages()) {
    if (text::EqualsNoCase(id, identity) && state == kInstalled) changed = false;
    if (id.rfind(kLanguagePackPrefix, 0) == 0 && state == kInstallPending) languageAdded = true;
  }
  // A language pack added since the update was installed takes the update
  // anew: it is staged again and a restart is asked for.
  if (update && languageAdded) changed = true;
  if (changed) machine.SetPackage(identity, kInstallPending);
  if (!update) {
    out << "The operation completed successfully.\n";
    return 0;
  }
  if (quiet && !norestart) RestartWindows(machine);
  out << "Restart Windows to complete this operation.\n";
  return changed ? kRestartRequired : 0;
}

std::uint32_t RemovePackages(Machine& machine, const std::vector<std::string>& names, bool quiet,
                             bool norestart, std::ostream& out) {
  DismBanner(out);
  if (names.empty())
    return DismError(out, kBadParameter,
                     "The remove-package option requires a package name or a package path.");
  const auto store = machine.Packages();
  for (const auto& name : names) {
    bool known = false;
    for (const auto& [id, state] : store) known = known || text::EqualsNoCase(id, name);
    if (!known) return DismError(out, 0x800F0805u, "The specified package is not valid Windows package.");
  }
  std::size_t n = 0;
  for (const auto& name : names) {
    out << "Processing " << ++n << " of " << names.size() << " - Removing package " << name << "\n";
    machine.SetPackage(name, kUninstallPending);
  }
  out << "[==========================100.0%==========================]\nThe operation completed successfully.\n";
  if (quiet && !norestart) {
    RestartWindows(machine);
    return 0;
  }
  out << "Restart Windows to complete this operation.\n";
  return kRestartRequired;
}

std::uint32_t Dism(Machine& machine, const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err) {
  bool online = false, quiet = false, norestart = false;
  std::string action, packagePath;
  std::vector<std::string> names;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string l = Lower(a);
    if (l == "/online") online = true;
    else if (l == "/quiet") quiet = true;
    else if (l == "/norestart") norestart = true;
    else if (l == "/get-packages" || l == "/add-package" || l == "/remove-package") action = l;
    else if (StartsWithNoCase(a, "/packagepath:")) packagePath = a.substr(13);
    else if (StartsWithNoCase(a, "/packagename:")) names.push_back(a.substr(13));
    else if (StartsWithNoCase(a, "/format:")) {
    } else {
      err << "Error: 87\n\nThe option " << a << " is unknown.\n";
      return kBadParameter;
    }
  }
  if (!online || action.empty()) {
    err << "Error: 87\n\nUse /online with /get-packages, /add-package or /remove-package.\n";
    return kBadParameter;
  }
  if (action == "/get-packages") {
    if (auto forced = machine.ForcedExit("get-packages"); forced && *forced != 0) {
      DismBanner(out);
      return DismError(out, *forced, "The operation failed (fault set on the simulated machine).");
    }
    return GetPackages(machine, out);
  }
  if (action == "/add-package") {
    if (packagePath.empty()) return DismError(out, kBadParameter, "The add-package option requires a package path.");
    const bool update = text::EqualsNoCase(BaseName(packagePath), kUpdateCabinet);
    if (auto forced = machine.ForcedExit(update ? "add-update" : "add-package")) {
      DismBanner(out);
      return *forced;
    }
    return AddPackage(machine, packagePath, quiet, norestart, out);
  }
  if (auto forced = machine.ForcedExit("remove-package")) {
    DismBanner(out);
    return *forced;
  }
  return RemovePackages(machine, names, quiet, norestart, out);
}

std::uint32_t Bcdedit(Machine& machine, const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() != 5 || Lower(args[1]) != "/set" || Lower(args[3]) != "locale") {
    out << "The parameter is incorrect.\n";
    return 1;
  }
  if (auto forced = machine.ForcedExit("bcdedit")) return *forced;
  machine.Ini().Set("boot", "locale", args[4]);
  out << "The operation completed successfully.\n";
  return 0;
}

// shutdown /r: Windows restarts once the tool has returned (only noted on
// a machine set to restart=manual).
std::uint32_t Shutdown(Machine& machine, const std::vector<std::string>& args, std::ostream& out) {
  bool restart = false;
  for (std::size_t i = 1; i < args.size(); ++i) restart = restart || Lower(args[i]) == "/r";
  if (!restart) {
    out << "The parameter is incorrect.\n";
    return 87;
  }
  RestartWindows(machine);
  return 0;
}

struct ExpandArgs {
  std::string source, member, dest;
};

ExpandArgs ParseExpand(const std::vector<std::string>& args) {
  ExpandArgs e;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (StartsWithNoCase(args[i], "-F:") || StartsWithNoCase(args[i], "/F:")) e.member = args[i].substr(3);
    else if (e.source.empty()) e.source = args[i];
    else if (e.dest.empty()) e.dest = args[i];
  }
  return e;
}

std::uint32_t Expand(Machine& machine, const std::vector<std::string>& args, std::ostream& out) {
  out << "Microsoft (R) File Expansion Utility  Version 6.1.7600.16385\nCopyright (c) Microsoft Corporation. All rights reserved.\n\n";
  const auto [source, member, dest] = ParseExpand(args);
  if (source.empty() || member.empty() || dest.empty()) {
    out << "Usage: expand Source -F:Files Destination\n";
    return 1;
  }
  if (auto forced = machine.ForcedExit("expand")) return *forced;
  const std::string target = machine.HostPath(dest) + "/" + member;
  switch (ExtractFromCabinet(machine.HostPath(source), member, target)) {
    case CabResult::Ok:
      out << "Adding " << dest << "\\" << member << " to Extraction Queue\n\nExpanding Files ....\n\nExpanding Files Complete ...\n1 file total.\n";
      return 0;
    case CabResult::NoSuchFile:
      out << "0 files total.\n";
      return 0;
    case CabResult::CannotOpen:
      out << "Can't open input file: " << source << ".\n";
      return 1;
    default:
      out << "Can't expand: " << source << ".\n";
      return 1;
  }
}

// cmd.exe /c COMMAND > FILE: runs a tool of the machine with its output in FILE.
std::uint32_t Cmd(Machine& machine, std::string_view commandLine, std::ostream& out,
                  std::ostream& err) {
  const std::string lower = Lower(commandLine);
  const auto c = lower.find("/c ");
  if (c == std::string::npos) {
    err << "Only \"cmd.exe /c COMMAND [> FILE]\" is supported here.\n";
    return 1;
  }
  std::string inner(commandLine.substr(c + 3));
  std::string target;
  bool quoted = false;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '"') quoted = !quoted;
    if (inner[i] == '>' && !quoted) {
      target = inner.substr(i + 1);
      inner.resize(i);
      break;
    }
  }
  const auto trim = [](std::string& s) {
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
  };
  trim(inner);
  trim(target);
  if (target.size() >= 2 && target.front() == '"' && target.back() == '"') target = target.substr(1, target.size() - 2);

  const std::vector<std::string> args = text::SplitCommandLine(inner);
  const Tool tool = args.empty() ? Tool::None : ToolFromProgramName(args[0]);
  if (tool == Tool::None || tool == Tool::Cmd) {
    err << "'" << (args.empty() ? std::string() : args[0])
        << "' is not recognized as an internal or external command,\noperable program or batch file.\n";
    return kNotRecognised;
  }
  if (target.empty()) return RunTool(tool, machine, inner, args, out, err);
  const std::string host = machine.HostPath(target);
  std::ofstream file(PathFromUtf8(host), std::ios::binary | std::ios::trunc);
  if (!file) {
    err << "The system cannot find the path specified.\n";
    return 1;
  }
  const std::string fault = machine.Get("faults", "listing", "");
  if (fault.empty() || StepOfCommandLine(inner) != "get-packages")
    return RunTool(tool, machine, inner, args, file, err);
  // A listing spoiled on its way to the file while the tool answers as usual.
  std::ostringstream listing;
  const std::uint32_t code = RunTool(tool, machine, inner, args, listing, err);
  std::string bytes = listing.str();
  if (fault == "empty") bytes.clear();
  if (fault == "truncated") bytes.resize(CutPoint(bytes));
  file << bytes;
  file.close();
  std::error_code ec;
  if (fault == "missing") std::filesystem::remove(PathFromUtf8(host), ec);
  return code;
}

// A tool killed half-way: what it wrote so far stays (cut in its first
// language-pack identity; the member expand extracts cut in half), the
// machine is not changed, and commands.log says "killed" where the exit
// status would be.
[[noreturn]] void DieHalfway(Tool tool, Machine& machine, std::string_view commandLine,
                             const std::vector<std::string>& args, std::ostream& out) {
  std::ostringstream buffer, errors;
  Machine scratch = machine;  // its changes are never saved
  switch (tool) {
    case Tool::Dism: Dism(scratch, args, buffer, errors); break;
    case Tool::Bcdedit: Bcdedit(scratch, args, buffer); break;
    case Tool::Expand: {
      Expand(scratch, args, buffer);
      const ExpandArgs e = ParseExpand(args);
      const std::string member = machine.HostPath(e.dest) + "/" + e.member;
      std::string bytes;
      if (ReadWholeFile(member, bytes)) WriteFileAtomically(member, bytes.substr(0, bytes.size() / 2), nullptr);
      break;
    }
    case Tool::Shutdown:
    case Tool::Cmd:  // the tool it runs is the one that dies
    case Tool::None: break;
  }
  const std::string bytes = buffer.str();
  out << bytes.substr(0, CutPoint(bytes));
  out.flush();
  machine.LogCommand(commandLine, "killed");
  KillSelf();
}

}  // namespace

Tool ToolFromProgramName(std::string_view program) {
  std::string name = Lower(BaseName(program));
  if (name.size() > 4 && name.substr(name.size() - 4) == ".exe") name.resize(name.size() - 4);
  if (name == "dism") return Tool::Dism;
  if (name == "bcdedit") return Tool::Bcdedit;
  if (name == "expand") return Tool::Expand;
  if (name == "cmd") return Tool::Cmd;
  if (name == "shutdown") return Tool::Shutdown;
  return Tool::None;
}

std::uint32_t RunTool(Tool tool, Machine& machine, std::string_view commandLine,
                      const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // cmd.exe waits in the tool it runs.
  if (tool != Tool::Cmd)
    if (const double seconds = machine.StepSeconds(StepOfCommandLine(commandLine)); seconds > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  if (tool != Tool::Cmd && machine.ForcedFault(StepOfCommandLine(commandLine), kKilled))
    DieHalfway(tool, machine, commandLine, args, out);
  std::uint32_t code = 1;
  switch (tool) {
    case Tool::Dism: code = Dism(machine, args, out, err); break;
    case Tool::Bcdedit: code = Bcdedit(machine, args, out); break;
    case Tool::Expand: code = Expand(machine, args, out); break;
    case Tool::Cmd: code = Cmd(machine, commandLine, out, err); break;
    case Tool::Shutdown: code = Shutdown(machine, args, out); break;
    case Tool::None: break;
  }
  machine.LogCommand(commandLine, code);
  return code;
}

void Reboot(Machine& machine) {
  for (const auto& [id, state] : machine.Packages()) {
    if (state == kInstallPending) machine.SetPackage(id, kInstalled);
    if (state == kUninstallPending) machine.Ini().Remove("packages", id);
  }
  const auto tags = LanguagePackTags(machine);
  std::string language = "en-US";  // the base language of the image
  if (!tags.empty()) {
    language = tags.front();
    const std::string locale = machine.Get("boot", "locale", "");
    for (const auto& t : tags)
      if (text::EqualsNoCase(t, locale)) language = t;
  }
  SetPreferredLanguages(machine.Registry(), {language});
  machine.Ini().Set("boot", "restart_pending", "0");
  machine.Ini().Remove("boot", "shutdown");
}

std::vector<std::string> LanguagePackTags(const Machine& machine, std::string_view skipState) {
  std::vector<std::string> tags;
  for (const auto& [id, state] : machine.Packages()) {
    const std::string tag = TagOf(id);
    if (!tag.empty() && state != skipState) tags.push_back(tag);
  }
  return tags;
}

}  // namespace kestrio::sim
