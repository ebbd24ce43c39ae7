// Registry keys in regedit's text format ("Windows Registry Editor Version
// 5.00"), so a key exported from a real machine with `reg export` can be
// dropped into a simulated one.  Values keep their type and raw bytes, exactly
// what RegQueryValueExW would hand back.
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
  // Accepts UTF-8 or UTF-16LE text (reg export writes the latter).
  bool Parse(std::string_view bytes, std::string* error);
  std::string Serialize() const;

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
  struct Key {
    std::string path;
    std::vector<RegValue> values;
  };
  Key& Ensure(std::string_view key);
  std::vector<Key> keys_;
};

// The strings of REG_SZ or REG_MULTI_SZ data, in UTF-8.
std::vector<std::string> RegStrings(const RegValue& value);

}  // namespace kestrio::sim
