// Put in netsh.exe's place in the package test's Wine prefix.  Wine's
// netsh.exe keeps no firewall rules (it only reports that it is a stub), so
// what the package asks of netsh is recorded instead: each command line,
// UTF-8, one CRLF-ended line in netsh.log beside this program.  It answers 0,
// as netsh does when it made or deleted a rule, unless netsh.refuse lies
// beside it: then a command that contains one of that file's lines is
// recorded and refused with 1, as netsh refuses a rule it cannot make.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The text of a file; empty when it cannot be read.
std::string ReadFile(const std::wstring& path) {
  std::string text;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

bool Refused(const std::string& command, const std::string& refusals) {
  for (size_t at = 0; at < refusals.size();) {
    size_t end = refusals.find_first_of("\r\n", at);
    if (end == std::string::npos) end = refusals.size();
    if (end > at && command.find(refusals.substr(at, end - at)) != std::string::npos) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  std::wstring folder(path, length);
  folder.erase(folder.find_last_of(L'\\') + 1);

  const wchar_t* line = GetCommandLineW();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return 1;
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), bytes, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  const bool refused = Refused(text, ReadFile(folder + L"netsh.refuse"));
  text += "\r\n";

  FILE* file = _wfopen((folder + L"netsh.log").c_str(), L"ab");
  if (file == nullptr) return 1;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written && !refused ? 0 : 1;
}
