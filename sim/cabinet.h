// Real Microsoft cabinet files: reading one file out (the expand and dism
// personalities) and writing small ones (make-pack).  Linux uses libmspack
// and libgcab; Windows uses the system's SetupIterateCabinetW.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestrio::sim {

enum class CabResult { Ok, CannotOpen, NotACabinet, NoSuchFile, WriteFailed };

// Extracts the member named `member` (matched regardless of case) of the
// cabinet at host path `cabinet` to host path `destination`.
CabResult ExtractFromCabinet(const std::string& cabinet, const std::string& member,
                             const std::string& destination);

// Writes a cabinet holding `files` (name, content); false with `error` set
// when it cannot.  Not available in the Windows build.
bool WriteCabinet(const std::string& cabinet,
                  const std::vector<std::pair<std::string, std::string>>& files,
                  std::string* error);

}  // namespace kestrio::sim
