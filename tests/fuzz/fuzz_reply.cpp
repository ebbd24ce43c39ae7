// libFuzzer target: the client reading what a server sends.  The input is
// every byte a server sent before closing its side; the client connects
// (the link hands platform::net::Connect to ConnectToInput below, which
// gives it its end of a socket pair holding the input) and reads replies
// until one fails.  Each reply must be judged from its own bytes: an ACK is
// the code packet 0x30, an error carries the code of an ERRDNC text after a
// NAK, a value reply is a whole SOH "S," ... "," ETX text, and nothing but
// the end of the bytes or a malformed reply stops the reading.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dnc/client.h"
#include "dnc/protocol.h"
#include "dnc/transport.h"
#include "fuzz_common.h"
#include "platform/net.h"

namespace dnc = kestrio::dnc;
namespace net = kestrio::platform::net;

namespace {
int g_clientEnd = -1;  // handed to the next Connect
}  // namespace

extern "C" net::Socket
__wrap__ZN7kestrio8platform3net7ConnectERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEtjRS7_(
    const std::string&, std::uint16_t, unsigned, std::string&) {
  const int fd = g_clientEnd;
  g_clientEnd = -1;
  return fd;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kestrio::fuzz::QuietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrio::fuzz::kMaxWire) return 0;
  const std::string wire(reinterpret_cast<const char*>(data), size);
  // The pair's first end is the server: it has sent the input and closed.
  kestrio::fuzz::SocketPair pair(wire);
  g_clientEnd = pair.server;
  pair.server = -1;  // the client owns and closes this end
  dnc::Client client;
  std::string error;
  FUZZ_CHECK(client.Connect("127.0.0.1", dnc::PUERTO_DNC, 1000, error));

  std::size_t at = 0;  // bytes of the input the replies read so far
  for (;;) {
    std::string text;
    const dnc::ClientResult r = client.ReadReply(&text);
    if (r.kind == dnc::ClientResult::Failed) break;
    FUZZ_CHECK(r.kind == dnc::ClientResult::Ok || r.kind == dnc::ClientResult::ErrorReply);
    FUZZ_CHECK(at + 10 <= size);
    const auto length = static_cast<std::size_t>(data[at] << 8 | data[at + 1]);
    if (length == 1) {
      const unsigned char code = data[at + 10];
      if (r.kind == dnc::ClientResult::Ok) {  // an ACK: its code block alone
        FUZZ_CHECK(code == dnc::DNC_ACK && r.values.empty() && text.empty());
        at += 20;
        continue;
      }
      FUZZ_CHECK(code == dnc::DNC_NAK);
      at += 20;
      FUZZ_CHECK(at + 10 <= size);
    } else {
      FUZZ_CHECK(r.kind == dnc::ClientResult::Ok);
    }
    // The text read is exactly the next packet's.
    const auto textLength = static_cast<std::size_t>(data[at] << 8 | data[at + 1]);
    FUZZ_CHECK(text.size() == textLength && at + 10 + textLength <= size);
    FUZZ_CHECK(text.compare(0, std::string::npos, wire, at + 10, textLength) == 0);
    FUZZ_CHECK(text.size() >= 4 && text.front() == dnc::SOH && text.back() == dnc::ETX);
    FUZZ_CHECK(text.compare(1, 2, "S,") == 0);
    if (r.kind == dnc::ClientResult::ErrorReply)
      FUZZ_CHECK(text.find(",ERRDNC,") != std::string::npos);
    else
      FUZZ_CHECK(!r.values.empty());
    at += 10 + textLength;
  }
  return 0;
}
