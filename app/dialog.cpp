// The main dialog's logic: what each command, timer tick and worker result
// does to the dialog's data, the controls and the shared setup state.
#include "app/dialog.h"

#include <thread>

#include "dnc/protocol.h"
#include "dnc/setup_variables.h"
#include "dnc/transport.h"
#include "dnc/variables.h"
#include "engine/change.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "base/text.h"

namespace kestrio::app {
namespace {

constexpr int kVkEscape = 0x1B;
constexpr std::size_t kAnimationUnits = 10;  // the animation's text buffer, terminator included
constexpr int kAnimationDots = 6;

}  // namespace

DialogOperations DialogOperations::Real() {
  DialogOperations ops;
  ops.getCurrentLanguage = [](std::string& name) { return engine::GetCurrentLanguage(name); };
  ops.scan = [](const std::string& root, std::vector<std::string>& names) {
    const std::int32_t rc = engine::ScanLanguagePacks(root);
    names = rc >= 0 ? engine::DiscoveredNames() : std::vector<std::string>{};
    return rc;
  };
  ops.change = [](const std::string& name) { return engine::ChangeLanguage(name); };
  ops.startServer = [] {
    dnc::RegisterSetupVariables();
    dnc::EnlazarOperaciones(dnc::LeerVariableTxt, dnc::EscribirVariableTxt);
    dnc::IniciarDNC();  // the dialog works the same without a server
  };
  ops.startWorker = [](std::function<void()> work) { std::thread(std::move(work)).detach(); };
  return ops;
}

SetupDialog::SetupDialog(DialogView& view, DialogOperations operations) : view_(view), ops_(std::move(operations)) {}

void SetupDialog::InitSetup() {
  ops_.startServer();
  view_.StartTimer(TIMER_REMOTE_POLL);
  view_.SetProgressRange(0, kProgressEnd, 1);
  view_.SetCaption(std::string(kCaption) + "        " + kVersion);
  std::string name;
  const std::int32_t rc = ops_.getCurrentLanguage(name);
  // The port is open already: a remote request accepted meanwhile keeps its
  // STATUS 1 until its own operation writes the result.
  dnc::SetStatusUnlessBusy(rc);
  if (rc != engine::kOk) {
    Ask(ErrorText(rc, engine::kTextUnknownError), Icon::Stop, Buttons::Ok);
    Refresh();
    return;
  }
  currentLanguage_ = name;
  UpdateGoButton();
  Refresh();
  dnc::SetCurrentLanguageText(name);
}

Answer SetupDialog::Ask(const std::string& text, Icon icon, Buttons buttons, Poll poll) {
  if (poll == Poll::Held) ++pollHeld_;
  ++boxesOpen_;
  const Answer answer = view_.ShowMessage(text, icon, buttons);
  --boxesOpen_;
  if (poll == Poll::Held) --pollHeld_;
  return answer;
}

void SetupDialog::ShowChangeFailure(const std::string& text) {
  failureText_ = text;
  if (failureBox_) {
    // This failure ran inside the loop of the box that is up: end that box
    // and let its own call show it again, rather than nest a second one.
    failureReplaced_ = true;
    view_.EndMessage(*failureBox_);
    return;
  }
  failureBox_ = boxesOpen_;
  do {
    failureReplaced_ = false;
    Ask(failureText_, Icon::Stop, Buttons::Ok);
  } while (failureReplaced_);
  failureBox_.reset();
}

void SetupDialog::TellOverruled() {
  // The poll runs under this box: the remote request starts meanwhile.
  Ask(engine::kTextRemoteFirst, Icon::Exclamation, Buttons::Ok);
}

bool SetupDialog::OperationPending() const {
  return Busy() || ending_ || dnc::GetSetupStatus() == 1;
}

void SetupDialog::Refresh() { view_.Refresh(rootDir_, currentLanguage_, selectedLanguage_); }

void SetupDialog::UpdateGoButton() {
  view_.Enable(Control::Go, !selectedLanguage_.empty() && !rootDir_.empty() && !currentLanguage_.empty());
}

std::string SetupDialog::ErrorText(std::int32_t code, const char* fallback) const {
  std::string text;
  return engine::GetErrorText(code, &text) == engine::kOk ? text : fallback;
}

void SetupDialog::OnSelectClicked() {
  ++pollHeld_;
  const std::optional<std::string> chosen = view_.ChooseFolder(rootDir_);
  --pollHeld_;
  if (!chosen) return;
  // A remote request taken in while the browser was open has the turn.
  if (OperationPending()) {
    TellOverruled();
    return;
  }
  rootDir_ = *chosen;
  StartScan();
}

void SetupDialog::OnLanguageDropDown() {
  std::vector<std::string> items;
  for (std::int32_t i = 0; i < packCount_ && i < engine::kSlotCount && i < static_cast<std::int32_t>(discovered_.size()); ++i)
    items.push_back(discovered_[static_cast<std::size_t>(i)]);
  view_.SetLanguageItems(items);
  Refresh();
  UpdateGoButton();
}

void SetupDialog::OnLanguageSelChange(const std::string& selectedItemText) {
  selectedLanguage_ = selectedItemText;
  Refresh();
  UpdateGoButton();
}

void SetupDialog::OnGoClicked() {
  static const char* const kWarnings[] = {engine::kTextTakesMinutes, engine::kTextKeepPowered, engine::kTextRestarts};
  for (const char* warning : kWarnings) Ask(warning, Icon::Exclamation, Buttons::Ok, Poll::Held);
  if (Ask(engine::kTextContinue, Icon::Exclamation, Buttons::YesNo, Poll::Held) != Answer::Yes) return;
  // The change claims the setup in the same step as the busy test: a remote
  // request accepted while the boxes were up, or at this very moment, has
  // the turn, and the operator's change would run beside it.
  if (Busy() || ending_ || !dnc::SetStatusUnlessBusy(1)) {
    TellOverruled();
    return;
  }
  StartChange();
}

bool SetupDialog::OnSysCommand(unsigned command) {
  if ((command & 0xFFF0) == kAboutCommand) {
    view_.ShowAbout();
    return true;
  }
  if (command != kCloseCommand) return false;
  // The busy test and the end of taking requests are one step: a request
  // accepted a moment after the test would be acknowledged and never run.
  if (!dnc::StopTakingRequestsUnlessBusy()) {
    Ask(engine::kTextBusyClose, Icon::Exclamation, Buttons::Ok);
    return true;
  }
  view_.Close();
  return true;
}

bool SetupDialog::KeepsKeyFromDialog(int virtualKey) { return virtualKey == kVkEscape; }

void SetupDialog::OnTimer(unsigned id) {
  switch (id) {
    case TIMER_REMOTE_POLL: PollRemoteRequests(); break;
    case TIMER_SCAN_ANIMATION: AnimateScan(); break;
    case TIMER_PROGRESS: StepProgress(); break;
    default: break;
  }
}

void SetupDialog::StartScan(bool remote) {
  view_.Enable(Control::Go, false);
  view_.Enable(Control::Language, false);
  view_.Enable(Control::Select, false);
  Refresh();
  // The first steps of the scan: the language field empties and animates.
  selectedLanguage_.clear();
  Refresh();
  dotCount_ = 0;
  view_.StartTimer(TIMER_SCAN_ANIMATION);
  scanning_ = true;
  remoteScan_ = remote;
  ops_.startWorker([this, root = rootDir_, scan = ops_.scan, &view = view_] {
    std::vector<std::string> names;
    const std::int32_t result = scan(root, names);
    view.PostToUi([this, result, names = std::move(names)]() mutable { ScanFinished(result, std::move(names)); });
  });
}

void SetupDialog::ScanFinished(std::int32_t result, std::vector<std::string> names) {
  scanning_ = false;
  packCount_ = result;
  view_.StopTimer(TIMER_SCAN_ANIMATION);
  view_.Enable(Control::Select, true);
  if (result < 0) {
    // The program ends after the message: nothing may start meanwhile, or
    // the quit would cut it off half-way.  Requests are no longer taken, and
    // those waiting are dropped, so STATUS keeps the scan's code and the
    // close command is not refused while the box waits for its OK.
    ending_ = true;
    dnc::StopTakingRequests(result);
    Ask(ErrorText(result, engine::kTextUnknownScanError), Icon::Stop, Buttons::Ok);
    view_.Quit();
    return;
  }
  dnc::PublishScanResult(result, names, remoteScan_ ? dnc::ScanOrigin::Remote : dnc::ScanOrigin::Operator);
  discovered_ = std::move(names);
  view_.SetLanguageItems({});
  selectedLanguage_ = discovered_.empty() ? std::string() : discovered_.front();
  view_.Enable(Control::Language, true);
  UpdateGoButton();
  Refresh();
}

void SetupDialog::StartChange() {
  view_.Enable(Control::Language, false);
  view_.Enable(Control::Go, false);
  view_.Enable(Control::Select, false);
  progress_ = 0;
  view_.SetProgress(progress_);
  view_.StartTimer(TIMER_PROGRESS);
  Refresh();
  changing_ = true;
  // STATUS is 1 already: a remote GO set it when it was accepted, the
  // operator's GO claimed it before the first step here.
  ops_.startWorker([this, name = selectedLanguage_, change = ops_.change, &view = view_] {
    const std::int32_t result = change(name);
    dnc::SetSetupStatus(result);
    view.PostToUi([this, result] { ChangeFinished(result); });
  });
}

void SetupDialog::ChangeFinished(std::int32_t result) {
  changing_ = false;
  // A change that succeeded leaves the controls disabled and the bar
  // filling: the machine restarts.
  if (result == engine::kOk) return;
  progress_ = 0;
  view_.SetProgress(progress_);
  view_.StopTimer(TIMER_PROGRESS);
  view_.Enable(Control::Language, true);
  view_.Enable(Control::Go, true);
  view_.Enable(Control::Select, true);
  Refresh();
  ShowChangeFailure(ErrorText(result, engine::kTextUnknownError));
}

void SetupDialog::AnimateScan() {
  const std::string longer = selectedLanguage_ + ".";
  // A name set remotely during an operator's scan may not leave room for
  // another dot in the animation's buffer: the cycle then starts again.
  if (dotCount_ >= kAnimationDots || text::Utf16Length(longer) >= kAnimationUnits) {
    dotCount_ = 0;
    selectedLanguage_.clear();
  } else {
    selectedLanguage_ = longer;
    ++dotCount_;
  }
  Refresh();
}

void SetupDialog::StepProgress() {
  if (progress_ < kProgressEnd) view_.SetProgress(++progress_);
}

void SetupDialog::PollRemoteRequests() {
  // Requests accepted while an operation runs, while GO's questions or the
  // folder browser are up, or while a failed scan ends the program wait: a
  // second operation never runs beside the first.
  if (Busy() || pollHeld_ > 0 || ending_) return;
  const dnc::RemoteRequests requests = dnc::TakeRemoteRequests();
  if (requests.rootDir) {
    rootDir_ = *requests.rootDir;
    StartScan(true);
  }
  if (requests.next) {
    selectedLanguage_ = *requests.next;
    Refresh();
  }
  if (requests.go) StartChange();
}

}  // namespace kestrio::app
