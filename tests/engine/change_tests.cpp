// The language change on simulated machines with real cabinets.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "engine/change.h"
#include "engine/checks.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
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
  const Case cases[] = {
      {"protected volume before the name", false,
       [](sim::Machine& m) {
         m.Ini().Set("fbwf", "enabled", "1");
         m.Ini().Set("fbwf", "protected", "1");
       },
       std::nullopt, kErrProtected},
      {"no name", false, {}, std::nullopt, kErrLanguageName},
      {"the current language", false, {}, "German", kErrSameLanguage},
      {"not discovered", false, {}, "Italian", kErrLanguageName},
      {"differs in case", false, {}, "spanish", kErrLanguageName},
#ifndef _WIN32
      {"free space query fails", false, set("disk", "fail", "1"), "Spanish", kErrDiskQuery},
      {"one byte short", false, set("disk", "free_bytes", "419430399"), "Spanish", kErrFreeSpace},
      {"rollup threshold", true, set("disk", "free_bytes", "786431999"), "Spanish", kErrFreeSpace},
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
  Prepare(false);
  for (auto& slot : Engine().InstalledPacks) {
    slot.package.Assign(Identity("fr-FR") + std::string(160, '1'));
    slot.name.Assign("French");
  }
  EXPECT_EQ(ChangeLanguage("Spanish"), kErrRemove);
  EXPECT_TRUE(machine_->Commands().empty());
}

}  // namespace
}  // namespace kestrio::engine
