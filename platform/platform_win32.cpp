// The platform on the machine itself: Windows 7 Embedded x86 (and Wine).
//
// Each function of platform/platform.h is a thin wrapper around the Win32
// call that answers it, always the wide (W) form.  Text crosses the boundary
// as UTF-8 and is converted to UTF-16 right at the call; the 8-bit system
// code page (CP_ACP) appears only in AnsiToUtf8 and Utf8ToAnsi.
//
// Layout, in the order of the header:
//   helpers          UTF-8 <-> UTF-16 for Win32 calls, the failure trace
//   version          GetVersionExW
//   registry         RegOpenKeyExW / RegQueryValueExW
//   write filter     FBWFLIB.dll from the system folder, loaded for each query
//   disk and files   free space, attributes, listings, folder identities, INI
//                    files, fopen
//   processes        CreateProcessW with a hidden window
//   text             the ANSI code page
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <utility>

#include "platform/platform.h"
#include "base/text.h"
#include "base/wide.h"

namespace kestrio::platform {
namespace {

// ---- helpers ---------------------------------------------------------------

using text::Narrow;
using text::Wide;

// A failed call keeps its cause: the function, the system's error code and
// the path (or other subject) it was given go to the debugger's output
// (OutputDebugStringW; DebugView or a debugger shows it) before the caller
// returns its portable answer.  Standard output carries the DNC and VS
// trace channels and nothing else.
// Returns false, so a failure reads "return Failed(...)".
bool Failed(const char* function, DWORD error, std::string_view subject) {
  char head[160];
  std::snprintf(head, sizeof head, "PLATFORM: %s failed, error %lu: ", function, static_cast<unsigned long>(error));
  std::string line = head;
  line.append(subject);
  line += '\n';
  OutputDebugStringW(Wide(line).c_str());
  return false;
}

// Win32 sizes are 32-bit; a larger request is cut to what a call can take.
DWORD ToDword(std::size_t n) { return n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n); }

}  // namespace

// ---- version ---------------------------------------------------------------

bool QueryOsVersion(OsVersion& version) {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  // The basic record is what the program checks; the call is deprecated for
  // newer systems only because they may report a compatibility version.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL ok = GetVersionExW(&info);
#pragma GCC diagnostic pop
  if (!ok) return Failed("GetVersionExW", GetLastError(), "");
  version = {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
  return true;
}

// ---- registry --------------------------------------------------------------

RegistryRead ReadRegistryValue(RegistryHive hive, std::string_view key, std::string_view value,
                               std::size_t capacityBytes, std::vector<std::uint8_t>& data) {
  const HKEY root = hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  HKEY handle = nullptr;
  const LONG opened = RegOpenKeyExW(root, Wide(key).c_str(), 0, KEY_ALL_ACCESS, &handle);
  if (opened != ERROR_SUCCESS) {
    Failed("RegOpenKeyExW", static_cast<DWORD>(opened), key);
    return RegistryRead::KeyNotOpened;
  }

  // A buffer of at least one byte, so a zero capacity still asks for the data
  // (and gets ERROR_MORE_DATA for a non-empty value) instead of its size.
  std::vector<std::uint8_t> buffer(capacityBytes == 0 ? 1 : capacityBytes);
  DWORD size = ToDword(capacityBytes);
  const LONG rc = RegQueryValueExW(handle, Wide(value).c_str(), nullptr, nullptr, buffer.data(), &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || size > capacityBytes) {
    Failed("RegQueryValueExW", rc != ERROR_SUCCESS ? static_cast<DWORD>(rc) : ERROR_MORE_DATA,
           std::string(key) + "\\" + std::string(value));
    return RegistryRead::ValueNotRead;
  }
  buffer.resize(size);
  data = std::move(buffer);
  return RegistryRead::Ok;
}

// ---- write filter ------------------------------------------------------------

namespace {

using IsFilterEnabledFn = ULONG(WINAPI*)(PULONG current, PULONG next);
using IsVolumeProtectedFn = ULONG(WINAPI*)(PCWSTR volume, PULONG current, PULONG next);

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  // FARPROC goes through the generic function type so the cast is explicit
  // about changing the signature.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// FBWFLIB.dll, taken from the system folder by its full path and never by the
// search order, which looks in the program's folder first: a library planted
// there could answer "not protected".  The write filter is an optional
// component of the image; only a library that is not there at all means a
// machine without the filter.  One that is there but does not load (a damaged
// file, a missing dependency) is no answer.  The library is loaded for each
// query and released after it.
class WriteFilterLibrary {
 public:
  enum class State { Absent, Unusable, Loaded };

  WriteFilterLibrary() {
    wchar_t folder[MAX_PATH];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    const std::wstring path = std::wstring(folder, n) + L"\\FBWFLIB.dll";
    // A damaged image is reported to us, never in a box on the operator's screen.
    DWORD oldMode = 0;
    const BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD loadError = GetLastError();
    error_ = loadError;
    if (quiet) SetThreadErrorMode(oldMode, nullptr);
    if (module_ != nullptr) {
      state_ = State::Loaded;
      error_ = ERROR_PROC_NOT_FOUND;  // what a missing function below means
      isFilterEnabled_ = Export<IsFilterEnabledFn>(module_, "FbwfIsFilterEnabled");
      isVolumeProtected_ = Export<IsVolumeProtectedFn>(module_, "FbwfIsVolumeProtected");
    } else if (IsNotFound(loadError) && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
               IsNotFound(GetLastError())) {
      // ERROR_MOD_NOT_FOUND also names a missing dependency of a library
      // that is there, so the file itself is looked for.
      state_ = State::Absent;
    }
  }
  ~WriteFilterLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  WriteFilterLibrary(const WriteFilterLibrary&) = delete;
  WriteFilterLibrary& operator=(const WriteFilterLibrary&) = delete;

  State Status() const { return state_; }
  DWORD Error() const { return error_; }  // why the library or one of its functions is unusable
  IsFilterEnabledFn IsFilterEnabled() const { return isFilterEnabled_; }        // null when missing
  IsVolumeProtectedFn IsVolumeProtected() const { return isVolumeProtected_; }  // null when missing

 private:
  static bool IsNotFound(DWORD error) {
    return error == ERROR_MOD_NOT_FOUND || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }

  HMODULE module_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
  State state_ = State::Unusable;
  IsFilterEnabledFn isFilterEnabled_ = nullptr;
  IsVolumeProtectedFn isVolumeProtected_ = nullptr;
};

}  // namespace

bool QueryWriteFilterEnabled(FilterSessions& enabled) {
  const WriteFilterLibrary lib;
  if (lib.Status() == WriteFilterLibrary::State::Absent) {
    // No write-filter library: no filter, in this session or the next.
    enabled = {};
    return true;
  }
  if (lib.IsFilterEnabled() == nullptr) return Failed("FbwfIsFilterEnabled", lib.Error(), "FBWFLIB.dll");
  ULONG current = 0, next = 0;
  if (const ULONG rc = lib.IsFilterEnabled()(&current, &next); rc != 0) return Failed("FbwfIsFilterEnabled", rc, "");
  enabled = {current != 0, next != 0};
  return true;
}

bool QueryVolumeProtected(std::string_view volume, FilterSessions& prot) {
  const WriteFilterLibrary lib;
  if (lib.Status() == WriteFilterLibrary::State::Absent) {
    prot = {};  // no filter, so no volume is protected
    return true;
  }
  if (lib.IsVolumeProtected() == nullptr) return Failed("FbwfIsVolumeProtected", lib.Error(), "FBWFLIB.dll");
  ULONG current = 0, next = 0;
  if (const ULONG rc = lib.IsVolumeProtected()(Wide(volume).c_str(), &current, &next); rc != 0)
    return Failed("FbwfIsVolumeProtected", rc, volume);
  prot = {current != 0, next != 0};
  return true;
}

// ---- disk and files ------------------------------------------------------------

bool QueryTotalFreeBytes(std::string_view root, std::uint64_t& freeBytes) {
  ULARGE_INTEGER available{}, total{}, totalFree{};
  if (!GetDiskFreeSpaceExW(Wide(root).c_str(), &available, &total, &totalFree))
    return Failed("GetDiskFreeSpaceExW", GetLastError(), root);
  freeBytes = totalFree.QuadPart;
  return true;
}

bool PathExists(std::string_view path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ListDirectory(std::string_view pattern, const std::function<bool(const DirEntry&)>& visit) {
  WIN32_FIND_DATAW found{};
  const HANDLE find = FindFirstFileW(Wide(pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    // A folder that exists but holds nothing that matches (a drive root has
    // no "." to match) is an empty listing, not a failure.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || Failed("FindFirstFileW", error, pattern);
  }
  do {
    const std::size_t length = std::wcslen(found.cFileName);
    const DirEntry entry{Narrow(found.cFileName, length), (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    // A name with a lone surrogate has no UTF-8 form: converted, it would
    // name another file.  It is passed over.
    if (Wide(entry.name) != std::wstring_view(found.cFileName, length)) continue;
    if (!visit(entry)) break;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return true;
}

bool QueryFolderIdentity(std::string_view path, FolderIdentity& identity) {
  // FILE_FLAG_BACKUP_SEMANTICS is what lets CreateFileW open a folder.  The
  // handle only reads attributes and shares everything, so no other program
  // working in the folder is disturbed.
  const HANDLE folder = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return Failed("CreateFileW", GetLastError(), path);
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL read = GetFileInformationByHandle(folder, &info);
  const DWORD error = GetLastError();
  CloseHandle(folder);
  if (!read) return Failed("GetFileInformationByHandle", error, path);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  identity = {info.dwVolumeSerialNumber,
              (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

std::string ReadIniString(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view fallback, std::size_t capacityUnits) {
  if (capacityUnits == 0) return {};
  std::vector<wchar_t> buffer(capacityUnits);
  const DWORD capacity = ToDword(capacityUnits);
  DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(fallback).c_str(),
                                     buffer.data(), capacity, Wide(file).c_str());
  if (n >= capacity) n = capacity - 1;
  // A value cut at the capacity can end in the first half of a surrogate
  // pair; the character is dropped whole rather than half-kept.
  if (n > 0 && n == capacity - 1 && buffer[n - 1] >= 0xD800 && buffer[n - 1] <= 0xDBFF) --n;
  return Narrow(buffer.data(), n);
}

bool RemoveFile(std::string_view path) {
  return DeleteFileW(Wide(path).c_str()) != 0 || Failed("DeleteFileW", GetLastError(), path);
}

std::FILE* OpenFile(std::string_view path, const char* mode) {
  return _wfopen(Wide(path).c_str(), Wide(mode).c_str());
}

// ---- processes -----------------------------------------------------------------

bool RunHiddenProcess(const std::string& commandLine, std::uint32_t& exitCode) {
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  startup.cb = sizeof startup;
  startup.dwFlags |= STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;

  // CreateProcessW may write into the command line, so it gets its own copy.
  std::wstring line = Wide(commandLine);
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');

  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                      nullptr, &startup, &process))
    return Failed("CreateProcessW", GetLastError(), commandLine);
  DWORD code = 0;
  const bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.hProcess, &code);
  const DWORD waitError = ended ? ERROR_SUCCESS : GetLastError();
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // An exit status that cannot be read is never taken for a success.
  if (!ended) return Failed("WaitForSingleObject/GetExitCodeProcess", waitError, commandLine);
  exitCode = code;
  return true;
}

// ---- text ------------------------------------------------------------------------

std::string AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty() || ansi.size() > INT_MAX) return {};
  const int size = static_cast<int>(ansi.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::vector<wchar_t> wide(static_cast<std::size_t>(units));
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, wide.data(), units);
  return Narrow(wide.data(), wide.size());
}

std::string Utf8ToAnsi(std::string_view utf8) {
  const std::wstring wide = Wide(utf8);
  if (wide.empty() || wide.size() > INT_MAX) return {};
  const int units = static_cast<int>(wide.size());
  // No best-fit mapping: a character the code page lacks becomes the default
  // character ('?'), never a look-alike such as a quote or a backslash.  A
  // UTF-8 system code page takes no flags.
  const UINT codePage = GetACP();
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int bytes = WideCharToMultiByte(codePage, flags, wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), units, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace kestrio::platform
