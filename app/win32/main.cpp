// Kestrio.exe: one copy at a time, the common controls, the main dialog.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/dialog.h"
#include "win32_view.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // One copy per machine: a second start (or any holder of the name) ends
  // here silently.  The handle stays open for the life of the process.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"INSTANCE_MUTEX");
  if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);  // 8
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  // The folder browser is a shell object.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  // The view lives until the process ends: workers and the DNC server
  // thread are not stopped one by one and may still reach it.
  auto* view = new kestrio::app::win32::Win32DialogView(instance);
  if (view->Create(kestrio::app::DialogOperations::Real())) view->Run();
  // Closing the dialog ends the process, and with it the server thread and
  // any worker still running; nothing is torn down.
  ExitProcess(0);
}
