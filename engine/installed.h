// What the running system has: its user-interface language, and the language
// packs and rollup package the package tool lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrio::engine {

inline constexpr std::string_view kPackageListing = "C:\\Windows\\Temp\\packages.log";
inline constexpr std::string_view kLanguagePackMarker = "Microsoft-Windows-Embedded-LanguagePack-Package";
inline constexpr std::string_view kRollupMarker = "Package_for_RollupFix~31bf3856ad364e35~x86~~7601.23710.1.2";

// Reads the current language tag from the user's registry and names it.
// 0 with `name` and CurrentLanguage filled, or -5.
std::int32_t GetCurrentLanguage(std::string& name);

// Lists the installed packages with the package tool into kPackageListing and
// fills InstalledPacks and RollupInstalled from it.  0, or -13.
std::int32_t QueryInstalledPackages();

}  // namespace kestrio::engine
