// Looks at the running Kestrio.exe from outside, as an operator would see
// it, for run-wine-gui-test.sh.
//
//   gui_probe start KESTRIO_EXE       the window and its controls after the
//                                     start; the About box from the system
//                                     menu; Escape; a second start of the
//                                     program ends at once
//   gui_probe changing ROOT LANGUAGE  after a remote change has started: the
//                                     root directory and language shown, the
//                                     controls disabled, the bar advancing
//   gui_probe close                   the close command ends the program,
//                                     with status 0
//   gui_probe go                      clicks GO once it is enabled and sees
//                                     the first warning box open, unanswered
//   gui_probe box TEXT                one message box of the dialog is
//                                     open, and it reads TEXT (it is left
//                                     open)
//   gui_probe answer TEXT BUTTON ...  answers the boxes in turn: each reads
//                                     TEXT and is closed with BUTTON (ok,
//                                     yes or no)
//   gui_probe answer-go BUTTON        answers GO's three warnings with OK
//                                     and its question with BUTTON
//   gui_probe ends TEXT               OK closes the box reading TEXT, and
//                                     the program ends by itself with
//                                     status 0
//   gui_probe drop COUNT              the language list drops down holding
//                                     COUNT names, and is left so (for a
//                                     picture)
//
// With --desktop NAME first, the probe works on that desktop (a Wine
// virtual desktop, which draws the windows' frames on a display without a
// window manager).
// Prints one line per check ("ok ..." or "FAIL ..."); the exit status is the
// number of failed checks (0: all passed).
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "base/wide.h"

namespace {

const wchar_t kTitle[] = L"Kestrio Setup        v2017.09";  // eight blanks
int g_failures = 0;
std::wstring g_desktop;  // the desktop the program runs on; empty: the default one

std::string Utf8(const std::wstring& s) { return kestrio::text::Narrow(s); }

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

std::wstring Text(HWND window) {
  // WM_GETTEXT reaches another process's controls (GetWindowText does not).
  wchar_t buffer[512] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, std::size(buffer), reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return name;
}

LONG Style(HWND window) { return GetWindowLongW(window, GWL_STYLE); }

template <typename Done>
bool WaitFor(DWORD milliseconds, Done done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(200);
  }
  return true;
}

HWND FindDialog() { return FindWindowW(L"#32770", kTitle); }

int CountDialogs() {
  int count = 0;
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, L"#32770", kTitle)) != nullptr) ++count;
  return count;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&out));
  return out;
}

// The window of another process that `owner` owns, with the given caption.
HWND FindOwned(HWND owner, const wchar_t* caption) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, L"#32770", caption)) != nullptr)
    if (GetWindow(w, GW_OWNER) == owner) return w;
  return nullptr;
}

// The message box owned by `dialog` whose text reads `text`.
HWND FindBox(HWND dialog, const std::wstring& text) {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", L"Kestrio Setup")) != nullptr) {
    if (GetWindow(box, GW_OWNER) != dialog) continue;
    for (HWND child : Children(box))
      if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0 && Text(child) == text) return box;
  }
  return nullptr;
}

// The message boxes that `dialog` owns.
int CountBoxes(HWND dialog) {
  int count = 0;
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", L"Kestrio Setup")) != nullptr)
    if (GetWindow(box, GW_OWNER) == dialog && IsWindowVisible(box)) ++count;
  return count;
}

HWND AwaitBox(HWND dialog, const std::wstring& text) {
  HWND box = nullptr;
  Check(WaitFor(60000, [&] { return (box = FindBox(dialog, text)) != nullptr; }),
        "a box reading \"" + Utf8(text) + "\" is open");
  return box;
}

struct ControlCase {
  int id;
  const wchar_t* className;  // compared ignoring case
  const wchar_t* text;       // nullptr: not compared
  bool enabled;
  LONG styleBits;  // all must be set
  const char* what;
};

void CheckControls(HWND dialog, const std::wstring& currentLanguage) {
  const ControlCase cases[] = {
      {1000, L"Edit", L"", true, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, "root directory edit"},
      {1001, L"Button", L"Select", true, WS_TABSTOP, "Select button"},
      {1002, L"Edit", currentLanguage.c_str(), true, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, "current language edit"},
      // (A combo box hands WS_VSCROLL on to its list.)
      {1003, L"ComboBox", nullptr, false, CBS_DROPDOWN | CBS_SORT | WS_TABSTOP, "language combo box"},
      {1005, L"msctls_progress32", nullptr, true, 0, "progress bar"},
      {1008, L"Button", L"GO", false, BS_DEFPUSHBUTTON | WS_TABSTOP, "GO button"},
  };
  for (const ControlCase& c : cases) {
    HWND item = GetDlgItem(dialog, c.id);
    if (item == nullptr) {
      Check(false, std::string(c.what) + " exists");
      continue;
    }
    const std::string name = c.what;
    Check(_wcsicmp(ClassOf(item).c_str(), c.className) == 0, name + " is a " + Utf8(c.className) + " (" + Utf8(ClassOf(item)) + ")");
    if (c.text != nullptr) Check(Text(item) == c.text, name + " reads \"" + Utf8(c.text) + "\" (\"" + Utf8(Text(item)) + "\")");
    Check((IsWindowEnabled(item) != FALSE) == c.enabled, name + (c.enabled ? " enabled" : " disabled"));
    Check((Style(item) & c.styleBits) == c.styleBits, name + " style");
  }
  // The combo box has an edit field: a drop-down, not a drop-down list.
  Check((Style(GetDlgItem(dialog, 1003)) & 3) == CBS_DROPDOWN, "language combo box is a drop-down with an edit field");
  // The edits are read-only and bordered (a dialog may turn the border into a client edge).
  for (int id : {1000, 1002}) {
    HWND edit = GetDlgItem(dialog, id);
    Check((Style(edit) & WS_BORDER) || (GetWindowLongW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE),
          "edit " + std::to_string(id) + " has a border");
  }
  HWND bar = GetDlgItem(dialog, 1005);
  // Without a structure (which could not cross the process boundary) the
  // range comes one end at a time.
  const LRESULT low = SendMessageW(bar, PBM_GETRANGE, TRUE, 0), high = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
  Check(low == 0 && high == 750, "progress range 0 to 750 (" + std::to_string(low) + " to " + std::to_string(high) + ")");
  Check(SendMessageW(bar, PBM_GETPOS, 0, 0) == 0, "progress at 0");

  // The group boxes and the banner.
  std::vector<std::wstring> groups;
  bool banner = false;
  for (HWND child : Children(dialog)) {
    const std::wstring cls = ClassOf(child);
    if (_wcsicmp(cls.c_str(), L"Button") == 0 && (Style(child) & BS_TYPEMASK) == BS_GROUPBOX) groups.push_back(Text(child));
    if (_wcsicmp(cls.c_str(), L"Static") == 0 && (Style(child) & SS_TYPEMASK) == SS_BITMAP)
      banner = SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
  }
  const std::vector<std::wstring> expected = {L"Language Pack Root Directory", L"Current Language",
                                              L"Change Language To ... ", L""};
  Check(groups == expected, "group boxes \"Language Pack Root Directory\", \"Current Language\", "
                            "\"Change Language To ... \" and one without text, in that order");
  Check(banner, "banner bitmap shown");
}

// The open dialog, or nullptr (a failed check).
HWND OpenDialog() {
  HWND dialog = FindDialog();
  Check(dialog != nullptr, "the dialog is open");
  return dialog;
}

int Start(const wchar_t* program) {
  HWND dialog = nullptr;
  // The caption is set during the dialog's initialisation, which ends before
  // the window is shown.
  Check(WaitFor(90000, [&] { return (dialog = FindDialog()) != nullptr && IsWindowVisible(dialog); }),
        "a window captioned \"Kestrio Setup        v2017.09\" is shown");
  if (dialog == nullptr) return g_failures;

  const LONG style = Style(dialog);
  Check((style & (WS_CAPTION | WS_SYSMENU | WS_VISIBLE)) == (WS_CAPTION | WS_SYSMENU | WS_VISIBLE) &&
            (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) == 0,
        "fixed-size dialog with a system menu and no minimise or maximise box");
  Check((GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0, "dialog shown on the taskbar");
  CheckControls(dialog, L"German");

  // The About box from the system menu's command 16, closed with OK.
  PostMessageW(dialog, WM_SYSCOMMAND, 0x0010, 0);
  HWND about = nullptr;
  Check(WaitFor(20000, [&] { return (about = FindOwned(dialog, L"About KestrioSetup")) != nullptr; }),
        "system command 16 opens \"About KestrioSetup\" owned by the dialog");
  if (about != nullptr) {
    bool versionLine = false;
    for (HWND child : Children(about)) versionLine = versionLine || Text(child) == L"KestrioSetup Version 1.0";
    Check(versionLine, "About box reads \"KestrioSetup Version 1.0\"");
    PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(about, IDOK)));
    Check(WaitFor(10000, [&] { return !IsWindow(about); }), "OK closes the About box");
    Check(IsWindow(dialog) != FALSE, "the dialog stays open behind the About box");
  }

  // Escape reaches the dialog's thread as a key and closes nothing.
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageW(dialog, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
  Sleep(1500);
  Check(IsWindow(dialog) != FALSE, "Escape does not close the dialog");

  // A second copy ends at once without a window of its own.
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!g_desktop.empty()) startup.lpDesktop = g_desktop.data();
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
  if (CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    Check(ended && code == 0, "a second start ends at once with status 0");
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    Check(false, "a second start (CreateProcessW failed: " + std::to_string(GetLastError()) + ")");
  }
  Check(CountDialogs() == 1 && IsWindowEnabled(GetDlgItem(dialog, 1001)), "the first copy keeps running, alone");
  return g_failures;
}

int Changing(const wchar_t* root, const wchar_t* language) {
  HWND dialog = OpenDialog();
  if (dialog == nullptr) return g_failures;
  Check(Text(GetDlgItem(dialog, 1000)) == root, "root directory shows " + Utf8(root));
  Check(Text(GetDlgItem(dialog, 1003)) == language, "language field shows " + Utf8(language) + " (\"" +
                                                        Utf8(Text(GetDlgItem(dialog, 1003))) + "\")");
  for (int id : {1001, 1003, 1008})
    Check(!IsWindowEnabled(GetDlgItem(dialog, id)), "control " + std::to_string(id) + " disabled after the change");
  HWND bar = GetDlgItem(dialog, 1005);
  const LRESULT first = SendMessageW(bar, PBM_GETPOS, 0, 0);
  Check(WaitFor(5000, [&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > first; }),
        "the progress bar advances (from " + std::to_string(first) + ")");
  return g_failures;
}

// The program behind `dialog`, opened before the action that ends it.
HANDLE OpenProgram(HWND dialog) {
  DWORD pid = 0;
  GetWindowThreadProcessId(dialog, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  Check(process != nullptr, "the program's process can be opened");
  return process;
}

// The program ends within `milliseconds`, with status 0.
void CheckEnds(HANDLE process, DWORD milliseconds, const std::string& what) {
  DWORD code = 1;
  const bool ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  Check(ended && code == 0, what + " (" + std::to_string(code) + ")");
}

int Close() {
  HWND dialog = OpenDialog();
  if (dialog == nullptr) return g_failures;
  HANDLE process = OpenProgram(dialog);
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  Check(WaitFor(20000, [&] { return !IsWindow(dialog); }), "the close command closes the idle dialog");
  if (process != nullptr) CheckEnds(process, 30000, "the program ends with status 0");
  return g_failures;
}

int Go() {
  HWND dialog = OpenDialog();
  if (dialog == nullptr) return g_failures;
  HWND go = GetDlgItem(dialog, 1008);
  Check(WaitFor(60000, [&] { return IsWindowEnabled(go) != FALSE; }), "GO is enabled");
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1008, BN_CLICKED), reinterpret_cast<LPARAM>(go));
  AwaitBox(dialog, L"This process takes several minutes.");
  return g_failures;
}

int Drop(const wchar_t* count) {
  HWND dialog = OpenDialog();
  if (dialog == nullptr) return g_failures;
  // The dialog fills the list as it drops down (CBN_DROPDOWN).
  HWND list = GetDlgItem(dialog, 1003);
  SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
  Check(WaitFor(5000, [&] { return SendMessageW(list, CB_GETDROPPEDSTATE, 0, 0) != FALSE; }),
        "the language list is dropped down");
  const LRESULT wanted = std::wcstol(count, nullptr, 10);
  LRESULT held = 0;
  const bool holds = WaitFor(5000, [&] { return (held = SendMessageW(list, CB_GETCOUNT, 0, 0)) == wanted; });
  Check(holds, "the dropped list holds " + Utf8(count) + " names (" + std::to_string(held) + ")");
  return g_failures;
}

int Box(const wchar_t* text) {
  HWND dialog = OpenDialog();
  if (dialog == nullptr || AwaitBox(dialog, text) == nullptr) return g_failures;
  // A box that replaces another may take a moment to come up; none may stay
  // beside it.
  int count = 0;
  const bool alone = WaitFor(20000, [&] { return (count = CountBoxes(dialog)) == 1; });
  Check(alone, "it is the only box of the dialog (" + std::to_string(count) + " open)");
  return g_failures;
}

// Answers the boxes of `dialog` in turn: text, button (ok, yes or no), ...
void AnswerBoxes(HWND dialog, int count, const wchar_t* const* pairs) {
  for (int i = 0; i + 1 < count; i += 2) {
    const int button = _wcsicmp(pairs[i + 1], L"yes") == 0  ? IDYES
                       : _wcsicmp(pairs[i + 1], L"no") == 0 ? IDNO
                                                            : IDOK;
    HWND box = AwaitBox(dialog, pairs[i]);
    if (box == nullptr) return;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    Check(WaitFor(20000, [&] { return !IsWindow(box); }), Utf8(pairs[i + 1]) + " closes the box");
  }
}

int Answer(int count, const wchar_t* const* pairs) {
  if (HWND dialog = OpenDialog(); dialog != nullptr) AnswerBoxes(dialog, count, pairs);
  return g_failures;
}

int Ends(const wchar_t* text) {
  HWND dialog = OpenDialog();
  if (dialog == nullptr) return g_failures;
  HANDLE process = OpenProgram(dialog);
  if (process == nullptr) return g_failures;
  const wchar_t* const box[] = {text, L"ok"};
  AnswerBoxes(dialog, 2, box);
  CheckEnds(process, 60000, "the program ends by itself with status 0");
  return g_failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"--desktop") == 0) {
    g_desktop = argv[2];
    // The desktop appears with the program's first start.
    HDESK desktop = nullptr;
    WaitFor(90000, [&] { return (desktop = OpenDesktopW(g_desktop.c_str(), 0, FALSE, GENERIC_ALL)) != nullptr; });
    if (desktop == nullptr || !SetThreadDesktop(desktop)) {
      std::fprintf(stderr, "gui_probe: no desktop %ls\n", g_desktop.c_str());
      return 100;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"start") == 0) return Start(argv[2]);
  if (argc == 4 && std::wcscmp(argv[1], L"changing") == 0) return Changing(argv[2], argv[3]);
  if (argc == 2 && std::wcscmp(argv[1], L"close") == 0) return Close();
  if (argc == 2 && std::wcscmp(argv[1], L"go") == 0) return Go();
  if (argc == 3 && std::wcscmp(argv[1], L"box") == 0) return Box(argv[2]);
  if (argc >= 4 && argc % 2 == 0 && std::wcscmp(argv[1], L"answer") == 0) return Answer(argc - 2, argv + 2);
  if (argc == 3 && std::wcscmp(argv[1], L"ends") == 0) return Ends(argv[2]);
  if (argc == 3 && std::wcscmp(argv[1], L"drop") == 0) return Drop(argv[2]);
  if (argc == 3 && std::wcscmp(argv[1], L"answer-go") == 0) {
    // (The second warning's mark is U+00B4, which a command line from the
    // Linux side may not carry intact.)
    const wchar_t* const boxes[] = {L"This process takes several minutes.", L"ok",
                                    L"Don\u00b4t turn off the CNC during process.", L"ok",
                                    L"The CNC will be restarted automatically.", L"ok",
                                    L"Do you want to continue?", argv[2]};
    return Answer(8, boxes);
  }
  std::fprintf(stderr,
               "usage: gui_probe [--desktop NAME] start KESTRIO_EXE | changing ROOT LANGUAGE | close | go |\n"
               "                 box TEXT | answer TEXT BUTTON... | answer-go BUTTON | ends TEXT | drop COUNT\n");
  return 100;
}
