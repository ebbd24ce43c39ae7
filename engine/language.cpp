#include "engine/language.h"

#include <cstdio>

namespace kestrio::engine {

const std::array<ErrorInfo, 14> ErrorTable = {{
    {kErrRootDir, "Root Directory not valid."},
    {kErrOsVersion, "OS version not supported. Only Windows 7 Embedded is supported."},
    {kErrLanguageIndex, "Language index isn't valid."},
    {kErrInvalidParameter, "Invalid parameter."},
    {kErrCurrentLanguage, "An error ocurred getting the current language"},
    {kErrLanguageName, "Invalid language name."},
    {kErrInstall, "An error ocurred while installing language pack."},
    {kErrRemove, "An error ocurred while removing current language."},
    {kErrSameLanguage, "You have selected the same language to install. Please, change language."},
    {kErrProtected, "System is protected. Change to Administrator mode, please."},
    {kErrFreeSpace, "Insufficient free space."},
    {kErrDiskQuery, "An error ocurred getting disk free space."},
    {kErrPackName, "An error ocurred getting language pack name."},
    {kErrUpdatePackage, "OS update package file(s) not found."},
}};

const char* RemedyOf(std::int32_t code) {
  static constexpr struct {
    std::int32_t code;
    const char* remedy;
  } kRemedies[] = {
      {kErrProtected, "turn the write filter off and restart the CNC"},
      {kErrFreeSpace, "free 400 MB on C: (750 MB with the rollup)"},
      {kErrDiskQuery, "restart the CNC"},
      {kErrPackName, "answer the message at the machine and start Kestrio Setup again as an administrator"},
      {kErrUpdatePackage,
       "put windows6.1-kb4012215-x86.cab in Kestrio Setup's working folder (C:\\Kestrio) and start it from there"},
      {kErrInstall,
       "check that the cabinet is a language pack for 32-bit Windows 7 and that the write filter is off (the "
       "package tool's log: C:\\Windows\\Logs\\DISM\\dism.log)"},
      {kErrRemove,
       "restart the CNC and check its language (the package tool's log: C:\\Windows\\Logs\\DISM\\dism.log)"},
  };
  for (const auto& row : kRemedies)
    if (row.code == code) return row.remedy;
  return nullptr;
}

std::int32_t GetErrorText(std::int32_t code, std::string* text, std::int32_t capacity) {
  if (text == nullptr) return kErrInvalidParameter;
  std::string message;
  if (code != 0) {
    for (const auto& e : ErrorTable) {
      if (e.code == code) message = e.text;
    }
    if (message.empty()) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "Ukonown error %d.", static_cast<int>(code));
      message = buf;
    }
  }
  const std::size_t units = capacity > 0 ? static_cast<std::size_t>(capacity) - 1 : 0;
  *text = text::CutToUtf16Units(message, units);
  return kOk;
}

int FindLanguageByCode(std::string_view code) {
  for (int i = 0; i < kLanguageCount; ++i) {
    if (LanguageCatalogue[static_cast<std::size_t>(i)].code == code) return i;
  }
  return kLanguageCount;
}

EngineState& Engine() {
  static EngineState state;
  return state;
}

void ResetEngineState() { Engine() = EngineState{}; }

}  // namespace kestrio::engine
