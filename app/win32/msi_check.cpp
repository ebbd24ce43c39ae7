// kestrio-msi.dll: the Windows Installer package's own custom action, kept
// in the package's Binary table (never installed).  CheckDncRemote runs in
// the execution sequence before InstallValidate, so before the older version
// is taken off and before any file, shortcut or rule changes: a DNCREMOTE
// that netsh would refuse stops the install there, with status 1603 and a
// line in the installer's log (msiexec /l*v) naming the property and its
// value.  A value netsh takes once the blanks around its items are gone is
// put back without them.  The parsing is base/remote_addresses.cpp's.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "base/remote_addresses.h"
#include "base/wide.h"

namespace {

constexpr wchar_t kProperty[] = L"DNCREMOTE";

std::wstring GetProperty(MSIHANDLE install, const wchar_t* name) {
  wchar_t empty[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
  std::wstring value(++size, L'\0');  // room for the terminating NUL
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
  value.resize(size);
  return value;
}

// One message to the installer: INSTALLMESSAGE_INFO goes to the log only,
// INSTALLMESSAGE_ERROR also to a user interface, if there is one.  The text
// is the record's field 1, so brackets in a value are not read as
// properties.
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::string& line) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) return;
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, kestrio::text::Wide(line).c_str());
  MsiProcessMessage(install, kind, record);
  MsiCloseHandle(record);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckDncRemote(MSIHANDLE install) {
  const std::string value = kestrio::text::Narrow(GetProperty(install, kProperty));
  const kestrio::text::RemoteAddresses result = kestrio::text::CheckRemoteAddresses(value);
  const std::string line = "Kestrio Setup: " + kestrio::text::DescribeRemoteCheck("DNCREMOTE", value, result);
  Tell(install, INSTALLMESSAGE_INFO, line);
  if (!result.accepted) {
    Tell(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), line);
    return ERROR_INSTALL_FAILURE;
  }
  if (result.value != value &&
      MsiSetPropertyW(install, kProperty, kestrio::text::Wide(result.value).c_str()) != ERROR_SUCCESS) {
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
