// The DNC request protocol carried in the transport's packets.
//
//   read one:    SOH "R,VAR," name "," ETX
//   write one:   SOH "S,VAR," name "," value "," ETX
//   read list:   SOH "R,LST," name#name... "," ETX
//   write list:  SOH "S,LST," name#name... "," value#value... "," ETX
//   version:     SOH "R,NET,VER," ETX
//
// Values travel escaped: a comma as "\@", a backslash as "\\".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dnc/transport.h"

namespace kestrio::dnc {

inline constexpr char SOH = 0x01;
inline constexpr char ETX = 0x03;

enum TipoPeticion : std::int32_t {
  PET_DESCONOCIDA = 1,
  PET_LEER_VAR = 2,
  PET_ESCRIBIR_VAR = 3,
  PET_LEER_LST = 4,
  PET_ESCRIBIR_LST = 5,
  PET_VERSION = 6,
};

enum : std::int32_t { ERR_DNC_PETICION = 3595, ERR_DNC_LONGITUD = 3596, ERR_DNC_LISTA = 3616 };

inline constexpr std::size_t kMaxTexto = 1023;  // characters of a field or text
inline constexpr std::size_t kMaxItems = 50;
inline constexpr std::size_t kMaxItem = 31;

// The variable read and write the request loop calls.  The code that
// assembles a server binds them (to LeerVariableTxt and EscribirVariableTxt)
// before it starts the server; until then a connection is closed unanswered.
using OperacionLeer = std::int32_t (*)(const char* nombre, std::string& valor);
using OperacionEscribir = std::int32_t (*)(const char* nombre, const char* valor);
void EnlazarOperaciones(OperacionLeer leer, OperacionEscribir escribir);

// What ComprobarPeticion finds wrong with the frame of a request.
enum ResultadoComprobacion : int {
  COMPROBACION_OK = 0,
  COMPROBACION_CORTA_O_SIN_SOH = -1,  // under 8 bytes, or not starting with SOH
  COMPROBACION_SIN_ETX = -2,          // the last byte is not ETX
  COMPROBACION_NI_R_NI_S = -3,        // neither a read (R) nor a write (S)
  COMPROBACION_PALABRA = -4,          // not ",VAR,", ",LST," or ",NET,VER,"
};

// What AnalizarPeticion finds wrong with the fields of a checked request.
enum ResultadoAnalisis : int {
  ANALISIS_OK = 0,
  ANALISIS_NOMBRE_SIN_COMA = -1,  // the name field ends at ETX, a zero byte or the end
  ANALISIS_NOMBRE_LARGO = -2,     // the name field reaches 1024 characters
  ANALISIS_NOMBRE_VACIO = -3,
  ANALISIS_VALOR_SIN_COMA = -4,   // the value field of a write ends without its comma
  ANALISIS_VALOR_LARGO = -5,      // the value field reaches 1024 characters
};

void AtenderPeticiones(Socket s);
// COMPROBACION_OK or why the request's frame is refused.
int ComprobarPeticion(const char* texto, int n);
// ANALISIS_OK with the request's name, type and (for a write) its value, or
// why its fields are refused.
int AnalizarPeticion(const char* texto, int n, std::string& nombre, TipoPeticion& tipo, std::string& valor);
bool SepararLista(std::string_view texto, std::vector<std::string>& items);
int FiltrarString(std::string_view in, std::string& out);
int DesfiltrarString(std::string_view in, std::string& out);

void ResponderVar(Socket s, const std::string& nombre, const std::string& valor);
void ResponderLst(Socket s, const std::string& texto);
void ResponderError(Socket s, std::int32_t codigo);

}  // namespace kestrio::dnc
