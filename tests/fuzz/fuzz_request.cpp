// libFuzzer target: one client connection, from the bytes on the wire to the
// server's replies.
//
// The first input byte chooses how the rest reaches the server:
//   even  the bytes go onto the wire as they are, length fields included;
//   odd   the rest is cut at each '\n' and every non-empty piece is sent as a
//         packet with a valid length field (a piece of more than 1024 bytes
//         becomes several packets), so that mutations reach the requests.
// The server loop runs on a thread of its own while this thread reads the
// replies, so neither side can stall the other.  The reply stream must be a
// sequence of whole, well-formed frames.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "dnc/protocol.h"
#include "dnc/transport.h"
#include "fuzz_common.h"

namespace dnc = kestrio::dnc;
using kestrio::fuzz::kMaxWire;

// The pause the server takes after each request; the link redirects it here.
extern "C" void __wrap__ZN7kestrio8platform3net17SleepMillisecondsEj(unsigned) {}

namespace {

std::string Wire(const std::uint8_t* data, std::size_t size) {
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) return std::string(rest);
  std::string wire;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\n', start);
    if (end == std::string_view::npos) end = rest.size();
    for (std::size_t k = start; k < end; k += dnc::kMaxPayload) {
      const std::size_t n = std::min<std::size_t>(end - k, dnc::kMaxPayload);
      wire += static_cast<char>(n >> 8);
      wire += static_cast<char>(n & 0xFF);
      wire.append(rest.substr(k, n));
    }
    start = end + 1;
  }
  return wire;
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

// Code frame: 0x00 0x01, 8 zero bytes, ACK or NAK, 9 zero bytes.  Text
// frame: the length (at most 1023), 8 zero bytes, then SOH "S," ... "," ETX
// with no zero byte; its fields are split by exactly four commas (five in an
// error reply, whose code is a field of its own), so escaped values cannot
// add one.
void CheckReplies(std::string_view r) {
  std::size_t k = 0;
  while (k < r.size()) {
    FUZZ_CHECK(r.size() - k >= 10);
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(r[k]) << 8 |
                                                        static_cast<unsigned char>(r[k + 1]));
    FUZZ_CHECK(AllZero(r.substr(k + 2, 8)));
    k += 10;
    if (length == 1) {
      FUZZ_CHECK(r.size() - k >= 10);
      FUZZ_CHECK(r[k] == static_cast<char>(dnc::DNC_ACK) || r[k] == static_cast<char>(dnc::DNC_NAK));
      FUZZ_CHECK(AllZero(r.substr(k + 1, 9)));
      k += 10;
      continue;
    }
    FUZZ_CHECK(length >= 5 && length <= dnc::kMaxTexto);
    FUZZ_CHECK(r.size() - k >= length);
    const std::string_view text = r.substr(k, length);
    k += length;
    FUZZ_CHECK(text.find('\0') == std::string_view::npos);
    FUZZ_CHECK(text.substr(0, 3) == "\x01S,");
    FUZZ_CHECK(text.substr(length - 2) == ",\x03");
    const auto commas = std::count(text.begin(), text.end(), ',');
    FUZZ_CHECK(commas == 4 || (commas == 5 && text.substr(0, 14) == "\x01S,VAR,ERRDNC,"));
  }
}

// The thread the server loop runs on, kept for the whole run: a thread per
// input would cost more than the input.  Serve hands it a socket and
// returns at once; Wait returns once the loop is over and the socket closed.
class ServerThread {
 public:
  ServerThread() { std::thread([this] { Run(); }).detach(); }

  void Serve(int socket) {
    std::lock_guard lock(mutex_);
    socket_ = socket;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return socket_ < 0; });
  }

 private:
  void Run() {
    for (;;) {
      int socket;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return socket_ >= 0; });
        socket = socket_;
      }
      dnc::AtenderPeticiones(socket);
      ::close(socket);  // the client's read ends here
      std::lock_guard lock(mutex_);
      socket_ = -1;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int socket_ = -1;  // the connection being served, or -1
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kestrio::fuzz::QuietTrace();
  dnc::EnlazarOperaciones(dnc::LeerVariableTxt, dnc::EscribirVariableTxt);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Never destroyed: the thread waits on its members until the process ends.
  static ServerThread& server = *new ServerThread;
  if (size == 0 || size > kMaxWire / 2) return 0;
  kestrio::fuzz::ResetSetupTable();
  kestrio::fuzz::SocketPair pair(Wire(data, size));

  server.Serve(pair.server);
  pair.server = -1;  // the server thread closes it
  std::string replies;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::recv(pair.client, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of stream, or a reset after the server stopped early
    replies.append(chunk, static_cast<std::size_t>(n));
  }
  server.Wait();
  CheckReplies(replies);
  return 0;
}
