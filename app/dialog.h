// The main dialog's logic, without a windowing toolkit.
//
// SetupDialog holds the dialog's data and decides everything the operator
// and the remote poll can do: the start-up, the GO rule, Select, the list,
// GO with its confirmations, the system commands, Escape, the workers of the
// scan and the change, and the three one-second timers.  It talks to the
// window through DialogView.  All of SetupDialog runs on the UI thread; the
// workers only call the engine and hand their results back with
// DialogView::PostToUi, and the UI thread then carries out the steps that
// follow, in their order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrio::app {

// Control IDs of dialog template 102.
enum class Control : int {
  RootDir = 1000,          // edit, read-only
  Select = 1001,           // push button
  CurrentLanguage = 1002,  // edit, read-only
  Language = 1003,         // combo box (drop-down with edit field, sorted)
  Progress = 1005,         // progress bar
  Go = 1008,               // default push button
};

enum Timer : unsigned {
  TIMER_REMOTE_POLL = 4442,
  TIMER_SCAN_ANIMATION = 4443,
  TIMER_PROGRESS = 4445,
};

// Private window messages of the Windows dialog.
enum Message : unsigned { WM_REFRESH_DIALOG = 2024, WM_QUIT_APPLICATION = 2025 };

enum class Icon { Stop, Exclamation };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

inline constexpr const char* kCaption = "Kestrio Setup";
inline constexpr const char* kVersion = "v2017.09";
inline constexpr unsigned kAboutCommand = 0x0010;
inline constexpr unsigned kCloseCommand = 0xF060;  // SC_CLOSE
inline constexpr int kProgressEnd = 750;

// What the dialog logic needs from a window.  Called on the UI thread only,
// except PostToUi, which any thread may call.
class DialogView {
 public:
  virtual ~DialogView() = default;
  virtual void SetCaption(const std::string& text) = 0;
  // The data exchange in the load direction: edit 1000, edit 1002, and the
  // combo box (selects the first item that begins with the text, ignoring
  // case, or else writes the text into its edit field).
  virtual void Refresh(const std::string& rootDir, const std::string& currentLanguage,
                       const std::string& selectedLanguage) = 0;
  virtual void Enable(Control control, bool enabled) = 0;
  virtual void SetLanguageItems(const std::vector<std::string>& names) = 0;  // the list; the control sorts it
  virtual void SetProgressRange(int low, int high, int step) = 0;
  virtual void SetProgress(int position) = 0;
  virtual Answer ShowMessage(const std::string& text, Icon icon, Buttons buttons) = 0;
  // Ends the message box that ShowMessage has open at nesting `level` (0:
  // the first of the boxes open now) as if its OK button were pressed, so
  // that its ShowMessage returns Answer::Ok.  A level not open is ignored.
  virtual void EndMessage(std::size_t level) = 0;
  // The folder browser rooted at My Computer; `preselect` is selected when
  // not empty.  Nothing when the operator cancels.
  virtual std::optional<std::string> ChooseFolder(const std::string& preselect) = 0;
  virtual void StartTimer(Timer id) = 0;  // period 1000 ms
  virtual void StopTimer(Timer id) = 0;
  virtual void ShowAbout() = 0;
  virtual void Close() = 0;  // the default handling of the close command
  virtual void Quit() = 0;   // ends the program (message 2025)
  virtual void PostToUi(std::function<void()> work) = 0;
};

// The engine and service calls the dialog makes; tests replace them.
struct DialogOperations {
  std::function<std::int32_t(std::string& name)> getCurrentLanguage;
  // Scans and returns the result with the names of the discovered packs.
  std::function<std::int32_t(const std::string& root, std::vector<std::string>& names)> scan;
  std::function<std::int32_t(const std::string& name)> change;
  std::function<void()> startServer;  // RegisterSetupVariables, the protocol bound to them, IniciarDNC
  std::function<void(std::function<void()>)> startWorker;  // runs work on a thread of its own

  // The real engine, the real service and std::thread workers.
  static DialogOperations Real();
};

class SetupDialog {
 public:
  SetupDialog(DialogView& view, DialogOperations operations);

  // OnInitDialog's InitSetup: service, poll timer, progress range, caption,
  // current language.
  void InitSetup();

  void OnSelectClicked();
  void OnLanguageDropDown();
  void OnLanguageSelChange(const std::string& selectedItemText);
  void OnGoClicked();
  // True when the command was handled here; false asks for the default
  // handling of the window.
  bool OnSysCommand(unsigned command);
  // True when the key is to skip the dialog's own keyboard handling (Escape).
  static bool KeepsKeyFromDialog(int virtualKey);
  void OnTimer(unsigned id);

  void StartScan(bool remote = false);
  void StartChange();
  // The data exchange in the load direction (message 2024).
  void Refresh();

  // The dialog's data, for views and tests.
  const std::string& RootDir() const { return rootDir_; }
  const std::string& CurrentLanguage() const { return currentLanguage_; }
  const std::string& SelectedLanguage() const { return selectedLanguage_; }
  std::int32_t PackCount() const { return packCount_; }
  int ProgressPosition() const { return progress_; }
  bool Busy() const { return scanning_ || changing_; }
  const std::vector<std::string>& DiscoveredNames() const { return discovered_; }

 private:
  // The modal UI of the dialog: message boxes, the folder browser and the
  // About box run nested message loops in which the timers keep firing.
  // Only the UI whose answer starts an operation (GO's questions, the folder
  // browser) holds the poll; while any other box is up, on a machine that
  // nobody may stand at, remote requests are taken as when idle.
  enum class Poll { Runs, Held };
  Answer Ask(const std::string& text, Icon icon, Buttons buttons, Poll poll = Poll::Runs);
  // The stop box of a failed change.  Remote retries that fail while it is
  // up replace it with their text: one box on the screen, one nested loop.
  void ShowChangeFailure(const std::string& text);
  // The operator's Select or GO yielded to a remote request accepted while
  // the folder browser or GO's questions were up: a box says so.
  void TellOverruled();
  // True when an operator's command may not start work now: an operation
  // runs, a remote request waits for its turn, or a failed scan is ending
  // the program.
  bool OperationPending() const;
  void UpdateGoButton();
  void PollRemoteRequests();
  void AnimateScan();
  void StepProgress();
  void ScanFinished(std::int32_t result, std::vector<std::string> names);
  void ChangeFinished(std::int32_t result);
  std::string ErrorText(std::int32_t code, const char* fallback) const;

  DialogView& view_;
  DialogOperations ops_;
  std::string rootDir_;            // g_strRootDir
  std::string currentLanguage_;    // m_strCurrentLanguage
  std::string selectedLanguage_;   // m_strSelectedLanguage
  std::int32_t packCount_ = 0;     // m_nPackCount
  int dotCount_ = 0;               // m_nDotCount
  int progress_ = 0;               // the bar's position
  std::vector<std::string> discovered_;  // names of the last scan, in discovery order
  bool scanning_ = false;
  bool remoteScan_ = false;  // the running scan was asked for by a remote ROOTDIR
  bool changing_ = false;
  bool ending_ = false;      // a scan failed: the program ends after its message
  int pollHeld_ = 0;         // modal UI up whose answer starts an operation (nested)
  std::size_t boxesOpen_ = 0;              // message boxes open now (nested)
  std::optional<std::size_t> failureBox_;  // nesting level of a failed change's stop box while it is up
  std::string failureText_;                // what that box shows: the latest failure's text
  bool failureReplaced_ = false;           // a newer failure ended the box, to be shown again
};

}  // namespace kestrio::app
