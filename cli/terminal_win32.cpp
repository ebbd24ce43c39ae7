#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>

#include "base/wide.h"
#include "cli/terminal.h"

namespace kestrio::cli {
namespace {

std::atomic<int>* g_presses = nullptr;

// Runs on a thread the console starts.  TRUE: handled; FALSE: the default,
// which ends the process (closing the console, logging off).
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (g_presses) g_presses->fetch_add(1);
  return TRUE;
}

}  // namespace

void ExitAtOnce(int status) { ::ExitProcess(static_cast<UINT>(status)); }

bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

bool StdoutRedrawsInPlace() { return false; }

void WriteText(std::FILE* stream, std::string_view text) {
  std::fflush(stream);
  const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if ((stream != stdout && stream != stderr) || !GetConsoleMode(handle, &mode)) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    return;
  }
  const std::wstring units = text::Wide(text);
  for (std::size_t done = 0; done < units.size();) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(units.size() - done, 8192));
    if (!WriteConsoleW(handle, units.data() + done, chunk, &n, nullptr) || n == 0) break;
    done += n;
  }
}

void CatchInterrupt(std::atomic<int>* presses) {
  g_presses = presses;
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
