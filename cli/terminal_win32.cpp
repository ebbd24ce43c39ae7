#include <io.h>
#include <windows.h>

#include <cstdio>
#include <system_error>

#include "cli/terminal.h"

namespace kestrio::cli {
namespace {

std::atomic<bool>* g_interrupted = nullptr;
std::atomic<bool> g_caughtOnce{false};

// Runs on a thread the console starts.  TRUE: handled; FALSE: the default,
// which ends the process.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (g_caughtOnce.exchange(true)) return FALSE;
  if (g_interrupted) g_interrupted->store(true);
  return TRUE;
}

}  // namespace

bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

bool StdoutRedrawsInPlace() { return false; }

void CatchInterrupt(std::atomic<bool>* interrupted) {
  g_interrupted = interrupted;
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

// The console's handler runs on a thread of its own: no call of another
// thread is cut short.
std::thread StartShieldedThread(std::function<void()> body) {
  try {
    return std::thread(body);
  } catch (const std::system_error&) {
    body();  // no thread to be had: the work is done here
    return {};
  }
}

}  // namespace kestrio::cli
