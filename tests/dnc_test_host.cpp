// A small host for the remote service until the operator program carries
// it: registers the setup table, starts the DNC server, and carries out the
// remote requests on the engine as the dialog's poll does (scan, name, GO),
// each operation on a worker thread.
//
//   dnc_test_host [--machine DIR] [--port N] [--poll-ms N] [--exit-on-go]
//
// Prints "listening on port N" once the server is up.  With --exit-on-go
// the host ends at once when its poll takes a GO, as a machine does that
// restarts: its connections end without a reply.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "dnc/setup_variables.h"
#include "dnc/transport.h"
#include "engine/change.h"
#include "engine/discovery.h"
#include "engine/installed.h"
#include "engine/language.h"
#include "support/host_machine.h"

using namespace kestrio;

namespace {

std::atomic<bool> g_busy{false};
std::thread g_worker;

template <typename F>
void StartWorker(F&& work) {
  if (g_worker.joinable()) g_worker.join();
  g_busy = true;
  g_worker = std::thread([work = std::forward<F>(work)] {
    work();
    g_busy = false;
  });
}

}  // namespace

int main(int argc, char** argv) {
  std::string machine;
  unsigned long port = dnc::PUERTO_DNC, pollMs = 1000;
  bool exitOnGo = false;
  for (int k = 1; k < argc; ++k) {
    const bool value = k + 1 < argc;
    if (std::strcmp(argv[k], "--machine") == 0 && value) machine = argv[++k];
    else if (std::strcmp(argv[k], "--port") == 0 && value) port = std::strtoul(argv[++k], nullptr, 10);
    else if (std::strcmp(argv[k], "--poll-ms") == 0 && value) pollMs = std::strtoul(argv[++k], nullptr, 10);
    else if (std::strcmp(argv[k], "--exit-on-go") == 0) exitOnGo = true;
    else {
      std::fprintf(stderr, "usage: dnc_test_host [--machine DIR] [--port N] [--poll-ms N] [--exit-on-go]\n");
      return 2;
    }
  }
  if (!test::UseHostMachine(machine)) return 2;

  dnc::RegisterSetupVariables();
  dnc::ConfigurarPuertoDNC(static_cast<std::uint16_t>(port));
  if (dnc::IniciarDNC() != 1 || dnc::PuertoDNC() == 0) {
    std::fprintf(stderr, "dnc_test_host: the DNC server did not start\n");
    return 1;
  }
  std::string name;
  const std::int32_t current = engine::GetCurrentLanguage(name);
  if (current == engine::kOk) dnc::SetCurrentLanguageText(name);
  dnc::SetSetupStatus(current);
  std::printf("listening on port %u\n", static_cast<unsigned>(dnc::PuertoDNC()));
  std::fflush(stdout);

  std::string selected;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    if (g_busy) continue;  // one operation at a time, as the dialog runs them
    const dnc::RemoteRequests requests = dnc::TakeRemoteRequests();
    if (requests.rootDir) {
      StartWorker([root = *requests.rootDir] {
        const std::int32_t rc = engine::ScanLanguagePacks(root);
        if (rc < 0)
          dnc::SetSetupStatus(rc);
        else
          dnc::PublishScanResult(rc, engine::DiscoveredNames(), dnc::ScanOrigin::Remote);
      });
      continue;
    }
    if (requests.next) selected = *requests.next;
    if (requests.go && exitOnGo) std::_Exit(0);
    if (requests.go) {
      StartWorker([language = selected] {
        dnc::SetSetupStatus(1);
        dnc::SetSetupStatus(engine::ChangeLanguage(language));
      });
    }
  }
}
