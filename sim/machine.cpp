#include "sim/machine.h"

#include <cstdlib>
#include <fstream>
#include <utility>

#include "platform/text.h"

namespace kestrio::sim {

std::string LanguagePackIdentity(std::string_view tag) {
  return std::string(kLanguagePackPrefix) + std::string(tag) + std::string(kLanguagePackVersion);
}

std::optional<Machine> Machine::Load(const std::string& dir, std::string* error) {
  Machine m = Fresh(dir);
  std::string bytes;
  const std::string ini = dir + "/" + std::string(kMachineIni);
  if (!ReadWholeFile(ini, bytes)) {
    if (error) *error = "no simulated machine at " + dir + " (" + ini + " cannot be read)";
    return std::nullopt;
  }
  std::string why;
  if (!m.ini_.Parse(bytes, true, &why)) {
    if (error) *error = ini + ": " + why;
    return std::nullopt;
  }
  const std::string reg = dir + "/" + std::string(kRegistryFile);
  if (ReadWholeFile(reg, bytes) && !m.reg_.Parse(bytes, &why)) {
    if (error) *error = reg + ": " + why;
    return std::nullopt;
  }
  return m;
}

Machine Machine::Fresh(const std::string& dir) {
  Machine m;
  m.dir_ = dir;
  return m;
}

Machine Machine::NewDefault(const std::string& dir, const std::string& language,
                            const std::vector<std::string>& installed, bool rollup) {
  Machine m = Fresh(dir);
  m.ini_.Set("os", "version", "6.1.7601");
  m.ini_.Set("program", "workdir", std::string(kProgramDir));
  m.ini_.Set("fbwf", "library", "1");
  for (const char* key : {"fail", "enabled", "enabled_next", "protected", "protected_next"})
    m.ini_.Set("fbwf", key, "0");
  m.ini_.Set("disk", "free_bytes", "21474836480");
  m.ini_.Set("disk", "fail", "0");
  m.ini_.Set("boot", "locale", language);
  m.ini_.Set("boot", "restart_pending", "0");
  m.SetPackage(kBasePackage, kInstalled);
  m.SetInstalledLanguages(installed);
  if (rollup) m.SetPackage(kRollupIdentity, kInstalled);
  m.reg_.SetMultiString(kProductOptionsKey, "ProductSuite", {"Terminal Server", "EmbeddedNT"});
  SetPreferredLanguages(m.reg_, {language});
  return m;
}

void Machine::SetInstalledLanguages(const std::vector<std::string>& tags) {
  for (const auto& [id, state] : Packages())
    if (id.rfind(kLanguagePackPrefix, 0) == 0) ini_.Remove("packages", id);
  for (const auto& t : tags) SetPackage(LanguagePackIdentity(t), kInstalled);
}

bool Machine::Save(std::string* error) const {
  return WriteFileAtomically(dir_ + "/" + std::string(kMachineIni), ini_.Serialize(), error) &&
         WriteFileAtomically(dir_ + "/" + std::string(kRegistryFile), reg_.Serialize(), error);
}

std::string Machine::Get(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
  auto v = ini_.Get(section, key);
  return v ? *v : std::string(fallback);
}

bool Machine::Flag(std::string_view section, std::string_view key) const {
  const std::string v = Get(section, key, "0");
  return v == "1" || v == "yes" || v == "on" || v == "true";
}

std::uint64_t Machine::Number(std::string_view section, std::string_view key,
                              std::uint64_t fallback) const {
  const auto v = ini_.Get(section, key);
  if (!v || v->empty()) return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v->c_str(), &end, 10);
  return *end == '\0' ? n : fallback;
}

std::optional<std::uint32_t> Machine::ForcedExit(std::string_view step) const {
  const auto v = ini_.Get("exit", step);
  if (!v || v->empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v->c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

void SetPreferredLanguages(RegFile& registry, const std::vector<std::string>& tags) {
  constexpr std::string_view kValue = "MachinePreferredUILanguages";
  if (tags.empty()) {
    registry.Remove(kMuiCachedKey, kValue);
  } else if (tags.size() == 1) {
    // As Windows writes it: a multi-string of the one tag and its NUL, without
    // the closing empty string ("de-DE" takes 12 bytes).
    RegValue value{std::string(kValue), kRegMultiSz, {}};
    for (const char16_t unit : text::Utf8ToUtf16(tags[0]) + u'\0') {
      value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    registry.Set(kMuiCachedKey, std::move(value));
  } else {
    registry.SetMultiString(kMuiCachedKey, kValue, tags);
  }
}

std::string MapWindowsPath(std::string_view machineDir, std::string_view path) {
#ifdef _WIN32
  (void)machineDir;
  return std::string(path);
#endif
  if (!path.empty() && path[0] == '/') return std::string(path);
  std::string out;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    out = std::string(machineDir) + '/';
    out += static_cast<char>(path[0] & ~0x20);
    path.remove_prefix(2);
  }
  for (char c : path) {
    const char mapped = c == '\\' ? '/' : c;
    if (mapped == '/' && !out.empty() && out.back() == '/') continue;
    out += mapped;
  }
  return out;
}

std::string Machine::HostPath(std::string_view windowsPath) const {
  return MapWindowsPath(dir_, windowsPath);
}

void Machine::LogCommand(std::string_view commandLine, std::uint32_t exitCode) const {
  std::ofstream out(PathFromUtf8(dir_ + "/" + std::string(kCommandsLog)), std::ios::app | std::ios::binary);
  out << commandLine << " => " << exitCode << '\n';
}

}  // namespace kestrio::sim
