// libFuzzer target: variable texts and values straight into the registry,
// and the escaping and list splitting of the protocol.
//
// The input is a variable text, a zero byte, and a value text.  Besides the
// KESTRIO table the registry holds a table FZ with one variable of each
// type and index form, whose accessors keep what was written.  Checked:
//   - what a write stored reads back: a string as written, a number in a
//     form that writes and reads back unchanged;
//   - accessors get the index form their descriptor declares;
//   - a parsed variable text gives two non-empty fields of at most 35
//     characters without their stop characters;
//   - unescaping the escaped text gives the text back, and the escaped
//     text has no bare comma;
//   - a list splits into at most 50 non-empty items of at most 31 characters
//     that join back to the text (a trailing '#' aside).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "dnc/protocol.h"
#include "dnc/variables.h"
#include "fuzz_common.h"

namespace dnc = kestrio::dnc;
using kestrio::fuzz::ExactText;

namespace {

constexpr std::int32_t kUnknownType = 7;

struct Slot {
  std::int32_t flags;
  dnc::ValorVariable stored;
};

Slot g_slots[] = {
    {0, {}},
    {0, {}},
    {0, {}},
    {0, {}},
    {dnc::VAR_INDEXADA | dnc::VAR_DOS_INDICES, {}},
    {dnc::VAR_INDEXADA, {}},
    {dnc::VAR_PREFIJO, {}},
    {dnc::VAR_PREFIJO | dnc::VAR_INDEXADA, {}},
    {dnc::VAR_PREFIJO | dnc::VAR_INDEXADA | dnc::VAR_DOS_INDICES, {}},
    {0, {}},
    {0, {}},
    {0, {}},
};

void CheckIndices(std::int32_t flags, const dnc::Indices& indices) {
  const bool prefix = (flags & dnc::VAR_PREFIJO) != 0;
  const std::int32_t levels = indices.niveles - (prefix ? 1 : 0);
  if (flags & dnc::VAR_DOS_INDICES) {
    FUZZ_CHECK(levels == 2 && indices.b != -1 && indices.i != -1);
  } else if (flags & dnc::VAR_INDEXADA) {
    FUZZ_CHECK(levels == 1 && indices.b == -1 && indices.i != -1);
  } else {
    FUZZ_CHECK(levels == 0 && indices.b == -1 && indices.i == -1);
  }
  FUZZ_CHECK(indices.niveles <= 2);
}

template <std::size_t K>
std::int32_t Read(const char*, dnc::ValorVariable& valor, const dnc::Indices& indices) {
  CheckIndices(g_slots[K].flags, indices);
  const std::int32_t type = valor.tipo;
  valor = g_slots[K].stored;
  valor.tipo = type;
  return 0;
}

template <std::size_t K>
std::int32_t Write(const char*, const dnc::ValorVariable& valor, const dnc::Indices& indices) {
  CheckIndices(g_slots[K].flags, indices);
  g_slots[K].stored = valor;
  return 0;
}

const dnc::DescriptorVariable kFuzzTable[] = {
    {"TXT", dnc::TIPO_STRING, g_slots[0].flags, Read<0>, Write<0>},
    {"NUM", dnc::TIPO_LONG, g_slots[1].flags, Read<1>, Write<1>},
    {"SHT", dnc::TIPO_SHORT, g_slots[2].flags, Read<2>, Write<2>},
    {"DBL", dnc::TIPO_DOUBLE, g_slots[3].flags, Read<3>, Write<3>},
    {"TAB", dnc::TIPO_STRING, g_slots[4].flags, Read<4>, Write<4>},
    {"IDX", dnc::TIPO_DOUBLE, g_slots[5].flags, Read<5>, Write<5>},
    {"PRE", dnc::TIPO_LONG, g_slots[6].flags, Read<6>, Write<6>},
    {"PRI", dnc::TIPO_SHORT, g_slots[7].flags, Read<7>, Write<7>},
    {"PRD", dnc::TIPO_LONG, g_slots[8].flags, Read<8>, Write<8>},
    {"RO", dnc::TIPO_LONG, g_slots[9].flags, Read<9>, nullptr},
    {"WO", dnc::TIPO_STRING, g_slots[10].flags, nullptr, Write<10>},
    {"ODD", kUnknownType, g_slots[11].flags, Read<11>, Write<11>},
};

void ResetRegistry() {
  kestrio::fuzz::ResetSetupTable();
  for (Slot& slot : g_slots) slot.stored = {};
  dnc::RegistrarTablaVariables("FZ", kFuzzTable, static_cast<std::int32_t>(std::size(kFuzzTable)));
}

void CheckFields(const char* text) {
  char prefix[dnc::kCampoNombre], name[dnc::kCampoNombre];
  std::int32_t index = 0, bracket = 0;
  if (dnc::extraer_campos(text, prefix, name, index, bracket) != 0) return;
  const std::string_view p(prefix, strnlen(prefix, sizeof prefix));
  const std::string_view n(name, strnlen(name, sizeof name));
  FUZZ_CHECK(!p.empty() && p.size() < sizeof prefix && p.find('.') == std::string_view::npos);
  FUZZ_CHECK(!n.empty() && n.size() < sizeof name && n.find_first_of(".[") == std::string_view::npos);
}

void CheckWriteReadBack(const char* name, const char* value) {
  if (dnc::EscribirVariableTxt(name, value) != 0) return;
  std::string read;
  if (dnc::LeerVariableTxt(name, read) != 0) return;
  std::int32_t type = 0;
  FUZZ_CHECK(dnc::GetTipoVariable(name, type) == 0);
  if (type == dnc::TIPO_STRING) {
    // The KESTRIO strings are not echoes (CURRENT is read-only, NEXT and
    // ROOTDIR write-only), so a string read after a write is an FZ one.
    FUZZ_CHECK(read == value);
    return;
  }
  const std::string first = read;
  FUZZ_CHECK(dnc::EscribirVariableTxt(name, first.c_str()) == 0);
  FUZZ_CHECK(dnc::LeerVariableTxt(name, read) == 0);
  FUZZ_CHECK(read == first);
}

void CheckEscaping(std::string_view text) {
  std::string escaped, back;
  if (dnc::FiltrarString(text, escaped) != 0) return;
  FUZZ_CHECK(escaped.size() <= dnc::kMaxTexto);
  FUZZ_CHECK(escaped.find(',') == std::string::npos);
  FUZZ_CHECK(dnc::DesfiltrarString(escaped, back) == 0);
  FUZZ_CHECK(back == text);
}

void CheckList(std::string_view text) {
  std::vector<std::string> items;
  if (!dnc::SepararLista(text, items)) return;
  FUZZ_CHECK(items.size() <= dnc::kMaxItems);
  std::string joined;
  for (const std::string& item : items) {
    FUZZ_CHECK(!item.empty() && item.size() <= dnc::kMaxItem && item.find('#') == std::string::npos);
    if (!joined.empty()) joined += '#';
    joined += item;
  }
  FUZZ_CHECK(joined == text || joined + '#' == text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kestrio::fuzz::QuietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t zero = input.find('\0');
  const std::string_view nameBytes = input.substr(0, zero);
  const std::string_view valueBytes = zero == std::string_view::npos ? std::string_view() : input.substr(zero + 1);
  const ExactText name(nameBytes.data(), nameBytes.size());
  const ExactText value(valueBytes.data(), valueBytes.size());

  ResetRegistry();
  CheckFields(name.c_str());
  std::int32_t type = 0;
  (void)dnc::GetTipoVariable(name.c_str(), type);
  std::string read;
  (void)dnc::LeerVariableTxt(name.c_str(), read);
  CheckWriteReadBack(name.c_str(), value.c_str());

  CheckEscaping(valueBytes);
  CheckList(nameBytes);
  CheckList(valueBytes);
  return 0;
}
