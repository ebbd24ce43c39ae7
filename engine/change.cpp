#include "engine/change.h"

#include <string>

#include "engine/checks.h"
#include "engine/discovery.h"
#include "engine/language.h"
#include "engine/runner.h"

namespace kestrio::engine {
namespace {

constexpr std::uint32_t kRestartRequired = 3010;

bool FitsCommand(const std::string& command) { return text::Utf16Length(command) < kCommandUnits; }

// Finds the discovered pack of that exact name.
const LanguageInfo* FindDiscovered(std::string_view name) {
  for (const auto& slot : Engine().DiscoveredPacks)
    if (!slot.name.Empty() && slot.name == name) return &slot;
  return nullptr;
}

// dism /remove-package for every installed pack of another language;
// `names` counts the packs it names.
std::string RemoveCommand(std::string_view keep, std::size_t& names) {
  const EngineState& engine = Engine();
  std::string command = "dism.exe /online /remove-package";
  names = 0;
  for (const auto& slot : engine.InstalledPacks) {
    if (!slot.package.Empty() && !(slot.name == keep)) {
      command += " /packageName:" + slot.package.Str();
      ++names;
    }
  }
  command += " /quiet";
  if (engine.RollupInstalled) command += " /norestart";
  return command;
}

// The restart the removal would have asked of the package tool, for a
// machine that had nothing to remove.
constexpr const char* kRestartCommand = "shutdown.exe /r /t 0";

}  // namespace

std::int32_t ChangeLanguage(std::optional<std::string_view> name) {
  const EngineState& engine = Engine();
  if (const std::int32_t rc = CheckWriteFilter(); rc != kOk) return rc;
  // An empty name is no name: it must not pass the same-language test when
  // the current language could not be read and its name is empty too.
  if (!name || name->empty()) return kErrLanguageName;
  if (engine.CurrentLanguage.name == *name) return kErrSameLanguage;
  const LanguageInfo* pack = FindDiscovered(*name);
  if (pack == nullptr) return kErrLanguageName;
  if (const std::int32_t rc = CheckFreeSpace(); rc != kOk) return rc;
  if (engine.RollupInstalled) {
    if (const std::int32_t rc = CheckUpdatePackage(); rc != kOk) return rc;
  }

  // Every command is composed before the first one runs: one that would not
  // fit the command buffer stops the change while the system is untouched.
  std::string add = "dism.exe /online /add-package /packagepath:" + CommandLinePath(pack->package.Str());
  std::string locale = "bcdedit /set {current} locale " + pack->code.Str();
  std::size_t removing = 0;
  std::string remove = RemoveCommand(*name, removing);
  std::string update = "dism.exe /online /add-package /packagepath:" + std::string(kUpdatePackage) + " /quiet";
  if (!FitsCommand(add)) return kErrInstall;
  if (!FitsCommand(remove)) return kErrRemove;

  std::uint32_t exitCode = 0;
  if (RunProgram(add, exitCode) != 1 || exitCode != 0) return kErrInstall;
  RunProgram(locale, exitCode);  // not judged
  if (removing > 0) {
    if (RunProgram(remove, exitCode) != 1 || (exitCode != 0 && exitCode != kRestartRequired)) return kErrRemove;
  } else if (!engine.RollupInstalled) {
    // A CNC in its base language has no pack to remove: its language is no
    // pack.  The package tool refuses a removal that names none (87), which
    // would fail the first change of every such machine for good, and it is
    // the removal that restarts Windows into the new language.  So the
    // removal is left out and the restart asked for by itself; the re-applied
    // update restarts a rollup machine as usual.  Not judged, like the boot
    // locale: a machine that does not go down is reported by whoever waits
    // for its restart.
    std::string restart = kRestartCommand;
    RunProgram(restart, exitCode);
  }
  if (engine.RollupInstalled) {
    if (RunProgram(update, exitCode) != 1 || exitCode != kRestartRequired) return kErrInstall;
  }
  return kOk;
}

}  // namespace kestrio::engine
