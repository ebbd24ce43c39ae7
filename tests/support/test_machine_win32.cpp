// The test machine under Wine: the test program's own folder holds the
// machine's tools (dism.exe, cmd.exe, expand.exe, bcdedit.exe) and their
// machine.ini; the registry and the system folder, with FBWFLIB.dll, are
// those of the Wine prefix.  Cabinets cannot be
// written here, so they are copied from KESTRIO_TEST_CABS (<tag>.cab,
// none.cab without langcfg.ini, update.cab), made by the Linux build.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "engine/language.h"
#include "base/text.h"
#include "base/wide.h"
#include "support/test_machine.h"

namespace kestrio::test {
namespace fs = std::filesystem;
namespace {

std::string ExeDir() {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  const std::string self = text::Narrow(buf, n);
  return self.substr(0, self.find_last_of('\\'));
}

constexpr const wchar_t* kMuiCachedKey = L"Control Panel\\Desktop\\MuiCached";
constexpr const wchar_t* kLanguageValue = L"MachinePreferredUILanguages";

// Stores `units` as they are (NULs included), or removes the value when
// `type` is REG_NONE.
void SetValue(HKEY hive, const wchar_t* key, const wchar_t* name, DWORD type, std::u16string_view units) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(hive, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  if (type == REG_NONE) {
    RegDeleteValueW(h, name);
  } else {
    EXPECT_EQ(RegSetValueExW(h, name, 0, type, reinterpret_cast<const BYTE*>(units.data()),
                             static_cast<DWORD>(units.size() * sizeof(char16_t))),
              ERROR_SUCCESS);
  }
  RegCloseKey(h);
}

// A multi-string: each string with its NUL, then the closing empty string.
std::u16string MultiString(const std::vector<std::string>& strings) {
  std::u16string data;
  for (const auto& s : strings) data += text::Utf8ToUtf16(s) + u'\0';
  return data + u'\0';
}

std::string SystemFolder() {
  wchar_t buf[MAX_PATH];
  const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("no system folder");
  return text::Narrow(buf, n);
}

// The libraries the tests put in place of FBWFLIB.dll, laid out by
// run-wine-test.sh: libraries\FBWFLIB.dll (the machine's own) and
// libraries\bare.dll (one without the filter's functions).
void CopyLibrary(const std::string& name, const std::string& target) {
  std::error_code ec;
  fs::copy_file(sim::PathFromUtf8(ExeDir() + "\\libraries\\" + name), sim::PathFromUtf8(target),
                fs::copy_options::overwrite_existing, ec);
  if (ec) throw std::runtime_error("cannot put " + name + " at " + target + ": " + ec.message());
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
  SetFilterLibrary(FilterLibrary::Installed);
  fs::remove(sim::PathFromUtf8(dir_ + "\\FBWFLIB.dll"), ec);
  oldCwd_ = sim::Utf8FromPath(fs::current_path());
  fs::current_path(sim::PathFromUtf8(workDir_));
  engine::ResetEngineState();
}

TestMachine::~TestMachine() {
  std::error_code ec;
  fs::current_path(sim::PathFromUtf8(oldCwd_), ec);
  // The prefix is shared: it is left with the machine's own library.
  fs::remove(sim::PathFromUtf8(dir_ + "\\FBWFLIB.dll"), ec);
  try {
    SetFilterLibrary(FilterLibrary::Installed);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
}

void TestMachine::SetFilterLibrary(FilterLibrary library) {
  const std::string path = SystemFolder() + "\\FBWFLIB.dll";
  std::error_code ec;
  switch (library) {
    case FilterLibrary::Installed:
      CopyLibrary("FBWFLIB.dll", path);
      break;
    case FilterLibrary::Missing:
      fs::remove(sim::PathFromUtf8(path), ec);
      if (ec) throw std::runtime_error("cannot remove " + path + ": " + ec.message());
      break;
    case FilterLibrary::Unloadable:
      if (!sim::WriteFileAtomically(path, "not a library\r\n", nullptr)) throw std::runtime_error("cannot write " + path);
      break;
    case FilterLibrary::WithoutFunctions:
      CopyLibrary("bare.dll", path);
      break;
  }
}

void TestMachine::PlantFilterLibraryBesideTheProgram() { CopyLibrary("bare.dll", dir_ + "\\FBWFLIB.dll"); }

void TestMachine::SetLanguageValue(const std::vector<std::string>& tags) {
  // As Windows keeps it: one tag is a multi-string without the closing empty
  // string, 12 bytes for "de-DE".
  if (tags.empty()) SetLanguageData(REG_NONE, {});
  else if (tags.size() == 1) SetLanguageData(REG_MULTI_SZ, text::Utf8ToUtf16(tags[0]) + u'\0');
  else SetLanguageData(REG_MULTI_SZ, MultiString(tags));
}

void TestMachine::SetLanguageData(std::uint32_t type, std::u16string_view units) {
  SetValue(HKEY_CURRENT_USER, kMuiCachedKey, kLanguageValue, type, units);
}

void TestMachine::SetProductSuite(const std::vector<std::string>& strings) {
  SetValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", L"ProductSuite",
           strings.empty() ? REG_NONE : REG_MULTI_SZ, MultiString(strings));
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
