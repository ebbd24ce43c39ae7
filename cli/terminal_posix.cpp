#include <signal.h>
#include <unistd.h>

#include <system_error>

#include "cli/terminal.h"

namespace kestrio::cli {
namespace {

std::atomic<int>* g_presses = nullptr;

extern "C" void OnInterrupt(int) {
  if (g_presses) g_presses->fetch_add(1);
}

}  // namespace

void ExitAtOnce(int status) { ::_exit(status); }

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool StdoutRedrawsInPlace() { return StdoutIsTerminal(); }

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void CatchInterrupt(std::atomic<int>* presses) {
  g_presses = presses;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

std::thread StartShieldedThread(std::function<void()> body) {
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved);
  std::thread thread;
  try {
    thread = std::thread(body);
  } catch (const std::system_error&) {
    // Out of threads (EAGAIN): the work is done here, still shielded.
    body();
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return thread;
}

}  // namespace kestrio::cli
