// Trace channels: printf-style diagnostic lines on standard output.  A line
// is the channel prefix, ": ", one tab per level, then the message; it is
// written only when its level is at most the channel's threshold.
#pragma once

#include <atomic>
#include <string>

namespace kestrio::dnc {

struct CanalTraza {
  const char* prefijo;       // "DNC" or "VS"
  std::atomic<int> nivel;    // threshold
};

extern CanalTraza canalDNC;  // the server's channel; 2 at start, 1 while it runs
extern CanalTraza canalVS;   // the variable registry's channel; 0

#if defined(__GNUC__)
#define KESTRIO_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KESTRIO_PRINTF(f, a)
#endif

void Trazar(CanalTraza& canal, int nivel, const char* formato, ...) KESTRIO_PRINTF(3, 4);
void TrazaDNC(int nivel, const char* formato, ...) KESTRIO_PRINTF(2, 3);
void TrazaVS(int nivel, const char* formato, ...) KESTRIO_PRINTF(2, 3);

// Where trace text goes (standard output unless a test captures it).
using SalidaTraza = void (*)(const std::string& texto);
void DesviarTraza(SalidaTraza salida);

}  // namespace kestrio::dnc
