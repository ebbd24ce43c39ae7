// DNC service soak: a long run of requests against a running server on the
// loopback address, with connections that end badly mixed in, every reply
// checked byte for byte and the server's resident memory sampled.
//
//   dnc_soak --port N [--pid PID] [--requests 100000] [--connections 1000]
//            [--seconds 900] [--seed 1] [--busy] [--max-rss-growth-kib K]
//
// Each connection sends its share of the requests, one at a time, and then
// ends either with a clean close or with one of five hostile endings, in
// turn: random bytes, half a length field, an oversized length (the server
// must close without a reply), a reset instead of a close, and a client that
// stops in the middle of a frame.  The requests have answers known in
// advance on an idle machine; with --busy a scan and a change run on the
// machine meanwhile, and the answers that follow its state (STATUS, NITEMS,
// CURRENT, a write of NEXT) are checked for their form instead.
//
// The server sleeps 1 ms after every request and after every connection, so
// a run cannot be faster than (requests + connections) ms: the rate is
// printed against that floor.  The exit status is 0 when every request was
// answered, no reply was wrong and (with --max-rss-growth-kib) the resident
// memory grew by at most K KiB from the first sample after warm-up.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dnc/protocol.h"
#include "dnc/setup_variables.h"
#include "dnc/transport.h"
#include "dnc/variables.h"
#include "engine/language.h"

namespace dnc = kestrio::dnc;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReplyTimeoutMs = 10000;

// ---------------------------------------------------------------------------
// Requests and the replies they must get

std::string Frame(const std::string& payload) {
  std::string out;
  out += static_cast<char>(payload.size() >> 8);
  out += static_cast<char>(payload.size() & 0xFF);
  return out + payload;
}

std::string TextReply(const std::string& text) {
  std::string out(10, '\0');
  out[0] = static_cast<char>(text.size() >> 8);
  out[1] = static_cast<char>(text.size() & 0xFF);
  return out + text;
}

std::string CodeReply(std::uint8_t code) {
  std::string out(20, '\0');
  out[1] = 1;
  out[10] = static_cast<char>(code);
  return out;
}

std::string Soh(const std::string& body) { return std::string(1, dnc::SOH) + body + std::string(1, dnc::ETX); }

std::string ErrorReply(int code) {
  return CodeReply(dnc::DNC_NAK) + TextReply(Soh("S,VAR,ERRDNC," + std::to_string(code) + ",NOSEUSA,"));
}

std::string VarReply(const std::string& name, const std::string& escapedValue) {
  return TextReply(Soh("S,VAR," + name + "," + escapedValue + ","));
}

// A value as the server escapes it: ',' as "\@", '\' doubled.
std::string Escaped(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == ',') out += "\\@";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

// What a reply may be: exact bytes, or (busy machine) a one-variable reply
// for `name` whose value passes `valueOk`, or one of two exact forms.
struct Expected {
  std::string exact;
  std::string name;                       // for a reply checked by its form
  bool (*valueOk)(const std::string&) = nullptr;
  std::string alternative;                // a second exact form, or empty
};

struct Request {
  const char* what;
  std::string wire;
  Expected idle;
  Expected busy;
};

bool IsInteger(const std::string& v) {
  std::size_t k = (!v.empty() && v[0] == '-') ? 1 : 0;
  if (k == v.size()) return false;
  for (; k < v.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(v[k]))) return false;
  return true;
}

bool IsPlainText(const std::string& v) {
  return v.size() < 64 && v.find_first_of(std::string("\x01\x03,", 3)) == std::string::npos;
}

std::string ErrorTextOf(int code) {
  std::string text;
  kestrio::engine::GetErrorText(code, &text);
  return text;
}

std::vector<Request> Requests(const std::string& current) {
  const auto same = [](const std::string& bytes) { return Expected{bytes, {}, nullptr, {}}; };
  const auto form = [](const std::string& name, bool (*ok)(const std::string&)) {
    return Expected{{}, name, ok, {}};
  };
  std::vector<Request> r;
  const auto add = [&r](const char* what, const std::string& payload, Expected idle, Expected busy) {
    r.push_back({what, Frame(payload), std::move(idle), std::move(busy)});
  };
  const auto fixed = [&add](const char* what, const std::string& payload, const std::string& reply) {
    add(what, payload, Expected{reply, {}, nullptr, {}}, Expected{reply, {}, nullptr, {}});
  };
  add("read STATUS", Soh("R,VAR,KESTRIO.STATUS,"), same(VarReply("KESTRIO.STATUS", "0")),
      form("KESTRIO.STATUS", IsInteger));
  add("read NITEMS", Soh("R,VAR,KESTRIO.NITEMS,"), same(VarReply("KESTRIO.NITEMS", "0")),
      form("KESTRIO.NITEMS", IsInteger));
  add("read CURRENT", Soh("R,VAR,KESTRIO.CURRENT,"), same(VarReply("KESTRIO.CURRENT", Escaped(current))),
      form("KESTRIO.CURRENT", IsPlainText));
  fixed("version", Soh("R,NET,VER,"), TextReply(Soh("S,NET,VER,1,")));
  fixed("read VERSION", Soh("R,VAR,KESTRIO.VERSION,"), VarReply("KESTRIO.VERSION", dnc::kVersionText));
  fixed("read ERROR.-13", Soh("R,VAR,KESTRIO.ERROR.-13,"),
        VarReply("KESTRIO.ERROR.-13", Escaped(ErrorTextOf(-13))));
  fixed("read ERROR.-6", Soh("R,VAR,KESTRIO.ERROR.-6,tail ignored"),
        VarReply("KESTRIO.ERROR.-6", Escaped(ErrorTextOf(-6))));
  fixed("list read", Soh("R,LST,KESTRIO.VERSION#KESTRIO.ERROR.-2,"),
        TextReply(Soh("S,LST,KK," + Escaped(std::string(dnc::kVersionText) + "#" + ErrorTextOf(-2)) + ",")));
  fixed("read of an unknown variable", Soh("R,VAR,KESTRIO.NOPE,"), ErrorReply(dnc::ERR_VAR_NO_ENCONTRADA));
  fixed("write of a read-only variable", Soh("S,VAR,KESTRIO.STATUS,5,"), ErrorReply(dnc::ERR_VAR_SOLO_LECTURA));
  fixed("list write, names and values differ", Soh("S,LST,KESTRIO.NEXT#KESTRIO.GO,x,"), ErrorReply(dnc::ERR_DNC_LISTA));
  // A language name the request field cannot hold is refused whole; while
  // an operation runs, the write is taken and dropped.
  Expected tooLong{ErrorReply(dnc::ERR_VAR_SINTAXIS), {}, nullptr, {}};
  Expected tooLongBusy = tooLong;
  tooLongBusy.alternative = CodeReply(dnc::DNC_ACK);
  add("write of a NEXT too long", Soh("S,VAR,KESTRIO.NEXT," + std::string(64, 'N') + ","), tooLong, tooLongBusy);
  return r;
}

// ---------------------------------------------------------------------------
// One connection

int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{kReplyTimeoutMs / 1000, 0};
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Receives exactly `size` bytes; false on the end of the stream, an error
// or the time-out.
bool ReceiveExactly(int fd, std::string& out, std::size_t size) {
  out.assign(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, out.data() + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// A text reply for `name` whose value passes the check.
bool MatchesForm(int fd, const Expected& e, std::string& got) {
  std::string header, text;
  if (!ReceiveExactly(fd, header, 10)) return false;
  got = header;
  const std::size_t length = static_cast<unsigned char>(header[0]) << 8 | static_cast<unsigned char>(header[1]);
  if (length < 2 || length > 1100 || header.compare(2, 8, std::string(8, '\0')) != 0) return false;
  if (!ReceiveExactly(fd, text, length)) return false;
  got += text;
  const std::string head = std::string(1, dnc::SOH) + "S,VAR," + e.name + ",";
  const std::string tail = std::string(",") + dnc::ETX;
  if (text.size() < head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
      text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  return e.valueOk(text.substr(head.size(), text.size() - head.size() - tail.size()));
}

bool MatchesExact(int fd, const Expected& e, std::string& got) {
  // Both exact forms begin with a header; the shorter is read first.
  if (e.alternative.empty()) return ReceiveExactly(fd, got, e.exact.size()) && got == e.exact;
  const std::string& shorter = e.exact.size() <= e.alternative.size() ? e.exact : e.alternative;
  const std::string& longer = e.exact.size() <= e.alternative.size() ? e.alternative : e.exact;
  if (!ReceiveExactly(fd, got, shorter.size())) return false;
  if (got == shorter) return true;
  std::string rest;
  if (got != longer.substr(0, shorter.size()) || !ReceiveExactly(fd, rest, longer.size() - shorter.size()))
    return false;
  got += rest;
  return got == longer;
}

enum Ending { kClean, kRandomBytes, kHalfLength, kOversized, kReset, kStopMidFrame, kEndings };
const char* const kEndingNames[kEndings] = {"clean close", "random bytes", "half a length field",
                                            "oversized length", "reset", "stopped mid-frame"};

// After a frame the server refuses: the connection must end with no byte sent.
bool ClosedWithoutReply(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

void Reset(int fd) {
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

struct Tally {
  long answered = 0;
  long wrong = 0;
  long connections = 0;
  long hostile[kEndings] = {};
  long refusedNotClosed = 0;  // an oversized or half length that got bytes back
};

void ReportWrong(const Request& request, const std::string& got, long wrongSoFar) {
  if (wrongSoFar > 10) return;
  std::string shown;
  for (const unsigned char c : got) {
    char hex[8];
    std::snprintf(hex, sizeof hex, std::isprint(c) ? "%c" : "\\x%02x", c);
    shown += hex;
  }
  std::fprintf(stderr, "dnc_soak: wrong reply to %s: \"%s\"\n", request.what, shown.c_str());
}

// Runs one connection of `count` requests; false when it could not connect.
bool RunConnection(std::uint16_t port, int count, Ending ending, const std::vector<Request>& requests, bool busy,
                   std::mt19937& random, Tally& t) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  ++t.connections;
  bool alive = true;
  for (int k = 0; k < count && alive; ++k) {
    const Request& request = requests[random() % requests.size()];
    const Expected& e = busy ? request.busy : request.idle;
    std::string got;
    if (!SendAll(fd, request.wire)) {
      alive = false;
      ++t.wrong;
      ReportWrong(request, "(send failed)", t.wrong);
      break;
    }
    const bool right = e.valueOk ? MatchesForm(fd, e, got) : MatchesExact(fd, e, got);
    if (right) {
      ++t.answered;
    } else {
      ++t.wrong;
      ReportWrong(request, got, t.wrong);
      alive = false;  // the stream is out of step: end this connection
    }
  }
  ++t.hostile[ending];
  switch (ending) {
    case kClean:
    case kEndings:
      ::close(fd);
      break;
    case kRandomBytes: {
      std::string junk(1 + random() % 64, '\0');
      for (char& c : junk) c = static_cast<char>(random());
      SendAll(fd, junk);
      ::close(fd);
      break;
    }
    case kHalfLength:
    case kOversized:
      SendAll(fd, ending == kHalfLength ? std::string(1, '\0') : std::string("\x04\x01" "abc", 5));
      if (alive && !ClosedWithoutReply(fd)) ++t.refusedNotClosed;
      ::close(fd);
      break;
    case kReset: {
      // Half of them in the middle of a request.
      if (random() % 2) SendAll(fd, requests[0].wire.substr(0, 7));
      Reset(fd);
      break;
    }
    case kStopMidFrame: {
      const std::string& wire = requests[random() % requests.size()].wire;
      SendAll(fd, wire.substr(0, 1 + random() % (wire.size() - 1)));
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + random() % 10));
      ::close(fd);
      break;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// The host's memory, and the operations of a busy machine

long ResidentKiB(int pid) {
  if (pid <= 0) return -1;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Writes one variable on a connection of its own; true on the ACK.
bool WriteVariable(std::uint16_t port, const std::string& name, const std::string& value) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  std::string got;
  const bool ok = SendAll(fd, Frame(Soh("S,VAR," + name + "," + Escaped(value) + ","))) &&
                  ReceiveExactly(fd, got, 20) && got == CodeReply(dnc::DNC_ACK);
  ::close(fd);
  return ok;
}

// Scans and changes the language, again and again, until `stop`: the
// worker threads run while the soak's requests are served.
void BusyMachine(std::uint16_t port, std::string rootDir, std::vector<std::string> languages,
                 const std::atomic<bool>& stop, long& scans, long& changes) {
  for (std::size_t k = 0; !stop; ++k) {
    if (WriteVariable(port, "KESTRIO.ROOTDIR", rootDir)) ++scans;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    if (WriteVariable(port, "KESTRIO.NEXT", languages[k % languages.size()]) &&
        WriteVariable(port, "KESTRIO.GO", "1"))
      ++changes;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  }
}

std::string ReadCurrent(std::uint16_t port) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return {};
  std::string header, text;
  const bool ok = SendAll(fd, Frame(Soh("R,VAR,KESTRIO.CURRENT,"))) && ReceiveExactly(fd, header, 10) &&
                  ReceiveExactly(fd, text, static_cast<unsigned char>(header[0]) << 8 |
                                               static_cast<unsigned char>(header[1]));
  ::close(fd);
  const std::string head = std::string(1, dnc::SOH) + "S,VAR,KESTRIO.CURRENT,";
  if (!ok || text.rfind(head, 0) != 0 || text.size() < head.size() + 2) return {};
  std::string value = text.substr(head.size(), text.size() - head.size() - 2);
  std::string plain;  // unescaped
  for (std::size_t k = 0; k < value.size(); ++k) {
    if (value[k] == '\\' && k + 1 < value.size()) {
      ++k;
      plain += value[k] == '@' ? ',' : value[k];
    } else {
      plain += value[k];
    }
  }
  return plain;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"dnc_soak: a long run of DNC requests with hostile connection endings against a server on "
               "127.0.0.1"};
  unsigned port = 0;
  int pid = 0;
  long requests = 100'000;
  long connections = 1'000;
  double seconds = 900;
  unsigned seed = 1;
  bool busy = false;
  long maxGrowthKiB = -1;
  std::string rootDir = "D:\\LanguagePacks";
  std::vector<std::string> languages = {"French", "German"};
  app.add_option("--port", port, "the server's port on 127.0.0.1")->required()->check(CLI::Range(1u, 65535u));
  app.add_option("--pid", pid, "the server's process, whose VmRSS is sampled");
  app.add_option("--requests", requests, "requests in all")->check(CLI::Range(1L, 100'000'000L))->capture_default_str();
  app.add_option("--connections", connections, "connections in all")
      ->check(CLI::Range(1L, 10'000'000L))
      ->capture_default_str();
  app.add_option("--seconds", seconds, "no new connection after this time")->capture_default_str();
  app.add_option("--seed", seed, "seed of the request order and the hostile bytes")->capture_default_str();
  app.add_flag("--busy", busy, "scan and change the language on the machine meanwhile");
  app.add_option("--root", rootDir, "the packs' folder for --busy")->capture_default_str();
  app.add_option("--languages", languages, "the languages --busy changes to, in turn");
  app.add_option("--max-rss-growth-kib", maxGrowthKiB, "fail when VmRSS grows by more after warm-up");
  CLI11_PARSE(app, argc, argv);
  if (connections > requests) connections = requests;

  const auto p = static_cast<std::uint16_t>(port);
  const std::string current = ReadCurrent(p);
  if (current.empty()) {
    std::fprintf(stderr, "dnc_soak: no DNC server answers on 127.0.0.1:%u\n", port);
    return 1;
  }
  const std::vector<Request> list = Requests(current);
  std::mt19937 random(seed);
  Tally t;
  std::atomic<bool> stop{false};
  long scans = 0, changes = 0;
  std::thread operations;
  if (busy) operations = std::thread(BusyMachine, p, rootDir, languages, std::cref(stop), std::ref(scans),
                                     std::ref(changes));

  const long before = ResidentKiB(pid);
  long first = -1, maxRss = -1, last = -1;
  const long warmUp = std::max(1L, connections / 100);
  const long every = std::max(1L, connections / 500);
  const auto start = Clock::now();
  bool timedOut = false, unreachable = false;
  for (long c = 0; c < connections; ++c) {
    if (std::chrono::duration<double>(Clock::now() - start).count() > seconds) {
      timedOut = true;
      break;
    }
    const long share = requests / connections + (c < requests % connections ? 1 : 0);
    // Half the connections end badly, the five endings in turn.
    const Ending ending = c % 2 ? static_cast<Ending>(1 + (c / 2) % 5) : kClean;
    if (!RunConnection(p, static_cast<int>(share), ending, list, busy, random, t)) {
      unreachable = true;
      break;
    }
    if (c + 1 >= warmUp && ((c + 1) % every == 0 || c + 1 == connections)) {
      last = ResidentKiB(pid);
      if (first < 0) first = last;
      maxRss = std::max(maxRss, last);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  if (operations.joinable()) operations.join();

  long hostile = 0;
  for (int e = 1; e < kEndings; ++e) hostile += t.hostile[e];
  const double floorSeconds = static_cast<double>(requests + t.connections) / 1000.0;
  std::printf("DNC soak on 127.0.0.1:%u%s\n", port, busy ? ", scans and changes running" : "");
  std::printf("  requests answered  %ld of %ld\n", t.answered, requests);
  std::printf("  wrong replies      %ld\n", t.wrong);
  std::printf("  connections        %ld\n", t.connections);
  std::printf("  hostile endings    %ld (", hostile);
  for (int e = 1; e < kEndings; ++e) std::printf("%s%s %ld", e > 1 ? ", " : "", kEndingNames[e], t.hostile[e]);
  std::printf(")\n");
  if (t.refusedNotClosed) std::printf("  refused frames answered instead of closed: %ld\n", t.refusedNotClosed);
  if (busy) std::printf("  operations         %ld scans and %ld changes requested\n", scans, changes);
  std::printf("  elapsed            %.1f s\n", elapsed);
  std::printf("  rate               %.0f requests/s, %.2fx the 1 ms pause floor (%.1f s for %ld requests and "
              "%ld connections)\n",
              static_cast<double>(t.answered) / elapsed, floorSeconds / elapsed, floorSeconds, requests,
              t.connections);
  if (pid > 0)
    std::printf("  RSS (VmRSS)        first %ld KiB, max %ld KiB, last %ld KiB (growth %+ld KiB; %ld KiB before "
                "traffic)\n",
                first, maxRss, last, maxRss - first, before);
  if (timedOut) std::printf("  stopped at the time limit of %.0f s\n", seconds);
  if (unreachable) std::printf("  the server stopped accepting connections\n");

  bool ok = !timedOut && !unreachable && t.wrong == 0 && t.refusedNotClosed == 0 && t.answered == requests;
  if (maxGrowthKiB >= 0 && pid > 0 && (first < 0 || maxRss - first > maxGrowthKiB)) {
    std::printf("  RSS grew by more than %ld KiB\n", maxGrowthKiB);
    ok = false;
  }
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
