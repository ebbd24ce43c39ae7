// Winsock 1.1 for the DNC server and client on the machine (and Wine).
//
// The machine's Windows has Winsock 2 as well, but the server keeps to the
// 1.1 calls (wsock32.dll): no getaddrinfo, no WSAPoll, no overlapped I/O.
// The one exception, the keep-alive timings, is in keepalive_win32.cpp.
// A Socket carries the SOCKET value; INVALID_SOCKET is kInvalidSocket.
#include <winsock.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/net.h"
#include "base/text.h"

namespace kestrio::platform::net {
namespace {

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }

Socket Wrap(SOCKET s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s); }

// recv and send take an int length; a larger buffer is served in part.
int ToLength(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

bool SetInt(SOCKET s, int level, int name, int value) {
  return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool SetBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

DWORD WINAPI ThreadMain(LPVOID parameter) {
  const auto body = reinterpret_cast<void (*)()>(reinterpret_cast<std::uintptr_t>(parameter));
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  body();
  return 0;
}

std::string Endpoint(const std::string& host, std::uint16_t port) { return host + ":" + std::to_string(port); }

}  // namespace

bool Startup() {
  // One WSAStartup for the process; it stays up until the process ends.
  static const bool started = [] {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
      ::WSACleanup();
      return false;
    }
    return true;
  }();
  return started;
}

Socket CreateTcpSocket() { return Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

void Close(Socket s) {
  if (s != kInvalidSocket) ::closesocket(Native(s));
}

int LastError() { return ::WSAGetLastError(); }

bool SetOption(Socket s, Option option, int value) {
  int level = SOL_SOCKET, name = 0;
  switch (option) {
    case Option::ReuseAddress: name = SO_REUSEADDR; break;
    case Option::KeepAlive: name = SO_KEEPALIVE; break;
    case Option::NoDelay: level = IPPROTO_TCP; name = TCP_NODELAY; break;
    case Option::SendBuffer: name = SO_SNDBUF; break;
    case Option::ReceiveBuffer: name = SO_RCVBUF; break;
  }
  return SetInt(Native(s), level, name, value);
}

bool Bind(Socket s, std::uint32_t local, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::htonl(local);
  address.sin_port = ::htons(port);
  return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool Listen(Socket s, int backlog) { return ::listen(Native(s), backlog) == 0; }

std::uint16_t LocalPort(Socket s) {
  sockaddr_in address{};
  int size = sizeof address;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ::ntohs(address.sin_port);
}

Wait WaitReadable(Socket s) {
  fd_set read;
  FD_ZERO(&read);
  FD_SET(Native(s), &read);
  // The first argument is ignored by Winsock.
  if (::select(0, &read, nullptr, nullptr, nullptr) == SOCKET_ERROR) return Wait::Failed;
  return FD_ISSET(Native(s), &read) ? Wait::Ready : Wait::NotReady;
}

Socket Accept(Socket listening) { return Wrap(::accept(Native(listening), nullptr, nullptr)); }

int Receive(Socket s, void* buffer, std::size_t size) {
  return ::recv(Native(s), static_cast<char*>(buffer), ToLength(size), 0);
}

int Send(Socket s, const void* data, std::size_t size) {
  return ::send(Native(s), static_cast<const char*>(data), ToLength(size), 0);
}

// A receive time-out (SO_RCVTIMEO) ends the call with WSAETIMEDOUT.
bool IsTimeout(int error) { return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK; }

// The codes a client or server meets get a short text of our own; others
// the system's English message (the machine's base language, whatever pack
// the operator chose: a console shows it without a code page of its own),
// or the bare number.  The code stays beside the text: it is what the
// documentation lists.
std::string ErrorText(int error) {
  static constexpr struct {
    int code;
    const char* text;
  } kTexts[] = {
      {WSAEINTR, "interrupted"},
      {WSAEACCES, "permission denied"},
      {WSAEWOULDBLOCK, "operation would block"},
      {WSAEMFILE, "too many open sockets"},
      {WSAEADDRINUSE, "address already in use"},
      {WSAEADDRNOTAVAIL, "address not available"},
      {WSAENETDOWN, "network is down"},
      {WSAENETUNREACH, "network unreachable"},
      {WSAENETRESET, "connection dropped by a network reset"},
      {WSAECONNABORTED, "connection aborted on this machine"},
      {WSAECONNRESET, "connection reset by the peer"},
      {WSAENOBUFS, "no buffer space"},
      {WSAENOTCONN, "not connected"},
      {WSAESHUTDOWN, "connection already shut down"},
      {WSAETIMEDOUT, "connection timed out"},
      {WSAECONNREFUSED, "connection refused"},
      {WSAEHOSTDOWN, "host is down"},
      {WSAEHOSTUNREACH, "host unreachable"},
      {WSASYSNOTREADY, "network subsystem not ready"},
      {WSANOTINITIALISED, "socket library not started"},
      {WSAHOST_NOT_FOUND, "host not found"},
      {WSATRY_AGAIN, "host name lookup failed for now"},
      {WSANO_RECOVERY, "host name lookup failed"},
      {WSANO_DATA, "no address for the name"},
  };
  const std::string code = " (" + std::to_string(error) + ")";
  for (const auto& entry : kTexts) {
    if (entry.code == error) return entry.text + code;
  }
  wchar_t* message = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(error), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&message),
      0, nullptr);
  std::string system;
  if (length != 0 && message != nullptr) {
    system = text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(message), length));
  }
  if (message != nullptr) ::LocalFree(message);
  // The system's messages end in ".\r\n".
  while (!system.empty() && (system.back() == '\n' || system.back() == '\r' || system.back() == ' ' ||
                             system.back() == '.')) {
    system.pop_back();
  }
  return system.empty() ? "Winsock error " + std::to_string(error) : system + code;
}

void SleepMilliseconds(unsigned ms) { ::Sleep(ms); }

bool StartThread(void (*body)()) {
  // The function pointer travels as the thread parameter.
  const HANDLE thread = ::CreateThread(nullptr, 0, ThreadMain,
                                       reinterpret_cast<LPVOID>(reinterpret_cast<std::uintptr_t>(body)), 0, nullptr);
  if (thread == nullptr) return false;
  ::CloseHandle(thread);
  return true;
}

bool ResolveIPv4(const std::string& host, std::uint32_t& address, std::string& error) {
  // A dotted address first, then a name; INADDR_NONE (also the text of the
  // broadcast address) falls through to the name lookup.
  in_addr found{};
  found.s_addr = host.empty() ? INADDR_NONE : ::inet_addr(host.c_str());
  if (found.s_addr == INADDR_NONE) {
    const hostent* entry = host.empty() || !Startup() ? nullptr : ::gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != sizeof found ||
        entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
      error = "cannot resolve " + host;
      if (entry == nullptr && !host.empty()) error += ": " + ErrorText(::WSAGetLastError());
      return false;
    }
    std::memcpy(&found, entry->h_addr_list[0], sizeof found);
  }
  address = ::ntohl(found.s_addr);
  return true;
}

Socket Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(port);
  std::uint32_t resolved = 0;
  if (!ResolveIPv4(host, resolved, error)) return kInvalidSocket;
  address.sin_addr.s_addr = ::htonl(resolved);

  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = "socket: " + ErrorText(::WSAGetLastError());
    return kInvalidSocket;
  }
  // Any failure below closes the socket; the error code is taken first since
  // closesocket may replace it.
  const auto fail = [&](std::string text) {
    error = std::move(text);
    ::closesocket(s);
    return kInvalidSocket;
  };
  const auto connectFailed = [&](int code) {
    return fail("cannot connect to " + Endpoint(host, port) + ": " + ErrorText(code));
  };

  if (!SetBlocking(s, false)) return connectFailed(::WSAGetLastError());
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    const int code = ::WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return connectFailed(code);

    // Writable: connected.  Exception: the attempt failed (Winsock reports a
    // refused non-blocking connect there, not in the write set).
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{};
    limit.tv_sec = static_cast<long>(timeoutMs / 1000);
    limit.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    const int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready == SOCKET_ERROR) return connectFailed(::WSAGetLastError());
    if (ready == 0) {
      return fail("no answer from " + Endpoint(host, port) + " within " + std::to_string(timeoutMs) + " ms");
    }
    int soError = 0;
    int size = sizeof soError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size) == SOCKET_ERROR) {
      return connectFailed(::WSAGetLastError());
    }
    if (soError != 0) return connectFailed(soError);
    if (!FD_ISSET(s, &writable)) return connectFailed(WSAECONNREFUSED);
  }
  // The callers read and write blocking; a socket left non-blocking would
  // turn every quiet moment into WSAEWOULDBLOCK.
  if (!SetBlocking(s, true)) return connectFailed(::WSAGetLastError());
  SetInt(s, IPPROTO_TCP, TCP_NODELAY, 1);
  return Wrap(s);
}

bool SetReceiveTimeout(Socket s, unsigned timeoutMs) {
  // Winsock takes milliseconds as a DWORD, not a timeval.
  const DWORD ms = timeoutMs;
  return ::setsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

}  // namespace kestrio::platform::net
