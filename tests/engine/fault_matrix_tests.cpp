// Every step of a language change and of a pack scan through every way its
// tool can fail on the simulated machine: not started, each class of exit
// status, killed half-way, a spoiled listing, a corrupt cabinet.  Each cell
// checks the result, the commands that ran and what the machine holds after.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

// commands.log as "<step> <exit status>" per command, in order.
std::vector<std::string> Steps(const TestMachine& machine) {
  std::vector<std::string> out;
  for (const auto& line : machine.Commands()) {
    const auto arrow = line.rfind(" => ");
    out.push_back(sim::StepOfCommandLine(line.substr(0, arrow)) + " " + line.substr(arrow + 4));
  }
  return out;
}

// The language packs and the update in the store with their states (I
// installed, P install pending, U uninstall pending), the boot locale and
// whether a restart is pending.
std::string MachineState(const TestMachine& machine) {
  const sim::Machine m = machine.Load();
  std::string out;
  for (const auto& [id, state] : m.Packages()) {
    std::string what;
    if (id.rfind(sim::kLanguagePackPrefix, 0) == 0) what = id.substr(sim::kLanguagePackPrefix.size(), 5);
    if (id == sim::kUpdateIdentity) what = "update";
    if (what.empty()) continue;
    out += what + "=" + (state == sim::kInstalled ? "I" : state == sim::kInstallPending ? "P" : "U") + " ";
  }
  return out + "locale=" + m.Get("boot", "locale", "") + " restart=" + m.Get("boot", "restart_pending", "0");
}

struct ChangeCell {
  const char* step;   // the [exit] step, or "disk" for free bytes on C:
  const char* fault;  // an exit status, killed, not-started, or the free bytes
  bool rollup;
  std::int32_t status;
  std::vector<std::string> commands;
  const char* state;
};

// German current, German and French installed, packs for German, Spanish and
// French scanned; the change asks for Spanish.
TEST(ChangeFaultMatrix, EveryStepThroughEveryToolFailure) {
  const std::string done = "de-DE=U fr-FR=U es-ES=P locale=es-ES restart=1";
  const std::string untouched = "de-DE=I fr-FR=I locale=de-DE restart=0";
  const std::string addOnly = "de-DE=I fr-FR=I es-ES=P locale=es-ES restart=0";
  const std::string noLocale = "de-DE=U fr-FR=U es-ES=P locale=de-DE restart=1";
  const std::vector<std::string> all = {"add-package 0", "bcdedit 0", "remove-package 0"};
  const auto run3 = [](const char* bcdedit) {
    return std::vector<std::string>{"add-package 0", std::string("bcdedit ") + bcdedit, "remove-package 0"};
  };
  const auto rm = [](const char* outcome) {
    return std::vector<std::string>{"add-package 0", "bcdedit 0", std::string("remove-package ") + outcome};
  };
  const auto upd = [](const char* outcome) {
    return std::vector<std::string>{"add-package 0", "bcdedit 0", "remove-package 3010",
                                    std::string("add-update ") + outcome};
  };
  // With the rollup: the removal waits for the update, which asks for the restart.
  const std::string updDone = "de-DE=U fr-FR=U es-ES=P update=P locale=es-ES restart=1";
  const std::string updFailed = "de-DE=U fr-FR=U es-ES=P locale=es-ES restart=0";
  const ChangeCell cells[] = {
      {"", "", false, kOk, all, done.c_str()},
      {"add-package", "not-started", false, kErrInstall, {}, untouched.c_str()},
      // A tool that answers 0 without doing its work is believed.
      {"add-package", "0", false, kOk, all, "de-DE=U fr-FR=U locale=es-ES restart=1"},
      {"add-package", "3010", false, kErrInstall, {"add-package 3010"}, untouched.c_str()},
      {"add-package", "87", false, kErrInstall, {"add-package 87"}, untouched.c_str()},
      {"add-package", "1", false, kErrInstall, {"add-package 1"}, untouched.c_str()},
      {"add-package", "256", false, kErrInstall, {"add-package 256"}, untouched.c_str()},  // low byte 0
      {"add-package", "killed", false, kErrInstall, {"add-package killed"}, untouched.c_str()},
      {"bcdedit", "not-started", false, kOk, {"add-package 0", "remove-package 0"}, noLocale.c_str()},
      {"bcdedit", "0", false, kOk, all, noLocale.c_str()},
      {"bcdedit", "3010", false, kOk, run3("3010"), noLocale.c_str()},
      {"bcdedit", "87", false, kOk, run3("87"), noLocale.c_str()},
      {"bcdedit", "1", false, kOk, run3("1"), noLocale.c_str()},
      {"bcdedit", "256", false, kOk, run3("256"), noLocale.c_str()},
      {"bcdedit", "killed", false, kOk, run3("killed"), noLocale.c_str()},
      {"remove-package", "not-started", false, kErrRemove, {"add-package 0", "bcdedit 0"}, addOnly.c_str()},
      {"remove-package", "0", false, kOk, all, addOnly.c_str()},
      {"remove-package", "3010", false, kOk, rm("3010"), addOnly.c_str()},
      {"remove-package", "87", false, kErrRemove, rm("87"), addOnly.c_str()},
      {"remove-package", "1", false, kErrRemove, rm("1"), addOnly.c_str()},
      {"remove-package", "256", false, kErrRemove, rm("256"), addOnly.c_str()},
      {"remove-package", "killed", false, kErrRemove, rm("killed"), addOnly.c_str()},
      {"", "", true, kOk, upd("3010"), updDone.c_str()},
      {"add-update", "not-started", true, kErrInstall,
       {"add-package 0", "bcdedit 0", "remove-package 3010"}, updFailed.c_str()},
      {"add-update", "0", true, kErrInstall, upd("0"), updFailed.c_str()},
      {"add-update", "3010", true, kOk, upd("3010"), updFailed.c_str()},
      {"add-update", "87", true, kErrInstall, upd("87"), updFailed.c_str()},
      {"add-update", "1", true, kErrInstall, upd("1"), updFailed.c_str()},
      {"add-update", "256", true, kErrInstall, upd("256"), updFailed.c_str()},
      {"add-update", "killed", true, kErrInstall, upd("killed"), updFailed.c_str()},
      // Free space one byte either side of each threshold.
      {"disk", "419430399", false, kErrFreeSpace, {}, untouched.c_str()},
      {"disk", "419430400", false, kOk, all, done.c_str()},
      {"disk", "786431999", true, kErrFreeSpace, {}, untouched.c_str()},
      {"disk", "786432000", true, kOk, upd("3010"), updDone.c_str()},
  };
  for (const auto& c : cells) {
    const std::string label = std::string(c.step) + "=" + c.fault + (c.rollup ? " (rollup)" : "");
    TestMachine machine(MachineOptions{"de-DE", {"de-DE", "fr-FR"}, c.rollup});
    for (const char* tag : {"de-DE", "es-ES", "fr-FR"})
      machine.MakePack(machine.PackRoot(), std::string(tag) + ".cab", tag);
    if (c.rollup) machine.MakeUpdateCabinet(machine.WorkDir());
    std::string current;
    ASSERT_EQ(GetCurrentLanguage(current), kOk);
    ASSERT_EQ(ScanLanguagePacks(machine.PackRoot()), 3);
    machine.Change([&](sim::Machine& m) {
      if (std::string(c.step) == "disk") m.Ini().Set("disk", "free_bytes", c.fault);
      else if (*c.step) m.Ini().Set("exit", c.step, c.fault);
    });
    machine.ClearCommands();
    EXPECT_EQ(ChangeLanguage("Spanish"), c.status) << label;
    EXPECT_EQ(Steps(machine), c.commands) << label;
    EXPECT_EQ(MachineState(machine), c.state) << label;
  }
}

struct ScanCell {
  const char* label;
  const char* step;   // the [exit] step, "listing", or "" for none
  const char* fault;
  std::int32_t status;
  std::vector<std::string> found;      // discovered names
  std::vector<std::string> installed;  // names of the installed packs read
  std::vector<std::string> commands;
};

// German and French installed; D:\Packs holds de-DE.cab and es-ES.cab.
TEST(ScanFaultMatrix, EveryStepThroughEveryToolFailure) {
  const std::vector<std::string> both = {"German", "Spanish"};
  const std::vector<std::string> deFr = {"German", "French"};
  const auto list = [](const char* outcome) {
    // dism.exe inside cmd.exe, then cmd.exe itself.
    return std::vector<std::string>{std::string("get-packages ") + outcome, std::string("get-packages ") + outcome};
  };
  const auto expand = [](const char* outcome) {
    return std::vector<std::string>{"get-packages 0", "get-packages 0", std::string("expand ") + outcome,
                                    std::string("expand ") + outcome};
  };
  const ScanCell cells[] = {
      {"no fault", "", "", 2, both, deFr, expand("0")},
      {"listing tool not started", "get-packages", "not-started", kErrPackName, {}, {}, {}},
      {"listing tool answers 0", "get-packages", "0", 2, both, deFr, expand("0")},
      {"listing tool answers 3010", "get-packages", "3010", kErrPackName, {}, {}, list("3010")},
      {"listing tool answers 87", "get-packages", "87", kErrPackName, {}, {}, list("87")},
      {"listing tool answers 1", "get-packages", "1", kErrPackName, {}, {}, list("1")},
      {"listing tool answers 256", "get-packages", "256", kErrPackName, {}, {}, list("256")},
      {"listing tool killed", "get-packages", "killed", kErrPackName, {}, {}, {"get-packages killed"}},
      // The listing is read as it stands once the tool answered 0.
      {"listing missing", "listing", "missing", 2, both, {}, expand("0")},
      {"listing empty", "listing", "empty", 2, both, {}, expand("0")},
      {"listing cut in the first identity", "listing", "truncated", 2, both, {}, expand("0")},
      {"expand not started", "expand", "not-started", 0, {}, deFr, list("0")},
      {"expand answers 0 without extracting", "expand", "0", 0, {}, deFr, expand("0")},
      {"expand answers 3010", "expand", "3010", 0, {}, deFr, expand("3010")},
      {"expand answers 87", "expand", "87", 0, {}, deFr, expand("87")},
      {"expand answers 1", "expand", "1", 0, {}, deFr, expand("1")},
      {"expand answers 256", "expand", "256", 0, {}, deFr, expand("256")},
      {"expand killed half-way", "expand", "killed", 0, {}, deFr, expand("killed")},
  };
  for (const auto& c : cells) {
    TestMachine machine(MachineOptions{"de-DE", {"de-DE", "fr-FR"}, false});
    const std::string root = machine.PackRoot();
    for (const char* tag : {"de-DE", "es-ES"}) machine.MakePack(root, std::string(tag) + ".cab", tag);
    machine.Change([&](sim::Machine& m) {
      if (std::string(c.step) == "listing") m.Ini().Set("faults", "listing", c.fault);
      else if (*c.step) m.Ini().Set("exit", c.step, c.fault);
    });
    EXPECT_EQ(ScanLanguagePacks(root), c.status) << c.label;
    EXPECT_EQ(DiscoveredNames(), c.found) << c.label;
    std::vector<std::string> installed;
    for (const auto& slot : Engine().InstalledPacks)
      if (!slot.package.Empty()) installed.push_back(slot.name.Str());
    EXPECT_EQ(installed, c.installed) << c.label;
    EXPECT_EQ(Steps(machine), c.commands) << c.label;
    EXPECT_FALSE(machine.Exists(root + "\\langcfg.ini")) << c.label;
    EXPECT_EQ(MachineState(machine), "de-DE=I fr-FR=I locale=de-DE restart=0") << c.label;
  }
}

// What the walk meets under the root besides sound packs, and listings at
// their limits.
TEST(ScanFaultMatrix, CabinetsThatCannotBeReadAndListingsAtTheirLimits) {
  struct Case {
    const char* label;
    std::function<void(TestMachine&)> prepare;
    std::int32_t status;
    std::vector<std::string> found;
    std::size_t installed;
  };
  const std::string identity15 = sim::LanguagePackIdentity("de-DE") + "0";
  const Case cases[] = {
      {"corrupt cabinet", [](TestMachine& m) { m.WriteFile(m.PackRoot() + "\\bad.cab", "MSCF not really"); }, 1,
       {"French"}, 2},
      {"folder named x.cab is walked", [](TestMachine& m) { m.MakePack(m.PackRoot() + "\\x.cab", "it.cab", "it-IT"); },
       2, {"French", "Italian"}, 2},
      {"fifteen language-pack lines fill fourteen slots",
       [&](TestMachine& m) {
         m.Change([&](sim::Machine& s) {
           std::vector<std::string> tags;
           for (const auto& l : LanguageCatalogue) tags.emplace_back(l.code);
           s.SetInstalledLanguages(tags);
           s.SetPackage(identity15, sim::kInstalled);  // a second German
         });
       },
       1, {"French"}, 14},
      {"a fifteenth line outside the catalogue still fails the query",
       [&](TestMachine& m) {
         m.Change([&](sim::Machine& s) {
           std::vector<std::string> tags;
           for (const auto& l : LanguageCatalogue) tags.emplace_back(l.code);
           s.SetInstalledLanguages(tags);
           s.SetPackage(sim::LanguagePackIdentity("ja-JP"), sim::kInstalled);
         });
       },
       kErrPackName, {}, 14},
      // A line is read whole, however long: what follows its first 1023 bytes counts too.
      {"a package line of 1100 bytes before the packs",
       [](TestMachine& m) {
         m.Change([](sim::Machine& s) {
           s.Ini().Remove("packages", sim::LanguagePackIdentity("de-DE"));
           s.SetPackage("Package_for_KB" + std::string(1100, '7') + "~31bf3856ad364e35~x86~~6.1.1.1", sim::kInstalled);
           s.SetPackage(sim::LanguagePackIdentity("de-DE"), sim::kInstalled);
         });
       },
       1, {"French"}, 2},
      {"the rollup named past the line's first 1023 bytes",
       [](TestMachine& m) {
         m.Change([](sim::Machine& s) { s.SetPackage(std::string(1020, 'X') + std::string(sim::kRollupIdentity),
                                                     sim::kInstalled); });
       },
       1, {"French"}, 2},
      // An identity its field cannot hold is refused, not stored cut.
      {"a language-pack identity of 1100 bytes", [](TestMachine& m) {
         m.Change([](sim::Machine& s) { s.SetPackage(sim::LanguagePackIdentity("it-IT") + std::string(1030, '9'),
                                                     sim::kInstalled); });
       },
       kErrPackName, {}, 2},
  };
  for (const auto& c : cases) {
    TestMachine machine(MachineOptions{"de-DE", {"de-DE", "fr-FR"}, false});
    machine.MakePack(machine.PackRoot(), "fr.cab", "fr-FR");
    c.prepare(machine);
    EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), c.status) << c.label;
    EXPECT_EQ(DiscoveredNames(), c.found) << c.label;
    std::size_t installed = 0;
    for (const auto& slot : Engine().InstalledPacks) installed += slot.package.Empty() ? 0 : 1;
    EXPECT_EQ(installed, c.installed) << c.label;
    EXPECT_FALSE(machine.Exists(machine.PackRoot() + "\\langcfg.ini")) << c.label;
    if (std::string(c.label).find("rollup") != std::string::npos) {
      EXPECT_EQ(Engine().RollupInstalled, 1) << c.label;
    }
  }
}

// The extraction command "expand DIR\FILE -F:langcfg.ini DIR" must fit 259
// UTF-16 units: counted in units, not bytes, a character beyond the BMP as two.
TEST(ScanFaultMatrix, ExtractionCommandAtItsLimitInUtf16Units) {
  std::string accents, clefs = "a";
  for (int i = 0; i < 105; ++i) accents += "\xc3\xa9";             // e-acute: 1 unit, 2 bytes
  for (int i = 0; i < 52; ++i) clefs += "\xf0\x9d\x84\x9e";      // G clef: 2 units, 4 bytes
  struct Case {
    const std::string& folder;  // 105 units
    const char* file;
    std::int32_t found;
  };
  // 7 + (9 + 105 + 1 + file) + 16 + (9 + 105) units: 259 with a 7-character file name.
  const Case cases[] = {
      {accents, "de1.cab", 1}, {accents, "de12.cab", 0}, {clefs, "de1.cab", 1}, {clefs, "de12.cab", 0}};
  for (const auto& c : cases) {
    TestMachine machine;
    machine.MakePack(machine.PackRoot() + "\\" + c.folder, c.file, "de-DE");
    EXPECT_EQ(ScanLanguagePacks(machine.PackRoot()), c.found) << c.file << " in " << c.folder;
    EXPECT_EQ(machine.CommandsOf("expand").size(), static_cast<std::size_t>(c.found)) << c.file;
  }
}

}  // namespace
}  // namespace kestrio::engine
