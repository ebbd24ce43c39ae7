// The client side of the DNC protocol: requests framed with a 2-byte length,
// replies read back from their 10-byte header.  Used by kestrio-dnc and the
// tests; escaping and list splitting are the server's own functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net.h"

namespace kestrio::dnc {

struct ClientResult {
  enum Kind {
    Ok,          // values (reads), version or ACK (writes)
    ErrorReply,  // the server answered with an error code
    Failed,      // no usable answer: connection closed, timed out, malformed
    Refused,     // not sent: the request cannot carry these names or values
  } kind = Failed;
  std::int32_t code = 0;            // for ErrorReply
  std::vector<std::string> values;  // unescaped values of a read; the version number
  std::string problem;              // for Failed and Refused, readable
  // For Failed: the connection ended (the server closed it, or a send or
  // receive failed), as against a reply that did not come in time or could
  // not be read.
  bool connectionLost = false;
  // For Failed: nothing more came within the time-out.
  bool timedOut = false;
};

// Reads TEXT as a whole decimal number that fits 32 bits, and nothing else
// ("12", "-5"; not "", "1x" or "9999999999").
bool ParseWholeNumber(const std::string& text, std::int32_t& number);

class Client {
 public:
  static constexpr unsigned kConnectTimeoutMs = 30000;  // the connect's bound when timeoutMs is 0

  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  Client(Client&& other) noexcept : socket_(other.socket_), timeoutMs_(other.timeoutMs_), heard_(other.heard_) {
    other.socket_ = platform::net::kInvalidSocket;
  }

  // Connects; false with `error` set.  `timeoutMs` bounds the connect and
  // every wait for a reply.  0 waits for ever for a reply, but a connect that
  // is never answered still gives up after kConnectTimeoutMs.
  bool Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error);
  void Close();
  bool Connected() const { return socket_ != platform::net::kInvalidSocket; }

  ClientResult Read(const std::string& name);
  ClientResult ReadList(const std::vector<std::string>& names);
  ClientResult Write(const std::string& name, const std::string& value);
  ClientResult WriteList(const std::vector<std::string>& names, const std::vector<std::string>& values);
  ClientResult Version();

  // Raw access for tests: sends a payload with its 2-byte length header.
  bool SendPayload(std::string_view payload);
  // Reads one reply: an ACK, an error (NAK packet and its text) or a text.
  // It is judged on its own bytes only; Read, Write and the others also
  // check that it answers the request they sent.
  ClientResult ReadReply(std::string* rawText = nullptr);

 private:
  bool ReceiveExactly(char* buffer, std::size_t size, ClientResult& failure);
  // A wait for a reply that ran out, told by whether this connection was
  // ever answered: a service that never said a word may be serving another
  // client (it takes one connection at a time; the system queues the others).
  std::string NoReply(bool write) const;
  ClientResult Exchange(const struct Request& request, const struct ExpectedReply& expected);
  platform::net::Socket socket_ = platform::net::kInvalidSocket;
  unsigned timeoutMs_ = 0;  // for each reply; 0: none
  std::chrono::steady_clock::time_point deadline_{};  // of the reply being read
  bool heard_ = false;  // a byte of a reply came on this connection
};

// A request text (payload) with its values escaped, or why it cannot be
// sent: names travel as they are, so a comma (it ends the field), '#' (it
// splits a list) or SOH/ETX (they frame the text) cannot be carried in one;
// values are escaped for commas and backslashes only, so SOH and ETX cannot
// travel in a value, nor '#' or an empty value in a list; a list, even of
// one, is split into at most 50 names and values of at most 31 characters
// each; and every field and the whole request have their size limits.
struct Request {
  std::string payload;
  std::string problem;  // empty when the request can be sent
  bool Ok() const { return problem.empty(); }
};
Request ReadRequest(const std::string& name);
Request WriteRequest(const std::string& name, const std::string& value);
Request ListReadRequest(const std::vector<std::string>& names);
Request ListWriteRequest(const std::vector<std::string>& names, const std::vector<std::string>& values);

// "3085 variable not found": an error code and what it means.
std::string DescribeError(std::int32_t code);

}  // namespace kestrio::dnc
