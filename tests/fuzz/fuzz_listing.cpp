// libFuzzer target: the package listing, read the way a scan reads it.  The
// input is the listing file the package tool leaves on the simulated
// machine (a folder under /dev/shm); the link hands the engine's one way of
// running a tool to WriteListing below, which plays "cmd.exe /c dism.exe ...
// > C:\Windows\Temp\packages.log" by writing the input there.  The query must
// end in 0 or -13, fill the slots in order with identities that begin with the
// language-pack marker (catalogue languages when it succeeds), and see the rollup whenever a
// line that was read names it.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/installed.h"
#include "engine/language.h"
#include "fuzz_common.h"
#include "platform/simulated_posix.h"

namespace engine = kestrio::engine;

namespace {

std::string g_listing;  // where the tool's output goes on the host
std::string g_input;    // this run's listing bytes

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

// Stands in for engine::RunProgram (linked with --wrap): the listing command
// succeeds and leaves the input as its output.
extern "C" std::int32_t __wrap__ZN7kestrio6engine10RunProgramERNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERj(
    std::string& commandLine, std::uint32_t& exitCode) {
  FUZZ_CHECK(commandLine.find("/get-packages") != std::string::npos);
  if (!WriteFile(g_listing, g_input)) std::abort();
  exitCode = 0;
  return 1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/dev/shm/fuzz_listing.XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  const std::string machine = folder;
  for (const char* sub : {"/C", "/C/Windows", "/C/Windows/Temp"})
    if (::mkdir((machine + sub).c_str(), 0755) != 0) std::abort();
  kestrio::platform::posix::UseMachine(machine);
  g_listing = machine + "/C/Windows/Temp/packages.log";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrio::fuzz::kMaxWire) return 0;
  g_input.assign(reinterpret_cast<const char*>(data), size);
  engine::ResetEngineState();
  const std::int32_t rc = engine::QueryInstalledPackages();
  FUZZ_CHECK(rc == 0 || rc == engine::kErrPackName);

  const engine::EngineState& state = engine::Engine();
  bool gap = false;
  for (const auto& slot : state.InstalledPacks) {
    if (slot.package.Str().empty()) {  // unused, or a failing identity too long to keep
      gap = true;
      continue;
    }
    FUZZ_CHECK(!gap);  // slots are filled in order, and the query stops at a failing line
    FUZZ_CHECK(slot.package.Str().find(engine::kLanguagePackMarker) == 0);
    if (rc == 0) FUZZ_CHECK(engine::FindLanguageByCode(slot.code.Str()) != engine::kLanguageCount);
  }
  // The marker cannot hide in a listing that does not hold it.
  if (state.RollupInstalled) FUZZ_CHECK(g_input.find(engine::kRollupMarker) != std::string::npos);
  // Every line is read whole, and a successful query read them all.
  if (rc == 0 && g_input.find(engine::kRollupMarker) != std::string::npos)
    FUZZ_CHECK(state.RollupInstalled);
  return 0;
}
