// FBWFLIB.dll for a simulated machine under Wine: the two queries the
// program makes of the File-Based Write Filter.  The library lies where the
// machine's own does, in the system folder; it answers from the machine.ini
// beside the program that loaded it (where kestrio-sim.exe keeps it as the
// tools):
//
//   [fbwf]
//   fail=1            both calls fail with ERROR_INVALID_FUNCTION
//   enabled=1         filter on in this session   (enabled_next: next one)
//   protected=1       C: protected in this session (protected_next: next one)
//
// Only C: can be protected; every other volume answers "not protected".  No
// machine.ini means a machine whose filter is off.  The file is read afresh
// on every call, so a change made by a tool or a test is seen at once.
#include <windows.h>

#include <optional>
#include <string>

#include "base/wide.h"
#include "base/machine.h"

namespace {

using kestrio::sim::Machine;

// The folder of the program that loaded this library, in UTF-8; empty when
// it cannot be found.
std::string ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};  // longer than any Windows path
    path.resize(path.size() * 2);
  }
  const auto cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return {};
  return kestrio::text::Narrow(path.data(), cut);
}

enum class State { Missing, Loaded, Unreadable };

// The machine beside the program.  A machine.ini that exists but cannot be read
// or parsed makes the calls fail rather than guess at the filter's state.
State LoadMachine(std::optional<Machine>& machine) {
  const std::string dir = ProgramFolder();
  if (dir.empty()) return State::Unreadable;
  const std::wstring ini = kestrio::text::Wide(dir + "\\" + std::string(kestrio::sim::kMachineIni));
  if (GetFileAttributesW(ini.c_str()) == INVALID_FILE_ATTRIBUTES)
    return State::Missing;
  machine = Machine::Load(dir, nullptr);
  return machine ? State::Loaded : State::Unreadable;
}

std::string VolumeName(PCWSTR volume) {
  return kestrio::text::Narrow(volume);
}

// Answers one call from the [fbwf] keys `currentKey` and `nextKey`; when
// `applies` is false both states are off.
ULONG Answer(PULONG current, PULONG next, const char* currentKey, const char* nextKey, bool applies) {
  std::optional<Machine> machine;
  switch (LoadMachine(machine)) {
    case State::Missing:
      *current = *next = 0;
      return NO_ERROR;
    case State::Unreadable:
      return ERROR_INVALID_FUNCTION;
    case State::Loaded:
      break;
  }
  if (machine->Flag("fbwf", "fail")) return ERROR_INVALID_FUNCTION;
  *current = applies && machine->Flag("fbwf", currentKey) ? 1 : 0;
  *next = applies && machine->Flag("fbwf", nextKey) ? 1 : 0;
  return NO_ERROR;
}

}  // namespace

extern "C" {

ULONG WINAPI FbwfIsFilterEnabled(PULONG current, PULONG next) {
  if (current == nullptr || next == nullptr) return ERROR_INVALID_PARAMETER;
  return Answer(current, next, "enabled", "enabled_next", true);
}

ULONG WINAPI FbwfIsVolumeProtected(PCWSTR volume, PULONG current, PULONG next) {
  if (volume == nullptr || current == nullptr || next == nullptr) return ERROR_INVALID_PARAMETER;
  return Answer(current, next, "protected", "protected_next", kestrio::text::EqualsNoCase(VolumeName(volume), "C:"));
}

}  // extern "C"
