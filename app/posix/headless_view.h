// The main dialog without a window, for the Linux host.
//
// HeadlessView stands in for the dialog's window: message boxes become one
// line on standard error ("Kestrio Setup: <text>") and are answered at once
// (OK, or Yes), the folder browser has no operator and chooses nothing, and
// the controls are not drawn (with `verbose`, their changes are logged on
// standard output).  Run() is the UI thread's loop: work handed over with
// PostToUi, in the order it was posted, and the ticks of the timers the
// dialog started.  Quit and Close end the loop.
//
// With `boxesStay` the machine has nobody at it: a box stays up, never
// answered, and runs the loop nested inside it as a window's modal box
// does, until the dialog ends it or the program ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/dialog.h"

namespace kestrio::app::posix {

class HeadlessView final : public DialogView {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    std::chrono::milliseconds tick{1000};  // period of every timer
    bool verbose = false;                  // log the controls' changes on standard output
    bool boxesStay = false;                // message boxes are never answered
    std::function<void()> beforeBox;       // runs before each message box is shown
  };

  explicit HeadlessView(Options options);

  void SetCaption(const std::string& text) override;
  void Refresh(const std::string& rootDir, const std::string& currentLanguage,
               const std::string& selectedLanguage) override;
  void Enable(Control control, bool enabled) override;
  void SetLanguageItems(const std::vector<std::string>& names) override;
  void SetProgressRange(int low, int high, int step) override;
  void SetProgress(int position) override;
  Answer ShowMessage(const std::string& text, Icon icon, Buttons buttons) override;
  void EndMessage(std::size_t level) override;
  std::optional<std::string> ChooseFolder(const std::string& preselect) override;
  void StartTimer(Timer id) override;
  void StopTimer(Timer id) override;
  void ShowAbout() override;
  void Close() override;
  void Quit() override;
  void PostToUi(std::function<void()> work) override;

  // The dialog whose timers the loop fires; before Run or any box.
  void Attach(SetupDialog& dialog) { dialog_ = &dialog; }
  // The UI loop, on the calling thread, until Quit or Close.  Posted work
  // goes before timer ticks, as a window's queue hands out timer messages
  // only when nothing else waits.
  void Run();

 private:
  void Log(const std::string& line) const;
  std::optional<Clock::time_point> NextTimerDue() const;
  void FireDueTimers();
  // The loop, until Quit or Close, or until `done` holds after a step.
  template <typename Done>
  void RunUntil(Done done);

  const Options options_;
  std::mutex mutex_;                              // guards queue_
  std::condition_variable wake_;                  // signalled when work is posted
  std::deque<std::function<void()>> queue_;       // posted work, oldest first
  std::map<unsigned, Clock::time_point> timers_;  // running timers and their next tick (UI thread only)
  bool running_ = true;                           // false once Quit or Close ran (UI thread only)
  SetupDialog* dialog_ = nullptr;                 // whose timers fire
  std::vector<bool> boxesEnded_;                  // per box staying up, innermost last: ended by the dialog
};

}  // namespace kestrio::app::posix
