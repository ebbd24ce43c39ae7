// UTF-8 / UTF-16 helpers shared by both platforms and the engine.
//
// The program keeps UTF-8 everywhere; the fixed field widths of the engine
// are counted in UTF-16 units, as the Windows program stores them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::text {

// Number of UTF-16 units the UTF-8 text takes (a character outside the BMP
// takes two).  Malformed bytes count one unit each.
std::size_t Utf16Length(std::string_view utf8);

// The longest prefix of `utf8` that fits in `units` UTF-16 units, never
// splitting a character.
std::string_view CutToUtf16Units(std::string_view utf8, std::size_t units);

// Conversions; malformed input becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// UTF-16 text read from little-endian bytes, up to the first NUL unit or the
// end of the data.
std::u16string Utf16FromBytes(const unsigned char* data, std::size_t size,
                              std::size_t firstUnit = 0);

// Bytes of unknown encoding as UTF-8: what is well-formed UTF-8 stays, any
// other byte is taken as Windows-1252 (the ANSI code page of a Western
// Windows machine, in which a CNC's texts reach the wire).
std::string Utf8FromUnknown(std::string_view bytes);

// A text from the network fit for a terminal: as Utf8FromUnknown, with every
// control character (C0, DEL, C1) shown as '?'.
std::string Printable(std::string_view bytes);

// ASCII case-insensitive comparison, as Windows compares INI and registry names.
bool EqualsNoCase(std::string_view a, std::string_view b);

// The items with `separator` between them ("a, b, c").
std::string Join(const std::vector<std::string>& items, std::string_view separator);

}  // namespace kestrio::text
