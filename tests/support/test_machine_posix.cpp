#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "engine/language.h"
#include "platform/simulated_posix.h"
#include "sim/cabinet.h"
#include "support/test_machine.h"

namespace kestrio::test {
namespace fs = std::filesystem;

TestMachine::TestMachine(const MachineOptions& options) {
  char pattern[] = "/tmp/kestrio-test-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = std::string(made) + "/machine";
  std::string installed;
  for (const auto& t : options.installed) installed += (installed.empty() ? "" : ",") + t;
  const std::string command = std::string("'") + KESTRIO_SIM + "' create '" + dir_ + "' --language '" +
                              options.language + "'" + (installed.empty() ? "" : " --installed '" + installed + "'") +
                              (options.rollup ? " --rollup" : "");
  if (std::system(command.c_str()) != 0) throw std::runtime_error("kestrio-sim create failed: " + command);
  platform::posix::UseMachine(dir_);
  packRoot_ = "D:\\Packs";
  workDir_ = std::string(sim::kProgramDir);
  MakeDirectory(packRoot_);
  MakeDirectory(workDir_);
  engine::ResetEngineState();
}

TestMachine::~TestMachine() {
  std::error_code ec;
  platform::posix::UseMachine("");
  fs::remove_all(fs::path(dir_).parent_path(), ec);
}

void TestMachine::SetLanguageValue(const std::vector<std::string>& tags) {
  Change([&](sim::Machine& m) { sim::SetPreferredLanguages(m.Registry(), tags); });
}

void TestMachine::SetLanguageData(std::uint32_t type, std::u16string_view units) {
  sim::RegValue value{"MachinePreferredUILanguages", type, {}};
  for (const char16_t unit : units) {
    value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  Change([&](sim::Machine& m) { m.Registry().Set(sim::kMuiCachedKey, value); });
}

void TestMachine::SetProductSuite(const std::vector<std::string>& strings) {
  Change([&](sim::Machine& m) { m.Registry().SetMultiString(sim::kProductOptionsKey, "ProductSuite", strings); });
}

void TestMachine::SetFilterLibrary(FilterLibrary library) {
  // The machine's [fbwf] library: 1 there, 0 absent, broken when it does not load.
  const char* value = library == FilterLibrary::Installed ? "1" : library == FilterLibrary::Missing ? "0" : "broken";
  Change([&](sim::Machine& m) { m.Ini().Set("fbwf", "library", value); });
}

void TestMachine::MakePack(const std::string& dir, const std::string& file, const std::string& tag) {
  MakeDirectory(dir);
  std::vector<std::pair<std::string, std::string>> files = {{"payload.bin", "language resources"}};
  if (!tag.empty()) files.emplace_back("langcfg.ini", "[LangInfo]\r\nLanguage=" + tag + "\r\n");
  std::string error;
  ASSERT_TRUE(sim::WriteCabinet(sim::MapWindowsPath(dir_, dir + "\\" + file), files, &error)) << error;
}

void TestMachine::MakeUpdateCabinet(const std::string& dir) {
  MakeDirectory(dir);
  std::string error;
  ASSERT_TRUE(sim::WriteCabinet(sim::MapWindowsPath(dir_, dir + "\\" + std::string(sim::kUpdateCabinet)),
                                {{"update.mum", "<assembly/>"}}, &error))
      << error;
}

void TestMachine::WriteFile(const std::string& windowsPath, std::string_view content) {
  ASSERT_TRUE(sim::WriteFileAtomically(sim::MapWindowsPath(dir_, windowsPath), content, nullptr));
}

bool TestMachine::Exists(const std::string& windowsPath) const {
  return fs::exists(sim::MapWindowsPath(dir_, windowsPath));
}

void TestMachine::Remove(const std::string& windowsPath) {
  std::error_code ec;
  fs::remove(sim::MapWindowsPath(dir_, windowsPath), ec);
}

void TestMachine::MakeDirectory(const std::string& windowsPath) {
  fs::create_directories(sim::MapWindowsPath(dir_, windowsPath));
}

void TestMachine::MakeFolderLink(const std::string& link, const std::string& target) {
  // The target by its host path, so the link leads to the same folder from
  // wherever it is reached.
  fs::create_directory_symlink(sim::MapWindowsPath(dir_, target), sim::MapWindowsPath(dir_, link));
}

}  // namespace kestrio::test
