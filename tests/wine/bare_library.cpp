// A library that loads but has none of the write filter's functions: the
// tests put it where FBWFLIB.dll is looked for.  Its one export gives the
// Windows 7 guard's test a program that imports from a DLL outside Windows.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" __declspec(dllexport) int BareLibraryMark() { return 0; }
