// The one boundary between Kestrio and an operating system.
//
// Everything the engine needs from the machine goes through these functions.
// There are two implementations, chosen at link time: platform_win32.cpp (the real
// Windows calls) and platform_posix.cpp (the simulated machine, a directory that
// stands in for C:, the registry and the system tools).
//
// Strings are UTF-8 on both sides of this header.  Windows paths keep their
// Windows form ("C:\Windows\Temp\packages.log"); the posix side maps them into
// the simulated machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::platform {

// ---- version -------------------------------------------------------------

struct OsVersion {
  std::uint32_t major = 0;  // 6 on Windows 7
  std::uint32_t minor = 0;  // 1 on Windows 7
  std::uint32_t build = 0;  // 7601 with service pack 1
};

// The basic version record of the running system; false when the query fails.
bool QueryOsVersion(OsVersion& version);

// ---- registry ------------------------------------------------------------

enum class RegistryHive { LocalMachine, CurrentUser };

enum class RegistryRead {
  Ok,            // data holds the value's bytes
  KeyNotOpened,  // the key is absent or cannot be opened with full access
  ValueNotRead,  // the value is absent, or larger than the capacity
};

// Opens `key` with full access and reads `value` into at most `capacityBytes`
// bytes, as RegQueryValueExW does: string data comes back as UTF-16LE bytes
// with their terminators, and the value's type is not looked at.
RegistryRead ReadRegistryValue(RegistryHive hive, std::string_view key,
                               std::string_view value, std::size_t capacityBytes,
                               std::vector<std::uint8_t>& data);

// ---- File-Based Write Filter ---------------------------------------------

struct FilterSessions {
  bool current = false;  // state in the running session
  bool next = false;     // state after the next restart
};

// FbwfIsFilterEnabled of FBWFLIB.dll in the system folder; false when the call
// fails, and when the library is there but cannot be loaded or lacks the
// function.  A machine without the library (an image built without the write
// filter) has no filter: the call succeeds with both states off.
bool QueryWriteFilterEnabled(FilterSessions& enabled);

// FbwfIsVolumeProtected for a volume such as "C:"; false when the call fails,
// with the same rules for the library.
bool QueryVolumeProtected(std::string_view volume, FilterSessions& prot);

// ---- disk and files ------------------------------------------------------

// Total free bytes on the volume of `root` (not the bytes available to the
// caller); false when the query fails.
bool QueryTotalFreeBytes(std::string_view root, std::uint64_t& freeBytes);

// True when something exists under this name; a relative name is looked for
// in the current working directory only.
bool PathExists(std::string_view path);

struct DirEntry {
  std::string name;        // entry name, without the directory
  bool directory = false;  // true for folders, including "." and ".."
};

// Lists the entries that match a pattern such as "D:\packs\*.*", in the order
// the file system yields them, "." and ".." included.  An entry whose name
// has no UTF-8 form (a lone surrogate on Windows) is passed over.  The
// visitor returns false to stop.  Returns false when the listing cannot be
// opened.
bool ListDirectory(std::string_view pattern,
                   const std::function<bool(const DirEntry&)>& visit);

// What a folder is known by, however a path reaches it (with "." or "..",
// through a junction or a symbolic link): the volume's serial number and the
// folder's file index on Windows, the device and inode on the simulated
// machine.  Two paths name one folder when their identities are equal.
struct FolderIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend auto operator<=>(const FolderIdentity&, const FolderIdentity&) = default;
};

// The identity of the folder `path` names, links followed as a listing
// follows them.  False when the path names no folder or the folder cannot be
// opened to read its identity.
bool QueryFolderIdentity(std::string_view path, FolderIdentity& identity);

// GetPrivateProfileStringW: section and key match regardless of case, blanks
// around the value are dropped, and the result holds at most
// `capacityUnits - 1` UTF-16 units.  `fallback` when the entry is missing.
std::string ReadIniString(std::string_view file, std::string_view section,
                          std::string_view key, std::string_view fallback,
                          std::size_t capacityUnits);

// Deletes a file; false when it could not be deleted.
bool RemoveFile(std::string_view path);

// fopen for a Windows path; nullptr when it cannot be opened.
std::FILE* OpenFile(std::string_view path, const char* mode);

// ---- processes -----------------------------------------------------------

// Runs one command line as a hidden process and waits for it to end.  Returns
// true with `exitCode` set once the process has ended, false (with `exitCode`
// untouched) when it could not be started or its end could not be waited
// for.  The command line is passed to the system as it stands: nothing is
// quoted or escaped here.
bool RunHiddenProcess(const std::string& commandLine, std::uint32_t& exitCode);

// ---- text ----------------------------------------------------------------

// The system's 8-bit ANSI code page, used where the package tool's listing
// and the DNC wire carry text.  Characters the code page lacks become '?'.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace kestrio::platform
