#include "engine/checks.h"

#include <vector>

#include "engine/language.h"
#include "platform/platform.h"

namespace kestrio::engine {
namespace {

constexpr std::string_view kProductOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
constexpr std::size_t kProductSuiteBytes = 520;
// ProductSuite is a multi-string; on Windows 7 Embedded its first string is
// "Terminal Server" (15 characters), so the edition starts at unit 16.
constexpr std::size_t kEditionUnit = 16;

}  // namespace

bool IsEmbeddedEdition() {
  std::vector<std::uint8_t> data;
  if (platform::ReadRegistryValue(platform::RegistryHive::LocalMachine, kProductOptionsKey, "ProductSuite",
                                  kProductSuiteBytes, data) != platform::RegistryRead::Ok) {
    return false;
  }
  return text::Utf16FromBytes(data.data(), data.size(), kEditionUnit) == u"EmbeddedNT";
}

std::int32_t CheckOperatingSystem() {
  platform::OsVersion version;
  if (!platform::QueryOsVersion(version) || version.major != 6) return kErrOsVersion;
  return IsEmbeddedEdition() ? kOk : kErrOsVersion;
}

std::int32_t CheckWriteFilter() {
  platform::FilterSessions enabled;
  if (!platform::QueryWriteFilterEnabled(enabled)) return kErrProtected;
  if (!enabled.current) return kOk;
  platform::FilterSessions prot;
  if (!platform::QueryVolumeProtected("C:", prot) || prot.current) return kErrProtected;
  return kOk;
}

std::int32_t CheckFreeSpace() {
  std::uint64_t freeBytes = 0;
  if (!platform::QueryTotalFreeBytes("C:\\", freeBytes)) return kErrDiskQuery;
  const std::uint64_t required = Engine().RollupInstalled ? kFreeBytesRequiredRollup : kFreeBytesRequired;
  return freeBytes < required ? kErrFreeSpace : kOk;
}

std::int32_t CheckUpdatePackage() {
  return platform::PathExists(kUpdatePackage) ? kOk : kErrUpdatePackage;
}

}  // namespace kestrio::engine
