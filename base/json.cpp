#include "base/json.h"

#include <cstdlib>

#include "base/text.h"

namespace kestrio::json {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Parsed Run() {
    Parsed out;
    if (ReadValue(out.value, 0)) {
      SkipBlanks();
      if (at_ != text_.size()) Fail("text after the value");
    }
    out.error = error_;
    if (!out.Ok()) out.value = Value{};
    return out;
  }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = "offset " + std::to_string(at_) + ": " + what;
    return false;
  }
  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Fail("unknown word");
    at_ += word.size();
    return true;
  }

  bool ReadValue(Value& v, int depth) {
    if (depth > kMaxDepth) return Fail("nested deeper than " + std::to_string(kMaxDepth));
    SkipBlanks();
    if (at_ >= text_.size()) return Fail("a value is missing");
    switch (text_[at_]) {
      case '{': return ReadObject(v, depth);
      case '[': return ReadArray(v, depth);
      case '"': v.kind = Value::String; return ReadString(v.text);
      case 't': v.kind = Value::Bool; v.boolean = true; return Word("true");
      case 'f': v.kind = Value::Bool; return Word("false");
      case 'n': v.kind = Value::Null; return Word("null");
      default: return ReadNumber(v);
    }
  }

  bool ReadObject(Value& v, int depth) {
    v.kind = Value::Object;
    ++at_;
    if (Take('}')) return true;
    do {
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != '"') return Fail("expected a member name");
      v.names.emplace_back();
      if (!ReadString(v.names.back())) return false;
      if (!Take(':')) return Fail("expected ':'");
      v.items.emplace_back();
      if (!ReadValue(v.items.back(), depth + 1)) return false;
    } while (Take(','));
    return Take('}') || Fail("expected ',' or '}'");
  }

  bool ReadArray(Value& v, int depth) {
    v.kind = Value::Array;
    ++at_;
    if (Take(']')) return true;
    do {
      v.items.emplace_back();
      if (!ReadValue(v.items.back(), depth + 1)) return false;
    } while (Take(','));
    return Take(']') || Fail("expected ',' or ']'");
  }

  bool ReadNumber(Value& v) {
    const std::size_t start = at_;
    const auto digits = [&] {
      const std::size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0') ++at_;
    else if (!digits()) return Fail("unexpected character");
    if (at_ < text_.size() && text_[at_] == '.' && (++at_, !digits())) return Fail("a digit must follow '.'");
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digits()) return Fail("a digit must follow the exponent");
    }
    v.kind = Value::Number;
    v.number = std::strtod(std::string(text_.substr(start, at_ - start)).c_str(), nullptr);
    return true;
  }

  bool Hex4(unsigned& unit) {
    if (at_ + 4 > text_.size()) return Fail("a \\u escape needs four hex digits");
    unit = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[at_++];
      unit <<= 4;
      if (c >= '0' && c <= '9') unit |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') unit |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') unit |= static_cast<unsigned>(c - 'A' + 10);
      else return Fail("a \\u escape needs four hex digits");
    }
    return true;
  }

  bool ReadString(std::string& out) {
    ++at_;  // the opening quote
    for (;;) {
      if (at_ >= text_.size()) return Fail("a string is not closed");
      if (static_cast<unsigned char>(text_[at_]) < 0x20) return Fail("a control character in a string");
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return Fail("a string is not closed");
      const char e = text_[at_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned unit = 0;
          if (!Hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("a lone low surrogate");
          std::u16string units(1, static_cast<char16_t>(unit));
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (text_.substr(at_, 2) != "\\u") return Fail("a high surrogate without its low one");
            at_ += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("a high surrogate without its low one");
            units += static_cast<char16_t>(low);
          }
          out += text::Utf16ToUtf8(units);
          break;
        }
        default: return Fail("an unknown escape");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace

const Value* Value::Find(std::string_view name) const {
  if (kind != Object) return nullptr;
  for (std::size_t k = 0; k < names.size(); ++k)
    if (names[k] == name) return &items[k];
  return nullptr;
}

std::string Value::TextOf(std::string_view name, const std::string& otherwise) const {
  const Value* v = Find(name);
  return v && v->kind == String ? v->text : otherwise;
}

Parsed Parse(std::string_view text) {
  // Notepad on Windows 7 starts a file it saves as UTF-8 with a byte order mark.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Reader(text).Run();
}

}  // namespace kestrio::json
