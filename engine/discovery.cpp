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
// limit end it.  A folder some of whose cabinets were too deep for the
// extraction command on the path the walk took is not done: it is walked
// again when a shorter path leads to it, and the cabinets examined the
// first time are not examined twice.
struct Walk {
  // Folder -> the UTF-16 length of the path it was walked by; 0 once every
  // cabinet in it was examined (no path is shorter).  A folder is entered
  // again only by a shorter path.
  std::map<platform::FolderIdentity, std::size_t> entered;
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

void WalkFolder(std::string_view dir, Walk& walk) {
  const EngineState& engine = Engine();
  // An empty path is no folder: "\*.*" would be the root of the current drive.
  if (dir.empty()) return;
  const std::string pattern = Join(dir, "*.*");
  if (!FitsPath(pattern)) return;
  // "dir\." names the folder the pattern lists ("C:" alone would be the
  // drive's current folder).  A folder whose identity cannot be read, or
  // reads as file index 0 (a file system or server without file IDs gives 0
  // for every folder), is walked as it was found: its packs are not lost,
  // and a loop through it still ends, as every pass makes the path longer
  // and the path limit stops the walk.
  platform::FolderIdentity identity;
  const bool known = platform::QueryFolderIdentity(Join(dir, "."), identity) && identity.index != 0;
  const std::size_t length = text::Utf16Length(dir);
  if (known) {
    const auto earlier = walk.entered.find(identity);
    if (earlier != walk.entered.end() && earlier->second <= length) return;
    // Marked before its entries are listed: a link inside it back to it
    // finds it entered already.
    walk.entered[identity] = length;
  }
  bool finished = true;
  platform::ListDirectory(pattern, [&](const platform::DirEntry& entry) {
    if (entry.directory) {
      if (entry.name != "." && entry.name != "..") {
        const std::string sub = Join(dir, entry.name);
        if (FitsPath(sub)) WalkFolder(sub, walk);
      }
    } else if (HasCabExtension(entry.name)) {
      if (!known || walk.examined.count({identity, entry.name}) == 0) {
        if (!ExamineCabinet(dir, entry.name))
          finished = false;
        else if (known)
          walk.examined.insert({identity, entry.name});
      }
    }
    return engine.DiscoveredCount < kSlotCount;
  });
  if (known && finished) walk.entered[identity] = 0;
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
