// The DNC server over real loopback sockets: framing, the request protocol,
// one connection at a time.  The server runs in this process, or, when
// KESTRIO_DNC_SERVER=host:port is set, is another program (the Windows build
// under Wine); tests that need this process's server state skip then.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "dnc/client.h"
#include "dnc/protocol.h"
#include "dnc/setup_variables.h"
#include "dnc/trace.h"
#include "dnc/transport.h"
#include "dnc/variables.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/tcp.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#endif

namespace kestrio::dnc {
namespace {

namespace net = platform::net;
using namespace std::chrono_literals;

std::string g_host = "127.0.0.1";
std::uint16_t g_port = 0;
bool g_inProcess = true;

std::mutex g_trazaMutex;
std::string g_traza;
void Capturar(const std::string& texto) {
  std::lock_guard lock(g_trazaMutex);
  g_traza += texto;
}
std::string Traza() {
  std::lock_guard lock(g_trazaMutex);
  return g_traza;
}

// A writable string, a read-only one holding a comma and a backslash, and a
// long one for lists.
// The server thread runs the accessors; the lock orders them with the test's
// own reads (a socket round trip is no ordering a race detector can see).
std::mutex g_valoresMutex;
std::string g_valorS;
std::int32_t g_valorL = 0;
std::string ValorS() {
  std::lock_guard lock(g_valoresMutex);
  return g_valorS;
}
std::int32_t ValorL() {
  std::lock_guard lock(g_valoresMutex);
  return g_valorL;
}
void Poner(const std::string& s, std::int32_t l) {
  std::lock_guard lock(g_valoresMutex);
  g_valorS = s;
  g_valorL = l;
}
std::int32_t LeerS(const char*, ValorVariable& v, const Indices&) {
  std::snprintf(v.valor.texto, kTextoVariable, "%s", ValorS().c_str());
  return 0;
}
std::int32_t EscribirS(const char*, const ValorVariable& v, const Indices&) {
  std::lock_guard lock(g_valoresMutex);
  g_valorS = v.valor.texto;
  return 0;
}
std::int32_t LeerL(const char*, ValorVariable& v, const Indices&) {
  v.valor.l = ValorL();
  return 0;
}
std::int32_t EscribirL(const char*, const ValorVariable& v, const Indices&) {
  std::lock_guard lock(g_valoresMutex);
  g_valorL = v.valor.l;
  return 0;
}
std::int32_t LeerRaro(const char*, ValorVariable& v, const Indices&) {
  std::snprintf(v.valor.texto, kTextoVariable, "a,b\\c");
  return 0;
}
std::int32_t LeerLargo(const char*, ValorVariable& v, const Indices&) {
  std::memset(v.valor.texto, 'x', 127);
  v.valor.texto[127] = '\0';
  return 0;
}
std::int32_t LeerComas(const char*, ValorVariable& v, const Indices&) {
  std::memset(v.valor.texto, ',', 127);
  v.valor.texto[127] = '\0';
  return 0;
}
const DescriptorVariable kTabla[] = {
    {"S", TIPO_STRING, 0, LeerS, EscribirS},  {"L", TIPO_LONG, 0, LeerL, EscribirL},
    {"RARO", TIPO_STRING, 0, LeerRaro, nullptr}, {"LARGO", TIPO_STRING, 0, LeerLargo, nullptr},
    {"COMAS", TIPO_STRING, VAR_INDEXADA, LeerComas, nullptr},
};

class Servidor : public ::testing::Environment {
 public:
  void SetUp() override {
    if (const char* externo = std::getenv("KESTRIO_DNC_SERVER")) {
      const std::string texto = externo;
      const auto colon = texto.rfind(':');
      g_host = texto.substr(0, colon);
      g_port = static_cast<std::uint16_t>(std::strtoul(texto.c_str() + colon + 1, nullptr, 10));
      g_inProcess = false;
      return;
    }
    DesviarTraza(Capturar);
    RegisterSetupVariables();
    RegistrarTablaVariables("W", kTabla, static_cast<std::int32_t>(std::size(kTabla)));
    EnlazarOperaciones(LeerVariableTxt, EscribirVariableTxt);
    ConfigurarPuertoDNC(0);
    ASSERT_EQ(IniciarDNC(), 1);
    g_port = PuertoDNC();
    ASSERT_NE(g_port, 0);
  }
};
const auto* const kServidor = ::testing::AddGlobalTestEnvironment(new Servidor);

#define REQUIRE_IN_PROCESS() \
  if (!g_inProcess) GTEST_SKIP() << "needs the server of this process"

std::string Pedido(const std::string& cuerpo) { return std::string(1, SOH) + cuerpo + ETX; }

// A raw connection for byte-level checks.
class Conexion {
 public:
  // Takes over a socket the test connected itself.
  explicit Conexion(net::Socket s) : s_(s) { net::SetReceiveTimeout(s_, 5000); }
  Conexion() {
    std::string error;
    s_ = net::Connect(g_host, g_port, 5000, error);
    EXPECT_NE(s_, net::kInvalidSocket) << error;
    net::SetReceiveTimeout(s_, 5000);
  }
  ~Conexion() { net::Close(s_); }
  Conexion(const Conexion&) = delete;
  Conexion& operator=(const Conexion&) = delete;
  void Enviar(std::string_view bytes) { ASSERT_EQ(net::Send(s_, bytes.data(), bytes.size()), static_cast<int>(bytes.size())); }
  void EnviarPaquete(std::string_view payload) {
    std::string cabecera{static_cast<char>(payload.size() >> 8), static_cast<char>(payload.size() & 0xFF)};
    Enviar(cabecera + std::string(payload));
  }
  // Up to `n` bytes, or fewer when the server closes; waits at most `plazo`.
  std::string Recibir(std::size_t n, unsigned plazoMs = 5000) {
    net::SetReceiveTimeout(s_, plazoMs);
    std::string out;
    char buffer[2048];
    while (out.size() < n) {
      const int r = net::Receive(s_, buffer, std::min(sizeof buffer, n - out.size()));
      if (r <= 0) break;
      out.append(buffer, static_cast<std::size_t>(r));
    }
    return out;
  }
  // The server's close: the end of the stream (a read that returns 0) or a
  // reset, well inside the 3 s the read waits.  Silence is not a close: a
  // server still waiting for bytes fails, and so does a byte or a late close,
  // each saying what it was.
  ::testing::AssertionResult Cerrada() {
    constexpr auto kPlazo = 3000ms;
    constexpr auto kPronto = 1000ms;
    net::SetReceiveTimeout(s_, static_cast<unsigned>(kPlazo.count()));
    const auto inicio = std::chrono::steady_clock::now();
    char byte = 0;
    const int r = net::Receive(s_, &byte, 1);
    const int error = net::LastError();
    const auto tardo = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inicio);
    const std::string tras = " after " + std::to_string(tardo.count()) + " ms";
    if (r > 0) return ::testing::AssertionFailure() << "a byte came" << tras;
    if (r < 0 && net::IsTimeout(error)) return ::testing::AssertionFailure() << "silent, no close" << tras;
    if (r < 0 && error != kReinicio)
      return ::testing::AssertionFailure() << "the receive failed" << tras << ": " << net::ErrorText(error);
    if (tardo >= kPronto) return ::testing::AssertionFailure() << (r == 0 ? "closed" : "reset") << " only" << tras;
    return ::testing::AssertionSuccess();
  }
  // One text reply: its 10-byte header, then as many bytes as it announces.
  std::string Respuesta() {
    const std::string cabecera = Recibir(10);
    if (cabecera.size() < 10) return "<closed>";
    const std::size_t n = (static_cast<unsigned char>(cabecera[0]) << 8) | static_cast<unsigned char>(cabecera[1]);
    EXPECT_EQ(cabecera.substr(2), std::string(8, '\0'));
    return Recibir(n);
  }
  net::Socket Socket() const { return s_; }

 private:
  // A peer that closes with bytes of ours unread resets the connection.
#ifdef _WIN32
  static constexpr int kReinicio = 10054;  // WSAECONNRESET
#else
  static constexpr int kReinicio = ECONNRESET;
#endif
  net::Socket s_ = net::kInvalidSocket;
};

Client Conectar() {
  Client c;
  std::string error;
  EXPECT_TRUE(c.Connect(g_host, g_port, 5000, error)) << error;
  return c;
}

TEST(DncWire, ReadAndVersionReplies) {
  Conexion c;
  c.EnviarPaquete(Pedido("R,VAR,KESTRIO.VERSION,"));
  const std::string respuesta = c.Recibir(10 + 33);
  EXPECT_EQ(respuesta.substr(0, 10), std::string("\x00\x21\0\0\0\0\0\0\0\0", 10));
  EXPECT_EQ(respuesta.substr(10), Pedido("S,VAR,KESTRIO.VERSION,v2017.09,"));
  c.EnviarPaquete(Pedido("R,NET,VER,"));
  EXPECT_EQ(c.Respuesta(), Pedido("S,NET,VER,1,"));
  c.EnviarPaquete(Pedido("R,VAR,KESTRIO.@LIST,trailing text is ignored"));
  EXPECT_EQ(c.Respuesta(), Pedido("S,VAR,KESTRIO.@LIST,GO;CURRENT;NEXT;ROOTDIR;NITEMS;STATUS;NAME;VERSION;ERROR,"));
}

TEST(DncWire, WriteIsAnsweredWithExactlyTwentyBytes) {
  Conexion c;
  c.EnviarPaquete(Pedido("S,VAR,KESTRIO.NEXT,Spanish,"));
  EXPECT_EQ(c.Recibir(20), std::string("\x00\x01\0\0\0\0\0\0\0\0\x30\0\0\0\0\0\0\0\0\0", 20));
  c.EnviarPaquete(Pedido("R,NET,VER,"));  // nothing else was left on the wire
  EXPECT_EQ(c.Respuesta(), Pedido("S,NET,VER,1,"));
}

TEST(DncWire, ErrorsAreTwoPackets) {
  Conexion c;
  c.EnviarPaquete(Pedido("R,VAR,KESTRIO.STATUS.7,"));
  const std::string nak = c.Recibir(20);
  EXPECT_EQ(nak, std::string("\x00\x01\0\0\0\0\0\0\0\0\x18\0\0\0\0\0\0\0\0\0", 20));
  EXPECT_EQ(c.Respuesta(), Pedido("S,VAR,ERRDNC,3085,NOSEUSA,"));
  c.EnviarPaquete(Pedido("S,NET,VER,x,"));  // a NET write is a write of the variable "VER"
  EXPECT_EQ(c.Recibir(20)[10], '\x18');
  EXPECT_EQ(c.Respuesta(), Pedido("S,VAR,ERRDNC,3085,NOSEUSA,"));
}

TEST(DncWire, LengthLimitsOfARequest) {
  {
    Conexion c;  // 1024 bytes: a read padded with ignored text
    std::string cuerpo = "R,VAR,KESTRIO.VERSION,";
    cuerpo += std::string(1024 - 2 - cuerpo.size(), 'p');
    c.EnviarPaquete(Pedido(cuerpo));
    EXPECT_EQ(c.Respuesta(), Pedido("S,VAR,KESTRIO.VERSION,v2017.09,"));
  }
  // A length the server refuses ends the connection as soon as the header
  // is read: the server waits neither for a body nor for more of one.  A
  // bare header leaves nothing unread (the stream ends); a body sent after
  // it is left unread (a reset).  The body is a read the server would
  // answer, were it taken.
  const std::string leer = Pedido("R,VAR,KESTRIO.VERSION,");
  struct Caso {
    std::size_t largo;
    std::string cuerpo;
  };
  const Caso casos[] = {
      {0, ""},
      {0, leer},
      {1025, ""},
      {1025, leer + std::string(1025 - leer.size(), 'p')},
  };
  for (const auto& caso : casos) {
    Conexion c;
    c.Enviar(std::string{static_cast<char>(caso.largo >> 8), static_cast<char>(caso.largo & 0xFF)} + caso.cuerpo);
    EXPECT_TRUE(c.Cerrada()) << "length " << caso.largo << ", a body of " << caso.cuerpo.size() << " bytes";
  }
}

// The length field is read with one receive: when only its first byte has
// arrived, the packet is refused (and the server drops the connection).  The
// receiving end is called directly, so the split cannot be closed by timing.
TEST(DncWire, LengthSplitAcrossTwoSendsIsRefused) {
  const net::Socket escucha = net::CreateTcpSocket();
  ASSERT_TRUE(net::Bind(escucha, net::kLoopbackAddress, 0) && net::Listen(escucha, 1));
  std::string error;
  Conexion cliente(net::Connect("127.0.0.1", net::LocalPort(escucha), 5000, error));
  const net::Socket servidor = net::Accept(escucha);
  ASSERT_NE(servidor, net::kInvalidSocket);
  cliente.Enviar(std::string(1, '\0'));
  char buffer[kMaxPayload + 1];
  EXPECT_EQ(RecibirPaquete(servidor, buffer), -1);
  net::Close(servidor);
  net::Close(escucha);
}

TEST(DncWire, PayloadInPiecesIsJoined) {
  Conexion c;
  const std::string pedido = Pedido("R,VAR,KESTRIO.VERSION,");
  c.Enviar(std::string{0, static_cast<char>(pedido.size())} + pedido.substr(0, 5));
  std::this_thread::sleep_for(100ms);
  c.Enviar(pedido.substr(5, 7));
  std::this_thread::sleep_for(100ms);
  c.Enviar(pedido.substr(12));
  EXPECT_EQ(c.Respuesta(), Pedido("S,VAR,KESTRIO.VERSION,v2017.09,"));
}

TEST(DncWire, InvalidRequestsCloseTheConnectionWithoutReply) {
  const std::string casos[] = {
      Pedido("R,var,KESTRIO.STATUS,"),
      "R,VAR,KESTRIO.STATUS," + std::string(1, ETX),
      Pedido("R,VAR,KESTRIO.STATUS,").substr(0, 22),
      Pedido("X,VAR,KESTRIO.STATUS,"),
      Pedido("R,VAR"),                        // 7 bytes
      Pedido("R,VAR,KESTRIO.STATUS"),          // the name runs into the ETX
      Pedido("R,VAR,,"),                       // empty name
      Pedido("S,VAR,KESTRIO.NEXT,Spanish"),    // the value runs into the ETX
      Pedido("R,NET,VEX,"),
  };
  for (const auto& pedido : casos) {
    Conexion c;
    c.EnviarPaquete(pedido);
    EXPECT_TRUE(c.Cerrada()) << pedido;
  }
}

TEST(DncWire, SecondClientWaitsForTheFirst) {
  Client primero = Conectar();
  ASSERT_EQ(primero.Version().kind, ClientResult::Ok);
  Conexion segundo;
  segundo.EnviarPaquete(Pedido("R,NET,VER,"));
  EXPECT_TRUE(segundo.Recibir(1, 400).empty());  // not served while the first is connected
  primero.Close();
  EXPECT_EQ(segundo.Respuesta(), Pedido("S,NET,VER,1,"));
}

TEST(DncWire, ListsOfSetupVariables) {
  Client c = Conectar();
  ClientResult r = c.ReadList({"KESTRIO.VERSION", "KESTRIO.ERROR.-6", "KESTRIO.NAME.13"});
  ASSERT_EQ(r.kind, ClientResult::Ok);
  EXPECT_EQ(r.values, (std::vector<std::string>{"v2017.09", "Invalid language name.", ""}));
  r = c.ReadList({"KESTRIO.VERSION", "KESTRIO.NOPE", "KESTRIO.STATUS"});
  EXPECT_EQ(r.code, ERR_VAR_NO_ENCONTRADA);
  EXPECT_EQ(c.WriteList({"KESTRIO.NEXT", "KESTRIO.GO"}, {"Spanish", "0"}).kind, ClientResult::Ok);
  ASSERT_TRUE(c.SendPayload(Pedido("S,LST,KESTRIO.NEXT#KESTRIO.GO,a#0#1,")));
  EXPECT_EQ(c.ReadReply().code, ERR_DNC_LISTA);
  EXPECT_EQ(c.WriteList({"KESTRIO.NEXT", "KESTRIO.STATUS"}, {"Spanish", "1"}).code, ERR_VAR_SOLO_LECTURA);
}

TEST(DncWire, ValuesAreEscapedBothWays) {
  REQUIRE_IN_PROCESS();
  Client c = Conectar();
  struct Caso {
    const char* enviado;  // escaped, as on the wire
    const char* guardado;
  };
  const Caso casos[] = {
      {"a\\@b", "a,b"}, {"x\\\\y", "x\\y"}, {"p\\qr", "pqr"}, {"ab\\", "ab"}, {"", ""},
  };
  for (const auto& caso : casos) {
    ASSERT_TRUE(c.SendPayload(Pedido(std::string("S,VAR,W.S,") + caso.enviado + ",")));
    EXPECT_EQ(c.ReadReply().kind, ClientResult::Ok) << caso.enviado;
    EXPECT_EQ(ValorS(), caso.guardado) << caso.enviado;
  }
  std::string crudo;
  ASSERT_TRUE(c.SendPayload(Pedido("R,VAR,W.RARO,")));
  ClientResult r = c.ReadReply(&crudo);
  EXPECT_EQ(crudo, Pedido("S,VAR,W.RARO,a\\@b\\\\c,"));
  ASSERT_EQ(r.values.size(), 1u);
  EXPECT_EQ(r.values[0], "a,b\\c");
  EXPECT_EQ(c.Write("W.S", "1,2\\3").kind, ClientResult::Ok);
  EXPECT_EQ(ValorS(), "1,2\\3");
}

TEST(DncWire, ListReadsAndTheirFailures) {
  REQUIRE_IN_PROCESS();
  Client c = Conectar();
  Poner("uno", 5);
  ClientResult r = c.ReadList({"W.S", "W.L", "KESTRIO.VERSION"});
  ASSERT_EQ(r.kind, ClientResult::Ok);
  EXPECT_EQ(r.values, (std::vector<std::string>{"uno", "5", "v2017.09"}));

  r = c.ReadList({"W.S", "W.NADA", "W.L"});
  EXPECT_EQ(r.kind, ClientResult::ErrorReply);
  EXPECT_EQ(r.code, ERR_VAR_NO_ENCONTRADA);
  EXPECT_EQ(c.Version().kind, ClientResult::Ok);  // no other reply was left behind

  std::vector<std::string> largos(9, "W.LARGO");  // 9 x 127 + 8 passes 1023
  r = c.ReadList(largos);
  EXPECT_EQ(r.code, ERR_DNC_LONGITUD);
  largos[8] = "W.NADA";  // a failing read still answers with its own code
  EXPECT_EQ(c.ReadList(largos).code, ERR_VAR_NO_ENCONTRADA);

  const std::string casos[] = {"#W.S", "W.S##W.L", std::string(32, 'W'), ""};
  for (const auto& nombres : casos) {
    ASSERT_TRUE(c.SendPayload(Pedido("R,LST," + nombres + ",")));
    const ClientResult e = c.ReadReply();
    if (nombres.empty()) {
      EXPECT_EQ(e.kind, ClientResult::Failed);  // an empty name closes the connection
    } else {
      EXPECT_EQ(e.code, ERR_DNC_LISTA) << nombres;
    }
  }
}

TEST(DncWire, ListLimitsOfFiftyItems) {
  REQUIRE_IN_PROCESS();
  Client c = Conectar();
  std::vector<std::string> nombres(50, "W.L");
  EXPECT_EQ(c.ReadList(nombres).values.size(), 50u);
  nombres.push_back("W.L");
  EXPECT_EQ(c.ReadList(nombres).kind, ClientResult::Refused);  // the client knows the limit

  // And the server keeps it, on raw frames: a closing "#" adds no item but
  // still takes the fifty-first slot, so fifty items may not carry one.
  struct Caso {
    std::size_t items;
    bool cierre;  // a "#" after the last item
    bool acepta;
  };
  const Caso casos[] = {
      {49, false, true}, {49, true, true}, {50, false, true},
      {50, true, false}, {51, false, false}, {51, true, false},
  };
  for (const auto& caso : casos) {
    Poner("v", 7);
    const auto unir = [&](const std::string& item) {
      std::string lista;
      for (std::size_t k = 0; k < caso.items; ++k) lista += (k ? "#" : "") + item;
      return lista + (caso.cierre ? "#" : "");
    };
    const std::string etiqueta = std::to_string(caso.items) + (caso.cierre ? " items and #" : " items");
    ASSERT_TRUE(c.SendPayload(Pedido("R,LST," + unir("W.L") + ",")));
    const ClientResult leido = c.ReadReply();
    if (caso.acepta) {
      EXPECT_EQ(leido.values, std::vector<std::string>(caso.items, "7")) << etiqueta;
    } else {
      EXPECT_EQ(leido.code, ERR_DNC_LISTA) << etiqueta;
    }
    ASSERT_TRUE(c.SendPayload(Pedido("S,LST," + unir("W.L") + "," + unir("8") + ",")));
    const ClientResult escrito = c.ReadReply();
    EXPECT_EQ(escrito.kind, caso.acepta ? ClientResult::Ok : ClientResult::ErrorReply) << etiqueta;
    EXPECT_EQ(escrito.code, caso.acepta ? 0 : ERR_DNC_LISTA) << etiqueta;
    EXPECT_EQ(ValorL(), caso.acepta ? 8 : 7) << etiqueta;  // a refused list writes nothing
  }
}

TEST(DncWire, ListWrites) {
  REQUIRE_IN_PROCESS();
  Client c = Conectar();
  Poner("antes", 0);
  ASSERT_TRUE(c.SendPayload(Pedido("S,LST,W.S#W.L,a#1#2,")));
  EXPECT_EQ(c.ReadReply().code, ERR_DNC_LISTA);
  EXPECT_EQ(ValorS(), "antes");

  EXPECT_EQ(c.WriteList({"W.S", "W.L"}, {"x,y", "0x10"}).kind, ClientResult::Ok);
  EXPECT_EQ(ValorS(), "x,y");
  EXPECT_EQ(ValorL(), 16);

  const ClientResult r = c.WriteList({"W.S", "W.L", "W.S"}, {"nuevo", "abc", "otro"});
  EXPECT_EQ(r.kind, ClientResult::ErrorReply);
  EXPECT_EQ(r.code, ERR_VAR_SINTAXIS);
  EXPECT_EQ(ValorS(), "nuevo");  // written before the failure, and kept
  EXPECT_EQ(c.Version().kind, ClientResult::Ok);
}

TEST(DncWire, ReplyTooLongForItsFrameIsRefused) {
  REQUIRE_IN_PROCESS();
  Client c = Conectar();
  // Text after a complete variable name is ignored, but the reply repeats
  // the name: 254 escaped characters behind a 900-character name do not fit.
  const std::string nombre = "W.COMAS.1" + std::string(900, 'z');
  const ClientResult r = c.Read(nombre);
  EXPECT_EQ(r.kind, ClientResult::ErrorReply);
  EXPECT_EQ(r.code, ERR_DNC_LONGITUD);
  EXPECT_EQ(c.Read("W.COMAS.1").values.at(0), std::string(127, ','));
}

TEST(DncWire, DisconnectBetweenRequestsIsTraced) {
  REQUIRE_IN_PROCESS();
  const std::size_t desde = Traza().size();
  {
    Client c = Conectar();
    ASSERT_EQ(c.Version().kind, ClientResult::Ok);
  }
  Client siguiente = Conectar();  // served only after the first was closed
  ASSERT_EQ(siguiente.Version().kind, ClientResult::Ok);
  // The trace tells a peer that closed from a failed receive.
  const std::string traza = Traza().substr(desde);
  EXPECT_NE(traza.find("nBytes=0. Me han cerrado el socket"), std::string::npos) << traza;
  EXPECT_EQ(traza.find("Error"), std::string::npos) << traza;
}

#ifndef _WIN32
// The descriptor, in this process, of the established connection from local
// port `local` to remote port `remoto` (found by its inode in /proc/net/tcp),
// or -1.
int DescriptorDeConexion(std::uint16_t local, std::uint16_t remoto) {
  const auto puerto = [](const std::string& direccion) {
    return std::strtoul(direccion.c_str() + direccion.find(':') + 1, nullptr, 16);
  };
  std::ifstream tcp("/proc/net/tcp");
  std::string linea;
  std::getline(tcp, linea);  // the column names
  std::string inodo;
  while (inodo.empty() && std::getline(tcp, linea)) {
    std::istringstream campos(linea);
    std::string sl, origen, destino, estado, colas, temporizador, reintentos, uid, plazo, inode;
    campos >> sl >> origen >> destino >> estado >> colas >> temporizador >> reintentos >> uid >> plazo >> inode;
    if (estado == "01" && puerto(origen) == local && puerto(destino) == remoto) inodo = inode;
  }
  if (inodo.empty()) return -1;
  std::error_code error;
  for (const auto& entrada : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    if (std::filesystem::read_symlink(entrada.path(), error).string() == "socket:[" + inodo + "]")
      return std::stoi(entrada.path().filename().string());
  }
  return -1;
}
#endif

// A client that vanished without closing holds the server (one connection
// at a time, no receive time-out) until keep-alive finds it gone: the
// server's end of each connection probes after a minute of silence, not the
// system's two hours.
TEST(DncWire, ConnectionsAreProbedAfterAMinuteOfSilence) {
  REQUIRE_IN_PROCESS();
#ifdef _WIN32
  GTEST_SKIP() << "Winsock cannot read keep-alive timings back";
#else
  Conexion cliente;
  // Answered: the connection was configured before its first request.
  cliente.EnviarPaquete(Pedido("R,NET,VER,"));
  ASSERT_EQ(cliente.Respuesta(), Pedido("S,NET,VER,1,"));
  const int servidor = DescriptorDeConexion(g_port, net::LocalPort(cliente.Socket()));
  ASSERT_GE(servidor, 0) << "the server's end of the connection was not found";
  const struct {
    const char* nombre;
    int nivel, opcion, valor;
  } esperadas[] = {{"SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 1},
                   {"TCP_KEEPIDLE", IPPROTO_TCP, TCP_KEEPIDLE, 60},
                   {"TCP_KEEPINTVL", IPPROTO_TCP, TCP_KEEPINTVL, 10},
                   {"TCP_KEEPCNT", IPPROTO_TCP, TCP_KEEPCNT, 6}};
  for (const auto& e : esperadas) {
    int valor = -1;
    socklen_t largo = sizeof valor;
    ASSERT_EQ(::getsockopt(servidor, e.nivel, e.opcion, &valor, &largo), 0) << e.nombre << ": " << std::strerror(errno);
    EXPECT_EQ(valor, e.valor) << e.nombre;
  }
#endif
}

// Out of descriptors, accept fails again at once for the client waiting in
// the queue: the server pauses between attempts instead of spinning (which
// flooded the trace with thousands of lines a second) and serves the client
// once a descriptor is free.
TEST(DncWire, AcceptThatKeepsFailingPausesAndRecovers) {
  REQUIRE_IN_PROCESS();
#ifdef _WIN32
  GTEST_SKIP() << "the descriptor limit is a posix matter";
#else
  // The client's socket exists before the limit drops; connecting takes no
  // descriptor, accepting does.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  Conexion cliente(fd);
  rlimit antes{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &antes), 0);
  rlimit agotado = antes;
  agotado.rlim_cur = 0;
  const std::size_t desde = Traza().size();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &agotado), 0);
  sockaddr_in servidor{};
  servidor.sin_family = AF_INET;
  servidor.sin_port = htons(g_port);
  servidor.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int conectado = ::connect(fd, reinterpret_cast<const sockaddr*>(&servidor), sizeof servidor);
  std::this_thread::sleep_for(1s);
  const std::string traza = Traza().substr(desde);
  ::setrlimit(RLIMIT_NOFILE, &antes);  // before any assertion can leave the test
  ASSERT_EQ(conectado, 0) << std::strerror(errno);
  std::size_t fallos = 0;
  for (auto at = traza.find("RARO! conexion NO aceptada"); at != std::string::npos;
       at = traza.find("RARO! conexion NO aceptada", at + 1))
    ++fallos;
  EXPECT_GE(fallos, 1u);
  EXPECT_LE(fallos, 20u) << "accept was retried without a pause";
  cliente.EnviarPaquete(Pedido("R,NET,VER,"));
  EXPECT_EQ(cliente.Respuesta(), Pedido("S,NET,VER,1,"));
#endif
}

TEST(DncWire, PortInUseIsReportedAndNoServerStarts) {
  REQUIRE_IN_PROCESS();
  const std::size_t desde = Traza().size();
  ConfigurarPuertoDNC(g_port);
  EXPECT_EQ(AbrirPuerto(), net::kInvalidSocket);
  ConfigurarPuertoDNC(0);
  EXPECT_NE(Traza().find("DNC: DNCSERVER: 'bind' Error ", desde), std::string::npos) << Traza().substr(desde);
}

// A technician reads the socket library's errors: words, with the code that
// the documentation lists beside them on Windows.
TEST(DncClient, SocketErrorsReadAsWords) {
#ifdef _WIN32
  const struct {
    int code;
    const char* text;
  } casos[] = {
      {10061, "connection refused (10061)"},
      {10060, "connection timed out (10060)"},
      {10065, "host unreachable (10065)"},
      {10051, "network unreachable (10051)"},
      {10054, "connection reset by the peer (10054)"},
      {11001, "host not found (11001)"},
      {123456789, "Winsock error 123456789"},  // no message anywhere
  };
  for (const auto& caso : casos) EXPECT_EQ(net::ErrorText(caso.code), caso.text);
  // Off the table: the system's message, then the code.
  const std::string otro = net::ErrorText(10014);
  EXPECT_GT(otro.size(), std::string(" (10014)").size()) << otro;
  EXPECT_EQ(otro.substr(otro.size() - 8), " (10014)") << otro;
  const char* rechazada = "connection refused (10061)";
#else
  const char* rechazada = std::strerror(ECONNREFUSED);
#endif
  // A port bound on the loopback address but not listening refuses.
  ASSERT_TRUE(net::Startup());
  const net::Socket cerrado = net::CreateTcpSocket();
  ASSERT_NE(cerrado, net::kInvalidSocket);
  ASSERT_TRUE(net::Bind(cerrado, net::kLoopbackAddress, 0));
  const std::uint16_t puerto = net::LocalPort(cerrado);
  std::string error;
  const net::Socket s = net::Connect("127.0.0.1", puerto, 5000, error);
  EXPECT_EQ(s, net::kInvalidSocket);
  net::Close(s);
  net::Close(cerrado);
  EXPECT_EQ(error, "cannot connect to 127.0.0.1:" + std::to_string(puerto) + ": " + rechazada);
}

// ---- The client against peers of the test's own making (posix) ------------

#ifndef _WIN32
// A listening socket on 127.0.0.1 whose connections the test answers itself,
// or not at all.
class Oyente {
 public:
  explicit Oyente(int cola) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in direccion{};
    direccion.sin_family = AF_INET;
    direccion.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t largo = sizeof direccion;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&direccion), largo), 0);
    EXPECT_EQ(::listen(fd_, cola), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&direccion), &largo);
    puerto_ = ntohs(direccion.sin_port);
  }
  ~Oyente() { ::close(fd_); }
  Oyente(const Oyente&) = delete;
  Oyente& operator=(const Oyente&) = delete;
  std::uint16_t Puerto() const { return puerto_; }
  int Aceptar() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int fd_ = -1;
  std::uint16_t puerto_ = 0;
};

// After GO the machine may restart: kestrio-dnc must know a connection that
// ended from a reply that did not come in time.
TEST(DncClient, ConnectionLostIsToldFromATimeOut) {
  enum class Fin { Cierra, Reinicia, Calla };
  struct Caso {
    const char* etiqueta;
    Fin fin;
    bool perdida;
    const char* motivo;
  };
  const Caso casos[] = {
      {"peer closes", Fin::Cierra, true, "the server closed the connection"},
      {"peer resets", Fin::Reinicia, true, "receiving the reply failed: "},
      {"peer stays silent", Fin::Calla, false,
       "connected, but no reply within 300 ms: the service answers one connection at a time"},
  };
  for (const auto& caso : casos) {
    Oyente oyente(1);
    Client c;
    std::string error;
    ASSERT_TRUE(c.Connect("127.0.0.1", oyente.Puerto(), 300, error)) << error;
    ASSERT_TRUE(c.SendPayload(Pedido("R,NET,VER,")));
    const int s = oyente.Aceptar();
    ASSERT_GE(s, 0);
    char pedido[64];
    ASSERT_GT(::recv(s, pedido, sizeof pedido, 0), 0);  // read, so that a close sends FIN, not RST
    if (caso.fin == Fin::Reinicia) {
      const linger abortar{1, 0};
      ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abortar, sizeof abortar);
    }
    if (caso.fin != Fin::Calla) ::close(s);
    const ClientResult r = c.ReadReply();
    if (caso.fin == Fin::Calla) ::close(s);
    EXPECT_EQ(r.kind, ClientResult::Failed) << caso.etiqueta;
    EXPECT_EQ(r.connectionLost, caso.perdida) << caso.etiqueta;
    EXPECT_NE(r.problem.find(caso.motivo), std::string::npos) << caso.etiqueta << ": " << r.problem;
  }
}

// Reply bytes a broken or hostile server may send, against what the client
// library makes of them.  The peer reads the request, sends the bytes and
// then closes the connection or stays silent.  Rows without a request of
// their own read the reply raw, after a read of KESTRIO.STATUS; the others
// go through the request they name, which also checks that the reply is its
// own.
TEST(DncClient, RawRepliesAndWhatTheClientReports) {
  const auto texto = [](const std::string& cuerpo) {
    std::string paquete(10, '\0');
    paquete[0] = static_cast<char>((cuerpo.size() + 2) >> 8);
    paquete[1] = static_cast<char>((cuerpo.size() + 2) & 0xFF);
    return paquete + Pedido(cuerpo);
  };
  const auto codigo = [](char c) {
    std::string paquete(20, '\0');
    paquete[1] = 1;
    paquete[10] = c;
    return paquete;
  };
  const std::string nak = codigo(static_cast<char>(DNC_NAK));
  const std::string ack = codigo(static_cast<char>(DNC_ACK));
  using Pedir = ClientResult (*)(Client&);
  const Pedir leer = [](Client& c) { return c.Read("KESTRIO.STATUS"); };
  const Pedir leerLista = [](Client& c) { return c.ReadList({"KESTRIO.STATUS", "KESTRIO.NITEMS"}); };
  const Pedir escribir = [](Client& c) { return c.Write("KESTRIO.NEXT", "French"); };
  struct Caso {
    const char* etiqueta;
    std::string bytes;
    bool cierra;  // then closes; otherwise stays silent
    ClientResult::Kind tipo;
    std::int32_t error;
    bool perdida;
    const char* motivo;
    Pedir pedir = nullptr;  // none: the raw read
  };
  const Caso casos[] = {
      {"a value", texto("S,VAR,KESTRIO.STATUS,0,"), false, ClientResult::Ok, 0, false, ""},
      {"an error", nak + texto("S,VAR,ERRDNC,3085,NOSEUSA,"), false, ClientResult::ErrorReply, 3085, false, ""},
      {"ACK", codigo(static_cast<char>(DNC_ACK)), false, ClientResult::Ok, 0, false, ""},
      {"unknown code", codigo('?'), false, ClientResult::Failed, 0, false, "unknown reply code"},
      {"NAK, then the end", nak, true, ClientResult::Failed, 0, true, "the server closed the connection"},
      {"NAK, then silence", nak, false, ClientResult::Failed, 0, false, "no reply from the server within"},
      {"NAK and a text that is no error", nak + texto("S,VAR,X,1,"), false, ClientResult::Failed, 0, false,
       "malformed error reply"},
      {"NAK and an error without a number", nak + texto("S,VAR,ERRDNC,,NOSEUSA,"), false, ClientResult::Failed, 0,
       false, "malformed error reply"},
      {"NAK and an error code that is no number", nak + texto("S,VAR,ERRDNC,3085x,NOSEUSA,"), false,
       ClientResult::Failed, 0, false, "malformed error reply"},
      {"code packet cut short", codigo(static_cast<char>(DNC_ACK)).substr(0, 12), true, ClientResult::Failed, 0, true,
       "the server closed the connection"},
      {"half a header", std::string("\0\x10\0\0\0", 5), true, ClientResult::Failed, 0, true,
       "the server closed the connection"},
      {"half a header, then silence", std::string("\0\x10\0\0\0", 5), false, ClientResult::Failed, 0, false,
       "no reply from the server within"},
      {"text shorter than its length", texto("S,VAR,KESTRIO.STATUS,0,").substr(0, 20), true, ClientResult::Failed, 0,
       true, "the server closed the connection"},
      {"zero-length text", std::string(10, '\0'), false, ClientResult::Failed, 0, false, "malformed reply"},
      {"three fields", texto("S,VAR,X,"), false, ClientResult::Failed, 0, false, "malformed reply"},
      {"first field not S", texto("R,VAR,X,1,"), false, ClientResult::Failed, 0, false, "malformed reply"},
      {"no closing ETX", texto("S,VAR,X,1,").substr(0, 21) + "!", false, ClientResult::Failed, 0, false,
       "malformed reply"},
      {"silence", "", false, ClientResult::Failed, 0, false,
       "connected, but no reply within 300 ms: the service answers one connection at a time"},
      // Replies checked against the request that was sent.
      {"read: its own value", texto("S,VAR,KESTRIO.STATUS,0,"), false, ClientResult::Ok, 0, false, "", leer},
      {"read: a list reply", texto("S,LST,KK,0,"), false, ClientResult::Failed, 0, false,
       "unexpected reply LST KK to the read of KESTRIO.STATUS", leer},
      {"read: another variable's value", texto("S,VAR,KESTRIO.NITEMS,4,"), false, ClientResult::Failed, 0, false,
       "unexpected reply VAR KESTRIO.NITEMS to the read of KESTRIO.STATUS", leer},
      {"read: an ACK", ack, false, ClientResult::Failed, 0, false, "unexpected reply ACK to the read of KESTRIO.STATUS",
       leer},
      {"read: a name with control characters", texto("S,VAR,\x1b[2J,0,"), false, ClientResult::Failed, 0, false,
       "unexpected reply VAR ?[2J to the read", leer},
      {"read: an error", nak + texto("S,VAR,ERRDNC,3085,NOSEUSA,"), false, ClientResult::ErrorReply, 3085,
       false, "", leer},
      {"list read: its own values", texto("S,LST,KK,0#4,"), false, ClientResult::Ok, 0, false, "", leerLista},
      {"list read: a single value", texto("S,VAR,KESTRIO.STATUS,0,"), false, ClientResult::Failed, 0, false,
       "unexpected reply VAR KESTRIO.STATUS to the list read of 2 names", leerLista},
      {"list read: a list under another name", texto("S,LST,KESTRIO.NITEMS,0#4,"), false, ClientResult::Failed, 0,
       false, "unexpected reply LST KESTRIO.NITEMS to the list read of 2 names", leerLista},
      {"write: a value", texto("S,VAR,KESTRIO.NEXT,French,"), false, ClientResult::Failed, 0, false,
       "unexpected reply VAR KESTRIO.NEXT to the write of KESTRIO.NEXT", escribir},
      {"write: silence", "", false, ClientResult::Failed, 0, false,
       "serving another desk (a change holds it for many minutes); the request may still be carried out once it is "
       "free", escribir},
      {"write: NAK, then silence", nak, false, ClientResult::Failed, 0, false,
       "(NAK) but its error text did not follow: no reply from the server within 300 ms", escribir},
  };
  for (const auto& caso : casos) {
    Oyente oyente(1);
    Client c;
    std::string error;
    ASSERT_TRUE(c.Connect("127.0.0.1", oyente.Puerto(), 300, error)) << error;
    // The peer answers on a thread of its own: a request call sends and
    // then waits for its reply.
    int s = -1;
    std::thread par([&] {
      s = oyente.Aceptar();
      ASSERT_GE(s, 0);
      char pedido[kMaxPayload];
      ASSERT_GT(::recv(s, pedido, sizeof pedido, 0), 0);
      if (!caso.bytes.empty()) {
        ASSERT_EQ(::send(s, caso.bytes.data(), caso.bytes.size(), 0), static_cast<ssize_t>(caso.bytes.size()));
      }
      if (caso.cierra) ::close(s);
    });
    ClientResult r;
    if (caso.pedir) {
      r = caso.pedir(c);
    } else {
      EXPECT_TRUE(c.SendPayload(Pedido("R,VAR,KESTRIO.STATUS,")));
      r = c.ReadReply();
    }
    par.join();
    if (!caso.cierra && s >= 0) ::close(s);
    EXPECT_EQ(r.kind, caso.tipo) << caso.etiqueta;
    EXPECT_EQ(r.code, caso.error) << caso.etiqueta;
    EXPECT_EQ(r.connectionLost, caso.perdida) << caso.etiqueta;
    EXPECT_NE(r.problem.find(caso.motivo), std::string::npos) << caso.etiqueta << ": " << r.problem;
  }
}

void SinEfecto(int) {}

// A signal that ends the wait of a connect early (poll gives EINTR) leaves
// the attempt under way: the wait goes on for the time that is left, and a
// socket is never handed out as connected before the peer answers.
TEST(DncClient, ConnectInterruptedBySignalsWaitsItsTime) {
  // A listener whose queue is full drops further handshakes: connecting to it
  // gets no answer.
  Oyente lleno(0);
  std::vector<Client> enCola;
  for (int k = 0; k < 8; ++k) {
    Client c;
    std::string error;
    if (!c.Connect("127.0.0.1", lleno.Puerto(), 100, error)) break;
    enCola.push_back(std::move(c));
  }
  ASSERT_LT(enCola.size(), 8u) << "the listener's queue never filled";

  // The handler stays: a signal still on its way after the test must find it.
  struct sigaction accion {};
  accion.sa_handler = SinEfecto;
  sigemptyset(&accion.sa_mask);
  accion.sa_flags = 0;  // no SA_RESTART: poll returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &accion, nullptr), 0);
  const pthread_t esta = ::pthread_self();
  std::atomic<bool> hecho{false};
  std::thread senales([&] {
    while (!hecho) {
      ::pthread_kill(esta, SIGUSR1);
      std::this_thread::sleep_for(20ms);
    }
  });
  const auto inicio = std::chrono::steady_clock::now();
  std::string error;
  const net::Socket s = net::Connect("127.0.0.1", lleno.Puerto(), 600, error);
  const auto transcurrido = std::chrono::steady_clock::now() - inicio;
  hecho = true;
  senales.join();
  EXPECT_EQ(s, net::kInvalidSocket) << "taken as connected after an interrupted wait";
  net::Close(s);
  EXPECT_NE(error.find("no answer from 127.0.0.1:" + std::to_string(lleno.Puerto()) + " within 600 ms"),
            std::string::npos)
      << error;
  EXPECT_GE(transcurrido, 550ms);
}
#endif

}  // namespace
}  // namespace kestrio::dnc
