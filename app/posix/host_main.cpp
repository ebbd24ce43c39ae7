// kestrio-setup: the setup program on a simulated machine, without a window.
//
//   kestrio-setup --machine DIR [--port N] [--listen ADDR] [--tick-ms MS] [--boxes answered|stay] [--verbose]
//                 [--keepalive IDLE,INTERVAL,COUNT]
//
// The DNC service listens on the loopback address unless --listen names
// another local IPv4 address (0.0.0.0: every address, as the Windows program
// does): a simulated machine is a developer's, and the service runs its
// tools for anyone who connects.
// One copy per machine: the first holds a lock on DIR/kestrio-setup.lock for
// as long as it runs, and a second start exits at once with status 1.  The
// program starts the dialog logic as the window would (DNC server, remote
// poll, current language), prints "kestrio-setup: DNC server on port N", and
// then serves remote requests until it is closed.  SIGINT and SIGTERM are the
// window's close command: refused while an operation is in progress.  The
// process also ends after a failed pack scan, once its message is out.
// Message boxes are answered at once, or with --boxes stay never, as on a
// CNC that nobody stands at (the failed scan's box then keeps the program).
// --keepalive is for tests: shorter keep-alive timings of the DNC
// connections, so that a client that vanished is dropped in seconds rather
// than in two minutes.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog.h"
#include "app/posix/headless_view.h"
#include "dnc/transport.h"
#include "platform/net.h"
#include "platform/simulated_posix.h"
#include "platform/machine_option.h"
#include "kestrio_version.h"

namespace {

using kestrio::app::posix::HeadlessView;

constexpr const char* kLockFile = "kestrio-setup.lock";

// Takes the machine's single-instance lock and keeps it until the process
// ends (the descriptor is never closed, and not inherited by the tools the
// program starts).  False with a message when another copy holds it.
bool LockMachine(const std::string& dir) {
  const std::string path = dir + "/" + kLockFile;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "kestrio-setup: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      char owner[32] = {};
      const ssize_t n = ::pread(fd, owner, sizeof owner - 1, 0);
      owner[n > 0 ? n : 0] = '\0';
      owner[std::strcspn(owner, "\n")] = '\0';
      std::fprintf(stderr, "kestrio-setup: Kestrio Setup is already running on the machine %s%s%s%s\n", dir.c_str(),
                   owner[0] ? " (process " : "", owner, owner[0] ? ")" : "");
    } else {
      std::fprintf(stderr, "kestrio-setup: cannot lock %s: %s\n", path.c_str(), std::strerror(error));
    }
    ::close(fd);
    return false;
  }
  // The owner's process id, for the message of a second start; without it
  // that message only lacks the id.
  const std::string pid = std::to_string(::getpid()) + "\n";
  [[maybe_unused]] const bool written =
      ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
  return true;
}

// SIGINT and SIGTERM reach the UI thread as the close command.  The handler
// only writes a byte to a pipe; a watcher thread reads it and posts the
// command to the UI loop.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

bool WatchCloseSignals(HeadlessView& view, kestrio::app::SetupDialog& dialog) {
  if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) return false;
  // A full pipe drops a signal rather than blocking the handler; the ones
  // already in it close the dialog just as well.
  ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
  std::thread([&view, &dialog] {
    for (;;) {
      char byte = 0;
      const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      view.PostToUi([&dialog] { dialog.OnSysCommand(kestrio::app::kCloseCommand); });
    }
  }).detach();
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kestrio-setup: Kestrio Setup on a simulated machine, without a window: the DNC service and the "
               "remote language change."};
  std::string machine;
  unsigned port = kestrio::dnc::PUERTO_DNC;
  std::string listen = "127.0.0.1";
  unsigned tickMs = 1000;
  bool verbose = false;
  std::string boxes = "answered";
  std::vector<unsigned> keepAlive;
  kestrio::tools::AddMachineOption(app, machine);
  app.add_option("--port", port, "TCP port of the DNC service; 0 takes a free one")
      ->check(CLI::Range(0u, 65535u))
      ->capture_default_str();
  app.add_option("--listen", listen, "local IPv4 address of the DNC service; 0.0.0.0 for every address")
      ->capture_default_str();
  app.add_option("--tick-ms", tickMs, "period of the dialog's timers, in milliseconds")
      ->check(CLI::Range(1u, 60000u))
      ->capture_default_str();
  app.add_option("--boxes", boxes,
                 "message boxes: answered at once (OK, Yes), or stay up unanswered as on a machine nobody stands at")
      ->check(CLI::IsMember({"answered", "stay"}))
      ->capture_default_str();
  app.add_flag("--verbose", verbose, "log the changes of the dialog's controls");
  app.add_option("--keepalive", keepAlive,
                 "for tests: keep-alive of the DNC connections: seconds idle before the first probe, seconds "
                 "between probes, unanswered probes that end the connection (default 60,10,6)")
      ->type_name("IDLE,INTERVAL,COUNT")
      ->delimiter(',')
      ->expected(3);
  app.set_version_flag("--version", std::string(KESTRIO_VERSION_TEXT), "print this program's version and exit");
  // Help and the version on stdout with status 0; a mistake on stderr with
  // status 2 and a pointer to the help, as kestrio-dnc does.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "kestrio-setup: %s (see kestrio-setup --help)\n", e.what());
    return 2;
  }
  // What Linux takes; it refuses more, and the connections would keep its
  // own timings unnoticed.
  using kestrio::platform::net::kMaxKeepAliveProbes;
  using kestrio::platform::net::kMaxKeepAliveSeconds;
  if (!keepAlive.empty() && (keepAlive[0] < 1 || keepAlive[0] > kMaxKeepAliveSeconds || keepAlive[1] < 1 ||
                             keepAlive[1] > kMaxKeepAliveSeconds || keepAlive[2] < 1 || keepAlive[2] > kMaxKeepAliveProbes)) {
    std::fprintf(stderr,
                 "kestrio-setup: --keepalive %u,%u,%u: idle and interval from 1 to %u seconds, from 1 to %u probes\n",
                 keepAlive[0], keepAlive[1], keepAlive[2], kMaxKeepAliveSeconds, kMaxKeepAliveProbes);
    return 1;
  }

  // Lines reach a log file as they are printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string error;
  if (!kestrio::tools::SelectMachine(machine, error)) {
    std::fprintf(stderr, "kestrio-setup: %s\n", error.c_str());
    return 1;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, listen.c_str(), &address) != 1) {
    std::fprintf(stderr, "kestrio-setup: --listen: not an IPv4 address: %s\n", listen.c_str());
    return 1;
  }
  if (!LockMachine(kestrio::platform::posix::MachineDir())) return 1;

  kestrio::dnc::ConfigurarPuertoDNC(static_cast<std::uint16_t>(port));
  kestrio::dnc::ConfigurarDireccionDNC(ntohl(address.s_addr));
  if (!keepAlive.empty()) kestrio::dnc::ConfigurarKeepAliveDNC({keepAlive[0], keepAlive[1], keepAlive[2]});
  // The port line says the setup has started: its state (STATUS, CURRENT)
  // is written by then.  A start-up box that stays up must not hide it, so
  // it comes before the first box at the latest.
  bool announced = false;
  const auto announce = [&announced, port] {
    if (announced) return;
    announced = true;
    if (const std::uint16_t bound = kestrio::dnc::PuertoDNC(); bound != 0)
      std::printf("kestrio-setup: DNC server on port %u\n", static_cast<unsigned>(bound));
    else
      std::fprintf(stderr, "kestrio-setup: the DNC server did not start on port %u; remote requests are not served\n",
                   port);
    std::fflush(stdout);
  };
  HeadlessView view({std::chrono::milliseconds(tickMs), verbose, boxes == "stay", announce});
  kestrio::app::SetupDialog dialog(view, kestrio::app::DialogOperations::Real());
  view.Attach(dialog);
  if (!WatchCloseSignals(view, dialog)) {
    std::fprintf(stderr, "kestrio-setup: cannot watch for SIGINT and SIGTERM: %s\n", std::strerror(errno));
    return 1;
  }
  // The dialog starts inside the loop, as a window's initialisation runs
  // inside its message loop: a box it shows has the loop's timers.
  view.PostToUi([&dialog, &announce] {
    dialog.InitSetup();
    announce();
  });
  view.Run();

  // The server thread and any worker end with the process, as the window's
  // program ends: nothing is torn down under them.
  std::fflush(nullptr);
  std::_Exit(0);
}
