// Finding the language packs under a root directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::engine {

// Checks the system, refreshes the installed packages, then walks `rootDir`
// depth-first for language-pack cabinets.  0 to 14 (the packs found), -1 (no
// root directory), -2 (unsupported system) or -13 (package listing failed).
std::int32_t ScanLanguagePacks(std::optional<std::string_view> rootDir);

// Scans `dir` and everything below it: every pack that some path within the
// limits of the paths and the extraction command reaches, once, however many
// links lead to its folder, and no cabinet extracted twice; returns
// DiscoveredCount.
std::int32_t ScanPackDirectory(std::string_view dir);

// The names of the packs the last scan found, in discovery order.
std::vector<std::string> DiscoveredNames();

// True for a name ending in ".cab", in lower case.
bool HasCabExtension(std::string_view fileName);

// A path for a command line: quoted when it holds a blank (a trailing
// backslash is doubled so it does not escape the closing quote), else as is.
std::string CommandLinePath(std::string_view path);

}  // namespace kestrio::engine
