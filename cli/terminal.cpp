// What the commands share on both systems, built on the terminal's parts.
#include "cli/terminal.h"

#include <atomic>
#include <thread>

namespace kestrio::cli {

void EndInterrupted(const std::string& line) {
  std::fflush(stdout);
  WriteText(stderr, line + '\n');
  ExitAtOnce(130);
}

void RunWatched(const std::function<void()>& work, const std::function<void()>& meanwhile,
                std::chrono::milliseconds pause) {
  std::atomic<bool> finished{false};
  std::thread runner = StartShieldedThread([&] {
    work();
    finished.store(true);
  });
  while (!finished.load()) {
    meanwhile();
    std::this_thread::sleep_for(pause);
  }
  if (runner.joinable()) runner.join();
}

}  // namespace kestrio::cli
