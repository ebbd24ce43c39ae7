// The main dialog as a Win32 window.
//
// Win32DialogView is the dialog's window: a modeless dialog made from
// template 102 and driven by Run(), the UI thread's message loop, which keeps
// Escape key-downs away from the dialog's own keyboard handling.  It carries
// out what SetupDialog asks of the window with the controls themselves, and
// hands the window's messages (commands, system commands, timers, work
// posted by the workers) to SetupDialog.  Text is UTF-8 up to the Win32
// calls, which take UTF-16.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

#include "app/dialog.h"

namespace kestrio::app::win32 {

class Win32DialogView final : public DialogView {
 public:
  explicit Win32DialogView(HINSTANCE instance);
  ~Win32DialogView() override;
  Win32DialogView(const Win32DialogView&) = delete;
  Win32DialogView& operator=(const Win32DialogView&) = delete;

  // Makes the dialog; its initialisation starts the setup (service, poll
  // timer, current language).  False when the window could not be made.
  bool Create(DialogOperations operations);
  // The message loop, until WM_QUIT; returns its exit code.
  int Run();

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

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnInitDialog();
  void OnCommand(int id, int code);
  bool PaintMinimised();
  HWND Item(Control control) const;

  HINSTANCE instance_;                   // the module holding the resources
  HWND window_ = nullptr;                // the dialog, from WM_INITDIALOG to WM_NCDESTROY
  std::atomic<HWND> postTarget_{nullptr};  // where PostToUi posts; read by any thread
  HICON bigIcon_ = nullptr;              // icon 129 at the system's icon size
  HICON smallIcon_ = nullptr;            // icon 129 at the small icon size
  std::unique_ptr<SetupDialog> dialog_;  // the dialog's logic
  std::vector<HWND> boxes_;              // the message boxes open now, innermost last (null until shown)
};

}  // namespace kestrio::app::win32
