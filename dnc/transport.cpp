#include "dnc/transport.h"

#include <atomic>
#include <cstring>
#include <string>

#include "dnc/trace.h"

namespace kestrio::dnc {
namespace net = platform::net;
namespace {

std::atomic<std::uint16_t> g_puerto{PUERTO_DNC};
std::atomic<std::uint32_t> g_direccion{net::kAnyAddress};
std::atomic<Socket> socketEscucha{net::kInvalidSocket};
Socket socketDatos = net::kInvalidSocket;  // the server thread's alone
// Set before the server thread starts, read only by it.
net::KeepAliveTimes g_keepAlive = KEEPALIVE_DNC;
std::atomic<AtenderConexion> g_atender{nullptr};

// Sends all of `size` bytes; a short send is continued, so a reply never
// leaves half a frame behind.  Errors are not reported: the next receive
// finds the connection gone.
void EnviarTodo(Socket s, const char* datos, std::size_t size) {
  while (size > 0) {
    const int n = net::Send(s, datos, size);
    if (n <= 0) return;
    datos += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void ConfigurarPuertoDNC(std::uint16_t puerto) { g_puerto = puerto; }
void ConfigurarDireccionDNC(std::uint32_t direccion) { g_direccion = direccion; }
void ConfigurarKeepAliveDNC(const net::KeepAliveTimes& tiempos) { g_keepAlive = tiempos; }
void ConfigurarAtencionDNC(AtenderConexion atender) { g_atender = atender; }

std::uint16_t PuertoDNC() {
  const Socket s = socketEscucha.load();
  return s == net::kInvalidSocket ? 0 : net::LocalPort(s);
}

int IniciarDNC() {
  if (!net::Startup()) return INICIO_SIN_SOCKETS;
  ArrancarServidor();
  return INICIO_OK;
}

int ArrancarServidor() {
  canalDNC.nivel = 1;
  TrazaDNC(0, "DNCSERVER: Arrancando servidor...\n");
  TrazaDNC(1, "DNCSERVER: Abriendo puerto %d\n", static_cast<int>(g_puerto.load()));
  const Socket s = AbrirPuerto();
  socketEscucha = s;
  if (s == net::kInvalidSocket) {
    TrazaDNC(0, "DNCSERVER: ERROR abriendo puerto\n");
    return ARRANQUE_SIN_PUERTO;
  }
  TrazaDNC(1, "DNCSERVER: puerto abierto OK\n");
  net::StartThread(HiloServidor);
  TrazaDNC(0, "DNCSERVER: Servidor OK\n");
  return ARRANQUE_OK;
}

Socket AbrirPuerto() {
  const Socket s = net::CreateTcpSocket();
  if (s == net::kInvalidSocket) {
    TrazaDNC(0, "DNCSERVER: 'socket' Error %d\n", net::LastError());
    return net::kInvalidSocket;
  }
  const char* fallo = nullptr;
  if (!net::SetOption(s, net::Option::ReuseAddress, 1)) fallo = "DNCSERVER: 'setsockopt' Error %d\n";
  else if (!net::Bind(s, g_direccion, g_puerto)) fallo = "DNCSERVER: 'bind' Error %d\n";
  else if (!net::Listen(s, 2)) fallo = "DNCSERVER: 'closesocket' Error %d\n";
  if (fallo == nullptr) return s;
  net::Close(s);
  TrazaDNC(0, fallo, net::LastError());
  return net::kInvalidSocket;
}

void HiloServidor() {
  for (;;) {
    socketDatos = EsperarConexion();
    if (ConfigSocketDatos() == CONFIG_OK) {
      if (const AtenderConexion atender = g_atender.load()) atender(socketDatos);
      else TrazaDNC(0, "DNCSERVER: ERROR sin operaciones de variables\n");
      TrazaDNC(1, "DNCSERVER: fin de las peticiones\n");
    }
    TrazaDNC(1, "DNCSERVER: cierro el socket\n");
    net::Close(socketDatos);
    socketDatos = net::kInvalidSocket;
    net::SleepMilliseconds(1);
  }
}

Socket EsperarConexion() {
  // A wait or an accept that fails would fail again at once: the server
  // pauses this long (ms) before it waits again.
  constexpr unsigned kPausaTrasFallo = 1000;
  for (;;) {
    TrazaDNC(1, "DNCSERVER: esperando conexion\n");
    const net::Wait espera = net::WaitReadable(socketEscucha);
    if (espera == net::Wait::Failed) {
      TrazaDNC(0, "DNCSERVER: ERROR esperando conexion (%d)\n", net::LastError());
      net::SleepMilliseconds(kPausaTrasFallo);
      continue;
    }
    if (espera != net::Wait::Ready) continue;
    const Socket s = net::Accept(socketEscucha);
    if (s == net::kInvalidSocket) {
      // Out of descriptors (or buffers) the client stays in the queue and the
      // wait is ready again at once: pause as after a failed wait.
      TrazaDNC(0, "DNCSERVER: RARO! conexion NO aceptada\n");
      net::SleepMilliseconds(kPausaTrasFallo);
      continue;
    }
    TrazaDNC(1, "DNCSERVER: conexion aceptada\n");
    return s;
  }
}

int ConfigSocketDatos() {
  struct Paso {
    net::Option opcion;
    int valor;
    const char* traza;
    int falla;
  };
  static const Paso pasos[] = {
      {net::Option::KeepAlive, 1, "DNCSERVER: ConfigSocketDatos: SO_KEEPALIVE. Error %d\n", CONFIG_FALLA_KEEPALIVE},
      {net::Option::NoDelay, 1, "DNCSERVER: ConfigSocketDatos: TCP_NODELAY. Error %d\n", CONFIG_FALLA_NODELAY},
      {net::Option::SendBuffer, 500, "DNCSERVER: ConfigSocketDatos: SO_SNDBUF. Error %d\n", CONFIG_FALLA_SNDBUF},
      {net::Option::ReceiveBuffer, 500, "DNCSERVER: ConfigSocketDatos: SO_RCVBUF. Error %d\n", CONFIG_FALLA_RCVBUF},
  };
  for (const Paso& paso : pasos) {
    if (!net::SetOption(socketDatos, paso.opcion, paso.valor)) {
      TrazaDNC(0, paso.traza, net::LastError());
      return paso.falla;
    }
  }
  // Without its own timings the connection keeps SO_KEEPALIVE with the
  // system's (two hours on both systems): a live client loses nothing, so a
  // failure here is traced and the connection served all the same.
  if (!net::SetKeepAliveTimes(socketDatos, g_keepAlive)) {
    TrazaDNC(0, "DNCSERVER: ConfigSocketDatos: tiempos de KEEPALIVE. Error %d\n", net::LastError());
  }
  return CONFIG_OK;
}

int RecibirPaquete(Socket s, char (&buffer)[kMaxPayload + 1]) {
  unsigned char cabecera[2];
  const int n = net::Receive(s, cabecera, 2);
  if (n == 0) {
    TrazaDNC(0, "DNCSERVER: RecibirPaquete nBytes=0. Me han cerrado el socket\n");
    return PAQUETE_CERRADO;
  }
  if (n < 0) {
    TrazaDNC(0, "DNCSERVER: RecibirPaquete nBytes=%d. Error %d\n", n, net::LastError());
    return PAQUETE_SIN_CABECERA;
  }
  if (n == 1) {
    TrazaDNC(0, "DNCSERVER: RecibirPaquete recibidos %d bytes, esperaba %d    ERROR *********\n", 1, 2);
    return PAQUETE_SIN_CABECERA;
  }
  const int largo = (cabecera[0] << 8) | cabecera[1];
  if (largo == 0 || largo > kMaxPayload) {
    TrazaDNC(0, "DNCSERVER: RecibirPaquete size=%d. Error %d\n", largo, net::LastError());
    return PAQUETE_LARGO_MALO;
  }
  TrazaDNC(3, "DNCSERVER: RecibirPaquete:");
  int recibidos = 0;
  while (recibidos < largo) {
    TrazaDNC(3, ".");
    const int r = net::Receive(s, buffer + recibidos, static_cast<std::size_t>(largo - recibidos));
    if (r < 0) {
      TrazaDNC(0, "DNCSERVER: read. Error %d\n", net::LastError());
      return PAQUETE_ERROR_RECEPCION;
    }
    if (r == 0) {
      TrazaDNC(0, "DNCSERVER: RecibirPaquete nBytes=0. Me han cerrado el socket\n");
      return PAQUETE_CERRADO;
    }
    recibidos += r;
  }
  TrazaDNC(3, "\n");
  buffer[largo] = '\0';
  return largo;
}

void EnviarPaquete(Socket s, const char* texto) {
  const std::size_t n = std::strlen(texto);
  char cabecera[10] = {};
  cabecera[0] = static_cast<char>((n >> 8) & 0xFF);
  cabecera[1] = static_cast<char>(n & 0xFF);
  EnviarTodo(s, cabecera, sizeof cabecera);
  EnviarTodo(s, texto, n);
}

void EnviarCodigo(Socket s, std::uint8_t codigo) {
  char cabecera[10] = {0, 1};
  char bloque[10] = {static_cast<char>(codigo)};
  EnviarTodo(s, cabecera, sizeof cabecera);
  EnviarTodo(s, bloque, sizeof bloque);
}

}  // namespace kestrio::dnc
