// The DNC server's transport: the socket library, the listening socket, the
// server thread that serves one connection at a time, and the framing.
//
// Request packet (client to server): payload length, 16-bit big-endian, 1 to
// 1024; the payload.  Text reply: length, 16-bit big-endian; 8 zero bytes;
// the text.  Code reply: 0x00 0x01, 8 zero bytes, the code, 9 zero bytes.
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace kestrio::dnc {

using platform::net::Socket;

inline constexpr std::uint16_t PUERTO_DNC = 3873;
inline constexpr int kMaxPayload = 1024;
inline constexpr std::uint8_t DNC_ACK = 0x30;
inline constexpr std::uint8_t DNC_NAK = 0x18;

// The port ArrancarServidor opens: 3873 unless changed before the start
// (the Linux host takes another for tests; 0 takes any free port).
void ConfigurarPuertoDNC(std::uint16_t puerto);
// The local address ArrancarServidor listens on (IPv4, host byte order):
// every address of the machine unless changed before the start (the Linux
// host listens on the loopback address unless told otherwise).
void ConfigurarDireccionDNC(std::uint32_t direccion);
// The port the listening socket is bound to, or 0 without a server.
std::uint16_t PuertoDNC();

// Keep-alive timings of each accepted connection.  The server serves one
// connection at a time and its receive has no time-out: a client that
// vanishes without closing (power lost, cable pulled) would hold the service
// for the system's two hours.  With these it is dropped in about two minutes
// (60 s idle, then 6 probes 10 s apart; Windows 7 sends 10), while a live
// client answers the probes and keeps its connection however long it idles.
inline constexpr platform::net::KeepAliveTimes KEEPALIVE_DNC{60, 10, 6};
// Other timings, set before the start (the Linux host's tests shorten them).
void ConfigurarKeepAliveDNC(const platform::net::KeepAliveTimes& tiempos);

// IniciarDNC: the socket library started (then ArrancarServidor has run,
// whatever its answer), or not.
enum : int { INICIO_SIN_SOCKETS = 0, INICIO_OK = 1 };
int IniciarDNC();
// What the server does with each connection it accepts: the request
// protocol, which EnlazarOperaciones (dnc/protocol.h) sets with the
// variables it serves.  The framing knows nothing of what the frames mean;
// a server without it closes every connection.
using AtenderConexion = void (*)(Socket s);
void ConfigurarAtencionDNC(AtenderConexion atender);
// ArrancarServidor: the server thread started, or the port not opened.
enum : int { ARRANQUE_OK = 0, ARRANQUE_SIN_PUERTO = -1 };
int ArrancarServidor();
Socket AbrirPuerto();
void HiloServidor();
Socket EsperarConexion();
// CONFIG_OK, or the option that failed, in the order they are set; the
// keep-alive timings that follow are traced when they fail but keep the
// connection.
enum : int {
  CONFIG_OK = 0,
  CONFIG_FALLA_KEEPALIVE = -1,  // SO_KEEPALIVE
  CONFIG_FALLA_NODELAY = -2,    // TCP_NODELAY
  CONFIG_FALLA_SNDBUF = -3,     // SO_SNDBUF
  CONFIG_FALLA_RCVBUF = -4,     // SO_RCVBUF
};
int ConfigSocketDatos();

// The payload length 1 to 1024 (then `buffer`, of 1025 bytes, holds the
// payload and a zero byte), or what ended the packet: every one of these is
// 0 or below.
enum : int {
  PAQUETE_CERRADO = 0,        // the peer closed the connection
  PAQUETE_SIN_CABECERA = -1,  // the length field was not received whole
  PAQUETE_LARGO_MALO = -2,    // the length is 0 or above 1024
  PAQUETE_ERROR_RECEPCION = -3,  // a receive failed within the payload
};
int RecibirPaquete(Socket s, char (&buffer)[kMaxPayload + 1]);
void EnviarPaquete(Socket s, const char* texto);
void EnviarCodigo(Socket s, std::uint8_t codigo);

}  // namespace kestrio::dnc
