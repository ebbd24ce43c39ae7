// The simulated machine's tools answer like the real ones for the command
// lines the program uses; the engine's tests rely on it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/cmdline.h"
#include "sim/cabinet.h"
#include "sim/tools.h"

namespace kestrio::sim {
namespace {

namespace fs = std::filesystem;

class SimulatedTools : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kestrio-sim-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_ / "D" / "p");
    machine_ = Machine::NewDefault(dir_.string(), "de-DE", {"de-DE", "fr-FR"}, false);
    std::string error;
    ASSERT_TRUE(WriteCabinet((dir_ / "D/p/es.cab").string(), {{"langcfg.ini", "[LangInfo]\nLanguage=es-ES\n"}}, &error));
    ASSERT_TRUE(WriteCabinet((dir_ / "D/p/other.cab").string(), {{"readme.txt", "x"}}, &error));
    ASSERT_TRUE(WriteCabinet((dir_ / "D/p/windows6.1-kb4012215-x86.cab").string(), {{"update.mum", "x"}}, &error));
    std::ofstream(dir_ / "D/p/broken.cab") << "not a cabinet";
  }
  void TearDown() override {
    fs::remove_all(dir_);
    fs::remove_all(Outside());
  }
  // A host folder beside the machine folder, out of the machine's reach.
  fs::path Outside() const { return dir_.string() + "-outside"; }

  std::uint32_t Run(const std::string& line, std::string* output = nullptr) {
    const auto args = text::SplitCommandLine(line);
    std::ostringstream out, err;
    const std::uint32_t code = RunTool(ToolFromProgramName(args[0]), machine_, line, args, out, err);
    if (output) *output = out.str() + err.str();
    return code;
  }
  std::string State(const std::string& identity) const {
    for (const auto& [id, state] : machine_.Packages())
      if (id == identity) return state;
    return "absent";
  }

  fs::path dir_;
  Machine machine_ = Machine::Fresh("");
};

TEST_F(SimulatedTools, AddPackageAnswersLikeThePackageTool) {
  struct Case {
    const char* cabinet;
    std::uint32_t exit;
    const char* message;
  };
  const Case cases[] = {
      {"D:\\p\\es.cab", 0, "The operation completed successfully."},
      {"D:\\p\\missing.cab", 0x80070002u, "cannot find the file"},
      {"D:\\p\\broken.cab", 0x800F0818u, "An error occurred trying to open"},
      {"D:\\p\\other.cab", 0x800F0818u, "An error occurred trying to open"},
      {"D:\\p\\windows6.1-kb4012215-x86.cab", 3010, "Restart Windows"},
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(Run(std::string("dism.exe /online /add-package /packagepath:") + c.cabinet, &output), c.exit) << c.cabinet;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
  }
  EXPECT_EQ(State(LanguagePackIdentity("es-ES")), kInstallPending);
  EXPECT_EQ(State(std::string(kUpdateIdentity)), kInstallPending);

  // The update once installed: added again it asks for a restart while a
  // language pack added since waits for one, and only then.
  const std::string update = "dism.exe /online /add-package /packagepath:D:\\p\\windows6.1-kb4012215-x86.cab /quiet";
  machine_.SetPackage(kUpdateIdentity, kInstalled);
  EXPECT_EQ(Run(update), 3010u);
  machine_.SetPackage(kUpdateIdentity, kInstalled);
  machine_.SetPackage(LanguagePackIdentity("es-ES"), kInstalled);
  EXPECT_EQ(Run(update), 0u);
}

TEST_F(SimulatedTools, RemovePackageRestartsTheMachineOnlyWhenQuietWithoutNorestart) {
  const std::string de = LanguagePackIdentity("de-DE");
  EXPECT_EQ(Run("dism.exe /online /remove-package /packageName:" + de + " /quiet /norestart"), 3010u);
  EXPECT_FALSE(machine_.Flag("boot", "restart_pending"));
  EXPECT_EQ(Run("dism.exe /online /remove-package /packageName:" + de + " /quiet"), 0u);
  EXPECT_TRUE(machine_.Flag("boot", "restart_pending"));
  EXPECT_EQ(State(de), kUninstallPending);
  EXPECT_EQ(Run("dism.exe /online /remove-package /packageName:Unknown~Package /quiet"), 0x800F0805u);
  EXPECT_EQ(Run("dism.exe /online /remove-package /quiet"), 87u);
}

TEST_F(SimulatedTools, RebootAppliesPendingChangesAndPicksTheRemainingLanguage) {
  struct Case {
    std::vector<std::string> remove;
    std::string locale;
    std::vector<std::string> expectedTags;
    std::string expectedLanguage;
  };
  const Case cases[] = {
      {{"de-DE", "fr-FR"}, "es-ES", {"es-ES"}, "es-ES"},
      {{"de-DE"}, "es-ES", {"fr-FR", "es-ES"}, "es-ES"},
      {{"de-DE"}, "it-IT", {"fr-FR", "es-ES"}, "fr-FR"},
  };
  for (const auto& c : cases) {
    SetUp();
    ASSERT_EQ(Run("dism.exe /online /add-package /packagepath:D:\\p\\es.cab"), 0u);
    for (const auto& tag : c.remove) machine_.SetPackage(LanguagePackIdentity(tag), kUninstallPending);
    ASSERT_EQ(Run("bcdedit /set {current} locale " + c.locale), 0u);
    Reboot(machine_);
    EXPECT_EQ(LanguagePackTags(machine_), c.expectedTags);
    const RegValue* value = machine_.Registry().Find(kMuiCachedKey, "MachinePreferredUILanguages");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(RegStrings(*value), std::vector<std::string>{c.expectedLanguage});
  }
}

TEST_F(SimulatedTools, ExpandExtractsOneNamedFile) {
  EXPECT_EQ(Run("expand D:\\p\\es.cab -F:LANGCFG.INI D:\\p"), 0u);
  EXPECT_TRUE(fs::exists(dir_ / "D/p/LANGCFG.INI") || fs::exists(dir_ / "D/p/langcfg.ini"));
  EXPECT_EQ(Run("expand D:\\p\\other.cab -F:langcfg.ini D:\\q"), 0u);  // nothing to extract
  EXPECT_EQ(Run("expand D:\\p\\missing.cab -F:langcfg.ini D:\\p"), 1u);
  EXPECT_EQ(Run("expand D:\\p\\es.cab"), 1u);
}

TEST_F(SimulatedTools, CmdRedirectsTheListingAndRefusesOtherPrograms) {
  EXPECT_EQ(Run("cmd.exe /c dism.exe /online /get-packages /format:table > D:\\listing.txt"), 0u);
  std::string listing;
  ASSERT_TRUE(ReadWholeFile((dir_ / "D/listing.txt").string(), listing));
  EXPECT_NE(listing.find("Package Identity"), std::string::npos);
  EXPECT_NE(listing.find(LanguagePackIdentity("fr-FR") + " "), std::string::npos);
  EXPECT_EQ(Run("cmd.exe /c format.com C: > D:\\x.txt"), 9009u);
  machine_.Ini().Set("exit", "get-packages", "5");
  EXPECT_EQ(Run("cmd.exe /c dism.exe /online /get-packages /format:table > D:\\listing.txt"), 5u);
}

TEST(MachinePaths, EveryWindowsPathStaysOnTheMachinesDrives) {
  struct Case {
    const char* path;
    const char* workDir;
    const char* full;  // "" : names nothing on the machine
  };
  const Case cases[] = {
      {"D:\\LanguagePacks\\de-DE", "C:\\Kestrio", "D:\\LanguagePacks\\de-DE"},
      {"d:/packs//x/", "C:\\Kestrio", "D:\\packs\\x"},             // '/' separates too
      {"\\tmp\\x", "C:\\Kestrio", "C:\\tmp\\x"},                  // no drive: the current one
      {"/etc", "C:\\Kestrio", "C:\\etc"},                          // a host path is a path on C:
      {"/", "C:\\Kestrio", "C:\\"},
      {"\\", "C:\\Kestrio", "C:\\"},
      {"\\x", "D:\\work", "D:\\x"},                                // the working directory's drive
      {"windows6.1-kb4012215-x86.cab", "C:\\Kestrio", "C:\\Kestrio\\windows6.1-kb4012215-x86.cab"},
      {".\\a\\..\\b", "D:\\work", "D:\\work\\b"},
      {"C:x", "C:\\Kestrio", "C:\\Kestrio\\x"},                     // drive-relative, current drive
      {"E:x", "C:\\Kestrio", "E:\\x"},                               // another drive: from its root
      {"..", "C:\\Kestrio", "C:\\"},
      {"x", "..\\..", "C:\\x"},                                       // a working directory that names nothing
      {"..\\..\\..", "C:\\Kestrio", ""},                            // climbs out of C:
      {"C:\\..", "C:\\Kestrio", ""},
      {"C:\\..\\..\\etc", "C:\\Kestrio", ""},
      {"D:\\a\\..\\..\\x", "C:\\Kestrio", ""},
      {"/../tmp", "C:\\Kestrio", ""},
      {"", "C:\\Kestrio", ""},
      {"\\\\server\\share\\x", "C:\\Kestrio", ""},                // network paths
      {"//server/share", "C:\\Kestrio", ""},
      {"\\\\?\\C:\\x", "C:\\Kestrio", ""},                          // device paths
      {"C:\\a:stream", "C:\\Kestrio", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FullWindowsPath(c.path, c.workDir), c.full) << c.path << " from " << c.workDir;

  EXPECT_EQ(MapWindowsPath("/m", "C:\\"), "/m/C/");
  EXPECT_EQ(MapWindowsPath("/m", "d:\\Packs\\"), "/m/D/Packs/");
  EXPECT_EQ(MapWindowsPath("/m", "lp.cab", "D:\\x"), "/m/D/x/lp.cab");
  EXPECT_EQ(MapWindowsPath("/m", "C:\\..\\..\\etc"), kNowhere);
  EXPECT_EQ(MapWindowsPath("", "C:\\etc"), kNowhere);  // no machine folder: not the host's root
  EXPECT_FALSE(fs::exists(std::string(kNowhere)));
}

// Below the drive letter a name is found whatever its case, as on NTFS; a
// name that is not there keeps the case it is written in.
TEST_F(SimulatedTools, PathsFindNamesWhateverTheirCase) {
  fs::create_directories(dir_ / "D/LanguagePacks/es-ES");
  const std::string m = dir_.string();
  const struct {
    const char* path;
    const char* host;
  } cases[] = {
      {"D:\\languagepacks\\ES-es", "/D/LanguagePacks/es-ES"},
      {"d:\\LANGUAGEPACKS\\es-es\\New.cab", "/D/LanguagePacks/es-ES/New.cab"},
      {"D:\\LanguagePacks\\fr-FR\\", "/D/LanguagePacks/fr-FR/"},
      {"D:\\P\\ES.CAB", "/D/p/es.cab"},
  };
  for (const auto& c : cases) EXPECT_EQ(MapWindowsPath(m, c.path), m + c.host) << c.path;
  std::string output;
  EXPECT_EQ(Run("dism.exe /online /add-package /packagepath:D:\\P\\ES.CAB", &output), 0u) << output;
}

// The tools take paths from the program's command lines; none of them may
// read, write or extract outside the machine folder.
TEST_F(SimulatedTools, ToolsNeverReachOutsideTheMachine) {
  fs::create_directories(Outside());
  std::string error;
  ASSERT_TRUE(WriteCabinet((Outside() / "es.cab").string(), {{"langcfg.ini", "[LangInfo]\nLanguage=es-ES\n"}}, &error));
  std::string windowsForm = Outside().string();  // the host folder written as a Windows path
  for (char& c : windowsForm)
    if (c == '/') c = '\\';
  const std::string escapes[] = {
      windowsForm,
      Outside().string(),
      "C:\\..\\..\\" + Outside().filename().string(),
      "..\\..\\..\\" + Outside().filename().string(),
      "D:\\p\\..\\..\\..\\" + Outside().filename().string(),
  };
  for (const auto& outside : escapes) {
    std::string output;
    EXPECT_EQ(Run("expand " + outside + "\\es.cab -F:langcfg.ini " + outside, &output), 1u) << outside;
    EXPECT_EQ(Run("expand D:\\p\\es.cab -F:langcfg.ini " + outside, &output), 1u) << outside;
    EXPECT_EQ(Run("dism.exe /online /add-package /packagepath:" + outside + "\\es.cab"), 0x80070002u) << outside;
    EXPECT_NE(Run("cmd.exe /c dism.exe /online /get-packages /format:table > " + outside + "\\listing.txt"), 0u)
        << outside;
  }
  EXPECT_EQ(State(LanguagePackIdentity("es-ES")), "absent");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Outside())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"es.cab"});
}

}  // namespace
}  // namespace kestrio::sim
