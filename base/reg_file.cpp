#include "base/reg_file.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>

#include "base/text.h"
#include "base/ini_file.h"

namespace kestrio::sim {
namespace {

void AppendUtf16(std::vector<std::uint8_t>& out, std::string_view utf8) {
  for (char16_t unit : text::Utf8ToUtf16(utf8)) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// Parses "a1,00,ff" into bytes; false on anything else.
bool ParseHexBytes(std::string_view text, std::vector<std::uint8_t>& out) {
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= text.size()) break;
    std::size_t end = text.find(',', i);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(i, end - i);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.empty() || item.size() > 2) return false;
    unsigned value = 0;
    for (char c : item) {
      value <<= 4;
      if (c >= '0' && c <= '9') value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') value |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
    i = end + 1;
  }
  return true;
}

// Reads a quoted string starting at text[0] == '"'; `used` gets its length.
bool ParseQuoted(std::string_view text, std::string& out, std::size_t& used) {
  out.clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else if (text[i] == '"') {
      used = i + 1;
      return true;
    } else {
      out += text[i];
    }
  }
  return false;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// Windows-1252, the ANSI code page of REGEDIT4 files: 0x80-0x9F hold
// typographic characters; the five unassigned bytes stand for themselves,
// as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

// The Windows-1252 byte of a UTF-16 unit; false when the code page lacks it.
bool ToCp1252(char16_t unit, unsigned char& byte) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
    byte = static_cast<unsigned char>(unit);
    return true;
  }
  for (unsigned k = 0; k < 32; ++k) {
    if (kCp1252High[k] == unit) {
      byte = static_cast<unsigned char>(0x80 + k);
      return true;
    }
  }
  return false;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::u16string wide;
  for (char c : bytes) wide += FromCp1252(static_cast<unsigned char>(c));
  return text::Utf16ToUtf8(wide);
}

bool Utf8ToCp1252(std::string_view utf8, std::string& out) {
  out.clear();
  for (char16_t unit : text::Utf8ToUtf16(utf8)) {
    unsigned char byte = 0;
    if (!ToCp1252(unit, byte)) return false;
    out += static_cast<char>(byte);
  }
  return true;
}

// String data in hex form: a REGEDIT4 file holds it as 8-bit text.
bool IsStringType(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

// The cause for text left after a value or a key's ']'.
std::string TrailingText(std::string_view rest, const char* after) {
  rest = TrimLeft(rest);
  if (!rest.empty() && rest.front() == ';')
    return std::string("a comment after ") + after + " (a comment needs a line of its own)";
  return std::string("text after ") + after;
}

// A "[-KEY]" line as the reader takes it (not a skipped line that looks like one).
bool IsKeyDeletion(std::string_view line) {
  return line.size() >= 3 && line[0] == '[' && line[1] == '-' && line.find(']') == line.size() - 1;
}

}  // namespace

bool RegFile::Parse(std::string_view bytes, std::string* error, std::vector<std::string>* skipped) {
  keys_.clear();
  after_.clear();
  changed_ = false;
  std::string content;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    encoding_ = Encoding::Utf16;
    content = TextFromFileBytes(bytes);
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    encoding_ = Encoding::Utf8Mark;
    content = bytes.substr(3);
  } else if (bytes.substr(0, 8) == "REGEDIT4") {
    encoding_ = Encoding::Ansi;
    content = Cp1252ToUtf8(bytes);
  } else {
    encoding_ = Encoding::Utf8;
    content = bytes;
  }
  std::vector<std::string_view> lines;
  for (std::size_t from = 0; from <= content.size();) {
    std::size_t end = content.find('\n', from);
    if (end == std::string::npos) end = content.size();
    lines.push_back(std::string_view(content).substr(from, end - from));
    from = end + 1;
  }
  crlf_ = !lines.empty() && !lines[0].empty() && lines[0].back() == '\r';

  bool header = false;
  Key* current = nullptr;
  std::string deleted;  // the key of the last "[-KEY]" line, while no other key follows
  std::vector<std::string> before;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t first = i;
    std::string line(TrimRight(lines[i]));
    std::string cause;
    bool intoBlank = false;  // a value that goes on with '\' into a blank line
    // Hex data goes on over lines ending in a backslash.
    const std::string lower = Lower(line);
    if (!line.empty() && line.back() == '\\' && line[0] != '[' && line[0] != ';' &&
        lower.find("=hex") != std::string::npos) {
      while (cause.empty() && !line.empty() && line.back() == '\\') {
        line.pop_back();
        if (i + 1 >= lines.size()) {
          cause = "the value goes on with '\\' past the end of the file";
        } else if (const std::string_view next = TrimLeft(TrimRight(lines[i + 1])); next.empty()) {
          cause = "the value goes on with '\\' into a blank line (line " + std::to_string(i + 2) + ")";
          intoBlank = i + 2 < lines.size();  // not the end of the file's last line
        } else {
          line += next;
          ++i;
        }
      }
    }
    if (cause.empty()) {
      if (line.empty()) continue;
      if (line[0] == ';') {
        before.emplace_back(line);
        continue;
      }
      if (!header) {
        if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4") {
          if (error)
            *error = "line " + std::to_string(first + 1) +
                     ": not a registry file (expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\")";
          return false;
        }
        header = true;
        continue;
      }
      cause = ReadLine(line, current, deleted, before);
      if (cause.empty()) continue;
    }
    const std::string where = "line " + std::to_string(first + 1) + ": " + cause;
    if (skipped == nullptr) {
      if (error) *error = where;
      return false;
    }
    skipped->push_back(where + ": " + std::string(TrimRight(lines[first])));
    // The skipped lines stay in the file as they were.
    for (std::size_t k = first; k <= i && k < lines.size(); ++k) before.emplace_back(TrimRight(lines[k]));
    // So does the blank line that ends such a value: without it, the line
    // written after the skipped one would be taken into it on the next read.
    if (intoBlank) before.emplace_back();
  }
  if (!header) {
    if (error) *error = "line 1: empty registry file";
    return false;
  }
  after_ = std::move(before);
  changed_ = false;
  return true;
}

std::string RegFile::ReadLine(std::string_view line, Key*& current, std::string& deleted,
                              std::vector<std::string>& before) {
  if (line[0] == '[') {
    // The values under a key line that cannot be read belong to no key.
    current = nullptr;
    deleted.clear();
    const auto close = line.find(']');
    if (close == std::string_view::npos) return "key line without ']'";
    if (close + 1 != line.size()) return TrailingText(line.substr(close + 1), "the key's ']'");
    if (line.size() > 1 && line[1] == '-') {
      deleted = std::string(line.substr(2, line.size() - 3));
      // The line itself goes on to the next key, after the deletion lines
      // above it (in their order: each deletes what it deleted here), and
      // after it the comments and skipped lines of the deleted keys and
      // those above it: written back below the line, the skipped ones stay
      // outside any key when the file is read again, rather than join the
      // key above.
      std::vector<std::string> kept;
      std::copy_if(before.begin(), before.end(), std::back_inserter(kept), IsKeyDeletion);
      kept.emplace_back(line);
      const std::vector<std::string> comments = DeleteKey(deleted);
      kept.insert(kept.end(), comments.begin(), comments.end());
      std::copy_if(before.begin(), before.end(), std::back_inserter(kept),
                   [](const std::string& l) { return !IsKeyDeletion(l); });
      before = std::move(kept);
      current = nullptr;
      return {};
    }
    const std::string_view path = line.substr(1, line.size() - 2);
    if (path.empty()) return "empty key name";
    current = &Ensure(path);
    current->before.insert(current->before.end(), before.begin(), before.end());
    before.clear();
    deleted.clear();
    return {};
  }
  if (current == nullptr) {
    if (!deleted.empty()) return "a value after the deleted key [-" + deleted + "] (a deleted key holds no values)";
    return "value outside any key";
  }
  RegValue value;
  std::size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] == '"') {
    if (!ParseQuoted(line, value.name, pos)) return "unterminated value name";
  } else {
    return "expected a value line (\"Name\"=... or @=...)";
  }
  if (pos >= line.size() || line[pos] != '=') return "expected '=' after the value name";
  const std::string_view rhs = line.substr(pos + 1);
  if (rhs == "-") {
    Remove(current->path, value.name);
    return {};
  }
  if (!rhs.empty() && rhs[0] == '"') {
    std::string textValue;
    std::size_t used = 0;
    if (!ParseQuoted(rhs, textValue, used)) return "bad string value (no closing '\"')";
    if (used != rhs.size()) return TrailingText(rhs.substr(used), "the value");
    value.type = kRegSz;
    AppendUtf16(value.data, textValue);
  } else {
    // Data without quotes holds no ';': one there starts a comment.
    if (const auto semi = rhs.find(';'); semi != std::string_view::npos)
      return TrailingText(rhs.substr(semi), "the value");
    const std::string lower = Lower(rhs);
    if (lower.substr(0, 6) == "dword:") {
      const std::string digits(TrimLeft(rhs.substr(6)));
      char* end = nullptr;
      const unsigned long number = std::strtoul(digits.c_str(), &end, 16);
      if (digits.empty() || digits.size() > 8 || *end != '\0') return "bad dword value";
      value.type = kRegDword;
      for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<std::uint8_t>(number >> (8 * k)));
    } else if (lower.substr(0, 4) == "hex:" || lower.substr(0, 4) == "hex(") {
      const std::size_t colon = rhs.find(':');
      if (rhs[3] == '(') {
        const auto close = rhs.find(')');
        if (close == std::string_view::npos || close + 1 != colon) return "bad hex type";
        const std::string type(rhs.substr(4, close - 4));
        char* end = nullptr;
        value.type = static_cast<std::uint32_t>(std::strtoul(type.c_str(), &end, 16));
        if (type.empty() || *end != '\0') return "bad hex type";
      } else {
        value.type = kRegBinary;
      }
      std::vector<std::uint8_t> bytes;
      if (!ParseHexBytes(rhs.substr(colon + 1), bytes)) return "bad hex bytes";
      if (encoding_ == Encoding::Ansi && IsStringType(value.type)) {
        // 8-bit text: stored as the UTF-16 text it stands for.
        for (std::uint8_t b : bytes) {
          const char16_t unit = FromCp1252(b);
          value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
          value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
      } else {
        value.data = std::move(bytes);
      }
    } else {
      return "unknown value format";
    }
  }
  const std::string name = value.name;
  Set(current->path, std::move(value));
  for (auto& v : current->values) {
    if (text::EqualsNoCase(v.value.name, name)) {
      v.before.insert(v.before.end(), before.begin(), before.end());
      break;
    }
  }
  before.clear();
  return {};
}

std::string RegFile::Serialize() const {
  std::string ansiText;
  if (encoding_ == Encoding::Ansi && Utf8ToCp1252(SerializeText(true), ansiText)) return ansiText;
  const std::string textForm = SerializeText(false);
  if (encoding_ == Encoding::Utf16 || encoding_ == Encoding::Ansi) {
    std::string out = "\xFF\xFE";
    for (char16_t unit : text::Utf8ToUtf16(textForm)) {
      out += static_cast<char>(unit & 0xFF);
      out += static_cast<char>(unit >> 8);
    }
    return out;
  }
  return encoding_ == Encoding::Utf8Mark ? "\xEF\xBB\xBF" + textForm : textForm;
}

// The file as UTF-8 text; `ansi`: in REGEDIT4 form, with string data in hex
// form as 8-bit text.  A unit Windows-1252 lacks gives U+FFFD alone, which
// the caller's conversion refuses.
std::string RegFile::SerializeText(bool ansi) const {
  const char* eol = crlf_ || encoding_ == Encoding::Utf16 || encoding_ == Encoding::Ansi ? "\r\n" : "\n";
  std::string out = ansi ? "REGEDIT4" : "Windows Registry Editor Version 5.00";
  out += eol;
  const auto lines = [&](const std::vector<std::string>& comments) {
    for (const auto& c : comments) out += c + eol;
  };
  for (const auto& key : keys_) {
    out += eol;
    lines(key.before);
    out += "[" + key.path + "]" + eol;
    for (const auto& entry : key.values) {
      lines(entry.before);
      const RegValue& v = entry.value;
      std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
      const auto strings = RegStrings(v);
      if (v.type == kRegSz && text::Utf8ToUtf16(strings.empty() ? "" : strings[0]).size() * 2 + 2 ==
                                  v.data.size()) {
        line += Quote(strings.empty() ? "" : strings[0]);
      } else if (v.type == kRegDword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<unsigned>(v.data[3]) << 24)));
        line += buf;
      } else {
        std::vector<std::uint8_t> data = v.data;
        if (ansi && IsStringType(v.type)) {
          data.clear();
          for (std::size_t k = 0; k + 1 < v.data.size(); k += 2) {
            unsigned char byte = 0;
            if (!ToCp1252(static_cast<char16_t>(v.data[k] | (v.data[k + 1] << 8)), byte)) return "\xEF\xBF\xBD";
            data.push_back(byte);
          }
        }
        char buf[16];
        if (v.type == kRegBinary) {
          line += "hex:";
        } else {
          std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
          line += buf;
        }
        for (std::size_t i = 0; i < data.size(); ++i) {
          std::snprintf(buf, sizeof buf, "%02x", data[i]);
          line += buf;
          if (i + 1 < data.size()) {
            line += ',';
            if (line.size() > 76) {
              out += line + "\\" + eol;
              line = "  ";
            }
          }
        }
      }
      out += line + eol;
    }
  }
  if (!after_.empty()) {
    out += eol;
    lines(after_);
  }
  return out;
}

RegFile::Key& RegFile::Ensure(std::string_view key) {
  for (auto& k : keys_)
    if (text::EqualsNoCase(k.path, key)) return k;
  keys_.push_back({std::string(key), {}, {}});
  return keys_.back();
}

std::vector<std::string> RegFile::DeleteKey(std::string_view key) {
  std::vector<std::string> comments;
  std::erase_if(keys_, [&](const Key& k) {
    const bool gone = text::EqualsNoCase(k.path, key) ||
                      (k.path.size() > key.size() && k.path[key.size()] == '\\' &&
                       text::EqualsNoCase(std::string_view(k.path).substr(0, key.size()), key));
    if (gone) {
      // A "[-KEY]" line above a deleted key has done its work where it
      // stood; carried below the new deletion it would delete again, on
      // the next reading, a key made between the two.  The new deletion
      // line keeps the skipped lines outside any key by itself.
      for (const auto& line : k.before)
        if (!IsKeyDeletion(line)) comments.push_back(line);
      for (const auto& v : k.values) comments.insert(comments.end(), v.before.begin(), v.before.end());
    }
    return gone;
  });
  changed_ = true;
  return comments;
}

bool RegFile::HasKey(std::string_view key) const {
  for (const auto& k : keys_)
    if (text::EqualsNoCase(k.path, key)) return true;
  return false;
}

const RegValue* RegFile::Find(std::string_view key, std::string_view name) const {
  for (const auto& k : keys_) {
    if (!text::EqualsNoCase(k.path, key)) continue;
    for (const auto& v : k.values)
      if (text::EqualsNoCase(v.value.name, name)) return &v.value;
  }
  return nullptr;
}

void RegFile::Set(std::string_view key, RegValue value) {
  changed_ = true;
  Key& k = Ensure(key);
  for (auto& v : k.values) {
    if (text::EqualsNoCase(v.value.name, value.name)) {
      v.value = std::move(value);
      return;
    }
  }
  k.values.push_back({std::move(value), {}});
}

bool RegFile::Remove(std::string_view key, std::string_view name) {
  for (auto& k : keys_) {
    if (!text::EqualsNoCase(k.path, key)) continue;
    for (auto it = k.values.begin(); it != k.values.end(); ++it) {
      if (text::EqualsNoCase(it->value.name, name)) {
        k.values.erase(it);
        changed_ = true;
        return true;
      }
    }
  }
  return false;
}

void RegFile::SetString(std::string_view key, std::string_view name, std::string_view utf8) {
  RegValue v{std::string(name), kRegSz, {}};
  AppendUtf16(v.data, utf8);
  Set(key, std::move(v));
}

void RegFile::SetMultiString(std::string_view key, std::string_view name,
                             const std::vector<std::string>& strings) {
  RegValue v{std::string(name), kRegMultiSz, {}};
  for (const auto& s : strings) AppendUtf16(v.data, s);
  v.data.push_back(0);
  v.data.push_back(0);
  Set(key, std::move(v));
}

std::vector<std::string> RegStrings(const RegValue& value) {
  std::vector<std::string> out;
  std::size_t unit = 0;
  const std::size_t units = value.data.size() / 2;
  while (unit < units) {
    const std::u16string s = text::Utf16FromBytes(value.data.data(), value.data.size(), unit);
    if (s.empty() && !out.empty()) break;  // the closing empty string of a multi-string
    out.push_back(text::Utf16ToUtf8(s));
    unit += s.size() + 1;
    if (value.type != kRegMultiSz) break;
  }
  return out;
}

}  // namespace kestrio::sim
