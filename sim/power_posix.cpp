// kestrio-sim power: the simulated machine's power and start-up.
//
// It starts the program it is given (Kestrio Setup) as the CNC's start-up
// starts it, and restarts the machine as Windows 7 does when the package
// tool, run quietly without /norestart, restarts it: a while after the tool
// has returned (seconds.shutdown) every program of the machine is ended as a
// shutdown ends them, not through their close command, which Kestrio Setup
// may refuse; the pending package changes take effect; and after the boot
// time (seconds.boot) the program starts again on the port it had.
//
// The program runs in a process group of its own, so that the tools it has
// started end with it; it dies with the power (SIGKILL) if this process is
// killed.  Its standard output passes through here line by line: the line
// "kestrio-setup: DNC server on port N" gives the port that a restart keeps.
// SIGTERM and SIGINT are passed on to the program as its close command; when
// it ends, so does this process, with its exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/machine.h"
#include "sim/power.h"
#include "sim/tools.h"

namespace kestrio::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultShutdownSeconds = 2;
constexpr double kDefaultBootSeconds = 3;
constexpr const char* kPortLine = "kestrio-setup: DNC server on port ";

volatile sig_atomic_t g_closeSignal = 0;
extern "C" void OnClose(int signal) { g_closeSignal = signal; }

// [seconds] KEY of machine.ini, or `fallback` when not set or not a number
// from 0 to the longest a step may take.
double Seconds(const std::string& dir, const char* key, double fallback) {
  const auto m = Machine::Load(dir, nullptr);
  if (!m) return fallback;
  const std::string text = m->Get("seconds", key, "");
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && v >= 0 && v <= kMaxStepSeconds ? v : fallback;
}

// Waits `seconds`; false when a close signal came meanwhile (the machine is
// then switched off rather than started).
bool Pause(double seconds) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < until) {
    if (g_closeSignal != 0) return false;
    ::poll(nullptr, 0, 50);
  }
  return g_closeSignal == 0;
}

class Program {
 public:
  explicit Program(std::vector<std::string> command) : command_(std::move(command)) {}

  bool Start() {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
      ::close(out[0]);
      ::close(out[1]);
      return false;
    }
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);  // the power went before the program started
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (auto& a : command_) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      std::fprintf(stderr, "kestrio-sim power: cannot start %s: %s\n", argv[0], std::strerror(errno));
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // either side may win the race; both set the same group
    ::close(out[1]);
    output_ = out[0];
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    pending_.clear();
    return true;
  }

  // Passes on what the program printed, for at most `ms`; true while it runs.
  bool Serve(int ms) {
    if (output_ >= 0) {
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, ms) > 0) Forward();
    } else {
      ::poll(nullptr, 0, ms);
    }
    return Running();
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Drain();
    return false;
  }

  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // The shutdown: every process of the program's group, the tools with it.
  // What it had not printed yet is lost with it.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    Drain();
  }

  // The next start listens on the port this one was given.
  void KeepPort() {
    if (port_.empty()) return;
    for (std::size_t i = 0; i < command_.size(); ++i) {
      if (command_[i] == "--port" && i + 1 < command_.size()) command_[i + 1] = port_;
      if (command_[i].rfind("--port=", 0) == 0) command_[i] = "--port=" + port_;
    }
  }

  int ExitStatus() const { return status_; }

 private:
  // Passes on the whole lines read; false when nothing more was there now.
  bool Forward() {
    char buf[4096];
    const ssize_t n = ::read(output_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (n <= 0) {
      ::close(output_);
      output_ = -1;
      return false;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      const std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (line.rfind(kPortLine, 0) == 0) port_ = line.substr(std::strlen(kPortLine));
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    return true;
  }

  // What is left in the pipe once the program has ended; a tool of its
  // group that still held the pipe is gone with it, so the end comes soon.
  void Drain() {
    for (int rounds = 0; output_ >= 0 && rounds < 20; ++rounds) {
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0)
        while (Forward()) {
        }
    }
    if (output_ >= 0) ::close(output_);
    output_ = -1;
  }

  std::vector<std::string> command_;
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
  std::string port_;
  int status_ = 0;
};

}  // namespace

int PowerOn(const std::string& dir, const std::vector<std::string>& command) {
  struct sigaction action {};
  action.sa_handler = OnClose;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const std::string mark = dir + "/" + std::string(kShutdownMark);
  ::unlink(mark.c_str());  // a mark of a power that went with its machine
  Program program(command);
  if (!program.Start()) {
    std::fprintf(stderr, "kestrio-sim power: cannot start the program: %s\n", std::strerror(errno));
    return 1;
  }
  for (;;) {
    // The close command; the program may refuse it, and the machine goes on.
    if (const int signal = g_closeSignal; signal != 0) {
      g_closeSignal = 0;
      program.Signal(signal);
    }
    if (!program.Serve(100)) return program.ExitStatus();
    struct stat st {};
    if (::stat(mark.c_str(), &st) != 0) continue;

    // Windows goes down a while after the package tool returned.  A close
    // signal meanwhile switches the machine off once it is down.
    const double shutdown = Seconds(dir, "shutdown", kDefaultShutdownSeconds);
    for (auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(shutdown));
         Clock::now() < until;)
      if (!program.Serve(50)) return program.ExitStatus();
    std::fprintf(stderr, "kestrio-sim power: %s restarts\n", dir.c_str());
    program.Kill();
    std::string error;
    auto m = Machine::Load(dir, &error);
    if (m) {
      Reboot(*m);
      if (!m->Save(&error)) m.reset();
    }
    ::unlink(mark.c_str());
    if (!m) {
      std::fprintf(stderr, "kestrio-sim power: the machine does not start again: %s\n", error.c_str());
      return 1;
    }
    if (!Pause(Seconds(dir, "boot", kDefaultBootSeconds))) return 0;  // switched off while it booted
    program.KeepPort();
    if (!program.Start()) {
      std::fprintf(stderr, "kestrio-sim power: cannot start the program again: %s\n", std::strerror(errno));
      return 1;
    }
  }
}

}  // namespace kestrio::sim
