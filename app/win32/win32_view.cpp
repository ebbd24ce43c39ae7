// The main dialog's window: template 102 as a modeless dialog with its own
// message loop, the About box (template 100), and the controls' side of the
// dialog's data exchange.
#include "win32_view.h"

#include <commctrl.h>
#include <shlobj.h>

#include <string_view>

#include "engine/language.h"
#include "base/wide.h"
#include "resource.h"

namespace kestrio::app::win32 {
namespace {

// Work handed over by PostToUi: lParam owns a heap-allocated std::function.
constexpr UINT WM_RUN_ON_UI = WM_APP + 1;

using text::Wide;

// The resource script names the controls by resource.h; the dialog logic by
// app::Control.  The two lists are the same template's, so they must agree.
constexpr bool Same(Control control, int id) { return static_cast<int>(control) == id; }
static_assert(Same(Control::RootDir, IDC_ROOT_DIR) && Same(Control::Select, IDC_SELECT) &&
              Same(Control::CurrentLanguage, IDC_CURRENT_LANGUAGE) && Same(Control::Language, IDC_LANGUAGE) &&
              Same(Control::Progress, IDC_PROGRESS) && Same(Control::Go, IDC_GO));


std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, buffer.data(), length + 1);
  buffer.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return buffer;
}

// Sets a control's text only when it differs, so that an unchanged field
// neither flickers nor loses its caret.
void SetTextIfChanged(HWND window, const std::wstring& value) {
  if (window != nullptr && WindowText(window) != value) SetWindowTextW(window, value.c_str());
}

// Centres `window` over `owner`, or over the work area without one, as the
// framework places a dialog whose template leaves the position to it.
void Centre(HWND window, HWND owner) {
  RECT area{};
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  int x = area.left + ((area.right - area.left) - width) / 2;
  int y = area.top + ((area.bottom - area.top) - height) / 2;
  RECT screen{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &screen, 0);
  if (x + width > screen.right) x = screen.right - width;
  if (y + height > screen.bottom) y = screen.bottom - height;
  if (x < screen.left) x = screen.left;
  if (y < screen.top) y = screen.top;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HICON LoadAppIcon(HINSTANCE instance, int sizeMetricX, int sizeMetricY) {
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                       GetSystemMetrics(sizeMetricX), GetSystemMetrics(sizeMetricY), 0));
}

// Selects the folder set before once the browser is up.  `data` is the
// path, a wide string that outlives the browser.
int CALLBACK BrowseFolderHook(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

// The message box that MessageBoxW is about to show, caught as it is
// activated: MessageBoxW gives no handle of its own box.  The hook lives
// from just before the call until the box is caught; the UI thread alone
// shows boxes.
struct BoxCatch {
  HHOOK hook = nullptr;
  std::vector<HWND>* boxes = nullptr;  // the view's open boxes
  std::size_t level = 0;               // the slot of the box being shown
} g_catch;

void StopCatching() {
  if (g_catch.hook != nullptr) UnhookWindowsHookEx(g_catch.hook);
  g_catch.hook = nullptr;
}

LRESULT CALLBACK CatchMessageBox(int code, WPARAM wParam, LPARAM lParam) {
  const HHOOK hook = g_catch.hook;
  if (code == HCBT_ACTIVATE && g_catch.boxes != nullptr && g_catch.level < g_catch.boxes->size()) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t name[16] = {};
    if (GetClassNameW(window, name, static_cast<int>(std::size(name))) > 0 && std::wstring_view(name) == L"#32770") {
      (*g_catch.boxes)[g_catch.level] = window;
      StopCatching();
    }
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      Centre(window, GetWindow(window, GW_OWNER));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

Win32DialogView::Win32DialogView(HINSTANCE instance)
    : instance_(instance),
      bigIcon_(LoadAppIcon(instance, SM_CXICON, SM_CYICON)),
      smallIcon_(LoadAppIcon(instance, SM_CXSMICON, SM_CYSMICON)) {}

Win32DialogView::~Win32DialogView() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

bool Win32DialogView::Create(DialogOperations operations) {
  dialog_ = std::make_unique<SetupDialog>(*this, std::move(operations));
  return CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_KESTRIOSETUP_DIALOG), nullptr, DialogProc,
                            reinterpret_cast<LPARAM>(this)) != nullptr;
}

int Win32DialogView::Run() {
  MSG msg{};
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);  // WM_QUIT
    if (got == -1) return 0;
    // Escape skips the dialog's keyboard handling and reaches the focused
    // control as an ordinary key, so it never closes the dialog.
    const bool keepFromDialog =
        msg.message == WM_KEYDOWN && SetupDialog::KeepsKeyFromDialog(static_cast<int>(msg.wParam));
    if (!keepFromDialog && window_ != nullptr && IsDialogMessageW(window_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

INT_PTR CALLBACK Win32DialogView::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* view = reinterpret_cast<Win32DialogView*>(lParam);
    view->window_ = window;
    view->postTarget_ = window;
  }
  auto* view = reinterpret_cast<Win32DialogView*>(GetWindowLongPtrW(window, DWLP_USER));
  if (view == nullptr) return FALSE;  // messages before WM_INITDIALOG
  const INT_PTR result = view->OnMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    view->postTarget_ = nullptr;
    view->window_ = nullptr;
  }
  return result;
}

INT_PTR Win32DialogView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SYSCOMMAND:
      // The low four bits of the command are the system's own.
      return dialog_->OnSysCommand(static_cast<unsigned>(wParam & 0xFFF0)) ? TRUE : FALSE;
    case WM_CLOSE:
      // A close that does not come through the system menu takes the same
      // road, so that a busy setup is never closed.
      dialog_->OnSysCommand(kCloseCommand);
      return TRUE;
    case WM_PAINT:
      return PaintMinimised() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(bigIcon_);
    case WM_TIMER:
      dialog_->OnTimer(static_cast<unsigned>(wParam));
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_REFRESH_DIALOG:
      dialog_->Refresh();
      return TRUE;
    case WM_QUIT_APPLICATION:
      PostQuitMessage(0);
      return TRUE;
    case WM_RUN_ON_UI: {
      std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(lParam));
      if (work && *work) (*work)();
      return TRUE;
    }
    default:
      return FALSE;
  }
}

INT_PTR Win32DialogView::OnInitDialog() {
  if (HMENU menu = GetSystemMenu(window_, FALSE); menu != nullptr) {
    wchar_t about[256] = {};
    if (LoadStringW(instance_, IDS_ABOUTBOX, about, static_cast<int>(std::size(about))) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  Centre(window_, nullptr);
  dialog_->InitSetup();
  return TRUE;  // the focus goes to the first control
}

void Win32DialogView::OnCommand(int id, int code) {
  switch (id) {
    case IDC_SELECT:
      if (code == BN_CLICKED) dialog_->OnSelectClicked();
      break;
    case IDC_GO:
      if (code == BN_CLICKED) dialog_->OnGoClicked();
      break;
    case IDC_LANGUAGE:
      if (code == CBN_DROPDOWN) {
        dialog_->OnLanguageDropDown();
      } else if (code == CBN_SELCHANGE) {
        HWND combo = Item(Control::Language);
        const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
        if (index == CB_ERR) break;
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
        if (length == CB_ERR) break;
        std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                            reinterpret_cast<LPARAM>(item.data()));
        item.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
        dialog_->OnLanguageSelChange(text::Narrow(item));
      }
      break;
    default:
      // IDOK and IDCANCEL (Enter without a default button, Escape) close
      // nothing: only the close command ends the dialog.
      break;
  }
}

bool Win32DialogView::PaintMinimised() {
  if (!IsIconic(window_)) return false;
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(window_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, bigIcon_);
  EndPaint(window_, &paint);
  return true;
}

HWND Win32DialogView::Item(Control control) const { return GetDlgItem(window_, static_cast<int>(control)); }

void Win32DialogView::SetCaption(const std::string& text) { SetWindowTextW(window_, Wide(text).c_str()); }

void Win32DialogView::Refresh(const std::string& rootDir, const std::string& currentLanguage,
                              const std::string& selectedLanguage) {
  SetTextIfChanged(Item(Control::RootDir), Wide(rootDir));
  SetTextIfChanged(Item(Control::CurrentLanguage), Wide(currentLanguage));
  // The combo box selects the first item that begins with the name,
  // ignoring case; without one its edit field shows the name itself.  An
  // empty name selects nothing (every item would begin with it).
  HWND combo = Item(Control::Language);
  const std::wstring selected = Wide(selectedLanguage);
  const LRESULT index = selected.empty() ? CB_ERR
                                         : SendMessageW(combo, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                                        reinterpret_cast<LPARAM>(selected.c_str()));
  if (index != CB_ERR) {
    if (SendMessageW(combo, CB_GETCURSEL, 0, 0) != index) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    return;
  }
  if (SendMessageW(combo, CB_GETCURSEL, 0, 0) != CB_ERR) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  SetTextIfChanged(combo, selected);
}

void Win32DialogView::Enable(Control control, bool enabled) {
  HWND item = Item(control);
  // A control that loses its enabled state while it has the focus hands the
  // focus on, so that the keyboard keeps working.
  if (!enabled && GetFocus() == item) SendMessageW(window_, WM_NEXTDLGCTL, 0, FALSE);
  EnableWindow(item, enabled ? TRUE : FALSE);
}

void Win32DialogView::SetLanguageItems(const std::vector<std::string>& names) {
  HWND combo = Item(Control::Language);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& name : names) {
    const std::wstring item = Wide(name);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
}

void Win32DialogView::SetProgressRange(int low, int high, int step) {
  HWND bar = Item(Control::Progress);
  SendMessageW(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
  SendMessageW(bar, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void Win32DialogView::SetProgress(int position) {
  SendMessageW(Item(Control::Progress), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

Answer Win32DialogView::ShowMessage(const std::string& text, Icon icon, Buttons buttons) {
  const UINT style = (icon == Icon::Stop ? MB_ICONSTOP : MB_ICONEXCLAMATION) |
                     (buttons == Buttons::YesNo ? MB_YESNO : MB_OK);
  // The box's handle, for EndMessage; kept by index, as a box shown inside
  // this one's loop may grow the list.
  const std::size_t level = boxes_.size();
  boxes_.push_back(nullptr);
  StopCatching();
  g_catch = {SetWindowsHookExW(WH_CBT, CatchMessageBox, nullptr, GetCurrentThreadId()), &boxes_, level};
  const int answer = MessageBoxW(window_, Wide(text).c_str(), Wide(kCaption).c_str(), style);
  if (g_catch.level == level) StopCatching();
  boxes_.resize(level);
  if (answer == IDYES) return Answer::Yes;
  if (answer == IDNO) return Answer::No;
  return Answer::Ok;
}

void Win32DialogView::EndMessage(std::size_t level) {
  if (level < boxes_.size() && boxes_[level] != nullptr) EndDialog(boxes_[level], IDOK);
}

std::optional<std::string> Win32DialogView::ChooseFolder(const std::string& preselect) {
  LPITEMIDLIST root = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(window_, CSIDL_DRIVES, &root))) root = nullptr;
  wchar_t path[MAX_PATH] = {};
  const std::wstring start = Wide(preselect);
  const std::wstring title = Wide(engine::kTextBrowseTitle);
  BROWSEINFOW info{};
  info.hwndOwner = window_;
  info.pidlRoot = root;
  info.pszDisplayName = path;
  info.lpszTitle = title.c_str();
  if (!preselect.empty()) {
    info.ulFlags = BIF_VALIDATE;
    info.lpfn = BrowseFolderHook;
    info.lParam = reinterpret_cast<LPARAM>(start.c_str());
  }
  LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
  if (root != nullptr) CoTaskMemFree(root);
  if (chosen == nullptr) return std::nullopt;  // cancelled
  // A folder without a file-system path (My Computer itself, a virtual
  // folder) cannot be scanned: it is taken as no choice.
  path[0] = L'\0';
  const BOOL converted = SHGetPathFromIDListW(chosen, path);
  CoTaskMemFree(chosen);
  if (!converted || path[0] == L'\0') return std::nullopt;
  return text::Narrow(path, wcsnlen(path, MAX_PATH));
}

void Win32DialogView::StartTimer(Timer id) { SetTimer(window_, id, 1000, nullptr); }

void Win32DialogView::StopTimer(Timer id) { KillTimer(window_, id); }

void Win32DialogView::ShowAbout() {
  DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, AboutProc, 0);
}

void Win32DialogView::Close() {
  DestroyWindow(window_);
  PostQuitMessage(0);
}

void Win32DialogView::Quit() { PostQuitMessage(0); }

void Win32DialogView::PostToUi(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  HWND target = postTarget_;
  // Without a window (the dialog is gone) the work is dropped.
  if (target != nullptr && PostMessageW(target, WM_RUN_ON_UI, 0, reinterpret_cast<LPARAM>(owned.get())))
    owned.release();
}

}  // namespace kestrio::app::win32
