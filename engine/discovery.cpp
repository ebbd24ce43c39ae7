// Language pack discovery.
//
// Every cabinet under the root may be a language pack: its langcfg.ini,
// extracted next to it with `expand`, names the language in [LangInfo]
// Language.  The file is deleted again after each cabinet.  The walk enters
// each folder once, however many ways (junctions, symbolic links) lead to it.
#include "engine/discovery.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

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

// What one walk knows of the folders it has entered, by identity.  A link
// back to the root or above it, two links to one folder, or a link to a
// folder the walk also reaches directly would otherwise have the walk list
// the same cabinets again, on ever longer paths, until the slots or the path
// limit end it.  A folder is done once nothing below it was left out on the
// path the walk took: every cabinet examined and every folder below it done.
// One that is not (a cabinet or a folder somewhere below it too deep for its
// limit on that path, or a link back to a folder still being walked) is
// walked again when a path leads to it on which more may fit; the cabinets
// examined the first time are not examined twice.
struct Walk {
  // A path a folder was entered by, as far as the limits care: its length
  // and whether it holds a blank (then the extraction command quotes it).
  struct Reach {
    std::size_t length;
    bool blank;
    // Whatever fits below `later` fits below this path too: it is no longer,
    // and where only this one is quoted, shorter by the quotes' two units.
    bool Covers(const Reach& later) const { return length + (blank && !later.blank ? 2 : 0) <= later.length; }
  };
  struct Folder {
    bool done = false;
    std::vector<Reach> reaches;  // the paths it was entered by
  };
  std::map<platform::FolderIdentity, Folder> folders;
  std::set<std::pair<platform::FolderIdentity, std::string>> examined;  // cabinets by folder and name
};

// Examines one cabinet; false when its paths or its extraction command do
// not fit their limit, so that it could not be examined from this path.
bool ExamineCabinet(std::string_view dir, std::string_view file) {
  // Nothing is extracted once every slot is taken: there is no slot to fill.
  if (Engine().DiscoveredCount >= kSlotCount) return true;
  const std::string cabinet = Join(dir, file);
  const std::string iniPath = Join(dir, kLangCfg);
  std::string command = "expand " + CommandLinePath(cabinet) + " -F:langcfg.ini " + CommandLinePath(dir);
  if (!FitsPath(cabinet) || !FitsPath(iniPath) || !FitsPath(command)) return false;

  std::uint32_t exitCode = 0;
  if (RunProgram(command, exitCode) != 1) return true;  // the exit status is not looked at

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
  return true;
}

// Walks `dir`; true when nothing below it was left out (see Walk).
bool WalkFolder(std::string_view dir, Walk& walk) {
  const EngineState& engine = Engine();
  // An empty path is no folder: "\*.*" would be the root of the current drive.
  if (dir.empty()) return true;
  const std::string pattern = Join(dir, "*.*");
  if (!FitsPath(pattern)) return false;
  // "dir\." names the folder the pattern lists ("C:" alone would be the
  // drive's current folder).  A folder whose identity cannot be read, or
  // reads as file index 0 (a file system or server without file IDs gives 0
  // for every folder), is walked as it was found: its packs are not lost,
  // and a loop through it still ends, as every pass makes the path longer
  // and the path limit stops the walk.
  platform::FolderIdentity identity;
  const bool known = platform::QueryFolderIdentity(Join(dir, "."), identity) && identity.index != 0;
  const Walk::Reach reach{text::Utf16Length(dir), dir.find(' ') != std::string_view::npos};
  Walk::Folder* folder = nullptr;
  if (known) {
    folder = &walk.folders[identity];
    if (folder->done) return true;
    for (const Walk::Reach& earlier : folder->reaches)
      if (earlier.Covers(reach)) return false;  // done there, or still under way above this path
    // Kept before its entries are listed: a link inside it back to it
    // finds it entered already.
    folder->reaches.push_back(reach);
  }
  bool done = true;
  platform::ListDirectory(pattern, [&](const platform::DirEntry& entry) {
    if (entry.directory) {
      if (entry.name != "." && entry.name != "..") {
        const std::string sub = Join(dir, entry.name);
        if (!FitsPath(sub) || !WalkFolder(sub, walk)) done = false;
      }
    } else if (HasCabExtension(entry.name)) {
      if (!known || walk.examined.count({identity, entry.name}) == 0) {
        if (!ExamineCabinet(dir, entry.name))
          done = false;
        else if (known)
          walk.examined.insert({identity, entry.name});
      }
    }
    return engine.DiscoveredCount < kSlotCount;
  });
  if (known && done) folder->done = true;
  return done;
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
  Walk walk;
  WalkFolder(dir, walk);
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
