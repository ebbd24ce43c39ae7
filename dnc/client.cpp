#include "dnc/client.h"

#include <cstdlib>

#include "dnc/protocol.h"
#include "dnc/variables.h"

namespace kestrio::dnc {
namespace net = platform::net;
namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t k = 0; k < items.size(); ++k) out += (k ? "#" : "") + items[k];
  return out;
}

std::string Escape(const std::string& value) {
  std::string out;
  if (FiltrarString(value, out) != 0) return value;  // too long: the server refuses it
  return out;
}

ClientResult Failure(std::string problem) {
  ClientResult r;
  r.problem = std::move(problem);
  return r;
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

Client::~Client() { Close(); }

bool Client::Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs, std::string& error) {
  Close();
  if (!net::Startup()) {
    error = "the socket library cannot be started";
    return false;
  }
  socket_ = net::Connect(host, port, timeoutMs == 0 ? 30000 : timeoutMs, error);
  if (socket_ == net::kInvalidSocket) return false;
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

bool Client::ReceiveExactly(char* buffer, std::size_t size, std::string& problem) {
  std::size_t got = 0;
  while (got < size) {
    const int n = net::Receive(socket_, buffer + got, size - got);
    if (n == 0) {
      problem = "the server closed the connection";
      return false;
    }
    if (n < 0) {
      problem = "no reply from the server in time";
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

ClientResult Client::ReadReply(std::string* rawText) {
  std::string problem;
  char header[10];
  if (!ReceiveExactly(header, sizeof header, problem)) return Failure(problem);
  const std::size_t length = (static_cast<unsigned char>(header[0]) << 8) | static_cast<unsigned char>(header[1]);
  if (length == 1) {  // a code packet: its block of ten bytes follows
    char block[10];
    if (!ReceiveExactly(block, sizeof block, problem)) return Failure(problem);
    if (block[0] == static_cast<char>(DNC_ACK)) {
      ClientResult r;
      r.kind = ClientResult::Ok;
      return r;
    }
    if (block[0] != static_cast<char>(DNC_NAK)) return Failure("unknown reply code");
    ClientResult error = ReadReply(rawText);
    std::vector<std::string> fields;
    if (error.kind != ClientResult::Ok || error.values.size() != 1) return Failure("malformed error reply");
    ClientResult r;
    r.kind = ClientResult::ErrorReply;
    r.code = static_cast<std::int32_t>(std::strtol(error.values[0].c_str(), nullptr, 10));
    return r;
  }
  std::string text(length, '\0');
  if (!ReceiveExactly(text.data(), length, problem)) return Failure(problem);
  if (rawText) *rawText = text;
  std::vector<std::string> fields;
  if (!SplitReply(text, fields) || fields.size() < 4 || fields[0] != "S") return Failure("malformed reply");
  ClientResult r;
  r.kind = ClientResult::Ok;
  std::string value;
  if (DesfiltrarString(fields[3], value) != 0) return Failure("malformed reply");
  if (fields[1] == "LST") {
    if (!value.empty() || fields[3].empty()) {
      std::size_t start = 0;
      for (;;) {
        const auto hash = value.find('#', start);
        r.values.push_back(value.substr(start, hash == std::string::npos ? hash : hash - start));
        if (hash == std::string::npos) break;
        start = hash + 1;
      }
    }
  } else {
    r.values.push_back(value);  // VAR: the value; NET: the version; ERRDNC: the code
  }
  return r;
}

ClientResult Client::Exchange(const std::string& payload, char kind) {
  if (!Connected()) return Failure("not connected");
  if (payload.size() > static_cast<std::size_t>(kMaxPayload)) return Failure("request longer than 1024 bytes");
  if (!SendPayload(payload)) return Failure("the server closed the connection");
  ClientResult r = ReadReply();
  if (kind == 'W' && r.kind == ClientResult::Ok && !r.values.empty()) return Failure("unexpected reply to a write");
  return r;
}

ClientResult Client::Read(const std::string& name) { return Exchange(ReadRequest(name), 'R'); }
ClientResult Client::ReadList(const std::vector<std::string>& names) { return Exchange(ListReadRequest(names), 'R'); }
ClientResult Client::Write(const std::string& name, const std::string& value) {
  return Exchange(WriteRequest(name, value), 'W');
}
ClientResult Client::WriteList(const std::vector<std::string>& names, const std::vector<std::string>& values) {
  return Exchange(ListWriteRequest(names, values), 'W');
}
ClientResult Client::Version() { return Exchange(std::string(1, SOH) + "R,NET,VER," + ETX, 'R'); }

std::string ReadRequest(const std::string& name) { return std::string(1, SOH) + "R,VAR," + name + "," + ETX; }

std::string WriteRequest(const std::string& name, const std::string& value) {
  return std::string(1, SOH) + "S,VAR," + name + "," + Escape(value) + "," + ETX;
}

std::string ListReadRequest(const std::vector<std::string>& names) {
  return std::string(1, SOH) + "R,LST," + Join(names) + "," + ETX;
}

std::string ListWriteRequest(const std::vector<std::string>& names, const std::vector<std::string>& values) {
  return std::string(1, SOH) + "S,LST," + Join(names) + "," + Escape(Join(values)) + "," + ETX;
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
    case -1: meaning = "malformed write"; break;
    default: break;
  }
  return std::to_string(code) + " " + meaning;
}

}  // namespace kestrio::dnc
