// Put in netsh.exe's place in the package test's Wine prefix.  Wine's
// netsh.exe keeps no firewall rules (it only reports that it is a stub), so
// what the package asks of netsh is recorded instead: each command line,
// UTF-8, one CRLF-ended line in netsh.log beside this program.  It answers 0,
// as netsh does when it made or deleted a rule.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  std::wstring log(path, length);
  log.replace(log.find_last_of(L'\\') + 1, std::wstring::npos, L"netsh.log");

  const wchar_t* line = GetCommandLineW();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return 1;
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), bytes, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  text += "\r\n";

  FILE* file = _wfopen(log.c_str(), L"ab");
  if (file == nullptr) return 1;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
