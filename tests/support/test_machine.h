// A fresh simulated machine per test, the same on both builds: on Linux a
// machine directory made with kestrio-sim; under Wine the folder of the test
// program, with the machine's tools beside it and the real registry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/machine.h"

namespace kestrio::test {

struct MachineOptions {
  std::string language = "de-DE";
  std::vector<std::string> installed;
  bool rollup = false;
};

class TestMachine {
 public:
  explicit TestMachine(const MachineOptions& options = {});
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // Changes machine.ini facts (write filter, free space, packages, forced exits).
  void Change(const std::function<void(sim::Machine&)>& edit);
  sim::Machine Load() const;

  // Registry values the program reads; an empty list removes the value.
  // The language is stored as Windows keeps it (see sim::SetPreferredLanguages).
  void SetLanguageValue(const std::vector<std::string>& tags);
  // MachinePreferredUILanguages with this type and exactly these UTF-16 units.
  void SetLanguageData(std::uint32_t type, std::u16string_view units);
  void SetProductSuite(const std::vector<std::string>& strings);

  // FBWFLIB.dll in the system folder.  Every test machine starts with the
  // machine's own.
  enum class FilterLibrary {
    Installed,         // the machine's own, answering from its facts
    Missing,           // an image built without the write filter
    Unloadable,        // a file of that name that is no library
    WithoutFunctions,  // a library that lacks the filter's functions
  };
  void SetFilterLibrary(FilterLibrary library);
#ifdef _WIN32
  // A library named FBWFLIB.dll without the filter's functions beside the
  // program, where the search order would find it first.
  void PlantFilterLibraryBesideTheProgram();
#endif

  // A Windows path of an empty folder for language packs.
  const std::string& PackRoot() const { return packRoot_; }
  // Writes a cabinet `file` in Windows folder `dir` (made if needed) whose
  // langcfg.ini names `tag`; an empty tag makes a cabinet without one.
  void MakePack(const std::string& dir, const std::string& file, const std::string& tag);
  // Puts the update cabinet into Windows folder `dir`.
  void MakeUpdateCabinet(const std::string& dir);
  void WriteFile(const std::string& windowsPath, std::string_view content);
  bool Exists(const std::string& windowsPath) const;
  void Remove(const std::string& windowsPath);
  void MakeDirectory(const std::string& windowsPath);
#ifndef _WIN32
  // A symbolic link at Windows path `link` to the folder `target`, which a
  // listing shows as a folder, as Windows shows a junction.  (Under Wine a
  // Windows program cannot make one: CreateSymbolicLinkW there reports
  // success and makes nothing; tests/wine/lib.sh makes them beforehand.)
  void MakeFolderLink(const std::string& link, const std::string& target);
#endif
  // The working directory of the program (a Windows path).
  const std::string& WorkDir() const { return workDir_; }

  // commands.log, one "command line => exit status" per entry.
  std::vector<std::string> Commands() const;
  // Only the lines of one tool ("dism.exe", "expand", ...).
  std::vector<std::string> CommandsOf(std::string_view program) const;
  void ClearCommands();

 private:
  std::string dir_;       // machine directory on the host
  std::string packRoot_;  // Windows path
  std::string workDir_;   // Windows path
  std::string oldCwd_;
};

}  // namespace kestrio::test
