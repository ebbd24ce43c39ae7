// The language change, on simulated machines with real cabinets.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/change.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "sim/tools.h"
#include "support/test_machine.h"

namespace kestrio::engine {
namespace {

using test::MachineOptions;
using test::TestMachine;
using Edit = std::function<void(sim::Machine&)>;
namespace fs = std::filesystem;

std::string Identity(const std::string& tag) { return sim::LanguagePackIdentity(tag); }

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
  // The current language's name empty, as when it could not be read.
  const Edit currentUnknown = [](sim::Machine&) { Engine().CurrentLanguage.Clear(); };
  const Case cases[] = {
      {"protected volume before the name", false, protect, std::nullopt, kErrProtected},
      {"no name", false, {}, std::nullopt, kErrLanguageName},
      {"an empty name", false, {}, "", kErrLanguageName},
      {"an empty name, the current language unknown", false, currentUnknown, "", kErrLanguageName},
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

// A CNC in its base language (no pack installed: its English is no pack).
// The package tool refuses a removal that names nothing, so none runs; the
// restart it would have made is asked for by itself, or made by the
// re-applied update on a rollup machine, and the machine comes back in the
// new language.  Before, the bare removal's 87 failed every such change.
TEST_F(LanguageChange, ABaseLanguageMachineRemovesNothingAndStillRestartsIntoTheNewLanguage) {
  for (bool rollup : {false, true}) {
    Prepare(rollup, [](sim::Machine& m) {
      m.Ini().Remove("packages", Identity("de-DE"));
      m.Ini().Remove("packages", Identity("fr-FR"));
    });
    for (auto& slot : Engine().InstalledPacks) slot.Clear();
    EXPECT_EQ(ChangeLanguage("Spanish"), kOk) << rollup;
    const std::string add = "dism.exe /online /add-package /packagepath:" + Root() + "\\es-ES.cab => 0";
    EXPECT_EQ(machine_->Commands(),
              (std::vector<std::string>{add, "bcdedit /set {current} locale es-ES => 0",
                                        rollup ? "dism.exe /online /add-package /packagepath:windows6.1-kb4012215-x86.cab"
                                                 " /quiet => 3010"
                                               : "shutdown.exe /r /t 0 => 0"}))
        << rollup;
    sim::Machine after = machine_->Load();
    EXPECT_TRUE(after.Flag("boot", "restart_pending")) << rollup;
    sim::Reboot(after);
    EXPECT_EQ(sim::LanguagePackTags(after), (std::vector<std::string>{"es-ES"})) << rollup;
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
