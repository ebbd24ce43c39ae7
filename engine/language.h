// The engine's vocabulary and process-wide state: the catalogue of the
// fourteen languages Kestrio can install, the error table, and the tables of
// the current language, the installed packages and the discovered packs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"

namespace kestrio::engine {

// A text field of fixed width, counted in UTF-16 units with the terminator,
// as the Windows program stores it.  Nothing longer can be stored.
template <std::size_t Units>
class FixedText {
 public:
  static constexpr std::size_t kUnits = Units;

  // Stores `value` if it fits; otherwise leaves the field as it was.
  bool Assign(std::string_view value) {
    if (text::Utf16Length(value) > Units - 1) return false;
    value_.assign(value);
    return true;
  }
  // Stores as much of `value` as fits.
  void AssignCut(std::string_view value) { value_.assign(text::CutToUtf16Units(value, Units - 1)); }
  void Clear() { value_.clear(); }

  const std::string& Str() const { return value_; }
  bool Empty() const { return value_.empty(); }
  friend bool operator==(const FixedText& a, std::string_view b) { return a.value_ == b; }

 private:
  std::string value_;
};

inline constexpr std::size_t kCodeUnits = 6;       // 5 characters and the terminator
inline constexpr std::size_t kNameUnits = 64;
inline constexpr std::size_t kPathUnits = 260;     // MAX_PATH
inline constexpr std::size_t kCommandUnits = 2048; // the change's command buffer
inline constexpr int kLanguageCount = 14;
inline constexpr int kSlotCount = 14;

struct LanguageInfo {
  FixedText<kCodeUnits> code;     // language tag, e.g. "de-DE"
  FixedText<kNameUnits> name;     // English display name, e.g. "German"
  FixedText<kPathUnits> package;  // cabinet path of a discovered pack, or a package identity

  void Clear() {
    code.Clear();
    name.Clear();
    package.Clear();
  }
};

struct CatalogueEntry {
  std::string_view code;
  std::string_view name;
};

// Sorted by code; positions 0 to 13.
inline constexpr std::array<CatalogueEntry, kLanguageCount> LanguageCatalogue = {{
    {"cs-CZ", "Czech"},   {"de-DE", "German"},    {"en-US", "English"}, {"es-ES", "Spanish"},
    {"fi-FI", "Finnish"}, {"fr-FR", "French"},    {"it-IT", "Italian"}, {"ko-KR", "Korean"},
    {"nl-NL", "Dutch"},   {"pl-PL", "Polish"},    {"pt-PT", "Portuguese"},
    {"ru-RU", "Russian"}, {"tr-TR", "Turkish"},   {"zh-CN", "Chinese"},
}};

// Engine status codes.
enum : std::int32_t {
  kOk = 0,
  kErrRootDir = -1,
  kErrOsVersion = -2,
  kErrLanguageIndex = -3,
  kErrInvalidParameter = -4,
  kErrCurrentLanguage = -5,
  kErrLanguageName = -6,
  kErrInstall = -7,
  kErrRemove = -8,
  kErrSameLanguage = -9,
  kErrProtected = -10,
  kErrFreeSpace = -11,
  kErrDiskQuery = -12,
  kErrPackName = -13,
  kErrUpdatePackage = -14,
};

struct ErrorInfo {
  std::int32_t code;
  std::string_view text;
};

extern const std::array<ErrorInfo, 14> ErrorTable;

// What a person must mend after an error before the same change is tried
// again, for the errors a person on the floor can mend: the technician's
// README gives each under its message (a test holds the two together), and
// kestrio-dnc tells it beside the hosts that failed with it.  nullptr for
// the others (a mistake of the request, or a PC the program cannot serve).
const char* RemedyOf(std::int32_t code);

// The other texts the operator sees, beside the error table so that every
// message box text is found in one place.  Some spellings are the ones the
// machines have always shown and stay as they are: "ocurred" in the table,
// "Ukonown error %d." below, and "Uknown error." beside "Unknown error.".
inline constexpr const char* kTextTakesMinutes = "This process takes several minutes.";
inline constexpr const char* kTextKeepPowered = "Don\u00b4t turn off the CNC during process.";
inline constexpr const char* kTextRestarts = "The CNC will be restarted automatically.";
inline constexpr const char* kTextContinue = "Do you want to continue?";
inline constexpr const char* kTextBusyClose = "Operation in progress. Please wait until finishes to close application.";
// Told to the operator whose Select or GO yielded to a remote request
// accepted while the folder browser or GO's questions were up.
inline constexpr const char* kTextRemoteFirst =
    "A remote request from the DNC is being carried out. Your command was not started.";
inline constexpr const char* kTextUnknownError = "Unknown error.";  // a code without a text
inline constexpr const char* kTextUnknownScanError = "Uknown error.";  // the same after a failed scan: the system's spelling
inline constexpr const char* kTextBrowseTitle = "Select Language Pack Root Directory";  // the folder browser

// Writes the message of `code` into `text`, at most `capacity - 1` UTF-16
// units: "" for 0, the table's text, or "Ukonown error %d." for any other
// code.  Returns -4 without writing when `text` is absent, else 0.
std::int32_t GetErrorText(std::int32_t code, std::string* text, std::int32_t capacity = 260);

// Catalogue position of an exact, case-sensitive code; 14 when not found.
int FindLanguageByCode(std::string_view code);

// Process-wide engine state.  Each item has one writer (see engine/*.cpp); the
// dialog runs one operation at a time, so no lock is taken.
struct EngineState {
  LanguageInfo CurrentLanguage;                         // the language in use now
  std::array<LanguageInfo, kSlotCount> InstalledPacks;  // from the package listing
  int RollupInstalled = 0;                              // set once, never reset
  std::array<LanguageInfo, kSlotCount> DiscoveredPacks; // in discovery order
  std::int32_t DiscoveredCount = 0;                     // 0 to 14
};

EngineState& Engine();

// Back to the zeroed start state (a new process, for tests).
void ResetEngineState();

}  // namespace kestrio::engine
