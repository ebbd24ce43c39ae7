#include "dnc/client.h"

#include <climits>
#include <cstdlib>

#include "base/text.h"
#include "dnc/protocol.h"
#include "dnc/variables.h"

namespace kestrio::dnc {
namespace net = platform::net;
namespace {

bool HasFraming(const std::string& text) { return text.find_first_of(std::string{SOH, ETX}) != std::string::npos; }

// A list request (kind LST) is split by '#' on the other side into items of
// at most 31 characters, 50 at most, even when it holds a single name.
std::string CheckNames(const std::vector<std::string>& names, bool list) {
  if (names.empty()) return "no variable name";
  if (names.size() > kMaxItems) return "at most " + std::to_string(kMaxItems) + " names in one request";
  for (const auto& name : names) {
    if (name.empty()) return "an empty variable name";
    if (name.find_first_of(",#") != std::string::npos || HasFraming(name))
      return "\"" + name + "\": a variable name cannot hold ',', '#' or control characters";
    if (list && name.size() > kMaxItem)
      return "\"" + name + "\": a name in a list has at most " + std::to_string(kMaxItem) + " characters";
  }
  return {};
}

// Values of a list are unescaped first and split afterwards, so the limits
// of an item apply to the value as given.
std::string CheckValues(const std::vector<std::string>& names, const std::vector<std::string>& values, bool list) {
  if (names.size() != values.size()) return "as many values as names are needed";
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (HasFraming(values[k])) return names[k] + ": a value cannot hold the control characters SOH or ETX";
    if (!list) continue;
    if (values[k].empty()) return names[k] + ": a value in a list cannot be empty (write it on its own)";
    if (values[k].find('#') != std::string::npos)
      return names[k] + ": a value in a list cannot hold '#' (write it on its own)";
    if (values[k].size() > kMaxItem)
      return names[k] + ": a value in a list has at most " + std::to_string(kMaxItem) +
             " characters (write it on its own)";
  }
  return {};
}

// Builds SOH op "," kind "," names "," [escaped values ","] ETX.
Request Build(const char* head, bool list, const std::vector<std::string>& names,
              const std::vector<std::string>* values) {
  Request r;
  r.problem = CheckNames(names, list);
  if (r.problem.empty() && values) r.problem = CheckValues(names, *values, list);
  if (!r.problem.empty()) return r;
  const std::string joined = text::Join(names, "#");
  if (joined.size() > kMaxTexto) {
    r.problem = "the names are longer than " + std::to_string(kMaxTexto) + " characters";
    return r;
  }
  r.payload = std::string(1, SOH) + head + joined + ",";
  if (values) {
    std::string escaped;
    if (FiltrarString(text::Join(*values, "#"), escaped) != 0) {
      r.problem = "the value is longer than " + std::to_string(kMaxTexto) + " characters once escaped";
      return r;
    }
    r.payload += escaped + ",";
  }
  r.payload += ETX;
  if (r.payload.size() > static_cast<std::size_t>(kMaxPayload))
    r.problem = "the request is longer than " + std::to_string(kMaxPayload) + " bytes";
  return r;
}

ClientResult Failure(ClientResult::Kind kind, std::string problem) {
  ClientResult r;
  r.kind = kind;
  r.problem = std::move(problem);
  return r;
}

ClientResult Failure(std::string problem) { return Failure(ClientResult::Failed, std::move(problem)); }

ClientResult ConnectionLost(std::string problem) {
  ClientResult r = Failure(std::move(problem));
  r.connectionLost = true;
  return r;
}

ClientResult TimedOut(std::string problem) {
  ClientResult r = Failure(std::move(problem));
  r.timedOut = true;
  return r;
}

// A NAK came, so the request was refused, but its error text did not: that
// is no time-out of the request itself.
ClientResult NakWithoutText(ClientResult failure) {
  failure.problem = "the server refused the request (NAK) but its error text did not follow: " + failure.problem;
  failure.timedOut = false;
  return failure;
}

// A field of a reply as a message may show it: a server that sends anything
// must not reach the technician's terminal with control characters or a
// screenful of text.
std::string Shown(const std::string& field) {
  constexpr std::size_t kShown = 40;
  std::string out;
  for (std::size_t k = 0; k < field.size() && k < kShown; ++k) {
    const auto c = static_cast<unsigned char>(field[k]);
    out += c < 0x20 || c == 0x7F ? '?' : field[k];
  }
  if (field.size() > kShown) out += "...";
  return out;
}

// The fields of a reply text SOH "S," kind "," a "," b "," ETX.
bool SplitReply(const std::string& text, std::vector<std::string>& fields) {
  if (text.size() < 4 || text.front() != SOH || text.back() != ETX) return false;
  fields.clear();
  std::string field;
  for (std::size_t k = 1; k + 1 < text.size(); ++k) {
    if (text[k] == ',') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[k];
    }
  }
  return field.empty();  // the last field ends with a comma
}

}  // namespace

bool ParseWholeNumber(const std::string& text, std::int32_t& number) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  number = static_cast<std::int32_t>(value);
  return true;
}

Client::~Client() { Close(); }

bool Client::Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error) {
  Close();
  if (!net::Startup()) {
    error = "the socket library cannot be started";
    return false;
  }
  socket_ = net::Connect(host, port, timeoutMs == 0 ? kConnectTimeoutMs : timeoutMs, error);
  if (socket_ == net::kInvalidSocket) return false;
  timeoutMs_ = timeoutMs;
  heard_ = false;
  net::SetReceiveTimeout(socket_, timeoutMs);
  return true;
}

void Client::Close() {
  net::Close(socket_);
  socket_ = net::kInvalidSocket;
}

bool Client::SendPayload(std::string_view payload) {
  std::string packet;
  packet += static_cast<char>((payload.size() >> 8) & 0xFF);
  packet += static_cast<char>(payload.size() & 0xFF);
  packet += payload;
  std::size_t sent = 0;
  while (sent < packet.size()) {
    const int n = net::Send(socket_, packet.data() + sent, packet.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::ReceiveExactly(char* buffer, std::size_t size, ClientResult& failure) {
  std::size_t got = 0;
  while (got < size) {
    // One deadline for the whole reply: a peer that sends a byte now and
    // then does not hold the client past it.
    if (timeoutMs_ != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        failure = TimedOut(NoReply(false));
        return false;
      }
      net::SetReceiveTimeout(socket_, static_cast<unsigned>(left.count()));
    }
    const int n = net::Receive(socket_, buffer + got, size - got);
    if (n == 0) {
      failure = ConnectionLost("the server closed the connection");
      return false;
    }
    if (n < 0) {
      const int error = net::LastError();
      if (net::IsTimeout(error)) {
        failure = TimedOut(NoReply(false));
      } else {
        failure = ConnectionLost("receiving the reply failed: " + net::ErrorText(error));
      }
      return false;
    }
    got += static_cast<std::size_t>(n);
    heard_ = true;
  }
  return true;
}

std::string Client::NoReply(bool write) const {
  const std::string within = " within " + std::to_string(timeoutMs_) + " ms";
  if (heard_) return write ? "no reply" + within + "; the request may still be carried out"
                           : "no reply from the server" + within;
  return "connected, but no reply" + within +
         ": the service answers one connection at a time and may be serving another desk (a change holds it "
         "for many minutes); " + (write ? "the request may still be carried out once it is free" : "try again later");
}

ClientResult Client::ReadReply(std::string* rawText) {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
  ClientResult failure;
  char header[10];
  if (!ReceiveExactly(header, sizeof header, failure)) return failure;
  std::size_t length = (static_cast<unsigned char>(header[0]) << 8) | static_cast<unsigned char>(header[1]);
  bool error = false;
  if (length == 1) {  // a code packet: its block of ten bytes follows
    char block[10];
    if (!ReceiveExactly(block, sizeof block, failure)) return failure;
    if (block[0] == static_cast<char>(DNC_ACK)) {
      ClientResult r;
      r.kind = ClientResult::Ok;
      return r;
    }
    if (block[0] != static_cast<char>(DNC_NAK)) return Failure("unknown reply code");
    // A NAK is followed by the error text, a packet of its own.
    error = true;
    if (!ReceiveExactly(header, sizeof header, failure)) return NakWithoutText(failure);
    length = (static_cast<unsigned char>(header[0]) << 8) | static_cast<unsigned char>(header[1]);
  }
  std::string text(length, '\0');
  if (!ReceiveExactly(text.data(), length, failure)) return error ? NakWithoutText(failure) : failure;
  if (rawText) *rawText = text;
  std::vector<std::string> fields;
  if (!SplitReply(text, fields) || fields.size() < 4 || fields[0] != "S") return Failure("malformed reply");
  if (error) {
    if (fields[2] != "ERRDNC") return Failure("malformed error reply");
    // An error code that is not a whole number would read as code 0, which
    // is success everywhere else.
    ClientResult r;
    if (!ParseWholeNumber(fields[3], r.code)) return Failure("malformed error reply");
    r.kind = ClientResult::ErrorReply;
    return r;
  }
  ClientResult r;
  r.kind = ClientResult::Ok;
  std::string value;
  if (DesfiltrarString(fields[3], value) != 0) return Failure("malformed reply");
  if (fields[1] == "LST") {
    std::size_t start = 0;
    for (;;) {
      const auto hash = value.find('#', start);
      r.values.push_back(value.substr(start, hash == std::string::npos ? hash : hash - start));
      if (hash == std::string::npos) break;
      start = hash + 1;
    }
  } else {
    r.values.push_back(value);  // VAR: the value; NET: the version
  }
  return r;
}

// What answers a request: a text of this kind naming this name, or, for a
// write (kind empty), the ACK.  `request` says what was asked, for messages.
struct ExpectedReply {
  std::string kind;
  std::string name;
  std::string request;
};

ClientResult Client::Exchange(const Request& request, const ExpectedReply& expected) {
  if (!request.Ok()) return Failure(ClientResult::Refused, request.problem);
  if (!Connected()) return Failure("not connected");
  if (!SendPayload(request.payload))
    return ConnectionLost("sending the request failed: " + net::ErrorText(net::LastError()));
  std::string text;
  ClientResult r = ReadReply(&text);
  const bool write = expected.kind.empty();
  // A write that is not answered in time may still have been taken: the
  // server answers only after the variable took the value.
  if (write && r.kind == ClientResult::Failed && r.timedOut) {
    r.problem = NoReply(true);
    return r;
  }
  if (r.kind != ClientResult::Ok) return r;
  // A reply to another request (a server out of step, or one answering
  // someone else) must not pass for this one's.
  std::string got = "ACK";
  if (!text.empty()) {
    std::vector<std::string> fields;
    SplitReply(text, fields);  // ReadReply took it whole: four fields at least
    if (!write && fields[1] == expected.kind && fields[2] == expected.name) return r;
    got = Shown(fields[1]) + " " + Shown(fields[2]);
  } else if (write) {
    return r;
  }
  return Failure("unexpected reply " + got + " to " + expected.request);
}

ClientResult Client::Read(const std::string& name) {
  return Exchange(ReadRequest(name), {"VAR", name, "the read of " + name});
}
ClientResult Client::ReadList(const std::vector<std::string>& names) {
  // A list reply names no variable: its name field is always "KK".
  return Exchange(ListReadRequest(names), {"LST", "KK", "the list read of " + std::to_string(names.size()) + " names"});
}
ClientResult Client::Write(const std::string& name, const std::string& value) {
  return Exchange(WriteRequest(name, value), {"", "", "the write of " + name});
}
ClientResult Client::WriteList(const std::vector<std::string>& names, const std::vector<std::string>& values) {
  return Exchange(ListWriteRequest(names, values),
                  {"", "", "the list write of " + std::to_string(names.size()) + " names"});
}
ClientResult Client::Version() {
  return Exchange(Request{std::string(1, SOH) + "R,NET,VER," + ETX, {}}, {"NET", "VER", "the version request"});
}

Request ReadRequest(const std::string& name) { return Build("R,VAR,", false, {name}, nullptr); }

Request WriteRequest(const std::string& name, const std::string& value) {
  const std::vector<std::string> values{value};
  return Build("S,VAR,", false, {name}, &values);
}

Request ListReadRequest(const std::vector<std::string>& names) { return Build("R,LST,", true, names, nullptr); }

Request ListWriteRequest(const std::vector<std::string>& names, const std::vector<std::string>& values) {
  return Build("S,LST,", true, names, &values);
}

std::string DescribeError(std::int32_t code) {
  const char* meaning = "error reported by the variable";
  switch (code) {
    case ERR_VAR_TIPO: meaning = "wrong type or index out of range"; break;
    case ERR_VAR_SOLO_LECTURA: meaning = "variable is read-only"; break;
    case ERR_VAR_NO_ENCONTRADA: meaning = "variable not found"; break;
    case ERR_VAR_SIN_FORMATO: meaning = "value has no text form"; break;
    case ERR_VAR_SINTAXIS: meaning = "syntax error, write-only variable or value too long"; break;
    case ERR_DNC_PETICION: meaning = "request not recognised"; break;
    case ERR_DNC_LONGITUD: meaning = "text too long"; break;
    case ERR_DNC_LISTA: meaning = "list cannot be split, or names and values differ in number"; break;
    case ERR_VAR_ESCRITURA_MAL_FORMADA: meaning = "malformed write"; break;
    default: break;
  }
  return std::to_string(code) + " " + meaning;
}

}  // namespace kestrio::dnc
