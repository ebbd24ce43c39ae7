// BSD sockets for the DNC server and client on Linux.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "platform/net.h"

namespace kestrio::platform::net {
namespace {

int Fd(Socket s) { return static_cast<int>(s); }

}  // namespace

bool Startup() { return true; }

Socket CreateTcpSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kInvalidSocket : fd;
}

void Close(Socket s) {
  if (s != kInvalidSocket) ::close(Fd(s));
}

int LastError() { return errno; }

bool SetOption(Socket s, Option option, int value) {
  int level = SOL_SOCKET, name = 0;
  switch (option) {
    case Option::ReuseAddress: name = SO_REUSEADDR; break;
    case Option::KeepAlive: name = SO_KEEPALIVE; break;
    case Option::NoDelay: level = IPPROTO_TCP; name = TCP_NODELAY; break;
    case Option::SendBuffer: name = SO_SNDBUF; break;
    case Option::ReceiveBuffer: name = SO_RCVBUF; break;
  }
  return ::setsockopt(Fd(s), level, name, &value, sizeof value) == 0;
}

bool SetKeepAliveTimes(Socket s, const KeepAliveTimes& times) {
  const struct {
    int name;
    unsigned value;
  } settings[] = {
      {TCP_KEEPIDLE, times.idleSeconds}, {TCP_KEEPINTVL, times.intervalSeconds}, {TCP_KEEPCNT, times.probes}};
  for (const auto& setting : settings) {
    if (setting.value > INT_MAX) {
      errno = EINVAL;
      return false;
    }
    const int value = static_cast<int>(setting.value);
    if (::setsockopt(Fd(s), IPPROTO_TCP, setting.name, &value, sizeof value) != 0) return false;
  }
  // Keep-alive probes only an idle connection: a reply that the peer never
  // acknowledges is retransmitted for the system's retry limit (about 15
  // minutes) instead.  The same budget bounds how long data may wait for
  // its acknowledgement.
  const unsigned long long budgetMs =
      (static_cast<unsigned long long>(times.idleSeconds) + 1ULL * times.intervalSeconds * times.probes) * 1000ULL;
  const unsigned userTimeout = static_cast<unsigned>(std::min<unsigned long long>(budgetMs, UINT_MAX));
  return ::setsockopt(Fd(s), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0;
}

bool Bind(Socket s, std::uint32_t local, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(local);
  address.sin_port = htons(port);
  return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool Listen(Socket s, int backlog) { return ::listen(Fd(s), backlog) == 0; }

std::uint16_t LocalPort(Socket s) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

Wait WaitReadable(Socket s) {
  if (Fd(s) >= FD_SETSIZE) return Wait::Failed;
  fd_set read;
  FD_ZERO(&read);
  FD_SET(Fd(s), &read);
  if (::select(Fd(s) + 1, &read, nullptr, nullptr, nullptr) < 0) return errno == EINTR ? Wait::NotReady : Wait::Failed;
  return FD_ISSET(Fd(s), &read) ? Wait::Ready : Wait::NotReady;
}

Socket Accept(Socket listening) {
  const int fd = ::accept4(Fd(listening), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kInvalidSocket : fd;
}

int Receive(Socket s, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(Fd(s), buffer, size, 0);
    if (n >= 0 || errno != EINTR) return static_cast<int>(n);
  }
}

int Send(Socket s, const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(Fd(s), data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return static_cast<int>(n);
  }
}

bool IsTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

std::string ErrorText(int error) { return std::strerror(error); }

void SleepMilliseconds(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool StartThread(void (*body)()) {
  try {
    std::thread(body).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool ResolveIPv4(const std::string& host, std::uint32_t& address, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(rc != 0 ? rc : EAI_NONAME);
    return false;
  }
  address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(found);
  return true;
}

Socket Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::uint32_t resolved = 0;
  if (!ResolveIPv4(host, resolved, error)) return kInvalidSocket;
  address.sin_addr.s_addr = htonl(resolved);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return kInvalidSocket;
  }
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const std::string endpoint = host + ":" + std::to_string(port);
  const auto fail = [&](const std::string& text) {
    error = text;
    ::close(fd);
    return kInvalidSocket;
  };
  if (result != 0 && errno == EINPROGRESS) {
    // Writable means the attempt ended, one way or the other.  A signal ends
    // poll early (EINTR) with the attempt still under way: wait again for
    // the time that is left.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      result = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
      if (result >= 0 || errno != EINTR) break;
    }
    if (result == 0) return fail("no answer from " + endpoint + " within " + std::to_string(timeoutMs) + " ms");
    if (result < 0) return fail("cannot connect to " + endpoint + ": poll: " + std::strerror(errno));
    int soError = 0;
    socklen_t size = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) soError = errno;
    errno = soError;
    result = soError == 0 ? 0 : -1;
  }
  if (result != 0) return fail("cannot connect to " + endpoint + ": " + std::strerror(errno));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool SetReceiveTimeout(Socket s, unsigned timeoutMs) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace kestrio::platform::net
