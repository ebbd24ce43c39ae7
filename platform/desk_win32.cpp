// The desk's command line, files and threads on Windows.  Map: command line
// (Arguments), files (ReadWholeFile, RemoveFile, ReplaceWholeFile, SameFile,
// AbsolutePath), threads (RunOnThreads), in the order of desk.h.
#include <windows.h>
#include <process.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/cmdline.h"
#include "base/wide.h"
#include "platform/desk.h"

namespace kestrio::platform::desk {
namespace {

std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text::Narrow(text);
}

}  // namespace

// ---- Command line --------------------------------------------------------

// Split by the rules CommandLineToArgvW and the C runtime share.
std::vector<std::string> Arguments(int, char**) { return text::SplitCommandLine(text::Narrow(GetCommandLineW())); }

// ---- Files ---------------------------------------------------------------

FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error) {
  bytes.clear();
  const HANDLE file = CreateFileW(text::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesW(text::Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = "cannot be read: it is a folder";
      return FileRead::Failed;
    }
    error = "cannot be read: " + SystemText(code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileRead::Missing : FileRead::Failed;
  }
  char block[1 << 16];
  DWORD n = 0;
  bool ok = true;
  while (bytes.size() <= limit && (ok = ReadFile(file, block, sizeof block, &n, nullptr) != 0) && n > 0)
    bytes.append(block, n);
  const DWORD code = GetLastError();
  CloseHandle(file);
  if (!ok) error = "cannot be read: " + SystemText(code);
  else if (bytes.size() > limit) error = "larger than " + std::to_string(limit >> 20) + " MiB";
  return ok && bytes.size() <= limit ? FileRead::Read : FileRead::Failed;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(text::Wide(path).c_str()) != 0; }

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
  const std::wstring target = text::Wide(path), temp = target + L".tmp";
  const HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = path + ".tmp: cannot be written: " + SystemText(GetLastError());
    return false;
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
    if (!WriteFile(file, bytes.data() + written, chunk, &n, nullptr) || n == 0) break;
    written += n;
  }
  DWORD code = GetLastError();
  // The data reaches the disk before the name points at it.
  const bool whole = written == bytes.size() && FlushFileBuffers(file);
  if (!whole) code = GetLastError();
  CloseHandle(file);
  if (!whole) {
    error = path + ".tmp: cannot be written: " + SystemText(code);
    DeleteFileW(temp.c_str());
    return false;
  }
  if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = path + ": cannot be replaced: " + SystemText(GetLastError());
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  const auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(text::Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return identity(a, ia) && identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  const std::wstring wide = text::Wide(path);
  std::wstring full(MAX_PATH, L'\0');
  for (int tries = 0; tries < 2; ++tries) {
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      return text::Narrow(full);
    }
    full.assign(n, L'\0');  // too small: n is the size it takes, with its NUL
  }
  return path;
}

// ---- Threads -------------------------------------------------------------

namespace {

unsigned __stdcall RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return 0;
}

}  // namespace

unsigned RunOnThreads(unsigned count, std::size_t stackBytes, const std::function<void()>& body) {
  std::vector<HANDLE> made;
  made.reserve(count > 0 ? count - 1 : 0);
  for (unsigned k = 1; k < count; ++k) {
    // The size is what the thread reserves, not what it commits at once:
    // without the flag the program's own reservation (2 MiB) is taken.
    const auto thread = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), RunBody,
                                       const_cast<std::function<void()>*>(&body), STACK_SIZE_PARAM_IS_A_RESERVATION,
                                       nullptr);
    if (thread == 0) break;  // out of address space or handles: the ones made carry the work
    made.push_back(reinterpret_cast<HANDLE>(thread));
  }
  body();
  for (const HANDLE thread : made) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return static_cast<unsigned>(made.size()) + 1;
}

}  // namespace kestrio::platform::desk
