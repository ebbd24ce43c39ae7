// The JSON reader on the texts it must take and the ones it must refuse
// with the place of the fault.
#include <gtest/gtest.h>

#include "base/json.h"

namespace kestrio::json {
namespace {

// A value written back in one canonical line, to compare whole trees.
std::string Show(const Value& v) {
  switch (v.kind) {
    case Value::Null: return "null";
    case Value::Bool: return v.boolean ? "true" : "false";
    case Value::Number: {
      char text[32];
      std::snprintf(text, sizeof text, "%g", v.number);
      return text;
    }
    case Value::String: return "'" + v.text + "'";
    case Value::Array: {
      std::string out = "[";
      for (const auto& item : v.items) out += (out.size() > 1 ? "," : "") + Show(item);
      return out + "]";
    }
    case Value::Object: {
      std::string out = "{";
      for (std::size_t k = 0; k < v.names.size(); ++k) out += (out.size() > 1 ? "," : "") + v.names[k] + ":" + Show(v.items[k]);
      return out + "}";
    }
  }
  return "?";
}

TEST(JsonReader, ReadsValuesAndNamesWhereATextGoesWrong) {
  const struct {
    const char* text;
    const char* tree;   // when read
    const char* error;  // when refused
  } cases[] = {
      {" {\"a\": [1, -2.5e1, true, false, null], \"b\": {}} ", "{a:[1,-25,true,false,null],b:{}}", ""},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "'\"\\/\b\f\n\r\t'", ""},
      {"\"\\u00e9\\u20ac\\ud83d\\ude00\"", "'\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'", ""},
      {"[]", "[]", ""},
      {"\xEF\xBB\xBF{\"a\": 1}", "{a:1}", ""},  // Notepad's byte order mark
      {"", "", "offset 0: a value is missing"},
      {"{\"a\" 1}", "", "offset 5: expected ':'"},
      {"[1 2]", "", "offset 3: expected ',' or ']'"},
      {"{\"a\": 1,}", "", "offset 8: expected a member name"},
      {"\"abc", "", "offset 4: a string is not closed"},
      {"\"a\nb\"", "", "offset 2: a control character in a string"},
      {"\"\\ud800x\"", "", "offset 7: a high surrogate without its low one"},
      {"\"\\udc00\"", "", "offset 7: a lone low surrogate"},
      {"01", "", "offset 1: text after the value"},
      {"1.", "", "offset 2: a digit must follow '.'"},
      {"tru", "", "offset 0: unknown word"},
      {"{} x", "", "offset 3: text after the value"},
  };
  for (const auto& c : cases) {
    const Parsed p = Parse(c.text);
    if (*c.error) {
      EXPECT_NE(p.error.find(c.error), std::string::npos) << c.text << ": " << p.error;
    } else {
      EXPECT_TRUE(p.Ok()) << c.text << ": " << p.error;
      EXPECT_EQ(Show(p.value), c.tree) << c.text;
    }
  }
  // Hostile nesting is refused before it can exhaust the stack.
  EXPECT_NE(Parse(std::string(100000, '[')).error.find("nested deeper than 64"), std::string::npos);
}

}  // namespace
}  // namespace kestrio::json
