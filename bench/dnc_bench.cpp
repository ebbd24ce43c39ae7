// DNC service benchmark: the server runs in this process on a free port and
// is measured over loopback with the protocol's client.
//
//   (a) one connection making READS reads of KESTRIO.STATUS;
//   (b) CONNECTIONS connections of one read each (connect, read, close).
//
// The server pauses 1 ms after every request, and 1 ms more after each
// connection it closes, so one connection cannot go faster than about
// 1000 requests a second; the figures are printed beside that floor.
//
//   dnc_bench [READS] [CONNECTIONS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dnc/client.h"
#include "dnc/protocol.h"
#include "dnc/setup_variables.h"
#include "dnc/trace.h"
#include "dnc/transport.h"
#include "dnc/variables.h"

namespace dnc = kestrio::dnc;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr unsigned kTimeoutMs = 5000;

struct Figures {
  double seconds = 0;            // the whole run
  std::vector<double> roundTrips;  // milliseconds, one per request (or connection)
};

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The value at fraction `q` of the sorted samples (nearest rank).
double Quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(q * static_cast<double>(v.size()) + 0.5);
  return v[std::min(v.size() - 1, rank > 0 ? rank - 1 : 0)];
}

bool ReadStatus(dnc::Client& client) {
  const dnc::ClientResult r = client.Read("KESTRIO.STATUS");
  if (r.kind == dnc::ClientResult::Ok && r.values.size() == 1) return true;
  std::fprintf(stderr, "dnc_bench: read failed: %s\n",
               r.kind == dnc::ClientResult::ErrorReply ? dnc::DescribeError(r.code).c_str() : r.problem.c_str());
  return false;
}

bool Connect(dnc::Client& client, std::uint16_t port) {
  std::string error;
  if (client.Connect(kHost, port, kTimeoutMs, error)) return true;
  std::fprintf(stderr, "dnc_bench: %s\n", error.c_str());
  return false;
}

bool OneConnection(std::uint16_t port, int reads, Figures& f) {
  dnc::Client client;
  if (!Connect(client, port)) return false;
  const auto start = Clock::now();
  for (int k = 0; k < reads; ++k) {
    const auto sent = Clock::now();
    if (!ReadStatus(client)) return false;
    f.roundTrips.push_back(Milliseconds(Clock::now() - sent));
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return true;
}

bool ManyConnections(std::uint16_t port, int connections, Figures& f) {
  const auto start = Clock::now();
  for (int k = 0; k < connections; ++k) {
    const auto begun = Clock::now();
    dnc::Client client;
    if (!Connect(client, port) || !ReadStatus(client)) return false;
    client.Close();
    f.roundTrips.push_back(Milliseconds(Clock::now() - begun));
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return true;
}

void Print(const char* title, const char* unit, const Figures& f, double floorMs) {
  const double perSecond = static_cast<double>(f.roundTrips.size()) / f.seconds;
  const double median = Quantile(f.roundTrips, 0.5), p99 = Quantile(f.roundTrips, 0.99);
  std::printf("%s\n", title);
  std::printf("  %8.0f %s/s      floor: %.1f ms per %s => at most ~%.0f %s/s\n", perSecond, unit, floorMs, unit,
              1000.0 / floorMs, unit);
  std::printf("  median %6.3f ms   %.2fx the floor\n", median, median / floorMs);
  std::printf("  p99    %6.3f ms   %.2fx the floor\n", p99, p99 / floorMs);
  std::printf("  rate   %.2fx the floor's rate\n", perSecond * floorMs / 1000.0);
}

void Silence(const std::string&) {}

int Count(const char* text, const char* what) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 1 || n > 10'000'000) {
    std::fprintf(stderr, "dnc_bench: %s: expected a count from 1, got \"%s\"\n", what, text);
    std::exit(2);
  }
  return static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3) {
    std::fprintf(stderr, "usage: dnc_bench [READS] [CONNECTIONS]\n");
    return 2;
  }
  const int reads = argc > 1 ? Count(argv[1], "READS") : 10'000;
  const int connections = argc > 2 ? Count(argv[2], "CONNECTIONS") : 500;

  dnc::DesviarTraza(Silence);
  dnc::RegisterSetupVariables();
  dnc::EnlazarOperaciones(dnc::LeerVariableTxt, dnc::EscribirVariableTxt);
  dnc::ConfigurarPuertoDNC(0);
  if (dnc::IniciarDNC() != 1 || dnc::PuertoDNC() == 0) {
    std::fprintf(stderr, "dnc_bench: the DNC server did not start\n");
    return 1;
  }
  const std::uint16_t port = dnc::PuertoDNC();

  Figures one, many;
  if (!OneConnection(port, reads, one) || !ManyConnections(port, connections, many)) return 1;
  std::printf("DNC service on 127.0.0.1:%u, reads of KESTRIO.STATUS\n", static_cast<unsigned>(port));
  Print(("(a) one connection, " + std::to_string(reads) + " reads (round trip per read)").c_str(), "request", one,
        1.0);
  // A connection costs the pause after its request and the one after the
  // server closes it.
  Print(("(b) " + std::to_string(connections) + " connections of one read (connect, read, close)").c_str(),
        "connection", many, 2.0);
  return 0;
}
