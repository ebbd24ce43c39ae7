// The test machine under Wine: the test program's own folder holds the
// machine's tools (dism.exe, cmd.exe, expand.exe, bcdedit.exe, FBWFLIB.dll)
// and their machine.ini; the registry is Wine's own.  Cabinets cannot be
// written here, so they are copied from KESTRIO_TEST_CABS (<tag>.cab,
// none.cab without langcfg.ini, update.cab), made by the Linux build.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "engine/language.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace kestrio::test {
namespace fs = std::filesystem;
namespace {

std::wstring Wide(std::string_view s) {
  const std::u16string u = text::Utf8ToUtf16(s);
  return std::wstring(u.begin(), u.end());
}

std::string ExeDir() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  const std::string self = text::Utf16ToUtf8(std::u16string(buf, buf + n));
  return self.substr(0, self.find_last_of('\\'));
}

// One string is stored as REG_SZ, several as REG_MULTI_SZ, as the simulated
// machine does it.
void SetStrings(HKEY hive, const wchar_t* key, const wchar_t* name, const std::vector<std::string>& strings) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(hive, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  if (strings.empty()) {
    RegDeleteValueW(h, name);
  } else {
    std::wstring data;
    for (const auto& s : strings) data += Wide(s) + L'\0';
    if (strings.size() > 1) data += L'\0';
    RegSetValueExW(h, name, 0, strings.size() > 1 ? REG_MULTI_SZ : REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  }
  RegCloseKey(h);
}

void CopyCabinet(const std::string& name, const std::string& target) {
  const char* source = std::getenv("KESTRIO_TEST_CABS");
  ASSERT_NE(source, nullptr) << "KESTRIO_TEST_CABS is not set";
  std::error_code ec;
  fs::copy_file(sim::PathFromUtf8(std::string(source) + "\\" + name), sim::PathFromUtf8(target),
                fs::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << "no prepared cabinet " << name << ": " << ec.message();
}

}  // namespace

TestMachine::TestMachine(const MachineOptions& options) {
  dir_ = ExeDir();
  packRoot_ = dir_ + "\\packs";
  workDir_ = dir_ + "\\work";
  std::error_code ec;
  fs::remove_all(sim::PathFromUtf8(packRoot_), ec);
  fs::remove_all(sim::PathFromUtf8(workDir_), ec);
  MakeDirectory(packRoot_);
  MakeDirectory(workDir_);
  ClearCommands();
  std::string error;
  if (!sim::Machine::NewDefault(dir_, options.language, options.installed, options.rollup).Save(&error))
    throw std::runtime_error(error);
  SetLanguageValue({options.language});
  SetProductSuite({"Terminal Server", "EmbeddedNT"});
  oldCwd_ = sim::Utf8FromPath(fs::current_path());
  fs::current_path(sim::PathFromUtf8(workDir_));
  engine::ResetEngineState();
}

TestMachine::~TestMachine() {
  std::error_code ec;
  fs::current_path(sim::PathFromUtf8(oldCwd_), ec);
}

void TestMachine::SetLanguageValue(const std::vector<std::string>& tags) {
  SetStrings(HKEY_CURRENT_USER, L"Control Panel\\Desktop\\MuiCached", L"MachinePreferredUILanguages", tags);
}

void TestMachine::SetProductSuite(const std::vector<std::string>& strings) {
  SetStrings(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", L"ProductSuite",
                 strings);
}

void TestMachine::MakePack(const std::string& dir, const std::string& file, const std::string& tag) {
  MakeDirectory(dir);
  CopyCabinet(tag.empty() ? "none.cab" : tag + ".cab", dir + "\\" + file);
}

void TestMachine::MakeUpdateCabinet(const std::string& dir) {
  MakeDirectory(dir);
  CopyCabinet("update.cab", dir + "\\" + std::string(sim::kUpdateCabinet));
}

void TestMachine::WriteFile(const std::string& windowsPath, std::string_view content) {
  ASSERT_TRUE(sim::WriteFileAtomically(windowsPath, content, nullptr));
}

bool TestMachine::Exists(const std::string& windowsPath) const {
  std::error_code ec;
  return fs::exists(sim::PathFromUtf8(windowsPath), ec);
}

void TestMachine::Remove(const std::string& windowsPath) {
  std::error_code ec;
  fs::remove(sim::PathFromUtf8(windowsPath), ec);
}

void TestMachine::MakeDirectory(const std::string& windowsPath) {
  std::error_code ec;
  fs::create_directories(sim::PathFromUtf8(windowsPath), ec);
}

}  // namespace kestrio::test
