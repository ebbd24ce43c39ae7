#include "base/ini_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/text.h"

namespace kestrio::sim {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool Quoted(std::string_view value) {
  return value.size() >= 2 &&
         ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\''));
}

// A value the reader would change (blanks at either end, or quotes around it
// that it would take off) is written between double quotes, which the
// reader takes off again.
std::string Written(const std::string& value) {
  return Trim(value) != value || Quoted(value) ? '"' + value + '"' : value;
}

}  // namespace

std::string TextFromFileBytes(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                    (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text::Utf16ToUtf8(wide);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return std::string(bytes);
}

bool IniFile::Parse(std::string_view bytes, bool strict, std::string* error) {
  sections_.clear();
  const std::string content = TextFromFileBytes(bytes);
  std::istringstream in(content);
  std::string raw;
  int lineNo = 0;
  Section* current = nullptr;
  auto fail = [&](const char* what) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, raw)) {
    ++lineNo;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const auto close = line.find(']');
      if (close == std::string_view::npos) {
        if (strict) return fail("section header without ']'");
        continue;
      }
      const std::string name(Trim(line.substr(1, close - 1)));
      current = Find(name);
      if (current == nullptr) {
        sections_.push_back({name, {}});
        current = &sections_.back();
      }
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || current == nullptr) {
      if (strict) return fail(eq == std::string_view::npos ? "expected key=value" : "key outside any section");
      continue;
    }
    std::string_view value = Trim(line.substr(eq + 1));
    if (Quoted(value)) value = value.substr(1, value.size() - 2);
    current->entries.emplace_back(std::string(Trim(line.substr(0, eq))), std::string(value));
  }
  return true;
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const auto& section : sections_) {
    if (!out.empty()) out += '\n';
    out += '[' + section.name + "]\n";
    for (const auto& [key, value] : section.entries) out += key + '=' + Written(value) + '\n';
  }
  return out;
}

IniFile::Section* IniFile::Find(std::string_view section) {
  for (auto& s : sections_)
    if (text::EqualsNoCase(s.name, section)) return &s;
  return nullptr;
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  for (const auto& s : sections_)
    if (text::EqualsNoCase(s.name, section)) return &s;
  return nullptr;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  if (const Section* s = Find(section))
    for (const auto& [k, v] : s->entries)
      if (text::EqualsNoCase(k, key)) return v;
  return std::nullopt;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  Section* s = Find(section);
  if (s == nullptr) {
    sections_.push_back({std::string(section), {}});
    s = &sections_.back();
  }
  for (auto& [k, v] : s->entries) {
    if (text::EqualsNoCase(k, key)) {
      v = value;
      return;
    }
  }
  s->entries.emplace_back(std::string(key), std::string(value));
}

bool IniFile::Remove(std::string_view section, std::string_view key) {
  Section* s = Find(section);
  if (s == nullptr) return false;
  for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
    if (text::EqualsNoCase(it->first, key)) {
      s->entries.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<IniFile::Entry> IniFile::Entries(std::string_view section) const {
  const Section* s = Find(section);
  return s ? s->entries : std::vector<Entry>{};
}

void IniFile::ClearSection(std::string_view section) {
  if (Section* s = Find(section)) s->entries.clear();
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  bytes = buffer.str();
  return !in.bad();
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  const auto target = PathFromUtf8(path);
  auto temp = target;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      if (error) *error = "cannot write " + Utf8FromPath(temp);
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    if (error) *error = "cannot replace " + path + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace kestrio::sim
