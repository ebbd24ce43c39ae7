// UTF-8 and UTF-16.
#include <gtest/gtest.h>

#include "base/text.h"

namespace kestrio {
namespace {

TEST(Text, Utf16RoundTripAndMalformedInput) {
  const std::string samples[] = {"", "abc", "Espa\xC3\xB1ol", "\xE4\xB8\xAD\xE6\x96\x87", "\xF0\x9F\x98\x80"};
  for (const auto& s : samples) EXPECT_EQ(text::Utf16ToUtf8(text::Utf8ToUtf16(s)), s);
  EXPECT_EQ(text::Utf16Length("\xF0\x9F\x98\x80"), 2u);
  EXPECT_EQ(text::Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(text::Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");  // cut short at the end
}

// Texts from a CNC come in its ANSI code page or as UTF-8; the report and the
// terminal get UTF-8 either way, the terminal without control characters.
TEST(Text, UnknownBytesBecomeUtf8AndPrintableText) {
  struct Case {
    const char* what;
    const char* bytes;
    const char* utf8;
    const char* printable;
  } cases[] = {
      {"UTF-8 stays", "Espa\xC3\xB1ol \xE2\x82\xAC", "Espa\xC3\xB1ol \xE2\x82\xAC", "Espa\xC3\xB1ol \xE2\x82\xAC"},
      {"Windows-1252 letters", "Espa\xF1ol \x80", "Espa\xC3\xB1ol \xE2\x82\xAC", "Espa\xC3\xB1ol \xE2\x82\xAC"},
      {"a UTF-8 start cut short", "ab\xC3", "ab\xC3\x83", "ab\xC3\x83"},
      {"an overlong slash", "\xC0\xAF", "\xC3\x80\xC2\xAF", "\xC3\x80\xC2\xAF"},
      {"a surrogate in UTF-8", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
      {"controls and escapes", "a\x1B[2Jb\r\nc\x7F", "a\x1B[2Jb\r\nc\x7F", "a?[2Jb??c?"},
      {"an undefined 1252 byte is a C1 control", "x\x81y\xC2\x9B", "x\xC2\x81y\xC2\x9B", "x?y?"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::Utf8FromUnknown(c.bytes), c.utf8) << c.what;
    EXPECT_EQ(text::Printable(c.bytes), c.printable) << c.what;
  }
}

}  // namespace
}  // namespace kestrio
