// kestrio-sim's commands for people and tests (Linux build).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "sim/cabinet.h"
#include "sim/cli.h"
#include "sim/power.h"
#include "sim/host.h"
#include "base/machine.h"
#include "sim/tools.h"

namespace kestrio::sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultPackRoot = "D:\\LanguagePacks";

std::vector<std::string> SplitList(std::string_view text, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find(sep, start);
    std::string item(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (!item.empty()) out.push_back(item);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}

bool ValidTag(std::string_view tag) {
  if (tag.empty() || tag.size() > 84) return false;
  for (char c : tag)
    if (c == '~' || c == ' ' || c == '\t' || c == '|' || c == ',' || c == '=') return false;
  return true;
}

bool ParseOnOff(std::string_view v, bool& out) {
  if (v == "on" || v == "yes" || v == "1" || v == "true") return out = true, true;
  if (v == "off" || v == "no" || v == "0" || v == "false") return out = false, true;
  return false;
}

bool ParseNumber(std::string_view v, std::uint64_t& out) {
  if (v.empty() || v.size() > 20) return false;
  std::uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t next = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (next / 10 != n) return false;
    n = next;
  }
  out = n;
  return true;
}

bool MakePack(const std::string& file, const std::string& tag, bool update, std::string* error);

using Setter = std::function<std::string(Machine&, const std::string&)>;

std::string FlagSetter(Machine& m, const std::string& v, const char* section, const char* key) {
  bool on = false;
  if (!ParseOnOff(v, on)) return "expected on or off";
  m.Ini().Set(section, key, on ? "1" : "0");
  return {};
}

// Every fact `set` can change, with what it takes.
const std::map<std::string, std::pair<std::string, Setter>>& Settings() {
  static const std::map<std::string, std::pair<std::string, Setter>> table = {
      {"version", {"Windows version, e.g. 6.1.7601", [](Machine& m, const std::string& v) -> std::string {
         unsigned a = 0, b = 0, c = 0;
         char extra = 0;
         if (std::sscanf(v.c_str(), "%u.%u.%u%c", &a, &b, &c, &extra) != 3) return "expected MAJOR.MINOR.BUILD";
         m.Ini().Set("os", "version", v);
         return {};
       }}},
      {"product-suite", {"ProductSuite strings, separated by |", [](Machine& m, const std::string& v) -> std::string {
         m.Registry().SetMultiString(kProductOptionsKey, "ProductSuite", SplitList(v, '|'));
         return {};
       }}},
      {"language", {"MachinePreferredUILanguages tags, separated by | (empty: no value)",
                    [](Machine& m, const std::string& v) -> std::string {
         const auto tags = SplitList(v, '|');
         for (const auto& t : tags)
           if (!ValidTag(t)) return "not a language tag: " + t;
         SetPreferredLanguages(m.Registry(), tags);
         return {};
       }}},
      {"installed", {"installed language packs, tags separated by ,", [](Machine& m, const std::string& v) -> std::string {
         const auto tags = SplitList(v, ',');
         for (const auto& t : tags)
           if (!ValidTag(t)) return "not a language tag: " + t;
         m.SetInstalledLanguages(tags);
         return {};
       }}},
      {"rollup", {"rollup package installed: on/off", [](Machine& m, const std::string& v) -> std::string {
         bool on = false;
         if (!ParseOnOff(v, on)) return "expected on or off";
         if (on) m.SetPackage(kRollupIdentity, kInstalled);
         else m.Ini().Remove("packages", kRollupIdentity);
         return {};
       }}},
      {"fbwf-library", {"FBWFLIB.dll in System32: on/off, or broken (there but does not load)",
                        [](Machine& m, const std::string& v) -> std::string {
         if (v == "broken") {
           m.Ini().Set("fbwf", "library", "broken");
           return {};
         }
         const std::string why = FlagSetter(m, v, "fbwf", "library");
         return why.empty() ? why : "expected on, off or broken";
       }}},
      {"filter-fails", {"the write-filter calls fail: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "fbwf", "fail"); }}},
      {"filter", {"write filter enabled now: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "fbwf", "enabled"); }}},
      {"filter-next", {"write filter enabled next session: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "fbwf", "enabled_next"); }}},
      {"protect-c", {"C: protected now: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "fbwf", "protected"); }}},
      {"protect-c-next", {"C: protected next session: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "fbwf", "protected_next"); }}},
      {"free-bytes", {"total free bytes on C:", [](Machine& m, const std::string& v) -> std::string {
         std::uint64_t n = 0;
         if (!ParseNumber(v, n)) return "expected a number of bytes";
         m.Ini().Set("disk", "free_bytes", std::to_string(n));
         return {};
       }}},
      {"file-ids", {"folders report a file index (off: 0 for every folder, as file systems without file IDs do): on/off",
                    [](Machine& m, const std::string& v) { return FlagSetter(m, v, "disk", "file_ids"); }}},
      {"restart", {"when the package tool restarts Windows: auto (the machine restarts; kestrio-sim power starts "
                   "Kestrio Setup again) or manual (only noted, for kestrio-sim reboot)",
                   [](Machine& m, const std::string& v) -> std::string {
         if (v != "auto" && v != "manual") return "expected auto or manual";
         m.Ini().Set("boot", "restart", v);
         return {};
       }}},
      {"free-space-fails", {"the free-space query fails: on/off", [](Machine& m, const std::string& v) { return FlagSetter(m, v, "disk", "fail"); }}},
      {"update-cabinet", {"the update cabinet in the program's working directory: on/off",
                          [](Machine& m, const std::string& v) -> std::string {
         bool on = false;
         if (!ParseOnOff(v, on)) return "expected on or off";
         const std::string path = m.HostPath(m.Get("program", "workdir", std::string(kProgramDir)) + "\\" +
                                             std::string(kUpdateCabinet));
         std::string error;
         if (on) return MakePack(path, "", true, &error) ? std::string() : error;
         std::error_code ec;
         fs::remove(PathFromUtf8(path), ec);
         return ec ? ec.message() : std::string();
       }}},
      {"listing", {"the listing the package tool writes: missing, empty, truncated, or full",
                   [](Machine& m, const std::string& v) -> std::string {
         if (v == "full") {
           m.Ini().Remove("faults", "listing");
           return {};
         }
         for (auto fault : kListingFaults)
           if (v == fault) {
             m.Ini().Set("faults", "listing", v);
             return {};
           }
         return "expected missing, empty, truncated or full";
       }}},
      {"boot-locale", {"the boot configuration's locale", [](Machine& m, const std::string& v) -> std::string {
         if (!ValidTag(v)) return "not a language tag";
         m.Ini().Set("boot", "locale", v);
         return {};
       }}},
  };
  return table;
}

// The steps of [exit] as one text, for the help and the refusal alike.
std::string StepNames() {
  std::string names;
  for (auto step : kSteps) names += (names.empty() ? "" : ", ") + std::string(step);
  return names;
}

std::string ApplySetting(Machine& m, const std::string& assignment) {
  const auto eq = assignment.find('=');
  if (eq == std::string::npos) return "expected KEY=VALUE, got \"" + assignment + "\"";
  const std::string key = assignment.substr(0, eq), value = assignment.substr(eq + 1);
  if (key.rfind("exit.", 0) == 0) {
    const std::string step = key.substr(5);
    bool known = false;
    for (auto s : kSteps) known = known || s == step;
    if (!known) return "unknown step \"" + step + "\" (steps: " + StepNames() + ")";
    std::uint64_t n = 0;
    if (value.empty()) {
      m.Ini().Remove("exit", step);
      return {};
    }
    if (value == kKilled || value == kNotStarted) {
      m.Ini().Set("exit", step, value);
      return {};
    }
    if (!ParseNumber(value, n) || n > 0xFFFFFFFFu)
      return "expected an exit status from 0 to 4294967295, killed, not-started, or nothing to clear it";
    m.Ini().Set("exit", step, value);
    return {};
  }
  if (key.rfind("seconds.", 0) == 0) {
    const std::string step = key.substr(8);
    // Besides the tools' steps: the machine's own restart.
    if (std::find(std::begin(kSteps), std::end(kSteps), step) == std::end(kSteps) && step != "shutdown" &&
        step != "boot")
      return "unknown step \"" + step + "\" (steps: " + StepNames() + ", shutdown, boot)";
    if (value.empty()) {
      m.Ini().Remove("seconds", step);
      return {};
    }
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str(), &end);
    if (value.find_first_not_of("0123456789.") != std::string::npos || *end != '\0' || seconds > kMaxStepSeconds)
      return "expected seconds from 0 to 3600 (a fraction allowed, e.g. 0.2), or nothing to clear it";
    m.Ini().Set("seconds", step, value);
    return {};
  }
  const auto& table = Settings();
  const auto it = table.find(key);
  if (it == table.end()) return "unknown key \"" + key + "\" (see kestrio-sim set --help)";
  const std::string why = it->second.second(m, value);
  return why.empty() ? why : key + ": " + why;
}

std::string SettingsHelp() {
  std::ostringstream out;
  out << "Keys:\n";
  for (const auto& [key, entry] : Settings()) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-17s %s\n", key.c_str(), entry.first.c_str());
    out << line;
  }
  out << "  exit.STEP         exit status a tool gives for STEP (steps: " << StepNames() << ");\n"
         "                    killed: the tool is killed half-way; not-started: it cannot\n"
         "                    be started; empty clears it\n"
         "  seconds.STEP      seconds the tool of STEP takes before it acts (e.g. 5, 0.2);\n"
         "                    empty clears it\n"
         "  seconds.shutdown  seconds from the package tool's return to the restart (default 2)\n"
         "  seconds.boot      seconds the restart takes before Kestrio Setup starts again (default 3)\n";
  return out.str();
}

bool MakePack(const std::string& file, const std::string& tag, bool update, std::string* error) {
  std::vector<std::pair<std::string, std::string>> files;
  if (update) {
    files = {{"update.mum", "<assembly identity=\"" + std::string(kUpdateIdentity) + "\"/>\r\n"}};
  } else {
    files = {{"langcfg.ini", "[LangInfo]\r\nLanguage=" + tag + "\r\n"},
             {"lp.mum", "<assembly identity=\"" + LanguagePackIdentity(tag) + "\"/>\r\n"}};
  }
  return WriteCabinet(file, files, error);
}

// Lays out <root>\<tag>\lp.cab for each tag.
bool MakePackTree(const Machine& m, const std::string& root, const std::vector<std::string>& tags, std::string* error) {
  for (const auto& tag : tags) {
    const std::string dir = m.HostPath(root + "\\" + tag);
    std::error_code ec;
    fs::create_directories(PathFromUtf8(dir), ec);
    if (ec) return *error = "cannot create " + dir + ": " + ec.message(), false;
    if (!MakePack(dir + "/lp.cab", tag, false, error)) return false;
  }
  return true;
}

int Fail(const std::string& message) {
  std::cerr << "kestrio-sim: " << message << '\n';
  return 1;
}

std::optional<Machine> Open(const std::string& dir, int& rc) {
  std::string error;
  auto m = Machine::Load(dir, &error);
  if (!m) rc = Fail(error);
  return m;
}

int Create(const std::string& dir, const std::string& language, const std::string& installed, bool rollup,
           const std::string& packs, const std::string& packRoot, const std::string& self) {
  std::error_code ec;
  if (fs::exists(PathFromUtf8(dir + "/" + std::string(kMachineIni)), ec))
    return Fail(dir + " already holds a simulated machine");
  if (!ValidTag(language)) return Fail("--language: not a language tag: " + language);
  const auto installedTags = SplitList(installed, ',');
  const auto packTags = SplitList(packs, ',');
  for (const auto& t : installedTags)
    if (!ValidTag(t)) return Fail("--installed: not a language tag: " + t);
  for (const auto& t : packTags)
    if (!ValidTag(t)) return Fail("--packs: not a language tag: " + t);

  Machine m = Machine::NewDefault(dir, language, installedTags, rollup);

  const std::string system32 = dir + "/C/Windows/System32";
  for (const char* sub : {"/C/Windows/System32", "/C/Windows/Temp", "/C/Kestrio", "/D"}) {
    fs::create_directories(PathFromUtf8(dir + sub), ec);
    if (ec) return Fail("cannot create " + dir + sub + ": " + ec.message());
  }
  for (const char* tool : {"dism.exe", "bcdedit.exe", "expand.exe", "cmd.exe", "shutdown.exe"}) {
    const auto link = PathFromUtf8(system32 + "/" + tool);
    fs::remove(link, ec);
    fs::create_symlink(PathFromUtf8(self), link, ec);
    if (ec) return Fail("cannot link " + system32 + "/" + tool + ": " + ec.message());
  }
  std::string error;
  if (!packTags.empty() && !MakePackTree(m, packRoot, packTags, &error)) return Fail(error);
  // A machine with the rollup has the update cabinet beside the program.
  if (rollup && !MakePack(m.HostPath(std::string(kProgramDir) + "\\" + std::string(kUpdateCabinet)), "", true, &error))
    return Fail(error);
  if (!m.Save(&error)) return Fail(error);
  return 0;
}

std::string Yes(bool b) { return b ? "yes" : "no"; }

int Show(const Machine& m) {
  auto regStrings = [&](std::string_view key, std::string_view name) -> std::string {
    const RegValue* v = m.Registry().Find(key, name);
    if (!v) return "(none)";
    std::string joined;
    for (const auto& s : RegStrings(*v)) joined += (joined.empty() ? "" : " | ") + s;
    return joined;
  };
  const std::string library = m.Get("fbwf", "library", "1");
  const std::string filter =
      library == "0"        ? "not installed"
      : library == "broken" ? "library there but does not load"
                            : "enabled " + Yes(m.Flag("fbwf", "enabled")) + " (next session " +
                                  Yes(m.Flag("fbwf", "enabled_next")) + "), C: protected " + Yes(m.Flag("fbwf", "protected")) +
                                  " (next session " + Yes(m.Flag("fbwf", "protected_next")) + ")" +
                                  (m.Flag("fbwf", "fail") ? ", calls fail" : "");
  std::cout << "Simulated machine " << m.Dir() << "\n"
            << "  Windows version    " << m.Get("os", "version", "?") << "\n"
            << "  Program folder     " << m.Get("program", "workdir", "(the current directory)")
            << (fs::exists(PathFromUtf8(m.HostPath(m.Get("program", "workdir", ".") + "\\" + std::string(kUpdateCabinet))))
                    ? ", update cabinet present"
                    : ", no update cabinet")
            << "\n"
            << "  ProductSuite       " << regStrings(kProductOptionsKey, "ProductSuite") << "\n"
            << "  Current language   " << regStrings(kMuiCachedKey, "MachinePreferredUILanguages") << "\n"
            << "  Write filter       " << filter << "\n"
            << "  Free bytes on C:   " << m.Get("disk", "free_bytes", "?") << (m.Flag("disk", "fail") ? " (query fails)" : "")
            << "\n"
            << "  Boot locale        " << m.Get("boot", "locale", "?") << "\n"
            << "  Restart pending    " << Yes(m.Flag("boot", "restart_pending"))
            << (m.Flag("boot", "shutdown") ? " (going down)" : "") << "\n"
            << "  Restart            " << m.Get("boot", "restart", "auto") << "\n"
            << "  Forced exits       ";
  const auto forced = m.Ini().Entries("exit");
  if (forced.empty()) std::cout << "none";
  for (const auto& [step, code] : forced) std::cout << step << "=" << code << " ";
  std::cout << "\n  Tool seconds       ";
  const auto seconds = m.Ini().Entries("seconds");
  if (seconds.empty()) std::cout << "none";
  for (const auto& [step, value] : seconds) std::cout << step << "=" << value << " ";
  std::cout << "\n  Packages\n";
  for (const auto& [id, state] : m.Packages()) {
    char line[512];
    std::snprintf(line, sizeof line, "    %-100s %s\n", id.c_str(), state.c_str());
    std::cout << line;
  }
  return 0;
}

}  // namespace

int RunCli(int argc, char** argv) {
  CLI::App app{"kestrio-sim: makes, changes and inspects simulated Windows 7 Embedded machines.\n"
               "Called as dism.exe, bcdedit, expand, cmd.exe or shutdown.exe it is that tool of the machine."};
  app.require_subcommand(1);
  std::string dir;

  auto* create = app.add_subcommand("create", "make a new simulated machine in DIR");
  std::string language = "de-DE", installed, packs, packRoot = kDefaultPackRoot;
  bool rollup = false;
  create->add_option("DIR", dir, "machine directory")->required();
  create->add_option("--language", language, "current user-interface language")->capture_default_str();
  create->add_option("--installed", installed, "installed language packs, e.g. de-DE,fr-FR");
  create->add_flag("--rollup", rollup, "the rollup package is installed");
  create->add_option("--packs", packs, "lay out a pack tree: one folder with lp.cab per tag, e.g. de-DE,fr-FR");
  create->add_option("--pack-root", packRoot, "Windows path of the pack tree")->capture_default_str();

  auto* set = app.add_subcommand("set", "change facts of the machine in DIR");
  std::vector<std::string> assignments;
  set->add_option("DIR", dir, "machine directory")->required();
  set->add_option("KEY=VALUE", assignments, "facts to change")->required();
  set->footer(SettingsHelp());

  auto* show = app.add_subcommand("show", "print the state of the machine in DIR");
  show->add_option("DIR", dir, "machine directory")->required();

  auto* reboot = app.add_subcommand("reboot", "restart the machine: pending package changes take effect");
  reboot->add_option("DIR", dir, "machine directory")->required();

  auto* power = app.add_subcommand(
      "power", "switch the machine in DIR on: run COMMAND (kestrio-setup --machine DIR ...) as its start-up runs "
               "Kestrio Setup, and restart the machine, COMMAND with it, when its package tool restarts Windows");
  std::vector<std::string> command;
  power->add_option("DIR", dir, "machine directory")->required();
  power->add_option("COMMAND", command, "the program and its arguments, after --")->required();

  auto* makePack = app.add_subcommand("make-pack", "write a language-pack cabinet (or the update cabinet)");
  std::string file, tag;
  bool update = false;
  makePack->add_option("FILE", file, "cabinet to write")->required();
  makePack->add_option("TAG", tag, "language tag its langcfg.ini names");
  makePack->add_flag("--update", update, "write the update package cabinet instead");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  int rc = 0;
  if (*create) return Create(dir, language, installed, rollup, packs, packRoot, SelfPath(argv[0]));
  if (*makePack) {
    if (!update && !ValidTag(tag)) return Fail("make-pack: give a language tag, or --update");
    std::string error;
    return MakePack(file, tag, update, &error) ? 0 : Fail(error);
  }
  auto m = Open(dir, rc);
  if (!m) return rc;
  if (*power) return PowerOn(dir, command);
  for (const auto& line : m->SkippedRegistryLines())
    std::cerr << "kestrio-sim: " << kRegistryFile << ": skipped " << line << '\n';
  if (*show) return Show(*m);
  if (*reboot) Reboot(*m);
  for (const auto& a : assignments) {
    const std::string why = ApplySetting(*m, a);
    if (!why.empty()) return Fail(why);  // nothing is written
  }
  std::string error;
  return m->Save(&error) ? 0 : Fail(error);
}

}  // namespace kestrio::sim
