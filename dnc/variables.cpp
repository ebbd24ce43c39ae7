// The variable registry.  Lookups are linear over the 48 slots and each
// table's descriptors; nothing is allocated on the way but the text a read
// hands back.
#include "dnc/variables.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "dnc/trace.h"

namespace kestrio::dnc {
namespace {

struct EntradaTabla {
  const char* prefijo = nullptr;  // absent: a free slot
  const DescriptorVariable* variables = nullptr;
  std::int32_t numVariables = 0;
};

// Registration happens before the server thread starts and lookups only
// read; the lock makes a late registration safe as well.
std::mutex g_registroMutex;
EntradaTabla RegistroTablas[kMaxTablas];

bool EsBlanco(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// "%d": blanks, a sign, digits; saturates outside the 32-bit range.
bool LeerEntero(const char*& p, std::int32_t& out) {
  const char* q = p;
  while (EsBlanco(*q)) ++q;
  bool negativo = false;
  if (*q == '+' || *q == '-') negativo = *q++ == '-';
  if (*q < '0' || *q > '9') return false;
  long long valor = 0;
  while (*q >= '0' && *q <= '9') {
    if (valor <= INT_MAX + 1LL) valor = valor * 10 + (*q - '0');
    ++q;
  }
  if (negativo) valor = -valor;
  out = static_cast<std::int32_t>(valor < INT_MIN ? INT_MIN : valor > INT_MAX ? INT_MAX : valor);
  p = q;
  return true;
}

// "%[^...]" into a field of 36 bytes: one or more characters up to a stop
// character; false when none, or when more than 35 would be stored.
bool LeerCampo(const char*& p, const char* paradas, char (&campo)[kCampoNombre], bool& demasiadoLargo) {
  std::size_t n = 0;
  while (*p != '\0' && std::strchr(paradas, *p) == nullptr) {
    if (n + 1 >= kCampoNombre) {
      campo[n] = '\0';  // what fits, terminated, for the trace
      demasiadoLargo = true;
      return false;
    }
    campo[n++] = *p++;
  }
  campo[n] = '\0';
  return n > 0;
}

void TrazarValor(int nivel, const ValorVariable& v, const char* lng, const char* dbl, const char* str, const char* sht) {
  switch (v.tipo) {
    case TIPO_LONG: TrazaVS(nivel, lng, static_cast<long>(v.valor.l)); break;
    case TIPO_DOUBLE: TrazaVS(nivel, dbl, v.valor.d); break;
    case TIPO_STRING: TrazaVS(nivel, str, v.valor.texto); break;
    case TIPO_SHORT: TrazaVS(nivel, sht, static_cast<int>(v.valor.s)); break;
    default: break;
  }
}

std::int32_t FallaLectura(const char* texto, std::int32_t codigo) {
  TrazaVS(0, "ERROR LeerVariable(%s): %d\n", texto, static_cast<int>(codigo));
  return codigo;
}

std::int32_t FallaEscritura(const char* texto, std::int32_t codigo) {
  TrazaVS(0, "ERROR EscribirVariable(%s): %d\n", texto, static_cast<int>(codigo));
  return codigo;
}

// The number in a value text, as "%ld"/"%lx" (hexadecimal after a leading
// 0x or 0X); false when nothing converts.  Saturates like strtol on a
// 32-bit long.
bool LeerNumero(const char* texto, bool corto, std::int32_t& out) {
  const bool hex = texto[0] == '0' && (texto[1] == 'x' || texto[1] == 'X');
  char* fin = nullptr;
  errno = 0;
  if (hex) {
    const unsigned long long v = std::strtoull(texto, &fin, 16);
    if (fin == texto) return false;
    const std::uint32_t u = v > UINT_MAX ? UINT_MAX : static_cast<std::uint32_t>(v);
    out = static_cast<std::int32_t>(corto ? static_cast<std::int16_t>(u & 0xFFFF) : static_cast<std::int32_t>(u));
    return true;
  }
  const long long v = std::strtoll(texto, &fin, 10);
  if (fin == texto) return false;
  const long long saturado = v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v;
  out = corto ? static_cast<std::int16_t>(static_cast<std::uint32_t>(saturado) & 0xFFFF)
              : static_cast<std::int32_t>(saturado);
  return true;
}

}  // namespace

bool RegistrarTablaVariables(const char* prefijo, const DescriptorVariable* variables, std::int32_t numVariables) {
  TrazaVS(4, "%s %s\n", "RegistrarTablaVariables", prefijo);
  for (std::int32_t k = 0; k < numVariables; ++k) TrazaVS(4, "\t--------- %s\n", variables[k].nombre);
  std::lock_guard lock(g_registroMutex);
  for (auto& entrada : RegistroTablas) {
    if (entrada.prefijo == nullptr) {
      entrada = {prefijo, variables, numVariables};
      return true;
    }
  }
  TrazaVS(0, "ERROR RegistrarTablaVariables(%s): registro lleno\n", prefijo);
  return false;
}

void ReiniciarRegistro() {
  std::lock_guard lock(g_registroMutex);
  for (auto& entrada : RegistroTablas) entrada = {};
}

std::int32_t extraer_campos(const char* texto, char (&prefijo)[kCampoNombre], char (&nombre)[kCampoNombre],
                            std::int32_t& indice, std::int32_t& indiceCorchete) {
  TrazaVS(4, "%s [%s]\n", "extraer_campos", texto);
  std::int32_t n1 = -1, n2 = -1;
  char punto = '?', delimitador = '?';
  prefijo[0] = nombre[0] = '\0';
  bool demasiadoLargo = false;
  int campos = 0;
  const char* p = texto;
  // The scan "%[^.]%c%[^.[]%c%d].%d", one conversion after the other.
  if (LeerCampo(p, ".", prefijo, demasiadoLargo)) {
    ++campos;
    if (*p != '\0') {
      punto = *p++;
      ++campos;
      if (LeerCampo(p, ".[", nombre, demasiadoLargo)) {
        ++campos;
        if (*p != '\0') {
          delimitador = *p++;
          ++campos;
          if (LeerEntero(p, n1)) {
            ++campos;
            if (*p == ']' && *(p + 1) == '.') {
              p += 2;
              if (LeerEntero(p, n2)) ++campos;
            }
          }
        }
      }
    }
  }
  TrazaVS(4, "\t ---- [%s] [%x] [%s] [%x] [%d] [%d] --> res: [%d]\n", prefijo, static_cast<unsigned char>(punto),
          nombre, static_cast<unsigned char>(delimitador), static_cast<int>(n1), static_cast<int>(n2), campos);
  if (demasiadoLargo) return ERR_VAR_SINTAXIS;
  switch (campos) {
    case 3:
      indice = -1;
      indiceCorchete = -1;
      return 0;
    case 5:
      if (delimitador == '.') {
        indice = n1;
        indiceCorchete = -1;
      } else {
        indiceCorchete = n1;
        indice = -1;
      }
      return 0;
    case 6:
      indiceCorchete = n1;
      indice = n2;
      return 0;
    default:
      return ERR_VAR_SINTAXIS;
  }
}

Busqueda BuscarVariable(const char* texto) {
  Busqueda b;
  TrazaVS(4, "%s %s\n", "BuscarVariable", texto);
  char prefijo[kCampoNombre];
  std::int32_t indice = -1, corchete = -1;
  if (extraer_campos(texto, prefijo, b.nombre, indice, corchete) != 0) {
    TrazaVS(4, "\t BV_ERROR_SINTAXIS\n");
    b.resultado = BV_ERROR_SINTAXIS;
    return b;
  }
  TrazaVS(4, "\t Campos:  %s %s %d %d\n", prefijo, b.nombre, static_cast<int>(indice), static_cast<int>(corchete));

  const EntradaTabla* tabla = nullptr;
  {
    std::lock_guard lock(g_registroMutex);
    for (int k = 0; k < kMaxTablas; ++k) {
      if (RegistroTablas[k].prefijo != nullptr && std::strcmp(RegistroTablas[k].prefijo, prefijo) == 0) {
        tabla = &RegistroTablas[k];
        b.tabla = k;
        break;
      }
    }
  }
  if (tabla == nullptr) {
    TrazaVS(4, "\t BV_PREFIJO_DESCONOCIDO\n");
    b.resultado = BV_PREFIJO_DESCONOCIDO;
    return b;
  }
  if (b.nombre[0] == '@') {
    if (std::strcmp(b.nombre, "@LIST") == 0 && indice == -1 && corchete == -1) {
      b.resultado = BV_LISTA;
      b.indices.i = b.tabla;
    } else {
      b.resultado = BV_ERROR_SINTAXIS;
    }
    return b;
  }

  const DescriptorVariable* encontrado = nullptr;
  for (std::int32_t k = 0; k < tabla->numVariables; ++k) {
    const DescriptorVariable& d = tabla->variables[k];
    const bool coincide = (d.flags & VAR_PREFIJO) ? std::strncmp(b.nombre, d.nombre, std::strlen(d.nombre)) == 0
                                                  : std::strcmp(b.nombre, d.nombre) == 0;
    if (coincide) {
      encontrado = &d;
      break;
    }
    TrazaVS(4, "\t -------  %s ---> %s\n", b.nombre, d.nombre);
  }
  if (encontrado == nullptr) {
    TrazaVS(4, "\t BV_NO_EXISTE\n");
    b.resultado = BV_NO_EXISTE;
    return b;
  }

  std::int32_t niveles = 0;
  if (!(encontrado->flags & VAR_INDEXADA)) {
    if (indice != -1) return b;  // BV_ERROR_SINTAXIS
    niveles = 0;
    corchete = -1;
  } else if (!(encontrado->flags & VAR_DOS_INDICES)) {
    if (indice == -1 || corchete != -1) return b;
    niveles = 1;
  } else {
    if (indice == -1 || corchete == -1) return b;
    niveles = 2;
  }
  if (encontrado->flags & VAR_PREFIJO) ++niveles;
  b.resultado = BV_OK;
  b.descriptor = encontrado;
  b.indices = {niveles, corchete, indice};
  return b;
}

void ListarVariables(std::int32_t tabla, ValorVariable& valor) {
  valor = {};
  valor.tipo = TIPO_STRING;
  EntradaTabla entrada;
  {
    std::lock_guard lock(g_registroMutex);
    if (tabla >= 0 && tabla < kMaxTablas) entrada = RegistroTablas[tabla];
  }
  std::size_t presupuesto = kTextoVariable - 1, usado = 0;
  for (std::int32_t k = 0; k < entrada.numVariables; ++k) {
    const char* nombre = entrada.variables[k].nombre;
    const std::size_t largo = std::strlen(nombre);
    if (largo <= presupuesto) {
      std::memcpy(valor.valor.texto + usado, nombre, largo);
      usado += largo;
      presupuesto -= largo;
    }
    if (k + 1 < entrada.numVariables && presupuesto >= 1) {
      valor.valor.texto[usado++] = ';';
      --presupuesto;
    }
  }
  valor.valor.texto[usado] = '\0';
}

std::int32_t LeerVariable(ValorVariable& valor, const char* texto) {
  TrazaVS(1, "%s: %s\n", "LeerVariable", texto);
  const Busqueda b = BuscarVariable(texto);
  if (b.resultado == BV_LISTA) {
    ListarVariables(b.tabla, valor);
  } else {
    if (b.resultado == BV_PREFIJO_DESCONOCIDO)
      TrazaVS(2, "LeerVariable(%s): No encontrada. Prefijo desconocido\n", texto);
    if (b.resultado != BV_OK) return FallaLectura(texto, ERR_VAR_NO_ENCONTRADA);
    if (b.descriptor->leer == nullptr || b.indices.niveles >= 3) return FallaLectura(texto, ERR_VAR_SINTAXIS);
    ValorVariable leido;
    leido.tipo = b.descriptor->tipo;
    if (const std::int32_t rc = b.descriptor->leer(texto, leido, b.indices); rc != 0) return FallaLectura(texto, rc);
    if (leido.tipo == TIPO_STRING) leido.valor.texto[kTextoVariable - 1] = '\0';
    valor = leido;
  }
  TrazarValor(1, valor, "long:%ld\n", "double:%lf\n", "string:'%s'\n", "long:%d\n");
  return 0;
}

std::int32_t EscribirVariable(const ValorVariable& valor, const char* texto) {
  TrazaVS(1, "EscribirVariable(%s, ", texto);
  TrazarValor(1, valor, "long:%ld)\n", "double:%lf)\n", "string:'%s')\n", "short:%d)\n");
  const Busqueda b = BuscarVariable(texto);
  if (b.resultado == BV_PREFIJO_DESCONOCIDO)
    TrazaVS(2, "EscribirVariable(%s): No encontrada. Prefijo desconocido\n", texto);
  if (b.resultado != BV_OK) return FallaEscritura(texto, ERR_VAR_NO_ENCONTRADA);
  if (b.descriptor->escribir == nullptr) {
    TrazaVS(1, "Variable de solo lectura\n");
    return FallaEscritura(texto, ERR_VAR_SOLO_LECTURA);
  }
  if (valor.tipo != b.descriptor->tipo) return FallaEscritura(texto, ERR_VAR_TIPO);
  if (b.indices.niveles >= 3 || valor.tipo < TIPO_LONG || valor.tipo > TIPO_SHORT)
    return FallaEscritura(texto, ERR_VAR_ESCRITURA_MAL_FORMADA);
  TrazaVS(1, "EscribirVariable(%s, ", texto);
  TrazarValor(1, valor, "long:%ld)\n", "double:%lf)\n", "string:'%s')\n", "short:%d)\n");
  if (const std::int32_t rc = b.descriptor->escribir(texto, valor, b.indices); rc != 0) return FallaEscritura(texto, rc);
  TrazaVS(1, "EscribirVariable(%s): OK\n", texto);
  return 0;
}

std::int32_t GetTipoVariable(const char* texto, std::int32_t& tipo) {
  const Busqueda b = BuscarVariable(texto);
  if (b.resultado == BV_OK) {
    tipo = b.descriptor->tipo;
    return 0;
  }
  if (b.resultado == BV_PREFIJO_DESCONOCIDO)
    TrazaVS(2, "GetTipoVariable(%s): No encontrada. Prefijo desconocido\n", texto);
  return ERR_VAR_NO_ENCONTRADA;
}

std::int32_t EscribirVariableTxt(const char* texto, const char* valorTexto) {
  TrazaVS(1, "EscribirVariableTxt(%s, %s): ", texto, valorTexto);
  std::int32_t tipo = 0;
  if (const std::int32_t rc = GetTipoVariable(texto, tipo); rc != 0) {
    TrazaVS(1, "ERROR %d\n", static_cast<int>(rc));
    return rc;
  }
  ValorVariable valor;
  valor.tipo = tipo;
  switch (tipo) {
    case TIPO_LONG:
    case TIPO_SHORT: {
      TrazaVS(1, tipo == TIPO_LONG ? "Tipo Long: " : "Tipo short: ");
      std::int32_t numero = 0;
      if (!LeerNumero(valorTexto, tipo == TIPO_SHORT, numero)) {
        TrazaVS(1, "ERROR Sintaxis incorrecta");
        return ERR_VAR_SINTAXIS;
      }
      if (tipo == TIPO_LONG) valor.valor.l = numero;
      else valor.valor.s = static_cast<std::int16_t>(numero);
      break;
    }
    case TIPO_DOUBLE: {
      TrazaVS(1, "Tipo Double: ");
      char* fin = nullptr;
      valor.valor.d = std::strtod(valorTexto, &fin);
      if (fin == valorTexto) {
        TrazaVS(1, "ERROR Sintaxis incorrecta");
        return ERR_VAR_SINTAXIS;
      }
      break;
    }
    case TIPO_STRING: {
      TrazaVS(1, "Tipo String: ");
      const std::size_t largo = std::strlen(valorTexto);
      if (largo >= kTextoVariable) {
        TrazaVS(0, "ERROR string demasiado largo\n");
        return ERR_VAR_SINTAXIS;
      }
      std::memcpy(valor.valor.texto, valorTexto, largo + 1);
      break;
    }
    default:
      return ERR_VAR_TIPO;
  }
  return EscribirVariable(valor, texto);
}

std::int32_t LeerVariableTxt(const char* texto, std::string& salida) {
  ValorVariable valor;
  if (const std::int32_t rc = LeerVariable(valor, texto); rc != 0) return rc;
  char buffer[400];
  switch (valor.tipo) {
    case TIPO_LONG: std::snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(valor.valor.l)); break;
    case TIPO_DOUBLE: std::snprintf(buffer, sizeof buffer, "%lf", valor.valor.d); break;
    case TIPO_STRING: std::snprintf(buffer, sizeof buffer, "%s", valor.valor.texto); break;
    case TIPO_SHORT: std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(valor.valor.s)); break;
    default: return ERR_VAR_SIN_FORMATO;
  }
  salida = buffer;
  return 0;
}

}  // namespace kestrio::dnc
