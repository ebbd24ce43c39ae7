// The current language and the installed packages, on a simulated machine.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "engine/installed.h"
#include "engine/language.h"
#include "engine/runner.h"
#include "support/test_machine.h"

namespace kestrio::engine {
namespace {

using test::MachineOptions;
using test::TestMachine;

using namespace std::string_literals;

struct CurrentLanguageCase {
  const char* label;
  std::uint32_t type;   // 0: no value at all
  std::u16string data;  // the value's units as stored, NULs included
  std::int32_t status;
  const char* code;
  const char* name;
};

TEST(CurrentLanguage, NamesTheSingleTagOfTheRegistryValue) {
  const CurrentLanguageCase cases[] = {
      {"multi-string as Windows keeps it (12 bytes)", sim::kRegMultiSz, u"de-DE\0"s, kOk, "de-DE", "German"},
      {"multi-string with its closing empty string (14 bytes)", sim::kRegMultiSz, u"de-DE\0\0"s, kOk, "de-DE",
       "German"},
      {"plain string", sim::kRegSz, u"zh-CN\0"s, kOk, "zh-CN", "Chinese"},
      {"plain string without its NUL", sim::kRegSz, u"fr-FR"s, kOk, "fr-FR", "French"},
      {"two tags", sim::kRegMultiSz, u"de-DE\0en-US\0\0"s, kErrCurrentLanguage, "", ""},
      {"14 bytes that are not one closed tag", sim::kRegMultiSz, u"de-DE\0x"s, kErrCurrentLanguage, "", ""},
      {"a tag of six characters and its NUL", sim::kRegSz, u"de-DEx\0"s, kErrCurrentLanguage, "", ""},
      {"outside the catalogue", sim::kRegMultiSz, u"ja-JP\0"s, kErrCurrentLanguage, "", ""},
      {"lower case", sim::kRegMultiSz, u"de-de\0"s, kErrCurrentLanguage, "", ""},
      {"value missing", 0, u""s, kErrCurrentLanguage, "", ""},
  };
  for (const auto& c : cases) {
    TestMachine machine;
    if (c.type == 0) machine.SetLanguageValue({});
    else machine.SetLanguageData(c.type, c.data);
    std::string name = "unchanged";
    EXPECT_EQ(GetCurrentLanguage(name), c.status) << c.label;
    if (c.status == kOk) {
      EXPECT_EQ(name, c.name) << c.label;
      EXPECT_EQ(Engine().CurrentLanguage.name.Str(), c.name) << c.label;
      EXPECT_EQ(Engine().CurrentLanguage.code.Str(), c.code) << c.label;
    } else {
      EXPECT_EQ(name, "unchanged") << c.label;
    }
  }
  // The value as the machine is set up with it.
  TestMachine machine({"it-IT", {}, false});
  std::string name;
  EXPECT_EQ(GetCurrentLanguage(name), kOk);
  EXPECT_EQ(name, "Italian");
}

TEST(InstalledPackages, FillsSlotsInListingOrderAndNotesTheRollup) {
  TestMachine machine({"de-DE", {"de-DE", "fr-FR"}, true});
  ASSERT_EQ(QueryInstalledPackages(), kOk);
  const auto& slots = Engine().InstalledPacks;
  EXPECT_EQ(slots[0].code.Str(), "de-DE");
  EXPECT_EQ(slots[0].name.Str(), "German");
  EXPECT_EQ(slots[0].package.Str(),
            "Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~de-DE~6.1.7601.17514");
  EXPECT_EQ(slots[1].name.Str(), "French");
  for (std::size_t i = 2; i < slots.size(); ++i) EXPECT_TRUE(slots[i].package.Empty()) << i;
  EXPECT_EQ(Engine().RollupInstalled, 1);
  EXPECT_EQ(machine.Commands(),
            (std::vector<std::string>{"dism.exe /online /get-packages /format:table => 0",
                                      "cmd.exe /c dism.exe /online /get-packages /format:table > "
                                      "C:\\Windows\\Temp\\packages.log => 0"}));
}

TEST(InstalledPackages, RollupFlagStaysSetAfterAListingWithoutIt) {
  TestMachine machine({"de-DE", {"de-DE"}, true});
  ASSERT_EQ(QueryInstalledPackages(), kOk);
  machine.Change([](sim::Machine& m) {
    m.Ini().Remove("packages", sim::kRollupIdentity);
    m.SetInstalledLanguages({"fr-FR"});
  });
  ASSERT_EQ(QueryInstalledPackages(), kOk);
  EXPECT_EQ(Engine().RollupInstalled, 1);
  EXPECT_EQ(Engine().InstalledPacks[0].name.Str(), "French");
  EXPECT_TRUE(Engine().InstalledPacks[1].package.Empty());
}

TEST(InstalledPackages, ListingWithoutLanguagePacksLeavesSlotsEmpty) {
  TestMachine machine({"de-DE", {}, false});
  ASSERT_EQ(QueryInstalledPackages(), kOk);
  EXPECT_TRUE(Engine().InstalledPacks[0].package.Empty());
  EXPECT_EQ(Engine().RollupInstalled, 0);
}

struct RefusedListingCase {
  const char* label;
  std::vector<std::string> identities;  // language-pack identities in store order
  std::size_t filledBeforeStop;         // slots named before the one that fails
  std::string failingPackage;           // what the failing slot keeps
  std::string failingCode;
};

TEST(InstalledPackages, PackThatCannotBeNamedEndsTheQueryWithMinus13) {
  const std::string prefix = "Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~";
  const std::string fewFields = "Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35";
  const RefusedListingCase cases[] = {
      {"tag outside the catalogue",
       {prefix + "de-DE~6.1", prefix + "ja-JP~6.1", prefix + "fr-FR~6.1"}, 1, prefix + "ja-JP~6.1", "ja-JP"},
      {"tag longer than five characters", {prefix + "de-DE-x~6.1"}, 0, prefix + "de-DE-x~6.1", ""},
      {"fewer than four fields", {fewFields}, 0, fewFields, ""},
      {"identity longer than a path", {prefix + "fr-FR~" + std::string(250, '7')}, 0, "", ""},
  };
  for (const auto& c : cases) {
    TestMachine machine({"de-DE", {}, false});
    machine.Change([&](sim::Machine& m) {
      for (const auto& id : c.identities) m.SetPackage(id, sim::kInstalled);
    });
    EXPECT_EQ(QueryInstalledPackages(), kErrPackName) << c.label;
    const auto& slots = Engine().InstalledPacks;
    for (std::size_t i = 0; i < c.filledBeforeStop; ++i) EXPECT_FALSE(slots[i].name.Empty()) << c.label << " slot " << i;
    const LanguageInfo& failing = slots[c.filledBeforeStop];
    EXPECT_EQ(failing.package.Str(), c.failingPackage) << c.label;
    EXPECT_EQ(failing.code.Str(), c.failingCode) << c.label;
    EXPECT_TRUE(failing.name.Empty()) << c.label;
    for (std::size_t i = c.filledBeforeStop + 1; i < slots.size(); ++i)
      EXPECT_TRUE(slots[i].package.Empty()) << c.label << " slot " << i;
  }
}

TEST(InstalledPackages, MoreLanguagePacksThanSlotsFillFourteenAndStopThere) {
  TestMachine machine({"de-DE", {}, false});
  machine.Change([](sim::Machine& m) {
    for (int i = 0; i < 16; ++i)
      m.SetPackage("Microsoft-Windows-Embedded-LanguagePack-Package~31bf3856ad364e35~x86~de-DE~6.1.7601." +
                       std::to_string(17000 + i),
                   sim::kInstalled);
    m.SetPackage(sim::kRollupIdentity, sim::kInstalled);  // listed after the sixteen packs
  });
  ASSERT_EQ(QueryInstalledPackages(), kOk);
  for (const auto& slot : Engine().InstalledPacks) EXPECT_EQ(slot.name.Str(), "German");
  EXPECT_EQ(Engine().RollupInstalled, 1);
}

TEST(InstalledPackages, FailingPackageToolGivesMinus13) {
  TestMachine machine({"de-DE", {"de-DE"}, false});
  machine.Change([](sim::Machine& m) { m.Ini().Set("exit", "get-packages", "5"); });
  EXPECT_EQ(QueryInstalledPackages(), kErrPackName);
}

}  // namespace
}  // namespace kestrio::engine
