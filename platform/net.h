// Sockets and threads for the DNC server and its client: Winsock 1.1 on
// Windows, BSD sockets on Linux.  The server code above this header keeps
// the Winsock call order; this layer only translates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrio::platform::net {

using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// Starts the socket library, requiring version 1.1 where there is one
// (WSAStartup; released again when the version differs).  True on posix.
bool Startup();

Socket CreateTcpSocket();
void Close(Socket s);
// The last error of the socket library (WSAGetLastError, errno).
int LastError();

enum class Option { ReuseAddress, KeepAlive, NoDelay, SendBuffer, ReceiveBuffer };
bool SetOption(Socket s, Option option, int value);

// Keep-alive timings of a connection with SO_KEEPALIVE on: the first probe
// after `idleSeconds` without traffic, then one every `intervalSeconds`; after
// `probes` unanswered ones the connection fails (a receive on it returns an
// error).  Windows 7 always sends 10 probes, whatever `probes` says.
struct KeepAliveTimes {
  unsigned idleSeconds;
  unsigned intervalSeconds;
  unsigned probes;
};
// The largest timings Linux takes (Windows 7 takes more seconds and ignores
// the count).  On Linux the same budget, idle + interval x probes, also
// bounds how long sent data may stay unacknowledged (TCP_USER_TIMEOUT).
inline constexpr unsigned kMaxKeepAliveSeconds = 32767;
inline constexpr unsigned kMaxKeepAliveProbes = 127;
// Sets the timings of `s` (TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT;
// SIO_KEEPALIVE_VALS on Windows).  False, with LastError() set, when the
// system refuses one: the timings it took before stay.
bool SetKeepAliveTimes(Socket s, const KeepAliveTimes& times);

// IPv4 addresses in host byte order: every local address (INADDR_ANY) and
// the loopback address.
inline constexpr std::uint32_t kAnyAddress = 0;
inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

// bind to the IPv4 `address` (host byte order) on `port` (0: any free port).
bool Bind(Socket s, std::uint32_t address, std::uint16_t port);
bool Listen(Socket s, int backlog);
// The local port a socket is bound to, or 0.
std::uint16_t LocalPort(Socket s);

enum class Wait { Ready, NotReady, Failed };
// select() for readability with no time-out.
Wait WaitReadable(Socket s);
// accept() without asking for the peer's address.
Socket Accept(Socket listening);

// recv/send: the byte count, 0 when the peer closed, negative on error.
int Receive(Socket s, void* buffer, std::size_t size);
int Send(Socket s, const void* data, std::size_t size);
// Whether a failed Receive ran out of the time SetReceiveTimeout gave it
// (`error` is LastError() right after the call), rather than failing.
bool IsTimeout(int error);
// A readable text for an error of the socket library.
std::string ErrorText(int error);

void SleepMilliseconds(unsigned ms);

// Starts `body` on a thread of its own at normal priority; the thread is
// not joined (it lives as long as the process).
bool StartThread(void (*body)());

// The first IPv4 address (host order) of a host name or dotted address, as
// Connect reaches it; false with a readable `error` when it has none.
bool ResolveIPv4(const std::string& host, std::uint32_t& address, std::string& error);
// Client side: connects to host:port, waiting at most `timeoutMs` (a signal
// that interrupts the wait does not shorten it); on failure returns
// kInvalidSocket with a readable `error`.
Socket Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error);
// A time-out for each receive on `s` (0: none).
bool SetReceiveTimeout(Socket s, unsigned timeoutMs);

}  // namespace kestrio::platform::net
