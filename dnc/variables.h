// The variable registry: tables of named, typed variables registered under a
// prefix and addressed by text ("KESTRIO.STATUS", "KESTRIO.NAME.3").  The
// registry parses the text, finds the variable, checks the index form and
// the access, converts between text and value, and calls the owner's
// accessor.  Texts are 8-bit, in the system's ANSI code page.
#pragma once

#include <cstdint>
#include <string>

namespace kestrio::dnc {

enum : std::int32_t { TIPO_LONG = 1, TIPO_DOUBLE = 2, TIPO_STRING = 3, TIPO_SHORT = 4 };
enum : std::int32_t { VAR_INDEXADA = 1, VAR_DOS_INDICES = 2, VAR_PREFIJO = 4 };

// Result codes of the registry.
enum : std::int32_t {
  ERR_VAR_TIPO = 3077,
  ERR_VAR_SOLO_LECTURA = 3084,
  ERR_VAR_NO_ENCONTRADA = 3085,
  ERR_VAR_SIN_FORMATO = 3099,
  ERR_VAR_SINTAXIS = 3105,
  // A write the registry cannot make of its parts: three index levels, or
  // a type outside TIPO_LONG..TIPO_SHORT.
  ERR_VAR_ESCRITURA_MAL_FORMADA = -1,
};

enum ResultadoBusqueda : std::int32_t {
  BV_OK = 0,
  BV_PREFIJO_DESCONOCIDO = 1,
  BV_ERROR_SINTAXIS = 2,
  BV_NO_EXISTE = 3,
  BV_LISTA = 4,
};

inline constexpr std::size_t kTextoVariable = 128;  // 127 characters and the zero
inline constexpr std::size_t kCampoNombre = 36;     // prefix or name: 35 characters
inline constexpr int kMaxTablas = 48;

struct ValorVariable {
  std::int32_t tipo = 0;
  union {
    std::int32_t l;
    double d;
    std::int16_t s;
    char texto[kTextoVariable];
  } valor{};
};

// How an accessor is called: the index levels the lookup found (0, 1 or 2)
// and the bracket index `b` and dot index `i` (-1 where absent).
struct Indices {
  std::int32_t niveles = 0;
  std::int32_t b = -1;
  std::int32_t i = -1;
};

// Accessors return 0, or an error code the registry passes on unchanged.
// A read accessor fills the slot of `valor` that belongs to its type (a
// string one writes at most 127 characters and the zero into valor.texto);
// a write accessor takes the value from it.  `texto` is the variable text as
// the caller gave it.
using Lector = std::int32_t (*)(const char* texto, ValorVariable& valor, const Indices& indices);
using Escritor = std::int32_t (*)(const char* texto, const ValorVariable& valor, const Indices& indices);

struct DescriptorVariable {
  const char* nombre;     // the variable's name
  std::int32_t tipo;      // TIPO_*
  std::int32_t flags;     // VAR_*
  Lector leer;            // absent: cannot be read
  Escritor escribir;      // absent: read-only
};

// Registers a table; false when all 48 slots are taken (nothing is stored).
// The registry keeps the pointers: prefix and descriptors must live as long
// as the process.
bool RegistrarTablaVariables(const char* prefijo, const DescriptorVariable* variables, std::int32_t numVariables);

// Parses PREFIX.NAME[.N | [N[] | [N].M]; 0, or 3105.  `prefijo` and `nombre`
// get at most 35 characters each; a longer one fails the parse.
std::int32_t extraer_campos(const char* texto, char (&prefijo)[kCampoNombre], char (&nombre)[kCampoNombre],
                            std::int32_t& indice, std::int32_t& indiceCorchete);

struct Busqueda {
  ResultadoBusqueda resultado = BV_ERROR_SINTAXIS;
  const DescriptorVariable* descriptor = nullptr;
  std::int32_t tabla = -1;  // slot of the table (also for BV_LISTA)
  Indices indices;
  char nombre[kCampoNombre] = {};
};

Busqueda BuscarVariable(const char* texto);

std::int32_t LeerVariable(ValorVariable& valor, const char* texto);
std::int32_t EscribirVariable(const ValorVariable& valor, const char* texto);
std::int32_t EscribirVariableTxt(const char* texto, const char* valorTexto);
std::int32_t GetTipoVariable(const char* texto, std::int32_t& tipo);
void ListarVariables(std::int32_t tabla, ValorVariable& valor);
// Reads a variable as text; `salida` is left alone on failure.
std::int32_t LeerVariableTxt(const char* texto, std::string& salida);

// Frees every slot (a new process, for tests).
void ReiniciarRegistro();

}  // namespace kestrio::dnc
