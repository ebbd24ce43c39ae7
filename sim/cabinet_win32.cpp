// Cabinets on Windows: the system's setup API reads them.
#include <windows.h>
#include <setupapi.h>

#include <cwchar>

#include "base/wide.h"
#include "sim/cabinet.h"

namespace kestrio::sim {
namespace {

struct Extraction {
  std::wstring member;
  std::wstring destination;
  bool found = false;
  bool written = false;
};

using text::Wide;

UINT CALLBACK OnCabinetEvent(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) {
  auto* job = static_cast<Extraction*>(context);
  switch (notification) {
    case SPFILENOTIFY_FILEINCABINET: {
      auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
      if (job->found || _wcsicmp(info->NameInCabinet, job->member.c_str()) != 0) return FILEOP_SKIP;
      if (job->destination.size() >= MAX_PATH) return FILEOP_ABORT;
      wcscpy(info->FullTargetName, job->destination.c_str());
      job->found = true;
      return FILEOP_DOIT;
    }
    case SPFILENOTIFY_FILEEXTRACTED: {
      auto* paths = reinterpret_cast<FILEPATHS_W*>(param1);
      job->written = paths->Win32Error == NO_ERROR;
      return NO_ERROR;
    }
    case SPFILENOTIFY_NEEDNEWCABINET:
      return ERROR_FILE_NOT_FOUND;
    default:
      return NO_ERROR;
  }
}

}  // namespace

CabResult ExtractFromCabinet(const std::string& cabinet, const std::string& member,
                             const std::string& destination) {
  const std::wstring cab = Wide(cabinet);
  if (GetFileAttributesW(cab.c_str()) == INVALID_FILE_ATTRIBUTES) return CabResult::CannotOpen;
  Extraction job{Wide(member), Wide(destination)};
  if (!SetupIterateCabinetW(cab.c_str(), 0, OnCabinetEvent, &job) && !job.found)
    return CabResult::NotACabinet;
  if (!job.found) return CabResult::NoSuchFile;
  return job.written ? CabResult::Ok : CabResult::WriteFailed;
}

bool WriteCabinet(const std::string&, const std::vector<std::pair<std::string, std::string>>&,
                  std::string* error) {
  if (error) *error = "making cabinets needs the Linux build of kestrio-sim";
  return false;
}

}  // namespace kestrio::sim
