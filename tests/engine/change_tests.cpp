// System checks, pack discovery and the language change, on simulated
// machines with real cabinets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "engine/change.h"
#include "engine/checks.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "platform/platform.h"
#include "sim/tools.h"
#ifndef _WIN32
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

TEST(OperatingSystemCheck, AcceptsOnlyVersionSixWithTheEmbeddedSuite) {
  struct Case {
    const char* label;
    const char* version;
    std::vector<std::string> suite;
    std::int32_t status;
  };
  const Case cases[] = {
      {"windows 7 embedded", "6.1.7601", {"Terminal Server", "EmbeddedNT"}, kOk},
      {"any minor version of 6", "6.3.9600", {"Terminal Server", "EmbeddedNT"}, kOk},
      {"version 5", "5.1.2600", {"Terminal Server", "EmbeddedNT"}, kErrOsVersion},
      {"version 10", "10.0.19045", {"Terminal Server", "EmbeddedNT"}, kErrOsVersion},
      {"embedded as the first string", "6.1.7601", {"EmbeddedNT"}, kErrOsVersion},
      {"first string of another length", "6.1.7601", {"Terminal Servers", "EmbeddedNT"}, kErrOsVersion},
      {"capitals", "6.1.7601", {"Terminal Server", "EMBEDDEDNT"}, kErrOsVersion},
      {"data ends before the edition", "6.1.7601", {"Terminal"}, kErrOsVersion},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.SetProductSuite(c.suite);
#ifdef _WIN32
    if (std::string(c.version) != "6.1.7601") continue;  // Wine reports its own version
#else
    machine.Change([&](sim::Machine& m) { m.Ini().Set("os", "version", c.version); });
#endif
    EXPECT_EQ(CheckOperatingSystem(), c.status) << c.label;
  }
}

TEST(WriteFilterCheck, RefusesOnlyAVolumeProtectedNow) {
  using Library = TestMachine::FilterLibrary;
  struct Case {
    const char* label;
    Library library;
    std::vector<std::pair<const char*, const char*>> facts;
    std::int32_t status;
  };
  const Case cases[] = {
      {"filter off", Library::Installed, {}, kOk},
      {"filter on, C: protected now", Library::Installed, {{"enabled", "1"}, {"protected", "1"}}, kErrProtected},
      {"filter on, C: protected next session only", Library::Installed, {{"enabled", "1"}, {"protected_next", "1"}},
       kOk},
      {"filter off now, on next session", Library::Installed, {{"enabled_next", "1"}, {"protected", "1"}}, kOk},
      {"filter library fails", Library::Installed, {{"fail", "1"}}, kErrProtected},
      {"image without the filter library", Library::Missing, {{"enabled", "1"}, {"protected", "1"}}, kOk},
      {"filter library that does not load", Library::Unloadable, {}, kErrProtected},
      {"filter library without its functions", Library::WithoutFunctions, {}, kErrProtected},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.Change([&](sim::Machine& m) {
      for (const auto& [key, value] : c.facts) m.Ini().Set("fbwf", key, value);
    });
    machine.SetFilterLibrary(c.library);
    EXPECT_EQ(CheckWriteFilter(), c.status) << c.label;
  }
}

#ifdef _WIN32
TEST(WriteFilterCheck, AsksOnlyTheLibraryOfTheSystemFolder) {
  // One beside the program, lacking the functions, would make the check fail;
  // the system's own says the filter is off.
  TestMachine machine;
  machine.PlantFilterLibraryBesideTheProgram();
  EXPECT_EQ(CheckWriteFilter(), kOk);
  machine.SetFilterLibrary(TestMachine::FilterLibrary::Missing);
  EXPECT_EQ(CheckWriteFilter(), kOk);
}
#endif

#ifndef _WIN32  // under Wine the free space is the host's own
TEST(FreeSpaceCheck, ThresholdDependsOnTheRollup) {
  struct Case {
    std::uint64_t freeBytes;
    int rollup;
    std::int32_t status;
  };
  const Case cases[] = {
      {419'430'400, 0, kOk},           {419'430'399, 0, kErrFreeSpace}, {500'000'000, 1, kErrFreeSpace},
      {786'432'000, 1, kOk},           {786'431'999, 1, kErrFreeSpace},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    machine.Change([&](sim::Machine& m) { m.Ini().Set("disk", "free_bytes", std::to_string(c.freeBytes)); });
    Engine().RollupInstalled = c.rollup;
    EXPECT_EQ(CheckFreeSpace(), c.status) << c.freeBytes << " rollup " << c.rollup;
  }
  TestMachine machine;
  machine.Change([](sim::Machine& m) { m.Ini().Set("disk", "fail", "1"); });
  EXPECT_EQ(CheckFreeSpace(), kErrDiskQuery);
}
#endif

#ifdef _WIN32
// Under Wine C: is a folder of the host: GetDiskFreeSpaceExW answers with its
// disk's free space, which the test runner measured beforehand (free blocks,
// and those free to users; the disk is shared, so within 1 GiB).
TEST(FreeSpaceCheck, AsksTheSystemVolumeItself) {
  const char* measured = std::getenv("KESTRIO_HOST_FREE_BYTES");
  if (measured == nullptr) GTEST_SKIP() << "the runner measured no free space";
  unsigned long long all = 0, users = 0;
  ASSERT_EQ(std::sscanf(measured, "%llu %llu", &all, &users), 2) << measured;
  TestMachine machine;
  std::uint64_t freeBytes = 0;
  ASSERT_TRUE(platform::QueryTotalFreeBytes("C:\\", freeBytes));
  constexpr std::uint64_t kSlack = 1ull << 30;
  const auto near = [&](std::uint64_t expected) {
    return freeBytes + kSlack >= expected && freeBytes <= expected + kSlack;
  };
  EXPECT_TRUE(near(all) || near(users)) << freeBytes << " against " << measured;
  for (int rollup : {0, 1}) {
    Engine().RollupInstalled = rollup;
    const std::uint64_t required = rollup ? kFreeBytesRequiredRollup : kFreeBytesRequired;
    EXPECT_EQ(CheckFreeSpace(), freeBytes >= required ? kOk : kErrFreeSpace) << "rollup " << rollup;
  }
  std::uint64_t none = 0;
  EXPECT_FALSE(platform::QueryTotalFreeBytes("Q:\\", none)) << "a drive Wine does not map";
}
#endif

TEST(UpdatePackageCheck, LooksOnlyInTheWorkingDirectory) {
  TestMachine machine;
  machine.MakeUpdateCabinet(machine.PackRoot());
  EXPECT_EQ(CheckUpdatePackage(), kErrUpdatePackage);
  machine.MakeUpdateCabinet(machine.WorkDir());
  EXPECT_EQ(CheckUpdatePackage(), kOk);
}

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

// A machine with German current, German and French installed, and packs for
// German, French and Spanish, already scanned.
class LanguageChange : public ::testing::Test {
 protected:
  void Prepare(bool rollup, const Edit& edit = {}) {
    machine_.reset();  // one machine at a time
    machine_ = std::make_unique<TestMachine>(MachineOptions{"de-DE", {"de-DE", "fr-FR"}, rollup});
    for (const char* tag : {"de-DE", "es-ES", "fr-FR"}) machine_->MakePack(Root(), std::string(tag) + ".cab", tag);
    if (rollup) machine_->MakeUpdateCabinet(machine_->WorkDir());
    std::string current;
    ASSERT_EQ(GetCurrentLanguage(current), kOk);
    ASSERT_EQ(ScanLanguagePacks(Root()), 3);
    if (edit) machine_->Change(edit);
    machine_->ClearCommands();
  }
  std::string Root() const { return machine_->PackRoot(); }
  std::vector<std::string> Dism() const { return machine_->CommandsOf("dism.exe"); }
  std::unique_ptr<TestMachine> machine_;
};

TEST_F(LanguageChange, RunsAddBootLocaleAndRemoveThenTheRestartLeavesSpanish) {
  Prepare(false);
  ASSERT_EQ(ChangeLanguage("Spanish"), kOk);
  EXPECT_EQ(machine_->Commands(),
            (std::vector<std::string>{
                "dism.exe /online /add-package /packagepath:" + Root() + "\\es-ES.cab => 0",
                "bcdedit /set {current} locale es-ES => 0",
                "dism.exe /online /remove-package /packageName:" + Identity("de-DE") +
                    " /packageName:" + Identity("fr-FR") + " /quiet => 0",
            }));
  sim::Machine after = machine_->Load();
  EXPECT_TRUE(after.Flag("boot", "restart_pending"));
  sim::Reboot(after);
  std::string error;
  ASSERT_TRUE(after.Save(&error)) << error;
#ifndef _WIN32
  std::string current;
  ASSERT_EQ(GetCurrentLanguage(current), kOk);
  EXPECT_EQ(current, "Spanish");
#endif
  EXPECT_EQ(sim::LanguagePackTags(after), (std::vector<std::string>{"es-ES"}));
}

TEST_F(LanguageChange, KeepsAnInstalledPackOfTheRequestedLanguage) {
  Prepare(true);
  ASSERT_EQ(ChangeLanguage("French"), kOk);
  EXPECT_EQ(Dism(), (std::vector<std::string>{
                        "dism.exe /online /add-package /packagepath:" + Root() + "\\fr-FR.cab => 0",
                        "dism.exe /online /remove-package /packageName:" + Identity("de-DE") +
                            " /quiet /norestart => 3010",
                        "dism.exe /online /add-package /packagepath:windows6.1-kb4012215-x86.cab /quiet => 3010",
                    }));
}

TEST_F(LanguageChange, ChecksFailInTheirOrderBeforeAnythingRuns) {
  struct Case {
    const char* label;
    bool rollup;
    Edit edit;
    std::optional<std::string_view> name;
    std::int32_t status;
  };
  [[maybe_unused]] const auto set = [](const char* section, const char* key, const char* value) -> Edit {
    return [=](sim::Machine& m) { m.Ini().Set(section, key, value); };
  };
  [[maybe_unused]] const auto both = [](Edit a, Edit b) -> Edit {
    return [=](sim::Machine& m) {
      a(m);
      b(m);
    };
  };
  const Edit protect = [](sim::Machine& m) {
    m.Ini().Set("fbwf", "enabled", "1");
    m.Ini().Set("fbwf", "protected", "1");
  };
  [[maybe_unused]] const Edit noUpdate = [](sim::Machine& m) {
    std::error_code ec;
    fs::remove(m.HostPath(std::string(sim::kProgramDir) + "\\" + std::string(sim::kUpdateCabinet)), ec);
  };
  const Case cases[] = {
      {"protected volume before the name", false, protect, std::nullopt, kErrProtected},
      {"no name", false, {}, std::nullopt, kErrLanguageName},
      {"the current language", false, {}, "German", kErrSameLanguage},
      {"not discovered", false, {}, "Italian", kErrLanguageName},
      {"differs in case", false, {}, "spanish", kErrLanguageName},
#ifndef _WIN32
      {"free space query fails", false, set("disk", "fail", "1"), "Spanish", kErrDiskQuery},
      {"one byte short", false, set("disk", "free_bytes", "419430399"), "Spanish", kErrFreeSpace},
      {"rollup threshold", true, set("disk", "free_bytes", "786431999"), "Spanish", kErrFreeSpace},
      // Two checks failing at once: the earlier one answers.
      {"protected and the current language", false, protect, "German", kErrProtected},
      {"protected and short of space", false, both(protect, set("disk", "free_bytes", "1")), "Spanish",
       kErrProtected},
      {"no name and short of space", false, set("disk", "free_bytes", "1"), std::nullopt, kErrLanguageName},
      {"current language and short of space", false, set("disk", "fail", "1"), "German", kErrSameLanguage},
      {"not discovered and short of space", false, set("disk", "free_bytes", "1"), "Italian", kErrLanguageName},
      {"not discovered and the space query fails", false, set("disk", "fail", "1"), "Italian", kErrLanguageName},
      {"short of space and no update cabinet", true, both(set("disk", "free_bytes", "419430400"), noUpdate),
       "Spanish", kErrFreeSpace},
      {"space query fails and no update cabinet", true, both(set("disk", "fail", "1"), noUpdate), "Spanish",
       kErrDiskQuery},
      {"protected and no update cabinet", true, both(protect, noUpdate), "Spanish", kErrProtected},
      {"no update cabinet", true, noUpdate, "Spanish", kErrUpdatePackage},
#endif
  };
  for (const auto& c : cases) {
    Prepare(c.rollup, c.edit);
    EXPECT_EQ(ChangeLanguage(c.name), c.status) << c.label;
    EXPECT_TRUE(machine_->Commands().empty()) << c.label;
  }
}

TEST_F(LanguageChange, UpdateCabinetOnlyInThePackTreeGivesMinus14) {
  Prepare(true);
  machine_->Remove(machine_->WorkDir() + "\\windows6.1-kb4012215-x86.cab");
  machine_->MakeUpdateCabinet(Root());
  EXPECT_EQ(ChangeLanguage("Spanish"), kErrUpdatePackage);
  EXPECT_TRUE(machine_->Commands().empty());
}

TEST_F(LanguageChange, ExitStatusesOfTheSteps) {
  struct Case {
    const char* label;
    bool rollup;
    const char* step;
    const char* exit;
    std::int32_t status;
    std::size_t commandsRun;
  };
  const Case cases[] = {
      {"add answers 3010", false, "add-package", "3010", kErrInstall, 1},
      {"add fails", false, "add-package", "2", kErrInstall, 1},
      {"boot locale fails unnoticed", false, "bcdedit", "1", kOk, 3},
      {"remove answers 3010", false, "remove-package", "3010", kOk, 3},
      {"remove fails", false, "remove-package", "87", kErrRemove, 3},
      {"update answers 0", true, "add-update", "0", kErrInstall, 4},
      {"update answers 3010", true, "add-update", "3010", kOk, 4},
  };
  for (const auto& c : cases) {
    Prepare(c.rollup, [&](sim::Machine& m) { m.Ini().Set("exit", c.step, c.exit); });
    EXPECT_EQ(ChangeLanguage("Spanish"), c.status) << c.label;
    EXPECT_EQ(machine_->Commands().size(), c.commandsRun) << c.label;
  }
}

TEST_F(LanguageChange, WithNothingInstalledTheRemoveCommandIsBare) {
  for (bool rollup : {false, true}) {
    Prepare(rollup, [](sim::Machine& m) { m.Ini().Set("exit", "remove-package", "0"); });
    for (auto& slot : Engine().InstalledPacks) slot.Clear();
    EXPECT_EQ(ChangeLanguage("Spanish"), kOk);
    ASSERT_GE(Dism().size(), 2u);
    EXPECT_EQ(Dism()[1], std::string("dism.exe /online /remove-package /quiet") +
                             (rollup ? " /norestart" : "") + " => 0");
  }
}

TEST_F(LanguageChange, AfterAFailedPackageQueryTheRemoveStepStillNamesThePackItCouldNotName) {
  Prepare(false, [](sim::Machine& m) { m.SetPackage(Identity("ja-JP"), sim::kInstalled); });
  ASSERT_EQ(ScanLanguagePacks(Root()), kErrPackName);
  machine_->ClearCommands();
  ASSERT_EQ(ChangeLanguage("Spanish"), kOk);
  ASSERT_GE(Dism().size(), 2u);
  EXPECT_EQ(Dism()[1], "dism.exe /online /remove-package /packageName:" + Identity("de-DE") + " /packageName:" +
                           Identity("fr-FR") + " /packageName:" + Identity("ja-JP") + " /quiet => 0");
}

TEST_F(LanguageChange, RemoveCommandTooLongIsRefusedBeforeAnythingRuns) {
  // "dism.exe /online /remove-package" (32 units), " /packageName:" (14) and
  // an identity per slot, " /quiet" (7): eight identities of 237 units make
  // 2047, the most the command buffer holds with its terminator.
  struct Case {
    const char* label;
    std::size_t slots;
    std::size_t identityUnits;
    const char* padding;  // one UTF-16 unit
    bool runs;
  };
  const Case cases[] = {
      {"14 long identities", 14, 200, "1", false},
      {"2047 units", 8, 237, "1", true},
      {"2048 units", 8, 237, "1", false},  // one more unit in the last slot
#ifndef _WIN32
      {"2047 units, each pad 2 bytes", 8, 237, "\xc3\xa9", true},
      {"2048 units, each pad 2 bytes", 8, 237, "\xc3\xa9", false},
#endif
  };
  for (const auto& c : cases) {
    Prepare(false);
    for (auto& slot : Engine().InstalledPacks) slot.Clear();
    const bool longer = std::string(c.label).find("2048") != std::string::npos;
    for (std::size_t k = 0; k < c.slots; ++k) {
      std::string identity = Identity("fr-FR");
      const std::size_t units = c.identityUnits + (longer && k + 1 == c.slots ? 1 : 0);
      for (std::size_t u = Identity("fr-FR").size(); u < units; ++u) identity += c.padding;
      ASSERT_TRUE(Engine().InstalledPacks[k].package.Assign(identity)) << c.label;
      Engine().InstalledPacks[k].name.Assign("French");
    }
    const std::int32_t result = ChangeLanguage("Spanish");
    if (c.runs) {
      ASSERT_EQ(Dism().size(), 2u) << c.label;
      EXPECT_EQ(text::Utf16Length(Dism()[1].substr(0, Dism()[1].rfind(" => "))), 2047u) << c.label;
    } else {
      EXPECT_EQ(result, kErrRemove) << c.label;
      EXPECT_TRUE(machine_->Commands().empty()) << c.label;
    }
  }
}

}  // namespace
}  // namespace kestrio::engine
