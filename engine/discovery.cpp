// Language pack discovery.
//
// Every cabinet under the root may be a language pack: its langcfg.ini,
// extracted next to it with `expand`, names the language in [LangInfo]
// Language.  The file is deleted again after each cabinet.  The walk enters
// each folder once, however many ways (junctions, symbolic links) lead to it.
#include "engine/discovery.h"

#include <set>

#include "engine/checks.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "engine/runner.h"
#include "platform/platform.h"

namespace kestrio::engine {
namespace {

constexpr std::string_view kLangCfg = "langcfg.ini";

// Every string the walk composes must fit a MAX_PATH buffer; one that does
// not is skipped rather than cut into a different path.
bool FitsPath(std::string_view s) { return text::Utf16Length(s) < kPathUnits; }

std::string Join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  out += '\\';
  out += name;
  return out;
}

void ExamineCabinet(std::string_view dir, std::string_view file) {
  // Nothing is extracted once every slot is taken: there is no slot to fill.
  if (Engine().DiscoveredCount >= kSlotCount) return;
  const std::string cabinet = Join(dir, file);
  const std::string iniPath = Join(dir, kLangCfg);
  std::string command = "expand " + CommandLinePath(cabinet) + " -F:langcfg.ini " + CommandLinePath(dir);
  if (!FitsPath(cabinet) || !FitsPath(iniPath) || !FitsPath(command)) return;

  std::uint32_t exitCode = 0;
  if (RunProgram(command, exitCode) != 1) return;  // the exit status is not looked at

  const std::string code = platform::ReadIniString(iniPath, "LangInfo", "Language", "", kCodeUnits);
  if (!code.empty()) {
    const int position = FindLanguageByCode(code);
    // A langcfg.ini naming a language outside the catalogue is no pack.
    if (position != kLanguageCount) {
      EngineState& engine = Engine();
      LanguageInfo& slot = engine.DiscoveredPacks[static_cast<std::size_t>(engine.DiscoveredCount)];
      slot.code.Assign(code);
      slot.name.Assign(LanguageCatalogue[static_cast<std::size_t>(position)].name);
      slot.package.Assign(cabinet);
      ++engine.DiscoveredCount;
    }
  }
  platform::RemoveFile(iniPath);
}

// The folders one walk has entered.  A link back to the root or above it,
// two links to one folder, or a link to a folder the walk also reaches
// directly would otherwise have the walk list the same cabinets again, on
// ever longer paths, until the slots or the path limit end it.
using VisitedFolders = std::set<platform::FolderIdentity>;

void WalkFolder(std::string_view dir, VisitedFolders& visited) {
  const EngineState& engine = Engine();
  // An empty path is no folder: "\*.*" would be the root of the current drive.
  if (dir.empty()) return;
  const std::string pattern = Join(dir, "*.*");
  if (!FitsPath(pattern)) return;
  // "dir\." names the folder the pattern lists ("C:" alone would be the
  // drive's current folder).  A folder met before is not entered again.  One
  // whose identity cannot be read is walked as it was found: its packs are
  // not lost, and a loop through it still ends, as every pass makes the
  // path longer and the path limit stops the walk.
  platform::FolderIdentity identity;
  if (platform::QueryFolderIdentity(Join(dir, "."), identity) && !visited.insert(identity).second) return;
  platform::ListDirectory(pattern, [&](const platform::DirEntry& entry) {
    if (entry.directory) {
      if (entry.name != "." && entry.name != "..") {
        const std::string sub = Join(dir, entry.name);
        if (FitsPath(sub)) WalkFolder(sub, visited);
      }
    } else if (HasCabExtension(entry.name)) {
      ExamineCabinet(dir, entry.name);
    }
    return engine.DiscoveredCount < kSlotCount;
  });
}

}  // namespace

std::vector<std::string> DiscoveredNames() {
  const EngineState& engine = Engine();
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < engine.DiscoveredCount; ++i)
    names.push_back(engine.DiscoveredPacks[static_cast<std::size_t>(i)].name.Str());
  return names;
}

bool HasCabExtension(std::string_view fileName) {
  return fileName.size() >= 4 && fileName.substr(fileName.size() - 4) == ".cab";
}

std::string CommandLinePath(std::string_view path) {
  if (path.find(' ') == std::string_view::npos) return std::string(path);
  std::string out = "\"";
  out += path;
  for (auto it = path.rbegin(); it != path.rend() && *it == '\\'; ++it) out += '\\';
  return out + '"';
}

std::int32_t ScanPackDirectory(std::string_view dir) {
  VisitedFolders visited;
  WalkFolder(dir, visited);
  return Engine().DiscoveredCount;
}

std::int32_t ScanLanguagePacks(std::optional<std::string_view> rootDir) {
  if (CheckOperatingSystem() != kOk) return kErrOsVersion;
  if (!rootDir) return kErrRootDir;
  if (const std::int32_t rc = QueryInstalledPackages(); rc != kOk) return rc;
  EngineState& engine = Engine();
  for (auto& slot : engine.DiscoveredPacks) slot.Clear();
  engine.DiscoveredCount = 0;
  return ScanPackDirectory(*rootDir);
}

}  // namespace kestrio::engine
