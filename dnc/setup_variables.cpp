#include "dnc/setup_variables.h"

#include <cstring>
#include <mutex>

#include "dnc/variables.h"
#include "engine/language.h"
#include "platform/platform.h"

namespace kestrio::dnc {
namespace {

// Fixed widths of the block's texts, terminator included.
constexpr std::size_t kNameBytes = 64;
constexpr std::size_t kRootDirBytes = 260;

std::mutex g_mutex;
SetupState g_block;  // guarded by g_mutex

// Copies an ANSI text into a field of `bytes`, cut to fit.
std::string Fit(const std::string& ansi, std::size_t bytes) { return ansi.substr(0, bytes - 1); }

void CopyText(const std::string& text, ValorVariable& valor) {
  const std::size_t n = std::min(text.size(), kTextoVariable - 1);
  std::memcpy(valor.valor.texto, text.data(), n);
  valor.valor.texto[n] = '\0';
}

std::int32_t ReadVersion(const char*, ValorVariable& valor, const Indices&) {
  CopyText(platform::Utf8ToAnsi(kVersionText), valor);
  return 0;
}

std::int32_t ReadStatus(const char*, ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  valor.valor.l = g_block.status;
  return 0;
}

std::int32_t ReadItemCount(const char*, ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  valor.valor.l = g_block.packCount;
  return 0;
}

std::int32_t ReadCurrent(const char*, ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  CopyText(g_block.currentLanguage, valor);
  return 0;
}

std::int32_t ReadPackName(const char*, ValorVariable& valor, const Indices& indices) {
  const auto index = static_cast<std::uint32_t>(indices.i);
  if (index >= kPackSlots) return ERR_VAR_TIPO;
  std::lock_guard lock(g_mutex);
  CopyText(g_block.packNames[index], valor);
  return 0;
}

std::int32_t ReadErrorText(const char*, ValorVariable& valor, const Indices& indices) {
  std::string text;
  engine::GetErrorText(indices.i, &text);
  CopyText(platform::Utf8ToAnsi(text), valor);
  return 0;
}

// A write that finds the setup busy, or the program ending, is acknowledged
// and leaves nothing behind.
bool IgnoresRequests() { return g_block.status == 1 || !g_block.takingRequests; }

std::int32_t WriteGo(const char*, const ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  if (!IgnoresRequests() && valor.valor.l != 0) {
    g_block.goRequest = valor.valor.l;
    g_block.status = 1;
  }
  return 0;
}

std::int32_t WriteRootDir(const char*, const ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  if (IgnoresRequests() || valor.valor.texto[0] == '\0') return 0;
  g_block.status = 1;
  g_block.rootDirRequest = Fit(valor.valor.texto, kRootDirBytes);
  return 0;
}

std::int32_t WriteNext(const char*, const ValorVariable& valor, const Indices&) {
  std::lock_guard lock(g_mutex);
  if (IgnoresRequests() || valor.valor.texto[0] == '\0') return 0;
  // A name the request field cannot hold is refused whole: a cut name could
  // select another language.
  if (std::strlen(valor.valor.texto) >= kNameBytes) return ERR_VAR_SINTAXIS;
  g_block.nextRequest = valor.valor.texto;
  return 0;
}

const DescriptorVariable SetupVariables[] = {
    {"GO", TIPO_LONG, 0, nullptr, WriteGo},
    {"CURRENT", TIPO_STRING, 0, ReadCurrent, nullptr},
    {"NEXT", TIPO_STRING, 0, nullptr, WriteNext},
    {"ROOTDIR", TIPO_STRING, 0, nullptr, WriteRootDir},
    {"NITEMS", TIPO_LONG, 0, ReadItemCount, nullptr},
    {"STATUS", TIPO_LONG, 0, ReadStatus, nullptr},
    {"NAME", TIPO_STRING, VAR_INDEXADA, ReadPackName, nullptr},
    {"VERSION", TIPO_STRING, 0, ReadVersion, nullptr},
    {"ERROR", TIPO_STRING, VAR_INDEXADA, ReadErrorText, nullptr},
};

}  // namespace

void RegisterSetupVariables() {
  {
    std::lock_guard lock(g_mutex);
    const std::int32_t go = g_block.goRequest;
    g_block = SetupState{};
    g_block.goRequest = go;  // not touched by registration
  }
  RegistrarTablaVariables("KESTRIO", SetupVariables, static_cast<std::int32_t>(std::size(SetupVariables)));
}

SetupState SnapshotSetupState() {
  std::lock_guard lock(g_mutex);
  return g_block;
}

RemoteRequests TakeRemoteRequests() {
  RemoteRequests r;
  std::lock_guard lock(g_mutex);
  if (!g_block.rootDirRequest.empty()) {
    r.rootDir = platform::AnsiToUtf8(g_block.rootDirRequest);
    g_block.rootDirRequest.clear();
  }
  if (!g_block.nextRequest.empty()) {
    r.next = platform::AnsiToUtf8(g_block.nextRequest);
    g_block.nextRequest.clear();
  }
  if (g_block.goRequest != 0 && !r.rootDir) {
    r.go = true;
    g_block.goRequest = 0;
  }
  return r;
}

void SetSetupStatus(std::int32_t status) {
  std::lock_guard lock(g_mutex);
  g_block.status = status;
}

bool SetStatusUnlessBusy(std::int32_t status) {
  std::lock_guard lock(g_mutex);
  if (g_block.status == 1) return false;
  g_block.status = status;
  return true;
}

void StopTakingRequests(std::int32_t status) {
  std::lock_guard lock(g_mutex);
  g_block.status = status;
  g_block.rootDirRequest.clear();
  g_block.goRequest = 0;
  g_block.nextRequest.clear();
  g_block.takingRequests = false;
}

bool StopTakingRequestsUnlessBusy() {
  std::lock_guard lock(g_mutex);
  if (g_block.status == 1 || g_block.goRequest != 0 || !g_block.rootDirRequest.empty()) return false;
  g_block.takingRequests = false;
  return true;
}

std::int32_t GetSetupStatus() {
  std::lock_guard lock(g_mutex);
  return g_block.status;
}

void SetCurrentLanguageText(const std::string& name) {
  const std::string ansi = Fit(platform::Utf8ToAnsi(name), kNameBytes);
  std::lock_guard lock(g_mutex);
  g_block.currentLanguage = ansi;
}

void PublishScanResult(std::int32_t packCount, const std::vector<std::string>& names, ScanOrigin origin) {
  std::lock_guard lock(g_mutex);
  if (origin == ScanOrigin::Remote || g_block.status != 1) g_block.status = 0;
  g_block.packCount = packCount;
  for (std::size_t i = 0; i < names.size() && i < kPackSlots; ++i)
    g_block.packNames[i] = Fit(platform::Utf8ToAnsi(names[i]), kNameBytes);
}

}  // namespace kestrio::dnc
