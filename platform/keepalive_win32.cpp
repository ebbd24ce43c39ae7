// Keep-alive timings of a connection on Windows.  They are set with
// WSAIoctl(SIO_KEEPALIVE_VALS), a Winsock 2 call (ws2_32.dll, on Windows 7
// as on every Windows since 2000); the rest of the socket code keeps to
// Winsock 1.1, whose header cannot share a translation unit with Winsock 2's,
// hence this file of its own.  Both libraries hand out the same SOCKET values.
#include <winsock2.h>
// winsock2.h first: mstcpip.h builds on it.
#include <mstcpip.h>

#include "platform/net.h"

namespace kestrio::platform::net {
namespace {

// Seconds as the milliseconds tcp_keepalive takes, at most its largest value.
u_long Milliseconds(unsigned seconds) {
  constexpr u_long kMost = ~u_long{0};
  return seconds > kMost / 1000 ? kMost : static_cast<u_long>(seconds) * 1000;
}

}  // namespace

bool SetKeepAliveTimes(Socket s, const KeepAliveTimes& times) {
  // The probe count is not settable before Windows 10 (1703): always 10.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = Milliseconds(times.idleSeconds);
  values.keepaliveinterval = Milliseconds(times.intervalSeconds);
  DWORD returned = 0;
  return ::WSAIoctl(static_cast<SOCKET>(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                    nullptr, nullptr) == 0;
}

}  // namespace kestrio::platform::net
