// UTF-8 to and from the UTF-16 of Win32 calls, where wchar_t is 16 bits.
// Every Win32 file converts with these; inside the program every string is
// UTF-8 (text.h), and UTF-16 lives only as long as the call it is made for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text.h"

namespace kestrio::text {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "for Win32 code only, where wchar_t holds UTF-16");

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string units = Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

inline std::string Narrow(std::wstring_view units) {
  return Utf16ToUtf8(std::u16string(units.begin(), units.end()));
}

inline std::string Narrow(const wchar_t* units, std::size_t count) { return Narrow(std::wstring_view(units, count)); }

}  // namespace kestrio::text
