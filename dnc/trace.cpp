#include "dnc/trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace kestrio::dnc {
namespace {

std::mutex g_salidaMutex;
SalidaTraza g_salida = nullptr;

void Escribir(CanalTraza& canal, int nivel, const char* formato, va_list args) {
  if (nivel > canal.nivel.load()) return;
  std::string linea = std::string(canal.prefijo) + ": ";
  linea.append(static_cast<std::size_t>(nivel > 0 ? nivel : 0), '\t');
  va_list copia;
  va_copy(copia, args);
  const int n = std::vsnprintf(nullptr, 0, formato, copia);
  va_end(copia);
  if (n > 0) {
    std::string mensaje(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(mensaje.data(), mensaje.size(), formato, args);
    mensaje.resize(static_cast<std::size_t>(n));
    linea += mensaje;
  }
  // One write per message, so lines of different threads do not interleave.
  std::lock_guard lock(g_salidaMutex);
  if (g_salida != nullptr) {
    g_salida(linea);
  } else {
    std::fwrite(linea.data(), 1, linea.size(), stdout);
    std::fflush(stdout);
  }
}

}  // namespace

CanalTraza canalDNC{"DNC", 2};
CanalTraza canalVS{"VS", 0};

void Trazar(CanalTraza& canal, int nivel, const char* formato, ...) {
  va_list args;
  va_start(args, formato);
  Escribir(canal, nivel, formato, args);
  va_end(args);
}

void TrazaDNC(int nivel, const char* formato, ...) {
  va_list args;
  va_start(args, formato);
  Escribir(canalDNC, nivel, formato, args);
  va_end(args);
}

void TrazaVS(int nivel, const char* formato, ...) {
  va_list args;
  va_start(args, formato);
  Escribir(canalVS, nivel, formato, args);
  va_end(args);
}

void DesviarTraza(SalidaTraza salida) {
  std::lock_guard lock(g_salidaMutex);
  g_salida = salida;
}

}  // namespace kestrio::dnc
