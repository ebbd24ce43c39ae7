// Current language and installed packages.
//
// The listing is the package tool's table, written in the ANSI code page:
//   Package Identity | State | Release Type | Install Time
// Every installed language pack stands on a line of its own as an identity
// name~key~architecture~tag~version followed by a blank.
#include "engine/installed.h"

#include <cstdio>
#include <vector>

#include "engine/language.h"
#include "engine/runner.h"
#include "platform/platform.h"

namespace kestrio::engine {
namespace {

constexpr std::string_view kMuiCachedKey = "Control Panel\\Desktop\\MuiCached";
constexpr std::string_view kPreferredLanguages = "MachinePreferredUILanguages";
// Windows keeps the value as a multi-string of one tag: "de-DE" and its NUL,
// 12 bytes.  `reg add /t REG_MULTI_SZ` and many scripts also write the
// closing empty string, 14 bytes; more than 12 bytes are taken in that form
// only, so a value with a second tag is still refused.
constexpr std::size_t kLanguageValueBytes = 12;      // one tag of 5 characters and its NUL
constexpr std::size_t kClosedLanguageValueBytes = 14;  // the same and the closing empty string

// True for data that is one whole tag of 5 characters followed by two NULs.
bool IsOneTagWithClosingEmptyString(const std::vector<std::uint8_t>& data) {
  if (data.size() != kClosedLanguageValueBytes) return false;
  const std::size_t tagBytes = (kCodeUnits - 1) * 2;
  if (text::Utf16FromBytes(data.data(), data.size()).size() != kCodeUnits - 1) return false;
  for (std::size_t i = tagBytes; i < data.size(); ++i)
    if (data[i] != 0) return false;
  return true;
}

// Reads one whole line, without its newline, whatever its length.  Every
// byte is kept, a NUL too: read as C strings, the text on either side of a
// NUL would join into words the listing does not hold.
bool ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(file)) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line += static_cast<char>(c);
  }
  return !line.empty();
}

// The fourth field of an identity split at runs of '~', or "" if it has fewer.
std::string_view FourthField(std::string_view identity) {
  int field = 0;
  std::size_t i = 0;
  while (i < identity.size()) {
    while (i < identity.size() && identity[i] == '~') ++i;
    if (i >= identity.size()) break;
    const std::size_t end = identity.find('~', i);
    const std::string_view token = identity.substr(i, end == std::string_view::npos ? end : end - i);
    if (++field == 4) return token;
    if (end == std::string_view::npos) break;
    i = end;
  }
  return {};
}

enum class LineResult { Nothing, Pack, UnknownLanguage };

// Examines one listing line; fills `slot`, where there is one, when the
// line names a language pack.  A pack that cannot be named still leaves its
// identity and tag in the slot (the query then fails), so what was seen of
// it stays on record.
LineResult ExamineLine(const std::string& line, LanguageInfo* slot) {
  if (line.find(kRollupMarker) != std::string::npos) Engine().RollupInstalled = 1;
  const auto start = line.find(kLanguagePackMarker);
  if (start == std::string::npos) return LineResult::Nothing;
  const auto blank = line.find(' ', start);
  if (blank == std::string::npos) return LineResult::Nothing;

  const std::string identity = platform::AnsiToUtf8(std::string_view(line).substr(start, blank - start));
  const std::string_view tag = FourthField(identity);
  LanguageInfo found;
  // An identity or tag too long for its field is not stored cut: it cannot
  // name a pack this program can remove again, and is refused like a tag
  // outside the catalogue.
  const bool stored = found.package.Assign(identity) && found.code.Assign(tag);
  const int position = stored ? FindLanguageByCode(found.code.Str()) : kLanguageCount;
  if (position != kLanguageCount) found.name.Assign(LanguageCatalogue[static_cast<std::size_t>(position)].name);
  if (slot != nullptr) *slot = found;
  return position == kLanguageCount ? LineResult::UnknownLanguage : LineResult::Pack;
}

}  // namespace

std::int32_t GetCurrentLanguage(std::string& name) {
  std::vector<std::uint8_t> data;
  if (platform::ReadRegistryValue(platform::RegistryHive::CurrentUser, kMuiCachedKey,
                                  kPreferredLanguages, kClosedLanguageValueBytes,
                                  data) != platform::RegistryRead::Ok) {
    return kErrCurrentLanguage;
  }
  if (data.size() > kLanguageValueBytes && !IsOneTagWithClosingEmptyString(data)) return kErrCurrentLanguage;
  const std::string code = text::Utf16ToUtf8(text::Utf16FromBytes(data.data(), data.size()));
  LanguageInfo& current = Engine().CurrentLanguage;
  // Twelve bytes without a terminator would be six characters: no tag.
  if (!current.code.Assign(code)) return kErrCurrentLanguage;
  const int position = FindLanguageByCode(current.code.Str());
  if (position == kLanguageCount) return kErrCurrentLanguage;
  const std::string_view catalogueName = LanguageCatalogue[static_cast<std::size_t>(position)].name;
  current.name.Assign(catalogueName);
  name = catalogueName;
  return kOk;
}

std::int32_t QueryInstalledPackages() {
  EngineState& engine = Engine();
  for (auto& slot : engine.InstalledPacks) slot.Clear();

  std::string command = "cmd.exe /c dism.exe /online /get-packages /format:table > ";
  command += kPackageListing;
  std::uint32_t exitCode = 0;
  if (RunProgram(command, exitCode) != 1 || exitCode != 0) return kErrPackName;

  std::FILE* file = platform::OpenFile(kPackageListing, "r+t");
  if (file == nullptr) return kOk;
  std::size_t next = 0;
  std::string line;
  std::int32_t result = kOk;
  while (ReadLine(file, line)) {
    // A listing with more packs than slots repeats a language; the extra
    // lines are still checked but have no slot to fill.
    LanguageInfo* slot = next < engine.InstalledPacks.size() ? &engine.InstalledPacks[next] : nullptr;
    const LineResult r = ExamineLine(line, slot);
    if (r == LineResult::UnknownLanguage) {
      result = kErrPackName;
      break;
    }
    if (r == LineResult::Pack && slot != nullptr) ++next;
  }
  std::fclose(file);
  return result;
}

}  // namespace kestrio::engine
