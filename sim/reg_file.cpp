#include "sim/reg_file.h"

#include <cstdio>
#include <sstream>

#include "platform/text.h"
#include "sim/ini_file.h"

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

}  // namespace

bool RegFile::Parse(std::string_view bytes, std::string* error) {
  keys_.clear();
  const std::string content = TextFromFileBytes(bytes);
  std::istringstream in(content);
  std::string line;
  int lineNo = 0;
  bool header = false;
  Key* current = nullptr;
  auto fail = [&](const std::string& what) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Continuation lines of hex data end in a backslash.
    while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
      std::string next;
      if (!std::getline(in, next)) break;
      ++lineNo;
      if (!next.empty() && next.back() == '\r') next.pop_back();
      line.pop_back();
      const auto start = next.find_first_not_of(" \t");
      line += start == std::string::npos ? "" : next.substr(start);
    }
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4")
        return fail("not a registry file (expected \"Windows Registry Editor Version 5.00\")");
      header = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') return fail("key line without ']'");
      if (line.size() > 1 && line[1] == '-') {
        current = nullptr;  // a deleted key: its values are passed over
        continue;
      }
      current = &Ensure(std::string_view(line).substr(1, line.size() - 2));
      continue;
    }
    if (current == nullptr) return fail("value outside any key");
    RegValue value;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      if (!ParseQuoted(line, value.name, pos)) return fail("unterminated value name");
    } else {
      return fail("expected a value line");
    }
    if (pos >= line.size() || line[pos] != '=') return fail("expected '=' after the value name");
    const std::string_view rhs = std::string_view(line).substr(pos + 1);
    if (rhs == "-") {
      Remove(current->path, value.name);
      continue;
    }
    if (!rhs.empty() && rhs[0] == '"') {
      std::string text;
      std::size_t used = 0;
      if (!ParseQuoted(rhs, text, used) || used != rhs.size()) return fail("bad string value");
      value.type = kRegSz;
      AppendUtf16(value.data, text);
    } else if (rhs.substr(0, 6) == "dword:") {
      unsigned long number = 0;
      const std::string digits(rhs.substr(6));
      char* end = nullptr;
      number = std::strtoul(digits.c_str(), &end, 16);
      if (digits.empty() || digits.size() > 8 || *end != '\0') return fail("bad dword value");
      value.type = kRegDword;
      for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<std::uint8_t>(number >> (8 * k)));
    } else if (rhs.substr(0, 4) == "hex:" || rhs.substr(0, 4) == "hex(") {
      std::size_t colon = rhs.find(':');
      if (rhs[3] == '(') {
        const auto close = rhs.find(')');
        if (close == std::string_view::npos || close + 1 != colon) return fail("bad hex type");
        const std::string type(rhs.substr(4, close - 4));
        char* end = nullptr;
        value.type = static_cast<std::uint32_t>(std::strtoul(type.c_str(), &end, 16));
        if (type.empty() || *end != '\0') return fail("bad hex type");
      } else {
        value.type = kRegBinary;
      }
      if (!ParseHexBytes(rhs.substr(colon + 1), value.data)) return fail("bad hex bytes");
    } else {
      return fail("unknown value format");
    }
    Set(current->path, std::move(value));
  }
  if (!header) return fail("empty registry file");
  return true;
}

std::string RegFile::Serialize() const {
  std::string out = "Windows Registry Editor Version 5.00\n";
  for (const auto& key : keys_) {
    out += "\n[" + key.path + "]\n";
    for (const auto& v : key.values) {
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
        char buf[16];
        if (v.type == kRegBinary) {
          line += "hex:";
        } else {
          std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
          line += buf;
        }
        for (std::size_t i = 0; i < v.data.size(); ++i) {
          std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
          line += buf;
          if (i + 1 < v.data.size()) {
            line += ',';
            if (line.size() > 76) {
              out += line + "\\\n";
              line = "  ";
            }
          }
        }
      }
      out += line + '\n';
    }
  }
  return out;
}

RegFile::Key& RegFile::Ensure(std::string_view key) {
  for (auto& k : keys_)
    if (text::EqualsNoCase(k.path, key)) return k;
  keys_.push_back({std::string(key), {}});
  return keys_.back();
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
      if (text::EqualsNoCase(v.name, name)) return &v;
  }
  return nullptr;
}

void RegFile::Set(std::string_view key, RegValue value) {
  Key& k = Ensure(key);
  for (auto& v : k.values) {
    if (text::EqualsNoCase(v.name, value.name)) {
      v = std::move(value);
      return;
    }
  }
  k.values.push_back(std::move(value));
}

bool RegFile::Remove(std::string_view key, std::string_view name) {
  for (auto& k : keys_) {
    if (!text::EqualsNoCase(k.path, key)) continue;
    for (auto it = k.values.begin(); it != k.values.end(); ++it) {
      if (text::EqualsNoCase(it->name, name)) {
        k.values.erase(it);
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
