// Pieces the DNC fuzz targets share: the failure check, the quiet trace
// set-up, the setup table each input starts from, and a connected socket
// pair with the client's bytes already queued for the server.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dnc/setup_variables.h"
#include "dnc/trace.h"
#include "dnc/variables.h"

namespace kestrio::fuzz {

// A broken property of the code under test: say which, then stop the
// process so libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
      __builtin_trap();                                                                   \
    }                                                                                     \
  } while (0)

// Every trace line is formatted (both channels at their most detailed
// level) and then dropped.
inline void QuietTrace() {
  dnc::DesviarTraza([](const std::string&) {});
  dnc::canalDNC.nivel = 4;
  dnc::canalVS.nivel = 4;
}

// The registry holds the KESTRIO table alone and the block is as after a
// scan: names that need escaping, and names long enough that a list of
// them outgrows a reply.
inline void ResetSetupTable() {
  dnc::ReiniciarRegistro();
  dnc::RegisterSetupVariables();
  (void)dnc::TakeRemoteRequests();
  static const std::vector<std::string> names = {
      "Deutsch (Deutschland)",
      "Espa\xF1ol, Espa\xF1"
      "a",
      "C:\\Packs\\fr-FR,lp.cab",
      "100% #1 [x].y",
      std::string(63, 'L'),
      std::string(63, ','),
      std::string(63, '\\'),
  };
  dnc::PublishScanResult(static_cast<std::int32_t>(names.size()), names, dnc::ScanOrigin::Remote);
  dnc::SetCurrentLanguageText("Deutsch, \\de-DE\\");
}

// A text as its own heap block of exactly size + 1 bytes, so that a read
// past its terminator is caught by the address sanitizer.
class ExactText {
 public:
  ExactText(const char* data, std::size_t size) : bytes_(new char[size + 1]) {
    for (std::size_t k = 0; k < size; ++k) bytes_[k] = data[k];
    bytes_[size] = '\0';
  }
  ~ExactText() { delete[] bytes_; }
  ExactText(const ExactText&) = delete;
  ExactText& operator=(const ExactText&) = delete;
  const char* c_str() const { return bytes_; }

 private:
  char* bytes_;
};

// A stream socket pair whose first end has sent `bytes` and shut its write
// side: reading the second end gives those bytes, then the end of stream.
// The bytes must fit the socket buffers (far more than libFuzzer's
// -max_len here), as nobody reads while they are written.
struct SocketPair {
  int client = -1;
  int server = -1;

  explicit SocketPair(const std::string& bytes) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    client = fds[0];
    server = fds[1];
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) std::abort();
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(client, SHUT_WR);
  }
  ~SocketPair() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
};

// The most the harnesses put on the wire at once; larger inputs are skipped.
inline constexpr std::size_t kMaxWire = 64 * 1024;

}  // namespace kestrio::fuzz
