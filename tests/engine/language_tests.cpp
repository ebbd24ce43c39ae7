// The error table, the catalogue and the fixed-width texts of the engine.
#include <gtest/gtest.h>

#include "engine/language.h"

namespace kestrio {
namespace {

TEST(ErrorText, TableTextsAndTheUnknownFormat) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {0, ""},
      {-3, "Language index isn't valid."},
      {-5, "An error ocurred getting the current language"},
      {-9, "You have selected the same language to install. Please, change language."},
      {-14, "OS update package file(s) not found."},
      {-15, "Ukonown error -15."},
      {1, "Ukonown error 1."},
      {3010, "Ukonown error 3010."},
  };
  for (const auto& [code, expected] : cases) {
    std::string text = "old";
    EXPECT_EQ(engine::GetErrorText(code, &text), 0) << code;
    EXPECT_EQ(text, expected) << code;
  }
  EXPECT_EQ(engine::GetErrorText(-1, nullptr), -4);
}

TEST(ErrorText, EveryEngineCodeHasItsOwnText) {
  for (std::int32_t code = -1; code >= -14; --code) {
    std::string text;
    engine::GetErrorText(code, &text);
    EXPECT_EQ(text.find("Ukonown"), std::string::npos) << code;
    EXPECT_LE(text.size(), 72u) << code;
  }
}

TEST(Catalogue, CodeLookupIsExact) {
  const std::pair<const char*, int> cases[] = {
      {"cs-CZ", 0}, {"de-DE", 1}, {"zh-CN", 13}, {"de-de", 14}, {"de-DE ", 14}, {"", 14}, {"ja-JP", 14},
  };
  for (const auto& [code, position] : cases) EXPECT_EQ(engine::FindLanguageByCode(code), position) << code;
}

TEST(FixedText, RefusesOrCutsByUtf16Units) {
  engine::FixedText<6> code;
  EXPECT_TRUE(code.Assign("de-DE"));
  EXPECT_FALSE(code.Assign("de-DE-"));
  EXPECT_EQ(code.Str(), "de-DE");
  code.AssignCut("\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80xyz");  // "ééé😀xyz": the emoji takes two units
  EXPECT_EQ(code.Str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");
  code.AssignCut("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");  // no room for half a pair
  EXPECT_EQ(code.Str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
}

}  // namespace
}  // namespace kestrio
