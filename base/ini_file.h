// INI files as Windows reads them: sections and keys match regardless of
// case, blanks around names and values are dropped, the first match wins.
// Used for machine.ini and, on the simulated machine, for every INI read.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio::sim {

class IniFile {
 public:
  using Entry = std::pair<std::string, std::string>;

  // Strict parsing refuses lines that are neither blank, a comment (";" or
  // "#"), a "[section]" nor "key=value", and keys before the first section;
  // lenient parsing passes over them, as GetPrivateProfileString does.
  // A UTF-8 or UTF-16LE byte-order mark is understood.
  bool Parse(std::string_view bytes, bool strict, std::string* error);
  std::string Serialize() const;

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  void Set(std::string_view section, std::string_view key, std::string_view value);
  bool Remove(std::string_view section, std::string_view key);
  std::vector<Entry> Entries(std::string_view section) const;
  void ClearSection(std::string_view section);

 private:
  struct Section {
    std::string name;            // as first written
    std::vector<Entry> entries;  // in file order
  };
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  std::vector<Section> sections_;
};

// A file-system path from UTF-8 text and back.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// Reads a whole file into `bytes`; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Writes a file through a temporary beside it and a rename, so a reader sees
// the old or the new content, never half of it.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error);

// Bytes of a text file as UTF-8: a UTF-16LE file (with its mark) is converted,
// a UTF-8 mark is dropped.
std::string TextFromFileBytes(std::string_view bytes);

}  // namespace kestrio::sim
