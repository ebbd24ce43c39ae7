// The setup's own variable table, KESTRIO, and the SetupStateBlock it shares
// with the operator dialog.  Variable writes only leave requests here; the
// dialog's poll takes them, and the workers write results back.
//
// The block is guarded by one mutex: a request text is published whole, and
// a write's busy test and its setting of `status` are one step.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrio::dnc {

inline constexpr const char* kVersionText = "v2017.09";
inline constexpr std::size_t kPackSlots = 14;

// A copy of the block, for the dialog and for tests.  Texts are ANSI.
struct SetupState {
  std::int32_t packCount = 0;
  std::array<std::string, kPackSlots> packNames;
  std::string rootDirRequest;
  std::int32_t goRequest = 0;
  std::string nextRequest;
  std::string currentLanguage;
  std::int32_t status = 0;
  // False once the program is ending: a write of ROOTDIR, GO or NEXT is then
  // acknowledged and ignored, as while busy, for nothing would run it.
  bool takingRequests = true;
};

// Resets the block and registers the KESTRIO table.
void RegisterSetupVariables();

SetupState SnapshotSetupState();

// What the dialog's poll takes, clearing each request it returns.  A GO
// stays behind while a ROOTDIR is taken: a scan and a change never start in
// one tick.
struct RemoteRequests {
  std::optional<std::string> rootDir;  // UTF-8
  std::optional<std::string> next;     // UTF-8
  bool go = false;
};
RemoteRequests TakeRemoteRequests();

void SetSetupStatus(std::int32_t status);
std::int32_t GetSetupStatus();
// Sets `status` in one step with its busy test: only when it is not 1, so
// that a remote request accepted first keeps its claim.  False when the
// setup was busy and nothing changed.  SetStatusUnlessBusy(1) is how the
// operator's GO claims the setup; the start-up writes the current-language
// query's result with it.
bool SetStatusUnlessBusy(std::int32_t status);
// The end of a failed scan, whose box ends the program: `status` takes the
// scan's result, requests waiting for the poll are dropped, and no request
// is taken from then on.  A client reads the scan's code, not a 1 that no
// operation will ever replace.
void StopTakingRequests(std::int32_t status);
// The close command's claim, in one step with its busy test: false, and
// nothing changed, while `status` is 1 or a ROOTDIR or GO waits for the poll
// (the close is refused); otherwise no request is taken from then on, so that
// none is acknowledged between this test and the end of the program.
bool StopTakingRequestsUnlessBusy();
// The current language's catalogue name (UTF-8), stored in the ANSI code page.
void SetCurrentLanguageText(const std::string& name);
// The end of a scan that succeeded: `status` 0, then the count, then the
// names of the packs found (UTF-8); names past the new count keep what was
// there.  An operator's scan leaves `status` at 1 when a remote request was
// accepted while it ran: that request's client waits for its own result.
enum class ScanOrigin { Operator, Remote };
void PublishScanResult(std::int32_t packCount, const std::vector<std::string>& names, ScanOrigin origin);

}  // namespace kestrio::dnc
