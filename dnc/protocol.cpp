#include "dnc/protocol.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "dnc/trace.h"

namespace kestrio::dnc {
namespace {

std::atomic<OperacionLeer> g_leer{nullptr};
std::atomic<OperacionEscribir> g_escribir{nullptr};

constexpr std::size_t kRespuesta = 1024;  // reply buffer, terminator included

// A reply frame that would not fit its buffer is answered with 3596 instead
// of being cut or written past.
bool EnviarFormato(Socket s, const std::string& texto) {
  if (texto.size() >= kRespuesta) return false;
  EnviarPaquete(s, texto.c_str());
  return true;
}

void LeerVar(Socket s, const std::string& nombre) {
  TrazaDNC(2, "DNCSERVER: Leer %s\n", nombre.c_str());
  std::string valor, trabajo;
  const std::int32_t rc = g_leer.load()(nombre.c_str(), valor);
  if (rc != 0) {
    TrazaDNC(2, "DNCSERVER: ERROR en Lectura (%d)\n", static_cast<int>(rc));
    ResponderError(s, rc);
    return;
  }
  TrazaDNC(2, "DNCSERVER: Lectura OK %s=%s\n", nombre.c_str(), valor.c_str());
  if (FiltrarString(valor, trabajo) != 0) ResponderError(s, ERR_DNC_LONGITUD);
  else ResponderVar(s, nombre, trabajo);
}

void EscribirVar(Socket s, const std::string& nombre, const std::string& valor) {
  TrazaDNC(2, "DNCSERVER: Escribir %s=%s\n", nombre.c_str(), valor.c_str());
  std::string trabajo;
  if (DesfiltrarString(valor, trabajo) != 0) {
    ResponderError(s, ERR_DNC_LONGITUD);
    return;
  }
  const std::int32_t rc = g_escribir.load()(nombre.c_str(), trabajo.c_str());
  if (rc == 0) {
    TrazaDNC(2, "DNCSERVER: Escritura OK: Mandar ACK\n");
    EnviarCodigo(s, DNC_ACK);
  } else {
    TrazaDNC(2, "DNCSERVER: ERROR en Escritura (%d)\n", static_cast<int>(rc));
    ResponderError(s, rc);
  }
}

void LeerLst(Socket s, const std::string& nombres) {
  TrazaDNC(2, "DNCSERVER: Leer %s\n", nombres.c_str());
  std::vector<std::string> items;
  if (!SepararLista(nombres, items)) {
    TrazaDNC(2, "DNCSERVER: ERROR en Lectura LST(%d)\n", ERR_DNC_LISTA);
    ResponderError(s, ERR_DNC_LISTA);
    return;
  }
  // The joined values never grow past the longest text a reply can carry;
  // once they would, the rest is still read but the answer is 3596.
  std::string lista;
  bool desbordada = false;
  for (std::size_t k = 0; k < items.size(); ++k) {
    std::string valor;
    const std::int32_t rc = g_leer.load()(items[k].c_str(), valor);
    if (rc != 0) {
      TrazaDNC(2, "DNCSERVER: ERROR en Lectura (%d)\n", static_cast<int>(rc));
      ResponderError(s, rc);
      return;
    }
    TrazaDNC(2, "DNCSERVER: Lectura OK %s=%s\n", nombres.c_str(), valor.c_str());
    const std::size_t extra = (k > 0 ? 1 : 0) + valor.size();
    if (desbordada || lista.size() + extra > kMaxTexto) {
      desbordada = true;
      continue;
    }
    if (k > 0) lista += '#';
    lista += valor;
  }
  std::string trabajo;
  if (desbordada || FiltrarString(lista, trabajo) != 0) ResponderError(s, ERR_DNC_LONGITUD);
  else ResponderLst(s, trabajo);
}

void EscribirLst(Socket s, const std::string& nombres, const std::string& valores) {
  TrazaDNC(2, "DNCSERVER: Escribir %s=%s\n", nombres.c_str(), valores.c_str());
  std::string trabajo;
  if (DesfiltrarString(valores, trabajo) != 0) {
    ResponderError(s, ERR_DNC_LONGITUD);
    return;
  }
  std::vector<std::string> itemsNombres, itemsValores;
  if (!SepararLista(nombres, itemsNombres) || !SepararLista(trabajo, itemsValores) ||
      itemsNombres.size() != itemsValores.size()) {
    TrazaDNC(2, "DNCSERVER: ERROR en Escritura LST(%d)\n", ERR_DNC_LISTA);
    ResponderError(s, ERR_DNC_LISTA);
    return;
  }
  for (std::size_t k = 0; k < itemsNombres.size(); ++k) {
    const std::int32_t rc = g_escribir.load()(itemsNombres[k].c_str(), itemsValores[k].c_str());
    if (rc != 0) {
      TrazaDNC(2, "DNCSERVER: ERROR en Escritura (%d)\n", static_cast<int>(rc));
      ResponderError(s, rc);
      return;
    }
    TrazaDNC(2, "DNCSERVER: Escritura OK: Mandar ACK\n");
  }
  EnviarCodigo(s, DNC_ACK);
}

// Characters from `desde` up to the next comma; -1 when an ETX or zero byte
// comes first (or the text ends), -2 when 1024 characters are reached.
int Campo(const char* texto, int n, int desde, std::string& campo, int& fin) {
  campo.clear();
  for (int k = desde; k < n; ++k) {
    const char c = texto[k];
    if (c == ',') {
      fin = k;
      return 0;
    }
    if (c == ETX || c == '\0') return -1;
    if (campo.size() >= kMaxTexto) return -2;
    campo += c;
  }
  return -1;
}

}  // namespace

void EnlazarOperaciones(OperacionLeer leer, OperacionEscribir escribir) {
  g_leer = leer;
  g_escribir = escribir;
  ConfigurarAtencionDNC(AtenderPeticiones);
}

void AtenderPeticiones(Socket s) {
  // A server started before its variables were bound has nothing to answer
  // with: the connection is closed rather than a null operation called.
  if (g_leer.load() == nullptr || g_escribir.load() == nullptr) {
    TrazaDNC(0, "DNCSERVER: ERROR sin operaciones de variables\n");
    return;
  }
  char recibido[kMaxPayload + 1];
  for (;;) {
    TrazaDNC(1, "DNCSERVER: esperando peticion\n");
    const int n = RecibirPaquete(s, recibido);
    if (n == PAQUETE_CERRADO) return;
    if (n < 0) {  // PAQUETE_SIN_CABECERA, _LARGO_MALO, _ERROR_RECEPCION
      TrazaDNC(0, "DNCSERVER: ERROR recibiendo peticion\n");
      return;
    }
    if (ComprobarPeticion(recibido, n) != COMPROBACION_OK) {
      TrazaDNC(0, "DNCSERVER: ERROR comprobando peticion\n");
      return;
    }
    std::string nombre, valor;
    TipoPeticion tipo = PET_DESCONOCIDA;
    if (AnalizarPeticion(recibido, n, nombre, tipo, valor) != ANALISIS_OK) {
      TrazaDNC(0, "DNCSERVER: ERROR analizando peticion\n");
      return;
    }
    switch (tipo) {
      case PET_LEER_VAR: LeerVar(s, nombre); break;
      case PET_ESCRIBIR_VAR: EscribirVar(s, nombre, valor); break;
      case PET_LEER_LST: LeerLst(s, nombre); break;
      case PET_ESCRIBIR_LST: EscribirLst(s, nombre, valor); break;
      case PET_VERSION: {
        TrazaDNC(2, "DNCSERVER: Version de DNC\n");
        char version[kRespuesta];
        std::snprintf(version, sizeof version, "%cS,NET,%s,%d,%c", SOH, nombre.c_str(), 1, ETX);
        EnviarPaquete(s, version);
        break;
      }
      default:
        TrazaDNC(2, "DNCSERVER: ERROR Peticion desconocida (%d)\n", static_cast<int>(tipo));
        ResponderError(s, ERR_DNC_PETICION);
        break;
    }
    platform::net::SleepMilliseconds(1);
  }
}

int ComprobarPeticion(const char* texto, int n) {
  if (n < 8 || texto[0] != SOH) return COMPROBACION_CORTA_O_SIN_SOH;
  if (texto[n - 1] != ETX) return COMPROBACION_SIN_ETX;
  if (texto[1] != 'R' && texto[1] != 'S') return COMPROBACION_NI_R_NI_S;
  const char* resto = texto + 2;
  if (std::memcmp(resto, ",VAR,", 5) == 0 || std::memcmp(resto, ",LST,", 5) == 0) return COMPROBACION_OK;
  if (n >= 2 + 9 && std::memcmp(resto, ",NET,VER,", 9) == 0) return COMPROBACION_OK;
  return COMPROBACION_PALABRA;
}

int AnalizarPeticion(const char* texto, int n, std::string& nombre, TipoPeticion& tipo, std::string& valor) {
  TrazaDNC(3, "AnalizarPeticion [%s], %d bytes\n", texto, n);
  tipo = PET_DESCONOCIDA;
  nombre.clear();
  valor.clear();
  const std::string palabra(texto + 3, 3);  // VAR, LST or NET after ComprobarPeticion
  int finNombre = 0;
  const int rc = Campo(texto, n, 7, nombre, finNombre);
  if (rc == -1) return ANALISIS_NOMBRE_SIN_COMA;
  if (rc == -2) return ANALISIS_NOMBRE_LARGO;
  if (nombre.empty()) return ANALISIS_NOMBRE_VACIO;
  if (texto[1] == 'R') {
    if (palabra == "LST") {
      tipo = PET_LEER_LST;
      TrazaDNC(3, "AnalizarPeticion peticion lectura: LST\n");
    } else if (palabra == "VAR") {
      tipo = PET_LEER_VAR;
      TrazaDNC(3, "AnalizarPeticion peticion lectura: VAR\n");
    } else {
      tipo = PET_VERSION;
      TrazaDNC(3, "AnalizarPeticion peticion lectura: NET\n");
    }
    return ANALISIS_OK;
  }
  tipo = palabra == "LST" ? PET_ESCRIBIR_LST : PET_ESCRIBIR_VAR;
  TrazaDNC(3, "AnalizarPeticion peticion escritura [%s]\n", texto + finNombre + 1);
  int finValor = 0;
  const int rv = Campo(texto, n, finNombre + 1, valor, finValor);
  if (rv == -1) {
    TrazaDNC(3, "AnalizarPeticion valor=[%s]\n", valor.c_str());
    return ANALISIS_VALOR_SIN_COMA;
  }
  if (rv == -2) return ANALISIS_VALOR_LARGO;
  TrazaDNC(3, "AnalizarPeticion valor=[%s]\n", valor.c_str());
  return ANALISIS_OK;
}

bool SepararLista(std::string_view texto, std::vector<std::string>& items) {
  items.clear();
  std::string actual;
  std::size_t guardados = 0;
  for (std::size_t k = 0; k <= texto.size(); ++k) {
    const bool fin = k == texto.size();
    if (!fin && texto[k] != '#') {
      if (actual.size() >= kMaxItem) return false;
      actual += texto[k];
      continue;
    }
    if (!fin && actual.empty()) return false;
    // The table holds fifty items and every "#" or the end of the text takes
    // a slot, even the empty one that a closing "#" leaves: so fifty items
    // followed by "#" do not fit.  An empty item is not counted.
    if (guardados >= kMaxItems) return false;
    ++guardados;
    if (fin && actual.empty()) return true;
    items.push_back(actual);
    actual.clear();
  }
  return true;
}

int FiltrarString(std::string_view in, std::string& out) {
  out.clear();
  for (char c : in) {
    if (c == ',') out += "\\@";
    else if (c == '\\') out += "\\\\";
    else out += c;
    if (out.size() > kMaxTexto) return -1;
  }
  return 0;
}

int DesfiltrarString(std::string_view in, std::string& out) {
  TrazaDNC(3, "DesfiltrarString: strIn=[%.*s]\n", static_cast<int>(in.size()), in.data());
  out.clear();
  for (std::size_t k = 0; k < in.size(); ++k) {
    char c = in[k];
    if (c == '\\') {
      // A backslash at the very end has nothing to escape: it is dropped.
      if (++k >= in.size()) break;
      c = in[k] == '@' ? ',' : in[k];
    }
    if (out.size() >= kMaxTexto) return -1;
    out += c;
  }
  TrazaDNC(3, "DesfiltrarString: strOut=[%s]\n", out.c_str());
  return 0;
}

void ResponderVar(Socket s, const std::string& nombre, const std::string& valor) {
  const std::string texto = std::string(1, SOH) + "S,VAR," + nombre + "," + valor + "," + ETX;
  if (!EnviarFormato(s, texto)) ResponderError(s, ERR_DNC_LONGITUD);
}

void ResponderLst(Socket s, const std::string& texto) {
  const std::string respuesta = std::string(1, SOH) + "S,LST,KK," + texto + "," + ETX;
  if (!EnviarFormato(s, respuesta)) ResponderError(s, ERR_DNC_LONGITUD);
}

void ResponderError(Socket s, std::int32_t codigo) {
  EnviarCodigo(s, DNC_NAK);
  char texto[64];
  std::snprintf(texto, sizeof texto, "%cS,VAR,ERRDNC,%d,NOSEUSA,%c", SOH, static_cast<int>(codigo), ETX);
  EnviarPaquete(s, texto);
}

}  // namespace kestrio::dnc
