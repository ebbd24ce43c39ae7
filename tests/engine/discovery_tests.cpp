// Pack discovery: the walk of the root folder, the cabinets and their
// langcfg.ini, on simulated machines with real cabinets.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "engine/change.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "platform/platform.h"
#include "sim/tools.h"
#ifndef _WIN32
#include <rapidcheck/gtest.h>

#include <set>

#include "platform/simulated_posix.h"
#include "sim/cabinet.h"
#endif
#include "support/test_machine.h"

namespace kestrio::engine {
namespace {

using test::MachineOptions;
using test::TestMachine;
using Edit = std::function<void(sim::Machine&)>;
namespace fs = std::filesystem;

std::string Identity(const std::string& tag) { return sim::LanguagePackIdentity(tag); }

TEST(HasCabExtension, OnlyLowerCaseCab) {
  const std::pair<const char*, bool> cases[] = {
      {"de.cab", true}, {".cab", true}, {"PACK.CAB", false}, {"x.Cab", false}, {"cab", false}, {"x.cabs", false},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(HasCabExtension(name), expected) << name;
}

TEST(PackScan, WalksDepthFirstInListingOrder) {
  TestMachine machine;
  const std::string root = machine.PackRoot();
  machine.MakePack(root, "a.cab", "de-DE");
  machine.MakePack(root + "\\b", "fr.cab", "fr-FR");
  machine.MakePack(root + "\\b\\z-deeper", "it.cab", "it-IT");
  machine.MakePack(root, "c.cab", "es-ES");
  ASSERT_EQ(ScanLanguagePacks(root), 4);
  EXPECT_EQ(DiscoveredNames(), (std::vector<std::string>{"German", "French", "Italian", "Spanish"}));
  const LanguageInfo& french = Engine().DiscoveredPacks[1];
  EXPECT_EQ(french.code.Str(), "fr-FR");
  EXPECT_EQ(french.package.Str(), root + "\\b\\fr.cab");
  EXPECT_TRUE(Engine().DiscoveredPacks[4].package.Empty());
  EXPECT_EQ(machine.CommandsOf("expand")[0],
            "expand " + root + "\\a.cab -F:langcfg.ini " + root + " => 0");
  EXPECT_FALSE(machine.Exists(root + "\\langcfg.ini"));
  EXPECT_FALSE(machine.Exists(root + "\\b\\langcfg.ini"));
}

TEST(PackScan, StopsAtTheFourteenthPack) {
  TestMachine machine;
  for (int i = 0; i < 16; ++i) {
    char file[16];
    std::snprintf(file, sizeof file, "p%02d.cab", i);
    machine.MakePack(machine.PackRoot(), file, std::string(LanguageCatalogue[static_cast<std::size_t>(i % 14)].code));
  }
  EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), 14);
  EXPECT_EQ(machine.CommandsOf("expand").size(), 14u);
  EXPECT_EQ(Engine().DiscoveredPacks[13].name.Str(), "Chinese");
}

TEST(PackScan, CabinetsThatAreNotCataloguePacksAddNothing) {
  TestMachine machine;
  const std::string root = machine.PackRoot();
  machine.MakePack(root, "PACK.CAB", "de-DE");    // upper-case extension: not a candidate
  machine.MakePack(root, "x.cab", "");            // no langcfg.ini
  machine.MakePack(root, "y.cab", "ja-JP");       // a language outside the catalogue
  machine.MakeUpdateCabinet(root);                // the update package
  machine.MakePack(root, "z.cab", "fr-FR");
  EXPECT_EQ(ScanLanguagePacks(root), 1);
  EXPECT_EQ(DiscoveredNames(), (std::vector<std::string>{"French"}));
  EXPECT_EQ(machine.CommandsOf("expand").size(), 4u);
  EXPECT_FALSE(machine.Exists(root + "\\langcfg.ini"));
}

TEST(PackScan, StaleLangcfgIsReadForTheNextCabinetAndDeleted) {
  TestMachine machine;
  const std::string root = machine.PackRoot();
  machine.WriteFile(root + "\\langcfg.ini", "[langinfo]\r\n  LANGUAGE =  it-IT  \r\n");
  machine.MakePack(root, "x.cab", "");
  EXPECT_EQ(ScanLanguagePacks(root), 1);
  EXPECT_EQ(DiscoveredNames(), (std::vector<std::string>{"Italian"}));
  EXPECT_FALSE(machine.Exists(root + "\\langcfg.ini"));
}

TEST(PackScan, LongLanguageValueIsCutToFiveCharacters) {
  TestMachine machine;
  machine.WriteFile(machine.PackRoot() + "\\langcfg.ini", "[LangInfo]\r\nLanguage=de-DEXYZ\r\n");
  machine.MakePack(machine.PackRoot(), "x.cab", "");
  EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), 1);
  EXPECT_EQ(Engine().DiscoveredPacks[0].code.Str(), "de-DE");
}

TEST(PackScan, RootDirectoryRules) {
  {
    TestMachine machine;
    EXPECT_EQ(ScanLanguagePacks(std::nullopt), kErrRootDir);
    EXPECT_EQ(ScanLanguagePacks(machine.PackRoot() + "\\missing"), 0);
  }
  {
    TestMachine machine;
    machine.SetProductSuite({"EmbeddedNT"});
    EXPECT_EQ(ScanLanguagePacks(std::nullopt), kErrOsVersion);
    EXPECT_TRUE(machine.Commands().empty());
  }
}

TEST(PackScan, EmptyRootPathFindsNothingAndExtractsNothing) {
  TestMachine machine;
#ifndef _WIN32  // under Wine the drive root is the host's
  // The root of the current drive, which "\*.*" would walk.
  machine.MakePack("C:", "de.cab", "de-DE");
  machine.WriteFile("C:\\langcfg.ini", "[LangInfo]\r\nLanguage=fr-FR\r\n");
#endif
  EXPECT_EQ(ScanLanguagePacks(""), 0);
  EXPECT_EQ(ScanPackDirectory(""), 0);
  EXPECT_TRUE(machine.CommandsOf("expand").empty());
#ifndef _WIN32
  EXPECT_TRUE(machine.Exists("C:\\langcfg.ini"));
#endif
}

#ifndef _WIN32
TEST(PackScan, EntriesWhoseNamesAreNotTextAreSkipped) {
  TestMachine machine;
  const std::string root = machine.PackRoot();
  machine.MakePack(root, "de\xff.cab", "de-DE");
  machine.MakePack(root + "\\\xfe\xfe", "fr.cab", "fr-FR");
  machine.MakePack(root + "\\\xed\xa0\x80", "es.cab", "es-ES");  // a lone surrogate written as UTF-8
  machine.MakePack(root, "it.cab", "it-IT");
  EXPECT_EQ(ScanLanguagePacks(root), 1);
  EXPECT_EQ(DiscoveredNames(), (std::vector<std::string>{"Italian"}));
  EXPECT_EQ(machine.CommandsOf("expand").size(), 1u);
}
#endif

// The cabinets `expand` was given, in the order it was given them.
std::vector<std::string> ExtractedCabinets(const TestMachine& machine) {
  std::vector<std::string> out;
  for (const auto& line : machine.CommandsOf("expand")) {
    const auto start = line.find(' ') + 1;
    out.push_back(line.substr(start, line.find(" -F:") - start));
  }
  return out;
}

// A folder met again through a link (a junction on the machine itself) is
// not walked again: no pack is counted twice and each cabinet is extracted
// once.  The first path on which the depth-first walk meets a folder is the
// one its packs keep; a linked folder outside the root is walked that once.
//
// Paths are below a base folder: the simulated machine's D:, or under Wine a
// folder beside the test program whose links run-wine-test.sh has made (a
// Windows program there cannot make one).  Under Wine the root of the drive
// is the host's, so that row is the Linux machine's alone.
TEST(PackScan, EachFolderIsWalkedOnceHoweverLinksLeadToIt) {
  struct Pack {
    const char* dir;
    std::string file;
    const char* tag;
  };
  struct Link {
    std::string link;
    const char* target;  // "" for the root of the drive
  };
  struct Case {
    const char* label;
    const char* root;
    std::vector<Pack> packs;
    std::vector<Link> links;
    std::vector<std::string> found;
    std::vector<std::string> extracted;
  };
  const Case cases[] = {
      {"a link inside the tree back to the root", "\\Loop",
       {{"\\Loop", "a.cab", "de-DE"}, {"\\Loop\\sub", "fr.cab", "fr-FR"}},
       {{"\\Loop\\sub\\loop", "\\Loop"}},
       {"German", "French"},
       {"\\Loop\\a.cab", "\\Loop\\sub\\fr.cab"}},
      // The ancestor is walked once through the link, the root inside it not again.
      {"a link to an ancestor above the root", "\\Above\\Inner",
       {{"\\Above", "above.cab", "es-ES"}, {"\\Above\\Inner", "de.cab", "de-DE"}},
       {{"\\Above\\Inner\\up", "\\Above"}},
       {"German", "Spanish"},
       {"\\Above\\Inner\\de.cab", "\\Above\\Inner\\up\\above.cab"}},
      {"two links to one folder outside the root", "\\Two",
       {{"\\Shared", "it.cab", "it-IT"}, {"\\Two", "z.cab", "fr-FR"}},
       {{"\\Two\\a", "\\Shared"}, {"\\Two\\b", "\\Shared"}},
       {"Italian", "French"},
       {"\\Two\\a\\it.cab", "\\Two\\z.cab"}},
      {"a link to a folder the walk also reaches directly", "\\Direct",
       {{"\\Direct\\real", "it.cab", "it-IT"}},
       {{"\\Direct\\a", "\\Direct\\real"}},
       {"Italian"},
       {"\\Direct\\a\\it.cab"}},
#ifndef _WIN32
      {"a link to the root of the drive", "\\Packs",
       {{"\\Packs", "de.cab", "de-DE"}, {"\\Other", "es.cab", "es-ES"}},
       {{"\\Packs\\drive", ""}},
       {"German", "Spanish"},
       {"\\Packs\\de.cab", "\\Packs\\drive\\Other\\es.cab"}},
      // Met first through a link whose path is too long for the extraction
      // command, the folder is walked again by its short path.
      {"a long link listed before the folder it leads to", "\\Long",
       {{"\\Long\\z", "de.cab", "de-DE"}, {"\\Long\\z", "f.cab", "fr-FR"}},
       {{"\\Long\\a" + std::string(110, 'a'), "\\Long\\z"}},
       {"German", "French"},
       {"\\Long\\z\\de.cab", "\\Long\\z\\f.cab"}},
      // On the long path only the folder below it is too deep: the folder
      // is not done, and its short path still reaches the pack below.
      {"a long link to a folder whose subfolder is too deep on it", "\\Deep",
       {{"\\Deep", "fr.cab", "fr-FR"}, {"\\Deep\\Z\\it-IT", "lp.cab", "it-IT"}},
       {{"\\Deep\\" + std::string(110, 'a'), "\\Deep\\Z"}},
       {"French", "Italian"},
       {"\\Deep\\fr.cab", "\\Deep\\Z\\it-IT\\lp.cab"}},
      // The quotes a blank brings cost the command two units more than the
      // unit the second path is longer by: the cabinet fits only there.
      {"a folder met by a path with a blank, then by one a unit longer", "\\Blank",
       {{"\\Blank\\xyzq", std::string(205, 'p') + ".cab", "pl-PL"}},
       {{"\\Blank\\a b", "\\Blank\\xyzq"}},
       {"Polish"},
       {"\\Blank\\xyzq\\" + std::string(205, 'p') + ".cab"}},
#endif
  };
  for (const auto& c : cases) {
    TestMachine machine;
    const std::string& packRoot = machine.PackRoot();
#ifdef _WIN32
    const std::string base = packRoot.substr(0, packRoot.rfind('\\')) + "\\links";
#else
    const std::string base = packRoot.substr(0, packRoot.find('\\'));  // D:
#endif
    for (const auto& p : c.packs) machine.MakePack(base + p.dir, p.file, p.tag);
    for (const auto& l : c.links) {
#ifdef _WIN32
      ASSERT_TRUE(machine.Exists(base + l.link)) << l.link << ": not made by run-wine-test.sh";
#else
      machine.MakeFolderLink(base + l.link, base + (*l.target ? l.target : "\\"));
#endif
    }
    EXPECT_EQ(ScanLanguagePacks(base + c.root), static_cast<std::int32_t>(c.found.size())) << c.label;
    EXPECT_EQ(DiscoveredNames(), c.found) << c.label;
    std::vector<std::string> extracted;
    for (const auto& cabinet : c.extracted) extracted.push_back(base + cabinet);
    EXPECT_EQ(ExtractedCabinets(machine), extracted) << c.label;
    for (const auto& cabinet : extracted) {
      EXPECT_FALSE(machine.Exists(cabinet.substr(0, cabinet.rfind('\\')) + "\\langcfg.ini")) << c.label;
    }
  }
}

#ifndef _WIN32
// The walk against a plain search of the same tree: every path from the root,
// in listing order, skipping only a folder the path already passes through
// (by identity; without file IDs a folder is known by its path alone).  A
// cabinet counts where a path first reaches it with its paths and extraction
// command within their limits; nothing is extracted twice.  Trees of folders,
// cabinets (packs, cabinets without langcfg.ini, a language outside the
// catalogue) and links to any folder (itself, an ancestor, a sibling), with
// names long enough, and blanks, to cross the command's limit on some paths.
namespace walk_model {

struct Entry {
  std::string name;
  int folder = -1;  // a folder or a link to one; -1 for a cabinet
  std::string tag;
};
struct Tree {
  std::vector<std::string> paths;           // Windows path of each folder; 0 is the root
  std::vector<std::vector<Entry>> entries;  // of each folder, in listing order
};

// The listing's order: NTFS's, by upper case.
std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Quoted(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

struct Search {
  const Tree& tree;
  bool ids;
  std::vector<int> through;  // the folders of the current path
  std::set<std::pair<std::string, std::string>> examined;
  std::vector<std::string> extracted, found;

  void Walk(int folder, const std::string& path) {
    if ((path + "\\*.*").size() >= kPathUnits) return;
    if (ids && std::find(through.begin(), through.end(), folder) != through.end()) return;
    through.push_back(folder);
    const std::string key = ids ? std::to_string(folder) : path;
    for (const Entry& e : tree.entries[static_cast<std::size_t>(folder)]) {
      const std::string sub = path + "\\" + e.name;
      if (e.folder >= 0) {
        if (sub.size() < kPathUnits) Walk(e.folder, sub);
      } else if (examined.count({key, e.name}) == 0) {
        const std::string command = "expand " + Quoted(sub) + " -F:langcfg.ini " + Quoted(path);
        if (sub.size() < kPathUnits && (path + "\\langcfg.ini").size() < kPathUnits && command.size() < kPathUnits) {
          examined.insert({key, e.name});
          extracted.push_back(Quoted(sub));
          if (const int position = FindLanguageByCode(e.tag); !e.tag.empty() && position != kLanguageCount)
            found.emplace_back(LanguageCatalogue[static_cast<std::size_t>(position)].name);
        }
      }
      if (found.size() >= kSlotCount) break;
    }
    through.pop_back();
  }
};

// A name of letters with blanks inside, mostly short, now and then long.
std::string Name() {
  const int length = *rc::gen::weightedOneOf<int>({{5, rc::gen::inRange(1, 6)}, {1, rc::gen::inRange(30, 101)}});
  std::string name = *rc::gen::container<std::string>(static_cast<std::size_t>(length), rc::gen::elementOf(std::string("abz ")));
  name.front() = 'k';
  name.back() = 'm';
  return name;
}

// A name not yet used in the folder (names differ regardless of case on Windows).
std::string Unique(std::set<std::string>& used, std::string name) {
  for (int n = 0; !used.insert(name).second; ++n) name += static_cast<char>('0' + n % 10);
  return name;
}

}  // namespace walk_model

RC_GTEST_PROP(PackScan, FindsEveryPackSomePathWithinTheLimitReachesOnce, ()) {
  using namespace walk_model;
  const bool ids = *rc::gen::weightedElement<bool>({{4, true}, {1, false}});
  TestMachine machine;
  if (!ids) machine.Change([](sim::Machine& m) { m.Ini().Set("disk", "file_ids", "0"); });
  Tree tree;
  tree.paths.push_back(machine.PackRoot());
  tree.entries.emplace_back();
  std::vector<std::set<std::string>> used(1);
  const int folders = *rc::gen::inRange(1, 7);
  for (int i = 1; i < folders; ++i) {
    const int parent = *rc::gen::inRange(0, i);
    const std::string name = Unique(used[static_cast<std::size_t>(parent)], Name());
    tree.paths.push_back(tree.paths[static_cast<std::size_t>(parent)] + "\\" + name);
    tree.entries.emplace_back();
    used.emplace_back();
    tree.entries[static_cast<std::size_t>(parent)].push_back({name, i, ""});
    machine.MakeDirectory(tree.paths.back());
  }
  const std::vector<std::string> tags = {"", "ja-JP", "de-DE", "fr-FR", "it-IT", "es-ES", "pl-PL", "cs-CZ"};
  const int cabinets = *rc::gen::inRange(0, 8);
  for (int i = 0; i < cabinets; ++i) {
    const auto folder = static_cast<std::size_t>(*rc::gen::inRange(0, folders));
    const std::string name = Unique(used[folder], Name()) + ".cab";
    const std::string tag = *rc::gen::elementOf(tags);
    tree.entries[folder].push_back({name, -1, tag});
    machine.MakePack(tree.paths[folder], name, tag);
  }
  // Without file IDs a loop is walked until the path limit ends it: one link.
  const int links = *rc::gen::inRange(0, ids ? 4 : 2);
  for (int i = 0; i < links; ++i) {
    const auto folder = static_cast<std::size_t>(*rc::gen::inRange(0, folders));
    const int target = *rc::gen::inRange(0, folders);
    const std::string name = Unique(used[folder], Name());
    tree.entries[folder].push_back({name, target, ""});
    machine.MakeFolderLink(tree.paths[folder] + "\\" + name, tree.paths[static_cast<std::size_t>(target)]);
  }
  for (auto& list : tree.entries) {
    std::sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) { return Upper(a.name) < Upper(b.name); });
  }
  Search model{tree, ids, {}, {}, {}, {}};
  model.Walk(0, tree.paths[0]);
  if (model.found.size() > kSlotCount) model.found.resize(kSlotCount);

  RC_ASSERT(ScanLanguagePacks(tree.paths[0]) == static_cast<std::int32_t>(model.found.size()));
  RC_ASSERT(DiscoveredNames() == model.found);
  RC_ASSERT(ExtractedCabinets(machine) == model.extracted);
  for (const std::string& path : tree.paths) RC_ASSERT(!machine.Exists(path + "\\langcfg.ini"));
}
#endif

// What the walk knows a folder by: the same however the path spells it,
// different for another folder, and nothing for what is no folder.
TEST(FolderIdentity, OneFolderHoweverSpelledAndNoOther) {
  TestMachine machine;
  const std::string root = machine.PackRoot();
  machine.MakeDirectory(root + "\\sub");
  machine.WriteFile(root + "\\note.txt", "not a folder");
  platform::FolderIdentity expected;
  ASSERT_TRUE(platform::QueryFolderIdentity(root, expected));
  const struct {
    std::string path;
    bool read;
    bool same;
  } cases[] = {
      {root + "\\.", true, true},
      {root + "\\sub\\..", true, true},
      {root + "\\sub", true, false},
      {root + "\\missing", false, false},
      {root + "\\note.txt", false, false},
  };
  for (const auto& c : cases) {
    platform::FolderIdentity identity;
    EXPECT_EQ(platform::QueryFolderIdentity(c.path, identity), c.read) << c.path;
    if (c.read) {
      EXPECT_EQ(identity == expected, c.same) << c.path;
    }
  }
}

TEST(PackScan, NoSlotIsWrittenPastTheFourteenth) {
  TestMachine machine;
  // Listed before "." and "..", so it is met before the walk can stop.
  machine.MakePack(machine.PackRoot(), "!fr.cab", "fr-FR");
  for (auto& slot : Engine().DiscoveredPacks) slot.name.Assign("German");
  Engine().DiscoveredCount = kSlotCount;
  EXPECT_EQ(ScanPackDirectory(machine.PackRoot()), kSlotCount);
  EXPECT_EQ(Engine().DiscoveredCount, kSlotCount);
  EXPECT_TRUE(machine.CommandsOf("expand").empty());
}

TEST(PackScan, FailedPackageQueryKeepsThePreviousResult) {
  TestMachine machine;
  machine.MakePack(machine.PackRoot(), "de.cab", "de-DE");
  ASSERT_EQ(ScanLanguagePacks(machine.PackRoot()), 1);
  machine.Change([](sim::Machine& m) { m.SetPackage(Identity("ja-JP"), sim::kInstalled); });
  EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), kErrPackName);
  EXPECT_EQ(Engine().DiscoveredPacks[0].name.Str(), "German");
}

TEST(PackScan, PathsWithBlanksAreQuotedOthersAreNot) {
  TestMachine machine({"de-DE", {"de-DE"}, false});
  const std::string root = machine.PackRoot() + "\\Language Packs";
  machine.MakePack(root, "fr.cab", "fr-FR");
  ASSERT_EQ(ScanLanguagePacks(root), 1);
  EXPECT_EQ(machine.CommandsOf("expand")[0],
            "expand \"" + root + "\\fr.cab\" -F:langcfg.ini \"" + root + "\" => 0");
  ASSERT_EQ(ChangeLanguage("French"), kOk);
  EXPECT_EQ(machine.CommandsOf("dism.exe")[1],
            "dism.exe /online /add-package /packagepath:\"" + root + "\\fr.cab\" => 0");
}

TEST(PackScan, PathTooLongForTheExtractionCommandIsSkipped) {
  TestMachine machine;
  // 2 x directory + file name + the command's own text passes 259 units.
  const std::string deep = machine.PackRoot() + "\\" + std::string(120, 'd');
  machine.MakePack(deep, "de.cab", "de-DE");
  machine.MakePack(machine.PackRoot(), "fr.cab", "fr-FR");
  EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), 1);
  EXPECT_EQ(DiscoveredNames(), (std::vector<std::string>{"French"}));
  for (const auto& line : machine.CommandsOf("expand")) EXPECT_EQ(line.find(std::string(120, 'd')), std::string::npos);
}

#ifndef _WIN32
// The simulated machine is a sandbox: a root that is a host path, or climbs
// out of a drive with "..", finds nothing and leaves the host's files alone;
// a root without a drive is on C:, a relative one under C:\Kestrio.  The
// root "\" makes the pattern "\\*.*", a network path on Windows: nothing.
TEST(PackScan, RootsStayInsideTheSimulatedMachine) {
  TestMachine machine;
  // The host folder holding the machine folder, with a pack and a langcfg.ini.
  const fs::path machineDir = platform::posix::MachineDir();
  const fs::path outside = machineDir.parent_path() / "outside";
  fs::create_directories(outside);
  std::string error;
  ASSERT_TRUE(sim::WriteCabinet((outside / "es.cab").string(), {{"langcfg.ini", "[LangInfo]\r\nLanguage=es-ES\r\n"}},
                                &error));
  sim::WriteFileAtomically((outside / "langcfg.ini").string(), "[LangInfo]\r\nLanguage=it-IT\r\n", nullptr);
  std::string windowsForm = outside.string();
  for (char& c : windowsForm)
    if (c == '/') c = '\\';
  machine.MakePack("C:\\Packs", "fr.cab", "fr-FR");
  machine.MakePack("C:\\Kestrio\\Packs", "it.cab", "it-IT");
  struct Case {
    std::string root;
    std::int32_t found;  // -1: not looked at
    const char* first;
  };
  const Case cases[] = {
      {windowsForm, 0, ""},                                      // "\tmp\..." is C:\tmp\...
      {outside.string(), 0, ""},                                 // so is "/tmp/..."
      {"C:\\..\\..\\outside", 0, ""},                            // climbs out of C:
      {"D:\\Packs\\..\\..\\..\\outside", 0, ""},
      {"..\\..\\..\\outside", 0, ""},                            // out of C: from the working directory
      {"\\", 0, ""},                                             // "\\*.*" is a network path
      {"/", 0, ""},
      {"C:\\", 2, "Italian"},                                   // C:\Kestrio before C:\Packs
      {"\\Packs", 1, "French"},                                  // no drive: on C:
      {"", -1, ""},
      {"/Kestrio/Packs", 1, "Italian"},
      {"Packs", 1, "Italian"},                                   // under the working directory
  };
  for (const auto& c : cases) {
    const std::int32_t found = ScanLanguagePacks(c.root);
    if (c.found >= 0) {
      EXPECT_EQ(found, c.found) << "root " << c.root;
    }
    if (c.found > 0) {
      EXPECT_EQ(Engine().DiscoveredPacks[0].name.Str(), c.first) << "root " << c.root;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(outside)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"es.cab", "langcfg.ini"})) << "root " << c.root;
  }
  std::string left;
  ASSERT_TRUE(sim::ReadWholeFile((outside / "langcfg.ini").string(), left));
  EXPECT_EQ(left, "[LangInfo]\r\nLanguage=it-IT\r\n");
}
#endif

}  // namespace
}  // namespace kestrio::engine
