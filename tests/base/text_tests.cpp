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

}  // namespace
}  // namespace kestrio
