// A library that loads but has none of the write filter's functions: the
// tests put it where FBWFLIB.dll is looked for.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
