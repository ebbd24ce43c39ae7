// A program the Windows 7 guard must refuse: it imports a function that
// Windows 8 brought (GetSystemTimePreciseAsFileTime) and one from a DLL that
// is not part of Windows (bare.dll).  Never run; only its imports matter.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#include <windows.h>

extern "C" __declspec(dllimport) int BareLibraryMark();

int main() {
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  return static_cast<int>(now.dwLowDateTime & 1U) + BareLibraryMark();
}
