// The guards of the engine: the system it was built for, a writable system
// volume, room for a language pack, and the update package when needed.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrio::engine {

inline constexpr std::string_view kUpdatePackage = "windows6.1-kb4012215-x86.cab";
inline constexpr std::uint64_t kFreeBytesRequired = 419'430'400;        // 400 MiB
inline constexpr std::uint64_t kFreeBytesRequiredRollup = 786'432'000;  // 750 MiB

bool IsEmbeddedEdition();
std::int32_t CheckOperatingSystem();  // 0 or -2
std::int32_t CheckWriteFilter();      // 0 or -10
std::int32_t CheckFreeSpace();        // 0, -12 or -11
std::int32_t CheckUpdatePackage();    // 0 or -14

}  // namespace kestrio::engine
