// A reader of JSON text (RFC 8259) into a tree, for the files this project
// writes itself and reads back (the fleet's report).  Numbers are kept as
// doubles; strings as UTF-8, \u escapes and surrogate pairs decoded.  Depth
// is bounded so that hostile input cannot exhaust the stack.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrio::json {

struct Value {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;          // String
  std::vector<Value> items;  // Array; Object: the members' values, in the file's order
  std::vector<std::string> names;  // Object: the members' names, beside their values

  // The member of an object with that name (the first), or nullptr.
  const Value* Find(std::string_view name) const;
  // The member's text when it is a string, else `otherwise`.
  std::string TextOf(std::string_view name, const std::string& otherwise = {}) const;
};

struct Parsed {
  Value value;
  std::string error;  // "offset 12: expected ':'", empty when the text was read whole
  bool Ok() const { return error.empty(); }
};

Parsed Parse(std::string_view text);

}  // namespace kestrio::json
