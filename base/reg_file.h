// Registry keys in regedit's text format, so keys exported from a real
// machine with `reg export` or regedit can be dropped into a simulated one:
// "Windows Registry Editor Version 5.00" (UTF-16LE with its mark as regedit
// writes it, or UTF-8) and "REGEDIT4" (the ANSI code page, Windows-1252, where
// string data in hex form is 8-bit text).  Values keep their type and raw
// bytes, exactly what RegQueryValueExW would hand back: strings in UTF-16LE.
// A file read and written again keeps its form: encoding, line ends and
// comment lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrio::sim {

enum RegType : std::uint32_t {
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

struct RegValue {
  std::string name;                // "" for the key's default value ("@")
  std::uint32_t type = kRegSz;     // one of RegType, or any other number
  std::vector<std::uint8_t> data;  // raw bytes; strings are UTF-16LE with terminators
};

class RegFile {
 public:
  // Reads a whole file.  A bad line ends the reading with "line N: cause" in
  // `error`; with `skipped` it is passed over instead, listed there in that
  // form with its text, and kept as it stands for Serialize.  A "[-KEY]" line
  // deletes the key and its subkeys read so far, and is kept for Serialize
  // too, so that what was skipped after it stays outside any key.
  bool Parse(std::string_view bytes, std::string* error, std::vector<std::string>* skipped = nullptr);
  // The file's bytes in the form it was read in (a new file: version 5.00 in
  // UTF-8).  A REGEDIT4 file holding text outside Windows-1252 is written as
  // regedit writes version 5.00: UTF-16LE with its mark.
  std::string Serialize() const;
  // True once a key or value was set or removed since Parse.
  bool Changed() const { return changed_; }

  // Keys are full paths such as "HKEY_CURRENT_USER\Control Panel\Desktop";
  // keys and value names match regardless of case.
  bool HasKey(std::string_view key) const;
  const RegValue* Find(std::string_view key, std::string_view name) const;
  void Set(std::string_view key, RegValue value);
  bool Remove(std::string_view key, std::string_view name);

  void SetString(std::string_view key, std::string_view name, std::string_view utf8);
  void SetMultiString(std::string_view key, std::string_view name,
                      const std::vector<std::string>& strings);

 private:
  enum class Encoding { Utf8, Utf8Mark, Utf16, Ansi };
  struct Value {
    RegValue value;
    std::vector<std::string> before;  // comment and skipped lines above it
  };
  struct Key {
    std::string path;
    std::vector<Value> values;
    std::vector<std::string> before;
  };
  Key& Ensure(std::string_view key);
  // The text of a line that cannot be read: "" when it was taken.
  std::string ReadLine(std::string_view line, Key*& current, std::string& deleted,
                       std::vector<std::string>& before);
  // Deletes the key and its subkeys; returns their comment lines.
  std::vector<std::string> DeleteKey(std::string_view key);
  std::string SerializeText(bool ansi) const;

  std::vector<Key> keys_;
  std::vector<std::string> after_;  // comment lines after the last value
  Encoding encoding_ = Encoding::Utf8;
  bool crlf_ = false;
  bool changed_ = false;
};

// The strings of REG_SZ or REG_MULTI_SZ data, in UTF-8.
std::vector<std::string> RegStrings(const RegValue& value);

}  // namespace kestrio::sim
